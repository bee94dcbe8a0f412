// Tests of the select-to-message notifications on real loopback sockets
// (127.0.0.1, ephemeral ports). Every wait is bounded.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/message_window.h"
#include "platform/platform_testing.h"
#include "platform/winsock.h"
#include "tests/platform_support.h"

using namespace std::chrono;
using namespace ptest;

namespace {

// ---- notifications ----

TEST_F(NotifyTest, ConnectSuccessPostsConnectThenOneWrite) {
    uint16_t port;
    int listener = Track(RawListener(&port));
    win::SOCKET s = NewTcp();
    ASSERT_EQ(win::WSAAsyncSelect(s, hwnd, kSockMsg, 0x3B), 0);
    win::DoEvents();
    EXPECT_EQ(CountFor(s), 0) << "an unconnected socket has nothing to report";
    auto addr = Loopback(port);
    EXPECT_EQ(win::connect(s, &addr, sizeof addr), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10035);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_WRITE) == 1; }));
    ASSERT_GE(g_received.size(), 2u);
    EXPECT_EQ(Event(g_received[0]), win::FD_CONNECT);
    EXPECT_EQ(Error(g_received[0]), 0);
    EXPECT_EQ(g_received[0].wParam, s);
    EXPECT_EQ(Event(g_received[1]), win::FD_WRITE);
    Track(RawAccept(listener));
    PumpFor(150);
    EXPECT_EQ(Count(s, win::FD_CONNECT), 1);
    EXPECT_EQ(Count(s, win::FD_WRITE), 1);
    EXPECT_EQ(CountFor(s), 2);
}

TEST_F(NotifyTest, RefusedConnectArrivesAsConnect10061) {
    win::SOCKET s = NewTcp();
    ASSERT_EQ(win::WSAAsyncSelect(s, hwnd, kSockMsg, 0x3B), 0);
    auto addr = Loopback(FreePort());
    EXPECT_EQ(win::connect(s, &addr, sizeof addr), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10035);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_CONNECT) == 1; }));
    EXPECT_EQ(Error(*Find(s, win::FD_CONNECT)), 10061);
    PumpFor(150);
    EXPECT_EQ(CountFor(s), 1) << "no FD_WRITE or FD_CLOSE after a failed connect";
}

TEST_F(NotifyTest, WriteAfterWouldBlockSendOnceSpaceIsFree) {
    int peer;
    win::SOCKET s = ConnectedPair(&peer);
    std::vector<char> chunk(65536, 'x');
    bool blocked = false;
    for (int i = 0; i < 2000 && !blocked; ++i) {
        if (win::send(s, chunk.data(), static_cast<int>(chunk.size()), 0) == -1) {
            ASSERT_EQ(win::WSAGetLastError(), 10035);
            blocked = true;
        }
    }
    ASSERT_TRUE(blocked);
    PumpFor(100);
    EXPECT_EQ(Count(s, win::FD_WRITE), 0) << "no FD_WRITE while the buffer stays full";
    std::vector<char> sink(1 << 16);
    ASSERT_TRUE(PumpUntil([&] {
        while (::recv(peer, sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
        }
        return Count(s, win::FD_WRITE) == 1;
    }));
    for (int i = 0; i < 10; ++i) {
        while (::recv(peer, sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
        }
        PumpFor(10);
    }
    EXPECT_EQ(Count(s, win::FD_WRITE), 1) << "one FD_WRITE per would-block send";
    EXPECT_EQ(Count(s, win::FD_READ), 0);
}

TEST_F(NotifyTest, ReadIsLevelTriggeredAndReArmedByRecv) {
    int peer;
    win::SOCKET s = ConnectedPair(&peer);
    std::string data(100, 'a');
    ASSERT_EQ(::send(peer, data.data(), data.size(), 0), 100);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 1; }));
    PumpFor(100);
    EXPECT_EQ(Count(s, win::FD_READ), 1) << "disarmed until recv";

    // Readable but disarmed: epoll must not report the socket at all.
    int reports = win::testing::SocketReportCount();
    win::WaitMessageTimeout(200);
    win::DoEvents();
    EXPECT_EQ(win::testing::SocketReportCount(), reports) << "a disarmed readable socket woke the loop";

    char buf[128];
    ASSERT_EQ(win::recv(s, buf, 10, 0), 10);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 2; })) << "data remains: another FD_READ";
    ASSERT_EQ(win::recv(s, buf, sizeof buf, 0), 90);
    PumpFor(100);
    EXPECT_EQ(Count(s, win::FD_READ), 2);
    EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10035);
    ASSERT_EQ(::send(peer, "z", 1, 0), 1);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 3; })) << "re-armed by the failed recv";
}

TEST_F(NotifyTest, CloseOnlyAfterAllDataWasRead) {
    int peer;
    win::SOCKET s = ConnectedPair(&peer);
    ASSERT_EQ(::send(peer, "hello", 5, 0), 5);
    ::shutdown(peer, SHUT_WR);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 1; }));
    PumpFor(150);
    EXPECT_EQ(Count(s, win::FD_CLOSE), 0) << "data still unread";
    char buf[16];
    ASSERT_EQ(win::recv(s, buf, 2, 0), 2);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 2; }));
    EXPECT_EQ(Count(s, win::FD_CLOSE), 0);
    ASSERT_EQ(win::recv(s, buf, sizeof buf, 0), 3);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_CLOSE) == 1; }));
    EXPECT_EQ(Error(*Find(s, win::FD_CLOSE)), 0);
    EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), 0);
    PumpFor(150);
    EXPECT_EQ(Count(s, win::FD_CLOSE), 1) << "FD_CLOSE is posted once";
    // The last message for s is the FD_CLOSE.
    const Received* last = nullptr;
    for (auto& r : g_received)
        if (r.wParam == s) last = &r;
    EXPECT_EQ(Event(*last), win::FD_CLOSE);
}

TEST_F(NotifyTest, ResetArrivesAsClose10054) {
    int peer;
    win::SOCKET s = ConnectedPair(&peer);
    SetLingerZero(peer);
    ::close(peer);
    raw.erase(std::remove(raw.begin(), raw.end(), peer), raw.end());
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_CLOSE) == 1; }));
    EXPECT_EQ(Error(*Find(s, win::FD_CLOSE)), 10054);
    PumpFor(100);
    EXPECT_EQ(Count(s, win::FD_CLOSE), 1);
    EXPECT_EQ(Count(s, win::FD_READ), 0);
}

TEST_F(NotifyTest, ResetAfterDataGivesReadThenClose10054) {
    int peer;
    win::SOCKET s = ConnectedPair(&peer);
    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 1; }));
    SetLingerZero(peer);
    ::close(peer);
    raw.erase(std::remove(raw.begin(), raw.end(), peer), raw.end());
    PumpFor(100);
    EXPECT_EQ(Count(s, win::FD_CLOSE), 0);
    char buf[8];
    EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), 3);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_CLOSE) == 1; }));
    EXPECT_EQ(Error(*Find(s, win::FD_CLOSE)), 10054);
}

TEST_F(NotifyTest, AcceptIsReArmedByAcceptAndAcceptedSocketsInheritTheRegistration) {
    win::SOCKET l = NewTcp();
    auto any = Loopback(0);
    ASSERT_EQ(win::bind(l, &any, sizeof any), 0);
    ASSERT_EQ(win::WSAAsyncSelect(l, hwnd, kSockMsg, 0x3B), 0);
    ASSERT_EQ(win::listen(l, 5), 0);
    win::SOCKADDR_IN bound{};
    int blen = sizeof bound;
    ASSERT_EQ(win::getsockname(l, &bound, &blen), 0);
    uint16_t port = ntohs(bound.sin_port);
    int c1 = Track(RawConnect(port));
    int c2 = Track(RawConnect(port));
    ASSERT_GE(c1, 0);
    ASSERT_GE(c2, 0);
    ASSERT_TRUE(PumpUntil([&] { return Count(l, win::FD_ACCEPT) == 1; }));
    PumpFor(100);
    EXPECT_EQ(Count(l, win::FD_ACCEPT), 1) << "disarmed until accept";

    win::SOCKADDR_IN from{};
    int flen = sizeof from;
    win::SOCKET n1 = win::accept(l, &from, &flen);
    ASSERT_GE(n1, 0);
    socks.push_back(n1);
    EXPECT_EQ(from.sin_addr, htonl(INADDR_LOOPBACK));
    ASSERT_TRUE(PumpUntil([&] { return Count(l, win::FD_ACCEPT) == 2; })) << "a second connection waits";
    EXPECT_EQ(Count(n1, win::FD_WRITE), 1) << "an accepted socket gets one FD_WRITE";
    win::SOCKET n2 = win::accept(l, nullptr, nullptr);
    ASSERT_GE(n2, 0);
    socks.push_back(n2);
    ASSERT_EQ(::send(c1, "x", 1, 0), 1);
    ASSERT_TRUE(PumpUntil([&] { return Count(n1, win::FD_READ) == 1; }));
    ASSERT_TRUE(PumpUntil([&] { return Count(n2, win::FD_WRITE) == 1; }));
    PumpFor(100);
    EXPECT_EQ(Count(l, win::FD_ACCEPT), 2);
    EXPECT_EQ(Count(n2, win::FD_READ), 0);
    // accept with nothing waiting fails with 10035 and still re-arms.
    EXPECT_EQ(win::accept(l, nullptr, nullptr), win::INVALID_SOCKET);
    EXPECT_EQ(win::WSAGetLastError(), 10035);
    int c3 = Track(RawConnect(port));
    ASSERT_GE(c3, 0);
    ASSERT_TRUE(PumpUntil([&] { return Count(l, win::FD_ACCEPT) == 3; }));
}

TEST_F(NotifyTest, ABurstOfConnectionsBeyondTheBacklogIsAllAccepted) {
    win::SOCKET l = NewTcp();
    auto any = Loopback(0);
    ASSERT_EQ(win::bind(l, &any, sizeof any), 0);
    ASSERT_EQ(win::WSAAsyncSelect(l, hwnd, kSockMsg, 0x3B), 0);
    ASSERT_EQ(win::listen(l, 5), 0);
    win::SOCKADDR_IN bound{};
    int blen = sizeof bound;
    ASSERT_EQ(win::getsockname(l, &bound, &blen), 0);
    std::vector<int> clients;  // non-blocking connects: a client left hanging must not hang the test
    for (int i = 0; i < 50; ++i) {
        int c = Track(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = bound.sin_port;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        clients.push_back(c);
    }
    int accepted = 0;
    size_t seen = 0;
    ASSERT_TRUE(PumpUntil([&] {
        for (; seen < g_received.size(); ++seen) {
            if (g_received[seen].wParam != l || Event(g_received[seen]) != win::FD_ACCEPT) continue;
            win::SOCKET n = win::accept(l, nullptr, nullptr);
            if (n == win::INVALID_SOCKET) continue;
            socks.push_back(n);
            ++accepted;
            win::send(n, "!", 1, 0);
        }
        return accepted == 50;
    }, 8000)) << accepted << " of 50 accepted";
    // Every client sees the byte its accepted socket sent.
    for (int c : clients) {
        pollfd p{c, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 2000), 1);
        char b = 0;
        EXPECT_EQ(::recv(c, &b, 1, 0), 1);
        EXPECT_EQ(b, '!');
    }
}

TEST_F(NotifyTest, ClosesocketPurgesQueuedNotificationsAndAReusedNumberGetsNone) {
    int peer;
    win::SOCKET s = ConnectedPair(&peer);
    ASSERT_EQ(::send(peer, "data", 4, 0), 4);
    ::close(peer);
    raw.erase(std::remove(raw.begin(), raw.end(), peer), raw.end());
    // Let the FD_READ be queued but not dispatched.
    auto deadline = steady_clock::now() + seconds(5);
    while (win::testing::QueuedMessageCount() == 0 && steady_clock::now() < deadline)
        win::WaitMessageTimeout(20);
    ASSERT_GT(win::testing::QueuedMessageCount(), 0);
    ASSERT_EQ(win::closesocket(s), 0);
    socks.erase(std::remove(socks.begin(), socks.end(), s), socks.end());
    EXPECT_EQ(win::testing::QueuedMessageCount(), 0);
    win::SOCKET again = NewTcp();
    EXPECT_EQ(again, s) << "Linux hands out the lowest free number";
    ASSERT_EQ(win::WSAAsyncSelect(again, hwnd, kSockMsg, 0x3B), 0);
    PumpFor(150);
    EXPECT_EQ(CountFor(again), 0);
}

TEST_F(NotifyTest, DatagramSocketWriteAtRegistrationReadAndTruncation) {
    win::SOCKET u = win::socket(win::AF_INET_WS, win::SOCK_DGRAM_WS, win::IPPROTO_UDP_WS);
    socks.push_back(u);
    auto addr = Loopback(0);
    ASSERT_EQ(win::bind(u, &addr, sizeof addr), 0);
    win::SOCKADDR_IN bound{};
    int blen = sizeof bound;
    ASSERT_EQ(win::getsockname(u, &bound, &blen), 0);
    ASSERT_EQ(win::WSAAsyncSelect(u, hwnd, kSockMsg, 0x3B), 0);
    win::DoEvents();
    EXPECT_EQ(Count(u, win::FD_WRITE), 1) << "writable at registration";
    ASSERT_EQ(win::sendto(u, "0123456789", 10, 0, &bound, sizeof bound), 10);
    ASSERT_TRUE(PumpUntil([&] { return Count(u, win::FD_READ) == 1; }));
    uint32_t pending = 0;
    EXPECT_EQ(win::ioctlsocket(u, win::FIONREAD_WS, &pending), 0);
    EXPECT_EQ(pending, 10u);
    char buf[4];
    win::SOCKADDR_IN from{};
    int flen = sizeof from;
    EXPECT_EQ(win::recvfrom(u, buf, 4, win::MSG_PEEK_WS, &from, &flen), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10040);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(from.sin_port, bound.sin_port);
    ASSERT_TRUE(PumpUntil([&] { return Count(u, win::FD_READ) == 2; })) << "peek re-arms, datagram remains";
    EXPECT_EQ(win::recvfrom(u, buf, 4, 0, &from, &flen), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10040);
    PumpFor(100);
    EXPECT_EQ(Count(u, win::FD_READ), 2) << "the truncated datagram is gone";
}
}  // namespace
