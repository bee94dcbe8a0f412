// The baseline for the session benchmarks: the smallest honest blocking
// client doing the same job as a script run, without any logging.
//
//   minimal_client exchange PORT COUNT   reads the banner, then COUNT times sends
//                                        "x\r\n" and reads until "ok>" arrives
//   minimal_client stream PORT OUTFILE   reads until '#' arrives, writing every
//                                        byte to OUTFILE, then sends "quit"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

// Reads until the bytes of this wait contain text.
bool ReadUntil(int fd, const char* text) {
    std::string got;
    char buf[4096];
    while (got.find(text) == std::string::npos) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        got.append(buf, static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: minimal_client exchange PORT COUNT | stream PORT OUTFILE\n");
        return 2;
    }
    std::string mode = argv[1];
    int fd = Connect(std::atoi(argv[2]));
    if (mode == "exchange") {
        long count = std::atol(argv[3]);
        if (!ReadUntil(fd, "ready")) return 1;
        for (long i = 0; i < count; ++i) {
            if (::send(fd, "x\r\n", 3, MSG_NOSIGNAL) != 3 || !ReadUntil(fd, "ok>")) return 1;
        }
    } else {
        FILE* out = std::fopen(argv[3], "wb");
        if (!out) return 1;
        char buf[1 << 17];
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return 1;
            std::fwrite(buf, 1, static_cast<size_t>(n), out);
            if (std::memchr(buf, '#', static_cast<size_t>(n))) break;
        }
        std::fclose(out);
    }
    ::send(fd, "quit\r\n", 6, MSG_NOSIGNAL);
    ::close(fd);
    return 0;
}
