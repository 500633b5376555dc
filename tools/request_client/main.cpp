// vorna_request: sends one request as the agent would and prints the reply (tests, admins).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/cp1251.h"
#include "core/ipv4.h"
#include "tools/access_server/log_json.h"
#include "tools/access_server/request.h"
#include "tools/common/files.h"
#include "tools/common/rsa_keys.h"
#include "tools/common/tool_cli.h"

namespace {

enum ExitCode { kOk = 0, kUsage = kExitUsage, kNoConnection = 2, kTimedOut = 3, kReset = 4 };

const char kUsageText[] =
    "Usage: vorna_request --key PEM [--host ADDR] --port N [options] VERB FIELD2 FIELD3 FIELD4\n"
    "   or: vorna_request --key PEM --frame-out FILE [options] VERB FIELD2 FIELD3 FIELD4\n"
    "Encrypts the four fields with the server's public key (any PEM form: PUBLIC KEY,\n"
    "RSA PUBLIC KEY, CERTIFICATE or a private key) into one request frame, as the agent\n"
    "does, sends it, and prints the reply as UTF-8 (no line end added).\n"
    "Fields are UTF-8 and travel as CP1251; escapes \\n \\r \\t \\\\ \\xHH.\n"
    "  --host ADDR        server address (default 127.0.0.1)\n"
    "  --port N           server port\n"
    "  --timeout MS       give up after MS milliseconds without progress (default 5000)\n"
    "  --block3-hex HEX   send these bytes as the third block instead of encrypting\n"
    "                     FIELD3 (re-sending a stored password block)\n"
    "  --show-block3      print \"block3 HEX\" (the third block sent) to stderr\n"
    "  --raw              print the reply bytes unconverted\n"
    "  --frame-out FILE   write the frame to FILE instead of sending it\n"
    "Exit codes: 0 reply read to the server's close, 1 usage or key error, 2 no\n"
    "connection, 3 timeout, 4 connection reset (the part read is printed).\n";

int Fail(int code, const std::string& message) {
    fprintf(stderr, "vorna_request: %s\n", message.c_str());
    return code;
}

bool FromHex(const std::string& hex, std::string* bytes) {
    if (hex.size() % 2 != 0) return false;
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned value = 0;
        if (sscanf(hex.substr(i, 2).c_str(), "%2x", &value) != 1) return false;
        bytes->push_back(static_cast<char>(value));
    }
    return true;
}

struct Arguments {
    std::string keyFile, host = "127.0.0.1", frameOut, block3;
    long long port = 0;
    long long timeoutMs = 5000;
    bool showBlock3 = false, raw = false;
    std::string fields[kRequestFields];
};

int Parse(int argc, char** argv, Arguments* a) {
    int field = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool valued = word == "--key" || word == "--host" || word == "--port" ||
                            word == "--timeout" || word == "--block3-hex" || word == "--frame-out";
        if (valued && i + 1 >= argc) return Fail(kUsage, word + " needs a value");
        const std::string value = valued ? argv[++i] : "";
        if (IsHelpWord(word)) {
            fputs(kUsageText, stdout);
            return -1;
        } else if (IsVersionWord(word)) {
            PrintToolVersion("vorna_request");
            return -1;
        } else if (word == "--key") {
            a->keyFile = value;
        } else if (word == "--host") {
            if (!IsDottedIpv4(value)) return Fail(kUsage, "--host takes a dotted IPv4 address");
            a->host = value;
        } else if (word == "--port") {
            if (!ParseDecimal(value, 1, 65535, &a->port)) return Fail(kUsage, "bad --port");
        } else if (word == "--timeout") {
            if (!ParseDecimal(value, 1, 600000, &a->timeoutMs))
                return Fail(kUsage, "bad --timeout");
        } else if (word == "--block3-hex") {
            if (!FromHex(value, &a->block3)) return Fail(kUsage, "--block3-hex needs hex digits");
        } else if (word == "--frame-out") {
            a->frameOut = value;
        } else if (word == "--show-block3") {
            a->showBlock3 = true;
        } else if (word == "--raw") {
            a->raw = true;
        } else if (word.compare(0, 2, "--") == 0 || field == kRequestFields) {
            return Fail(kUsage, "unexpected argument \"" + word + "\"\n" + kUsageText);
        } else {
            std::string error;
            if (!DecodeTextArgument(word, &a->fields[field++], &error)) {
                return Fail(kUsage, "field " + std::to_string(field) + ": " + error);
            }
        }
    }
    if (field != kRequestFields || a->keyFile.empty() || (a->frameOut.empty() && !a->port)) {
        return Fail(kUsage, std::string("need --key, --port (or --frame-out) and four fields\n") +
                                kUsageText);
    }
    return kOk;
}

int Exchange(const Arguments& a, const std::string& frame) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval limit = {static_cast<time_t>(a.timeoutMs / 1000),
                     static_cast<suseconds_t>(a.timeoutMs % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(a.port));
    inet_pton(AF_INET, a.host.c_str(), &where.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        close(fd);
        return Fail(kNoConnection, a.host + ":" + std::to_string(a.port) + ": " + strerror(errno));
    }
    size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t count = send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) break;
        sent += static_cast<size_t>(count);
    }
    std::string reply;
    int code = kOk;
    for (;;) {
        char chunk[4096];
        const ssize_t count = recv(fd, chunk, sizeof chunk, 0);
        if (count > 0) {
            reply.append(chunk, static_cast<size_t>(count));
            continue;
        }
        if (count < 0) code = (errno == EAGAIN || errno == EWOULDBLOCK) ? kTimedOut : kReset;
        break;
    }
    close(fd);
    const std::string shown = a.raw ? reply : Cp1251ToUtf8(reply);
    fwrite(shown.data(), 1, shown.size(), stdout);
    if (code == kTimedOut) return Fail(code, "no close from the server within the timeout");
    if (code == kReset) return Fail(code, "connection reset");
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    const int parsed = Parse(argc, argv, &arguments);
    if (parsed != kOk) return parsed < 0 ? kOk : parsed;
    std::string pem, error, frame;
    if (!ReadWholeFile(arguments.keyFile, &pem, &error, 1 << 20)) return Fail(kUsage, error);
    PkeyPtr key = ReadRsaPublicKeyAnyPem(pem, &error);
    if (!key) return Fail(kUsage, arguments.keyFile + ": " + error);
    if (!ComposeFrame(key.get(), arguments.fields, &arguments.block3, &frame, &error)) {
        return Fail(kUsage, error);
    }
    if (arguments.showBlock3) {
        const size_t block = BlockSize(key.get());
        fprintf(stderr, "block3 %s\n", HexBytes(frame.substr(2 * block, block)).c_str());
    }
    if (!arguments.frameOut.empty()) {
        return WriteFileAtomically(arguments.frameOut, frame, &error) ? kOk : Fail(kUsage, error);
    }
    return Exchange(arguments, frame);
}
