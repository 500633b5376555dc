// vorna_config: shows or rewrites the server configuration block of a copy of the agent.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "tools/common/files.h"
#include "tools/common/tool_cli.h"
#include "tools/vorna_config/config_block.h"
#include "tools/vorna_config/config_key.h"
#include "tools/vorna_config/pe_image.h"

namespace fs = std::filesystem;

namespace {

enum ExitCode { kOk = 0, kUsage = kExitUsage, kBadFile = 2, kBadValue = 3, kWriteFailed = 4 };

const char* HelpText();

// Scripts look for "TEST KEY" in the output of show.
const char* const kTestKeyWarning =
    "WARNING: this is a TEST KEY: its private half is published with the agent's sources, so "
    "anyone can read what this agent sends. Stamp the site's server key (--key).";

int Fail(ExitCode code, const std::string& message) {
    fprintf(stderr, "vorna_config: %s\n", message.c_str());
    return code;
}

int Show(const std::string& path) {
    std::string image, error;
    if (!ReadWholeFile(path, &image, &error)) return Fail(kBadFile, error);
    ConfigLayout layout;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(image.data());
    if (!FindConfigBlock(data, image.size(), &layout, &error)) {
        return Fail(kBadFile, path + ": " + error);
    }
    const ConfigFields fields = ReadConfigFields(data, layout);
    std::string canonical;
    const bool addressOk = CheckAddress(fields.address, &error);
    const bool portOk = CheckPort(fields.port, &canonical, &error) && canonical == fields.port;
    printf("address: %s%s\n", fields.address.c_str(), addressOk ? "" : "  (not valid)");
    printf("port: %s%s\n", fields.port.c_str(), portOk ? "" : "  (not valid)");
    BlockKey key;
    std::string keyError;
    const bool keyOk = CheckBlockKey(fields.keyPem, &key, &keyError);
    if (keyOk) {
        printf("key: %d-bit RSA, %zu characters, SHA-256 %s\n", key.bits, fields.keyPem.size(),
               key.fingerprint.c_str());
        if (IsPublishedTestKey(key.fingerprint)) printf("%s\n", kTestKeyWarning);
    } else {
        printf("key: not valid: %s\n", keyError.c_str());
    }
    printf("%s\n", fields.keyPem.c_str());
    PeHeaders pe;
    if (FindPeHeaders(image, &pe)) {
        printf("signature: %s\n", IsSigned(pe) ? "present" : "none");
    }
    if (!addressOk || !portOk || !keyOk) {
        return Fail(kBadValue, path + ": the block holds a value the agent cannot use");
    }
    return kOk;
}

struct StampArguments {
    std::string input;
    std::string output;
    bool inPlace = false;
    bool force = false;
    bool stripSignature = false;
    StampChanges changes;
    std::string keyFile;
};

int ParseStamp(int argc, char** argv, StampArguments* arguments) {
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        const bool hasValue = i + 1 < argc;
        if (word == "--in-place") {
            arguments->inPlace = true;
        } else if (word == "--force") {
            arguments->force = true;
        } else if (word == "--strip-signature") {
            arguments->stripSignature = true;
        } else if ((word == "--out" || word == "--address" || word == "--port" ||
                    word == "--key") &&
                   !hasValue) {
            return Fail(kUsage, word + " needs a value");
        } else if (word == "--out") {
            arguments->output = argv[++i];
        } else if (word == "--address") {
            arguments->changes.address = argv[++i];
        } else if (word == "--port") {
            arguments->changes.port = argv[++i];
        } else if (word == "--key") {
            arguments->keyFile = argv[++i];
        } else if (word.compare(0, 2, "--") == 0 || !arguments->input.empty()) {
            return Fail(kUsage, "unexpected argument \"" + word + "\" (see --help)");
        } else {
            arguments->input = word;
        }
    }
    if (arguments->input.empty()) return Fail(kUsage, "stamp needs the agent's EXE");
    if (arguments->inPlace == !arguments->output.empty()) {
        return Fail(kUsage, "give exactly one of --out NEW.exe and --in-place");
    }
    if (!arguments->changes.address && !arguments->changes.port && arguments->keyFile.empty()) {
        return Fail(kUsage, "nothing to change: give --address, --port and/or --key");
    }
    if (arguments->inPlace) arguments->output = arguments->input;
    std::error_code code;
    const fs::perms bits = fs::status(arguments->input, code).permissions();
    if (arguments->inPlace && !arguments->force && !code &&
        (bits & fs::perms::owner_write) == fs::perms::none) {
        return Fail(kWriteFailed, arguments->input + " is read-only; give --force to rewrite it");
    }
    if (!arguments->inPlace && fs::equivalent(arguments->input, arguments->output, code)) {
        return Fail(kUsage, "--out names the input itself; use --in-place to rewrite it");
    }
    return kOk;
}

// The file as written, checked the way the agent will read it.
bool CheckWritten(const std::string& temporary, const std::string& expected, std::string* error) {
    std::string written;
    if (!ReadWholeFile(temporary, &written, error)) return false;
    ConfigLayout layout;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(written.data());
    if (written != expected || !FindConfigBlock(data, written.size(), &layout, error)) {
        *error = "the written file does not read back as written";
        return false;
    }
    BlockKey key;
    if (!CheckBlockKey(ReadConfigFields(data, layout).keyPem, &key, error)) {
        *error = "the written key does not read back: " + *error;
        return false;
    }
    return true;
}

int Stamp(int argc, char** argv) {
    StampArguments arguments;
    const int usage = ParseStamp(argc, argv, &arguments);
    if (usage != kOk) return usage;
    std::string image, error;
    if (!ReadWholeFile(arguments.input, &image, &error)) return Fail(kBadFile, error);
    ConfigLayout layout;
    if (!FindConfigBlock(reinterpret_cast<const uint8_t*>(image.data()), image.size(), &layout,
                         &error)) {
        return Fail(kBadFile, arguments.input + ": " + error);
    }
    if (!arguments.keyFile.empty()) {
        std::string pem;
        BlockKey key;
        if (!ReadWholeFile(arguments.keyFile, &pem, &error, 1 << 20)) return Fail(kBadFile, error);
        if (!BlockKeyFromPem(pem, &key, &error)) {
            return Fail(kBadValue, arguments.keyFile + ": " + error);
        }
        arguments.changes.keyPem = key.pem;
    }
    PeHeaders pe;
    const bool isPe = FindPeHeaders(image, &pe);
    if (isPe && IsSigned(pe)) {
        if (!arguments.stripSignature) {
            return Fail(kBadFile, arguments.input +
                                      " is signed, and stamping breaks the signature; give "
                                      "--strip-signature and sign the result again");
        }
        if (!StripSignature(&image, pe, &error))
            return Fail(kBadFile, arguments.input + ": " + error);
    }
    if (!StampConfig(&image, arguments.changes, &error)) return Fail(kBadValue, error);
    // The loader ignores a stale checksum, but signing tools and drivers' checks do not.
    if (isPe) WritePeChecksum(&image, pe.checksum);
    BlockKey finalKey;
    const uint8_t* stamped = reinterpret_cast<const uint8_t*>(image.data());
    if (!FindConfigBlock(stamped, image.size(), &layout, &error) ||
        !CheckBlockKey(ReadConfigFields(stamped, layout).keyPem, &finalKey, &error)) {
        return Fail(kBadValue, "key: " + error + " (give --key)");
    }
    const FileCheck check = [&image](const std::string& temporary, std::string* why) {
        return CheckWritten(temporary, image, why);
    };
    if (!WriteFileAtomically(arguments.output, image, &error, arguments.input, check)) {
        return Fail(kWriteFailed, error);
    }
    return Show(arguments.output);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (IsHelpWord(command) || command == "help") {
        fputs(HelpText(), stdout);
        return kOk;
    }
    if (IsVersionWord(command) && argc == 2) {
        PrintToolVersion("vorna_config");
        return kOk;
    }
    if (command == "show" && argc == 3) return Show(argv[2]);
    if (command == "stamp") return Stamp(argc, argv);
    return Fail(kUsage, "usage: vorna_config show EXE | vorna_config stamp EXE --out NEW.exe "
                        "[--address A] [--port P] [--key FILE] [--strip-signature] | "
                        "vorna_config --help | --version");
}

namespace {

const char* HelpText() {
    return R"(vorna_config - shows or rewrites the server settings inside a copy of VornaAgent

Usage:
  vorna_config show EXE
  vorna_config stamp EXE --out NEW.exe [--address A] [--port P] [--key FILE]
                    [--strip-signature]
  vorna_config stamp EXE --in-place [--force] [--address A] [--port P] [--key FILE]
                    [--strip-signature]
  vorna_config --help | -h | --version

WHAT IT CHANGES
The agent carries its server's address, TCP port and RSA public key in a fixed
block of its executable's data: EXE is VornaAgent.exe or the Linux agent's
vornaagent program alike (a copy keeps the original's permissions). On Linux an
/etc/vornaagent/site.conf, when present, takes precedence over the block. Each
field follows a marker text:

  "vorna_zep_addr\0"     15 bytes, then the address field     31 bytes
  "vorna_zep_port\0"     15 bytes, then the port field        21 bytes
  "vorna_zep_key\0"      14 bytes, then the key field       1025 bytes
  "vorna_zep_JUSTUSR\0"  18 bytes, end of the block

Every field is text padded with NUL bytes to its width, so it holds one
character less than its width. The agent reads the fields as they are; nothing
else in the file changes, so one build serves every site.

show     prints the address, the port and the key (its size and SHA-256
         fingerprint, then its text), and whether the file is signed. The
         fingerprint equals
         openssl pkey -pubin -in KEY.pem -outform DER | sha256sum
         A key whose private half ships with the sources (the built-in one)
         is flagged with "WARNING: this is a TEST KEY".
stamp    writes a copy with the fields given changed (at least one):
  --address A   dotted IPv4 address, four decimal numbers 0-255 without
                leading zeros (the agent would read 010 as octal), at most
                30 characters; never 0.0.0.0 or 255.255.255.255
  --port P      1 to 65535
  --key FILE    the server's RSA public key, of at least 1024 bits, from a PEM
                file holding any of: "PUBLIC KEY" (SubjectPublicKeyInfo),
                "RSA PUBLIC KEY" (PKCS#1), "CERTIFICATE" (its key is taken), or an
                unencrypted private key (its public half is written, never the
                private part). It is written as "-----BEGIN PUBLIC KEY-----",
                base64 in 64-character lines, "-----END PUBLIC KEY-----", with
                "\n" line ends and no final line end; it must fit 1024 characters
                (keys up to 4096 bits do).
  --out NEW.exe the copy to write; it may exist and is then replaced
  --in-place    rewrite EXE itself (only when you ask for it); a read-only
                EXE is refused unless --force is given too
  --strip-signature
                a signed EXE is refused, since changing any byte breaks its
                signature; with this option the signature is removed first
                (sign the result again: stamp, then sign, then package)
The copy is written to a new temporary file NEW.exe.partial.XXXXXXXX that the
tool creates itself, read back and checked (markers, fields, the key parsed with
OpenSSL), and only then renamed to NEW.exe: a failed stamp leaves no output and
never touches EXE. In a Windows executable the PE checksum is recomputed. On
success it prints what show prints.

EXIT CODES
  0  done
  1  usage error
  2  EXE or the key file cannot be read, or EXE has no single configuration
     block (a marker missing, found twice, or out of place), or EXE is signed
     and --strip-signature was not given
  3  a value is not acceptable (address, port, key), or show found one
  4  the output cannot be written (or --in-place on a read-only EXE)

EXAMPLES
  vorna_config show VornaAgent.exe
  vorna_config stamp VornaAgent.exe --out site.exe --address 192.168.10.1 \
      --port 800 --key server_public.pem
  vorna_access_server --generate-key 1024 --save-key test.pem \
      --write-public test.pub --keys-only
  vorna_config stamp VornaAgent.exe --out test.exe --address 127.0.0.1 \
      --port 8800 --key test.pub
)";
}

}  // namespace
