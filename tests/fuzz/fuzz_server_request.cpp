// The test access server's side of the wire: request frames of any bytes, decrypted requests of
// any fields against its sessions, and control commands that change its answers in between.
//
// Input: [setup] then operations, each an opcode byte and its operands:
//   0 request: [verb] then fields 2-4 as [length][bytes]; a length of 255 in field 3 stands for
//     the session id of the last accepted logon;
//   1 control command: [length][bytes];
//   2 time passes: [seconds];
//   3 frame: [length, 2 bytes][bytes], parsed with the fixture key;
//   4 round trip: the last request's fields composed into a frame and parsed back.
// setup bit 0: LOGON answers with a PING interval; bits 1-2: PINGs answered '2' per session;
// bit 3: the server ends sessions after 5 s; bit 4: the 2048-bit key.
#include <cstring>
#include <string>

#include "core/cp1251.h"
#include "tests/fuzz/fuzz_tools.h"
#include "tools/access_server/control.h"
#include "tools/access_server/request.h"
#include "tools/access_server/session.h"

using fuzz::Require;

namespace {

const char* const kVerbs[] = {"LOGON", "PING", "GETINFO", "LOGOUT", "VOID4", ""};

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return used_ < size_ ? data_[used_++] : 0; }
    std::string Bytes(size_t count) {
        size_t n = count < size_ - used_ ? count : size_ - used_;
        std::string out(reinterpret_cast<const char*>(data_ + used_), n);
        used_ += n;
        return out;
    }
    bool Done() const { return used_ >= size_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

bool IsDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Whatever the server answers by its own logic, the agent can read: a code '0' to '3', a LOGON
// acceptance with a non-zero id that fits the agent's 29 characters, a PING '1' whose fields
// come out right when the agent cuts the reply at single spaces.
void CheckAnswer(const Request& request, const Answer& answer) {
    if (answer.fixed) return;
    const std::string& reply = answer.reply;
    Require(!reply.empty() && reply[0] >= '0' && reply[0] <= '3', "reply code 0..3: " + reply);
    const std::string& verb = request.fields[0];
    if (verb == "LOGON" && (reply[0] == '1' || reply[0] == '3')) {
        size_t end = reply.find(' ', 2);
        std::string id = reply.substr(2, end == std::string::npos ? end : end - 2);
        Require(reply[1] == ' ' && IsDecimal(id) && id != "0" && id[0] != '0' && id.size() <= 29,
                "LOGON acceptance carries a usable session id: " + reply);
        if (reply[0] == '3') Require(IsDecimal(reply.substr(end + 1)), "interval in seconds");
    }
    if (verb == "PING" && reply[0] == '1') {
        size_t first = reply.find(' ');
        size_t second = reply.find(' ', first + 1);
        size_t third = reply.find(' ', second + 1);
        Require(first == 1 && second != std::string::npos && third != std::string::npos &&
                    second > first + 1 && third > second + 1 && third + 1 < reply.size() &&
                    strchr("012", reply[third + 1]) != nullptr,
                "PING '1' reads as balance, cost and a status digit: " + reply);
    }
}

// A frame of the fields parses back to them, the third block as sent.
void RoundTrip(EVP_PKEY* key, const Request& request) {
    std::string frame, error;
    bool fits = true;
    for (const std::string& field : request.fields)
        fits = fits && field.size() + 11 <= BlockSize(key);
    bool composed = ComposeFrame(key, request.fields, nullptr, &frame, &error);
    Require(composed == fits, "a frame is composed exactly when every field fits: " + error);
    if (!composed) return;
    Request back;
    Require(ParseRequest(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), key, &back,
                         &error),
            "a composed frame parses: " + error);
    for (int i = 0; i < kRequestFields; i++) {
        Require(back.fields[i] == request.fields[i], "fields survive the round trip");
    }
    size_t block = BlockSize(key);
    Require(back.block3 == frame.substr(2 * block, block), "the third block is kept as sent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    uint8_t setup = in.Byte();
    EVP_PKEY* key = fuzz::FixtureKey(setup & 16 ? "test_key_2048.pem" : "test_key_1024.pem");
    ServerState state = MakeServerState();
    state.accounts["user"].password = "secret";
    if (setup & 1) state.pingSeconds = 60;
    state.pendingPings = (setup >> 1) & 3;
    if (setup & 8) state.endSessionAfter = 5;

    double now = 1000;
    std::string lastId = "1";
    Request request;
    for (int steps = 0; steps < 200 && !in.Done(); steps++) {
        switch (in.Byte() % 5) {
            case 0: {
                request.fields[0] = kVerbs[in.Byte() % 6];
                for (int i = 1; i < kRequestFields; i++) {
                    uint8_t length = in.Byte();
                    request.fields[i] = i == 2 && length == 255 ? lastId : in.Bytes(length);
                }
                request.block3 = request.fields[2];
                Answer answer = AnswerRequest(&state, request, now);
                CheckAnswer(request, answer);
                if (request.fields[0] == "LOGON" && !answer.fixed && answer.reply.size() > 2 &&
                    (answer.reply[0] == '1' || answer.reply[0] == '3')) {
                    lastId = answer.reply.substr(2, answer.reply.find(' ', 2) - 2);
                }
                // The server logs every field as UTF-8; every byte but 0x98 converts back.
                for (const std::string& field : request.fields) {
                    std::string back, error;
                    bool ok = Utf8ToCp1251(Cp1251ToUtf8(field), &back, &error);
                    Require(ok == (field.find('\x98') == std::string::npos),
                            "CP1251 text converts back unless it holds 0x98: " + error);
                    if (ok) Require(back == field, "CP1251 survives a trip through UTF-8");
                }
                break;
            }
            case 1: {
                std::string detail;
                ControlResult result = ApplyControlCommand(&state, in.Bytes(in.Byte()), &detail);
                Require(result != kControlError || !detail.empty(), "a refusal says why");
                break;
            }
            case 2: now += in.Byte(); break;
            case 3: {
                size_t length = in.Byte() | (in.Byte() << 8);
                std::string frame = in.Bytes(length);
                Request parsed;
                std::string error;
                bool ok = ParseRequest(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(),
                                       key, &parsed, &error);
                Require(ok || !error.empty(), "a refused frame says why");
                Require(!ok || frame.size() == 4 * BlockSize(key), "only four blocks parse");
                break;
            }
            default: RoundTrip(key, request); break;
        }
        Require(state.sessions.size() <= 4096, "sessions stay bounded");
        for (const auto& entry : state.acceptedBlocks) {
            Require(entry.second.size() <= 64, "remembered password blocks stay bounded");
        }
    }
    return 0;
}
