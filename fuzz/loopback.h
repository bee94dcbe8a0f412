// Loopback plumbing for the harnesses that drive real CSocketKit objects:
// plain POSIX peers on 127.0.0.1, a bounded message pump, a socket debug box
// that keeps nothing, and the process's open sockets.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/message_window.h"
#include "ui/text_box.h"

namespace loopback {

// Discards the socket debug log, but still gets every line.
class DiscardBox : public ITextBox {
public:
    std::string Text() const override { return std::string(); }
    void SetText(std::string_view) override {}
    void AppendText(std::string_view text) override { appended += text.size(); }
    void MoveCaretToEnd() override {}
    void PostLineScroll(int, int) override {}
    bool Visible() const override { return false; }
    void SetVisible(bool) override {}
    size_t appended = 0;
};

// The open socket descriptors. Only sockets are counted: libFuzzer opens
// pipes of its own (to the symbolizer) while it runs.
inline int OpenSockets() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    FUZZ_CHECK(dir != nullptr, "/proc/self/fd readable");
    while (dirent* entry = ::readdir(dir)) {
        char target[64] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string_view(target).rfind("socket:", 0) == 0)
            ++count;
    }
    ::closedir(dir);
    return count;
}

// Prints every open descriptor and what it refers to (for a failed count).
inline void ListDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ::readlink(link.c_str(), target, sizeof target - 1);
        std::fprintf(stderr, "  fd %s -> %s\n", entry->d_name, target);
    }
    ::closedir(dir);
}

inline sockaddr_in Address(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

inline uint16_t PortOf(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

// A socket of the given type bound to 127.0.0.1 at an ephemeral port;
// listening if asked.
inline int BoundSocket(int type, bool listen) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd >= 0, "socket");
    sockaddr_in a = Address(0);
    FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "bind to 127.0.0.1");
    if (listen) FUZZ_CHECK(::listen(fd, 64) == 0, "listen");
    return fd;
}

// Waits (bounded) until fd is readable; true if it is.
inline bool Readable(int fd, int milliseconds) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, milliseconds) > 0;
}

// Accepts one waiting connection (waiting up to a second); -1 if none came.
inline int AcceptOne(int listener) {
    if (!Readable(listener, 1000)) return -1;
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

inline void SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        FUZZ_CHECK(n > 0, "peer send");
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

// Runs the message loop until done() holds or 5 s have passed; false then.
inline bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        win::WaitMessageTimeout(1);
        win::DoEvents();
    }
    return true;
}

}  // namespace loopback
