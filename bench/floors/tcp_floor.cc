// The raw TCP floor of bench_peers.py: a 64-byte ping-pong over loopback, one
// connection per client thread, one server thread per connection.
//   tcp_floor serve PORT
//   tcp_floor call PORT THREADS SECONDS
#include "floor_common.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kSize = 64;

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

void no_delay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Moves exactly `n` bytes; false when the peer is gone.
bool transfer(int fd, char* buffer, size_t n, bool sending) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = sending ? send(fd, buffer + done, n - done, MSG_NOSIGNAL)
                              : recv(fd, buffer + done, n - done, 0);
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

int serve(int port) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = loopback(port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 128) != 0) {
        std::perror("tcp_floor: bind");
        return 1;
    }
    floor_bench::serve_until_stdin_closes();
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        no_delay(fd);
        std::thread([fd] {
            char buffer[kSize];
            while (transfer(fd, buffer, kSize, false) && transfer(fd, buffer, kSize, true)) {
            }
            close(fd);
        }).detach();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "serve") == 0) return serve(std::atoi(argv[2]));
    if (argc != 5 || std::strcmp(argv[1], "call") != 0) {
        std::fprintf(stderr, "usage: tcp_floor serve PORT | call PORT THREADS SECONDS\n");
        return 2;
    }
    int port = std::atoi(argv[2]);
    return floor_bench::run_client(std::atoi(argv[3]), std::atof(argv[4]), "tcp", [port] {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = loopback(port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            std::perror("tcp_floor: connect");
            std::exit(1);
        }
        no_delay(fd);
        return std::function<bool()>([fd] {
            char out[kSize], in[kSize];
            std::memset(out, 'p', kSize);
            return transfer(fd, out, kSize, true) && transfer(fd, in, kSize, false) &&
                   std::memcmp(in, out, kSize) == 0;
        });
    });
}
