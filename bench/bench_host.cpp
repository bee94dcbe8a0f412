// A plain loopback host for the session benchmarks, written with blocking
// POSIX sockets so that it measures nothing of ours. It prints the port it
// listens on (127.0.0.1, chosen by the system) as its first line of output
// and serves every connection on a thread of its own.
//
//   bench_host exchange        banner "bench ready\r\n", then "ok>\r\n" per received line
//   bench_host stream BYTES    BYTES of filler without '#', then "#"; waits for the client to close
//
// A received line "quit" ends the connection in both modes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void Exchange(int fd) {
    const char banner[] = "bench ready\r\n";
    if (!SendAll(fd, banner, sizeof banner - 1)) return;
    std::string pending;
    char buf[4096];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        pending.append(buf, static_cast<size_t>(n));
        size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (line.rfind("quit", 0) == 0) return;
            if (!SendAll(fd, "ok>\r\n", 5)) return;
        }
    }
}

void Stream(int fd, long long bytes) {
    std::string chunk(65536, 'x');
    for (size_t i = 0; i < chunk.size(); i += 64) chunk[i] = '\n';
    while (bytes > 0) {
        size_t n = bytes < static_cast<long long>(chunk.size()) ? static_cast<size_t>(bytes) : chunk.size();
        if (!SendAll(fd, chunk.data(), n)) return;
        bytes -= static_cast<long long>(n);
    }
    if (!SendAll(fd, "#", 1)) return;
    char buf[4096];
    while (::recv(fd, buf, sizeof buf, 0) > 0) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_host exchange | stream BYTES\n");
        return 2;
    }
    std::string mode = argv[1];
    long long bytes = argc > 2 ? std::atoll(argv[2]) : 0;
    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(lfd, 64) != 0) {
        std::perror("bench_host");
        return 1;
    }
    socklen_t len = sizeof a;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    std::printf("%d\n", ntohs(a.sin_port));
    std::fflush(stdout);
    for (;;) {
        int fd = ::accept(lfd, nullptr, nullptr);
        if (fd < 0) continue;
        std::thread([fd, mode, bytes] {
            if (mode == "stream") Stream(fd, bytes);
            else Exchange(fd);
            ::close(fd);
        }).detach();
    }
}
