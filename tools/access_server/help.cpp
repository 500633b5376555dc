#include "tools/access_server/options.h"

const char* ServerHelpText() {
    return R"(vorna_access_server - a test access server for VornaAgent

Usage: vorna_access_server [OPTION...]
       vorna_access_server --help | -h   (this manual)
       vorna_access_server --version

Answers the agent's four requests (LOGON, PING, GETINFO, LOGOUT) the way a site's
access server does, and can misbehave on purpose. One request per TCP connection:
the server reads exactly 4 blocks of the key's size (512 bytes for a 1024-bit key),
decrypts each block with its private key (RSA PKCS#1 v1.5), writes a plain-text
reply and closes. All connections share one poll() loop, so a slow or silent client
never holds up another.

On start it prints exactly one line, "listening ADDR:PORT", to standard output.

KEY
  --key FILE             PEM RSA private key to serve with (PKCS#8 or PKCS#1, not
                         encrypted). The agent must carry its public half.
  --generate-key BITS    Generate a fresh key (1024, 2048, 3072 or 4096 bits).
                         Without --key a 1024-bit key is generated.
  --save-key FILE        Write the private key (PKCS#8 PEM).
  --write-public FILE    Write the public key exactly as the agent's configuration
                         block holds it: "-----BEGIN PUBLIC KEY-----", base64
                         SubjectPublicKeyInfo in 64-character lines,
                         "-----END PUBLIC KEY-----", "\n" line ends, no final line
                         end (271 characters for 1024 bits). vorna_config stamps it
                         into a copy of the agent.
  --keys-only            Write the key files and exit without serving.

NETWORK AND LOG
  --bind ADDR            Address to listen on (default 127.0.0.1).
  --allow-remote         Needed to listen on an address outside 127.0.0.0/8.
  --port N               TCP port; 0 (default) picks a free one.
  --port-file FILE       Also write the port number (and a line end) to FILE; the
                         file appears complete or not at all.
  --read-timeout MS      A request not complete within MS milliseconds of the
                         connect is logged and closed (default 5000).
  --log FILE             JSON log, one object per line, flushed per line. "-" is
                         standard output, after the "listening" line. Default: none.
  --control-port N       Also take control commands (below) on 127.0.0.1:N; each
                         command is answered "ok DETAIL" or "error DETAIL".

ANSWERS
Each verb is answered from the session logic below unless a fixed reply is set
for it (--reply, or the control command "reply"). Fixed replies change no state.
  --reply VERB=TEXT      Always answer VERB (LOGON, PING, GETINFO, LOGOUT) with TEXT.
  --account LOGIN:PASSWORD
                         An account (repeatable). LOGON compares the decrypted
                         password with PASSWORD.
  --balance TEXT         Figures in PING replies (default 150.25) ...
  --cost TEXT            ... session cost (default 3.10) ...
  --status-digit 0|1|2   ... account state: 0 normal, 1 limit near, 2 paid
                         networks blocked (default 0) ...
  --message TEXT         ... and an optional message after them (default none).
  --info TEXT            GETINFO text (default "Баланс: B\nЗа сессию: C" from the
                         account's figures).
  --ping-seconds N       Accept logons with "3 ID N" (PING every N seconds) instead
                         of "1 ID". N is sent as given, so the agent's limits can be
                         tested (it takes 20..1800).
  --refuse-logon TEXT    Answer every LOGON "0 TEXT" (logon impossible).
  --wrong-password-text TEXT
                         Text of "2 TEXT", the answer to a wrong password or an
                         unknown login (default "Неверное имя пользователя или
                         пароль").
  --pending-pings N      A new session answers its first N PINGs "2" (accepted,
                         connection not open yet) before "1 ..." (default 0).
  --end-session-after SECONDS
                         End each session SECONDS after its logon: the next PING
                         is answered "0" and the end text.
  --end-text TEXT        Text of a session ended by the server (default "Сессия
                         завершена сервером").
  --unknown-session-text TEXT
                         Text for a request naming no session of its login
                         (default "Сессия не найдена").
  --first-session-id N   First session id (default 1); ids then increase by 1.

Replies by verb (fields are verb, field 2, field 3, field 4):
  LOGON login password version   "1 ID" | "3 ID N" | "0 TEXT" | "2 TEXT"
      A LOGON whose third block repeats, byte for byte, the block of an earlier
      accepted LOGON decrypts to the same password and is accepted the same way;
      the log marks it "block3_seen": true.
  PING login session counter     "2" while the session has pending PINGs, then
      "1 BALANCE COST DIGIT[ MESSAGE]" (single spaces); "0TEXT" once the session
      has been ended (end-session, --end-session-after) and for unknown sessions.
      No space follows the 0: the agent shows everything after the code.
  GETINFO login session VOID4    "1 " and the statistics text; "0 TEXT" for an
      unknown or ended session.
  LOGOUT login session VOID4     "1", ending the session; "0 TEXT" if unknown.
  any other verb                 "0 Неизвестный запрос".

TEXTS
Texts on the command line, in scenario files and in control commands are UTF-8
and go on the wire as CP1251, the agent's code page. Escapes: \n \r \t \\ and
\xHH (one raw byte, sent as it is). A character CP1251 lacks is an error.

SCENARIO FILES
  --scenario FILE        Apply a scenario file at this point of the command line.
One setting per line, "name = value", where name is any option above without its
dashes; blank lines and lines starting with # are ignored; a value in double
quotes keeps its spaces; switches take "yes". Two more forms:
  reply.VERB = TEXT                    a fixed reply
  account.LOGIN.FIELD = VALUE          FIELD: password, balance, cost, digit,
                                       message or info; creates the account.
Example:
  # two accounts, the second one close to its limit
  account = ivanov:secret
  account.petrov.password = qwerty
  account.petrov.balance = 2.50
  account.petrov.digit = 1
  account.petrov.message = "Пополните счёт"
  pending-pings = 2
  ping-seconds = 60

FAULTS
  --fault MODE[:VERB]    Misbehave on every request (or only on requests of VERB).
  --fault-count N        ... only on the next N such requests, then behave.
Modes:
  none          behave
  split[:MS]    write the reply one byte at a time, MS ms apart (default 20)
  close         write the reply, then shut the connection down in both
                directions at once
  silent        read the request, never answer, close only after the client does
  reset         write half the reply, then reset the connection (RST)
  oversize:N    a reply of exactly N bytes: the reply cut, or padded with '.'
  slow:MS       write the reply one byte every MS milliseconds
  drop          close without answering: the client reads an empty reply. With
                a VERB the request is read first, else nothing is read.
  noaccept      stop accepting; connections wait in the listen backlog until
                the fault is changed ("fault none")
A faulted request still changes the session state (a LOGON is accepted even if
its reply never arrives).

CONTROL COMMANDS
One per line on standard input (and on the control port). The end of standard
input is not a quit.
  end-session LOGIN [TEXT]   the next PING of LOGIN's sessions is answered "0TEXT"
  fault MODE[:VERB] [COUNT]  set the fault (COUNT: for that many requests)
  reply VERB TEXT            fixed reply for VERB (TEXT may be empty)
  clear-reply VERB|*         back to the session logic
  set LOGIN|* FIELD VALUE    FIELD: balance, cost, digit, message, info, or
                             password (not for *); * sets the server-wide figures
  pending-pings N            pending PINGs for sessions that start from now
  quit                       stop (as SIGINT and SIGTERM do), flushing the log

LOG
One JSON object per line; "t" is seconds since start. A request:
  {"t": 1.234, "peer": "127.0.0.1:5555", "verb": "LOGON",
   "fields": ["LOGON", "ivanov", "secret", "253702"], "block3_hex": "...",
   "reply": "1 57", "fault": "none", "block3_seen": false}
A fixed reply adds "fixed": true. A bad request has "error" (and "bytes")
instead of verb and fields: a short request, a read timeout, a block that does
not decrypt. Also: {"event": "start" | "stop" | "dropped" | "client closed"},
{"control": LINE, "source": ..., "result": "ok" | "error", "detail": ...}.

EXIT CODES
  0  stopped by quit, SIGINT or SIGTERM (or --keys-only / --help / --version done)
  1  bad option, key or scenario
  2  cannot listen or write the port file

EXAMPLES
  vorna_access_server --generate-key 1024 --save-key site.pem \
      --write-public site.pub --keys-only
  vorna_config stamp VornaAgent.exe --out test.exe --address 127.0.0.1 \
      --port 8800 --key site.pub
  vorna_access_server --key site.pem --port 8800 --account ivanov:secret \
      --pending-pings 2 --log -
)";
}
