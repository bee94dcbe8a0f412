// What the platform tests share: a recording window procedure, bounded
// pumping of the loop, and loopback peers (127.0.0.1, ephemeral ports).
#pragma once
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/message_window.h"
#include "platform/platform_testing.h"
#include "platform/winsock.h"

using namespace std::chrono;

namespace ptest {

constexpr win::UINT kSockMsg = 0x801;
constexpr win::UINT kResolveMsg = 0x800;

struct Received {
    win::HWND hwnd;
    win::UINT msg;
    win::WPARAM wParam;
    win::LPARAM lParam;
};
inline std::vector<Received> g_received;

inline win::LRESULT RecordProc(win::HWND hwnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
    g_received.push_back({hwnd, msg, wParam, lParam});
    return 0;
}

inline int Event(const Received& r) { return r.lParam & 0xFFFF; }
inline int Error(const Received& r) { return (static_cast<uint32_t>(r.lParam) >> 16) & 0xFFFF; }

inline int Count(win::SOCKET s, int event) {
    int n = 0;
    for (auto& r : g_received)
        if (r.msg == kSockMsg && r.wParam == s && Event(r) == event) ++n;
    return n;
}

inline const Received* Find(win::SOCKET s, int event) {
    for (auto& r : g_received)
        if (r.msg == kSockMsg && r.wParam == s && Event(r) == event) return &r;
    return nullptr;
}

inline int CountFor(win::SOCKET s) {
    int n = 0;
    for (auto& r : g_received)
        if (r.msg == kSockMsg && r.wParam == s) ++n;
    return n;
}

// Runs the loop (without blocking longer than 20 ms at a time) until pred holds
// or the deadline passes.
template <typename Pred>
inline bool PumpUntil(Pred pred, int ms = 5000) {
    auto deadline = steady_clock::now() + milliseconds(ms);
    for (;;) {
        win::DoEvents();
        if (pred()) return true;
        if (steady_clock::now() > deadline) return false;
        win::WaitMessageTimeout(20);
    }
}

inline void PumpFor(int ms) {
    auto deadline = steady_clock::now() + milliseconds(ms);
    while (steady_clock::now() < deadline) {
        win::WaitMessageTimeout(10);
        win::DoEvents();
    }
}

inline win::SOCKADDR_IN Loopback(uint16_t port) {
    win::SOCKADDR_IN a{};
    a.sin_family = win::AF_INET_WS;
    a.sin_port = htons(port);
    a.sin_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A plain POSIX listener on 127.0.0.1 with an ephemeral port (the test's peer).
inline int RawListener(uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 16);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

inline int RawConnect(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Waits (bounded) for a connection on a raw listener.
inline int RawAccept(int listener) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return -1;
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

inline uint16_t FreePort() {
    uint16_t port;
    int fd = RawListener(&port);
    ::close(fd);
    return port;
}

inline void SetLingerZero(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

class NotifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        hwnd = win::CreateWindowExA(0, "STATIC", "TEST_WINDOW");
        ASSERT_NE(hwnd, 0);
        win::SetWindowLongA(hwnd, win::GWL_WNDPROC, &RecordProc);
        g_received.clear();
    }
    void TearDown() override {
        for (int fd : raw) ::close(fd);
        for (win::SOCKET s : socks) win::closesocket(s);
        win::DestroyWindow(hwnd);
        g_received.clear();
    }
    win::SOCKET NewTcp() {
        win::SOCKET s = win::socket(win::AF_INET_WS, win::SOCK_STREAM_WS, win::IPPROTO_TCP_WS);
        EXPECT_GE(s, 0);
        socks.push_back(s);
        return s;
    }
    int Track(int fd) {
        raw.push_back(fd);
        return fd;
    }
    // A registered win client connected to a raw peer; returns the client and sets *peer.
    win::SOCKET ConnectedPair(int* peer) {
        uint16_t port;
        int listener = Track(RawListener(&port));
        win::SOCKET s = NewTcp();
        EXPECT_EQ(win::WSAAsyncSelect(s, hwnd, kSockMsg, 0x3B), 0);
        auto addr = Loopback(port);
        EXPECT_EQ(win::connect(s, &addr, sizeof addr), -1);
        EXPECT_EQ(win::WSAGetLastError(), 10035);
        *peer = Track(RawAccept(listener));
        EXPECT_TRUE(PumpUntil([&] { return Count(s, win::FD_WRITE) == 1; }));
        g_received.clear();
        return s;
    }
    win::HWND hwnd = 0;
    std::vector<win::SOCKET> socks;
    std::vector<int> raw;
};

}  // namespace ptest
