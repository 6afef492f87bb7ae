// Sends 100-byte UDP datagrams to 127.0.0.1:9 at a steady rate for a while, in batches (sendmmsg), and
// prints the rate it really reached. For capture-helper-flood.sh: a script cannot send fast enough to
// make a capture drop.
// Usage: udp_flood RATE SECONDS
#include <arpa/inet.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: udp_flood RATE SECONDS\n", stderr);
        return 2;
    }
    const double rate = std::atof(argv[1]);
    const double seconds = std::atof(argv[2]);
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char payload[100] = {};
    iovec data{payload, sizeof payload};
    constexpr unsigned kBatch = 64;
    mmsghdr batch[kBatch] = {};
    for (mmsghdr& message : batch) {
        message.msg_hdr.msg_name = &to;
        message.msg_hdr.msg_namelen = sizeof to;
        message.msg_hdr.msg_iov = &data;
        message.msg_hdr.msg_iovlen = 1;
    }
    const auto start = std::chrono::steady_clock::now();
    long long sent = 0;
    double elapsed = 0;
    while ((elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()) < seconds) {
        for (long long due = static_cast<long long>(elapsed * rate) - sent; due > 0;) {
            const int count = sendmmsg(sock, batch, due < kBatch ? static_cast<unsigned>(due) : kBatch, 0);
            if (count <= 0) {
                break;
            }
            sent += count;
            due -= count;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::printf("%.0f\n", static_cast<double>(sent) / elapsed);
    return 0;
}
