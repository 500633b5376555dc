// floor_client_posix: the least a Linux client can do for one request, the floor the agent is
// measured against. Blocking sockets: encrypt the four fields with the agent's own encryption
// interface and the backend the agent has (OpenSSL, or BearSSL in a router tree), connect,
// send the 512 bytes, read until the server closes. It logs on once, then sends GETINFO back to
// back and times each one.
//
//   floor_client_posix ADDRESS PORT PUBLIC_KEY.pem LOGIN PASSWORD COUNT
//
// Prints "floor requests=N median_ms=.. p10_ms=.. mean_ms=.." and exits 0, or a reason and 1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/field_crypto.h"

namespace {

double NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

bool Compose(const FieldKey* key, const char* const fields[4], std::vector<unsigned char>* frame) {
    const size_t block = static_cast<size_t>(FieldKeyBytes(key));
    frame->assign(block * 4, 0);
    for (int i = 0; i < 4; ++i) {
        const unsigned char* text = reinterpret_cast<const unsigned char*>(fields[i]);
        if (!EncryptWithFieldKey(key, text, strlen(fields[i]), frame->data() + block * i))
            return false;
    }
    return true;
}

FieldKey* ReadKeyFile(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return nullptr;
    char pem[8192];
    const size_t length = fread(pem, 1, sizeof pem - 1, file);
    fclose(file);
    pem[length] = '\0';
    return ReadFieldKey(pem);
}

bool Exchange(const sockaddr_in& server, const std::vector<unsigned char>& frame,
              std::string* reply) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    bool ok = connect(s, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0;
    for (size_t sent = 0; ok && sent < frame.size();) {
        ssize_t n = send(s, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        ok = n > 0;
        if (ok) sent += static_cast<size_t>(n);
    }
    reply->clear();
    char buffer[2048];
    for (ssize_t n; ok && (n = recv(s, buffer, sizeof buffer, 0)) > 0;)
        reply->append(buffer, static_cast<size_t>(n));
    close(s);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: floor_client_posix ADDRESS PORT KEY LOGIN PASSWORD COUNT\n");
        return 1;
    }
    FieldKey* key = ReadKeyFile(argv[3]);
    if (!key) {
        fprintf(stderr, "floor: cannot read the key\n");
        return 1;
    }
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    inet_pton(AF_INET, argv[1], &server.sin_addr);
    std::vector<unsigned char> frame;
    std::string reply;
    const char* logon[4] = {"LOGON", argv[4], argv[5], "253702"};
    if (!Compose(key, logon, &frame) || !Exchange(server, frame, &reply) ||
        (reply[0] != '1' && reply[0] != '3')) {
        fprintf(stderr, "floor: logon failed: %s\n", reply.c_str());
        return 1;
    }
    std::string session = reply.substr(2, reply.find(' ', 2) - 2);
    int count = atoi(argv[6]);
    std::vector<double> times;
    double total = 0;
    for (int i = 0; i < count; i++) {
        double start = NowMs();
        const char* info[4] = {"GETINFO", argv[4], session.c_str(), "VOID4"};
        if (!Compose(key, info, &frame) || !Exchange(server, frame, &reply) || reply.empty()) {
            fprintf(stderr, "floor: request %d failed\n", i);
            return 1;
        }
        times.push_back(NowMs() - start);
        total += times.back();
    }
    if (times.empty()) {
        printf("floor requests=0\n");
        return 0;
    }
    std::sort(times.begin(), times.end());
    printf("floor requests=%d median_ms=%.3f p10_ms=%.3f mean_ms=%.3f\n", count,
           times[times.size() / 2], times[times.size() / 10], total / count);
    FreeFieldKey(key);
    return 0;
}
