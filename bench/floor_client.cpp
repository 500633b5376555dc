// floor_client: the least a client can do for one request, as the floor the agent is measured
// against. Blocking Winsock, no windows, no messages: encrypt the four fields with the same
// libcrypto, connect, send the 512 bytes, read until the server closes. It logs on once for a
// session, then sends GETINFO back to back and times each one.
//
//   floor_client ADDRESS PORT PUBLIC_KEY.pem LOGIN PASSWORD COUNT
//
// Prints "floor requests=N mean_ms=.. median_ms=.. p10_ms=.. p90_ms=.. min_ms=.." and exits 0,
// or a reason on standard error and exits 1.
#include <winsock2.h>

#include <windows.h>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "request_timings.h"

namespace {

const int kFields = 4;

RSA* LoadKey(const char* path) {
    FILE* file = fopen(path, "rb");
    if (!file) return nullptr;
    RSA* key = PEM_read_RSA_PUBKEY(file, nullptr, nullptr, nullptr);
    fclose(file);
    return key;
}

// The request frame: each field encrypted on its own, PKCS#1 v1.5, one block after another.
bool Compose(RSA* key, const char* const fields[kFields], std::vector<unsigned char>* frame) {
    const int block = RSA_size(key);
    frame->assign(static_cast<size_t>(block) * kFields, 0);
    for (int i = 0; i < kFields; ++i) {
        const unsigned char* text = reinterpret_cast<const unsigned char*>(fields[i]);
        if (RSA_public_encrypt(static_cast<int>(strlen(fields[i])), text,
                               frame->data() + static_cast<size_t>(block) * i, key,
                               RSA_PKCS1_PADDING) != block) {
            return false;
        }
    }
    return true;
}

// Connects, sends the frame, reads until the server closes; the reply, or false.
bool Exchange(const sockaddr_in& server, const std::vector<unsigned char>& frame,
              std::string* reply) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    bool ok = connect(s, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0;
    for (size_t sent = 0; ok && sent < frame.size();) {
        int n = send(s, reinterpret_cast<const char*>(frame.data()) + sent,
                     static_cast<int>(frame.size() - sent), 0);
        ok = n > 0;
        if (ok) sent += static_cast<size_t>(n);
    }
    reply->clear();
    char chunk[512];
    int n = 0;
    while (ok && (n = recv(s, chunk, sizeof chunk, 0)) > 0)
        reply->append(chunk, n);
    closesocket(s);
    return ok && n == 0;
}

bool Request(RSA* key, const sockaddr_in& server, const char* const fields[kFields],
             std::string* reply) {
    std::vector<unsigned char> frame;
    return Compose(key, fields, &frame) && Exchange(server, frame, reply);
}

int Fail(const char* why) {
    fprintf(stderr, "floor_client: %s\n", why);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7 || atoi(argv[6]) < 1) {
        fprintf(stderr, "usage: floor_client ADDRESS PORT PUBLIC_KEY.pem LOGIN PASSWORD COUNT\n");
        return 2;
    }
    const char* login = argv[4];
    const int count = atoi(argv[6]);
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return Fail("no sockets");
    RSA* key = LoadKey(argv[3]);
    if (!key) return Fail("cannot read the public key");
    RSA_blinding_off(key);
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = inet_addr(argv[1]);
    server.sin_port = htons(static_cast<u_short>(atoi(argv[2])));

    std::string reply;
    const char* logon[kFields] = {"LOGON", login, argv[5], "253702"};
    if (!Request(key, server, logon, &reply)) return Fail("LOGON failed");
    if (reply.size() < 3 || (reply[0] != '1' && reply[0] != '3')) return Fail("LOGON refused");
    std::string session = reply.substr(2, reply.find(' ', 2) - 2);

    const char* info[kFields] = {"GETINFO", login, session.c_str(), "VOID4"};
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        LARGE_INTEGER start = TimingNow();
        if (!Request(key, server, info, &reply)) return Fail("GETINFO failed");
        LARGE_INTEGER end = TimingNow();
        if (reply.empty() || reply[0] != '1') return Fail("GETINFO refused");
        ms.push_back(TimingMs(start, end));
    }
    PrintTimings("floor", ms);
    RSA_free(key);
    WSACleanup();
    return 0;
}
