// The Windows implementation of the platform layer, through the layer's own
// interface only: message windows and the real message loop, timers,
// sockets with notifications on loopback, host lookups (a cancelled one
// included) and posts from another thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_window.h"
#include "platform/platform_testing.h"
#include "platform/stop_signals.h"
#include "platform/winsock.h"

namespace {

struct Message {
    win::UINT msg;
    win::WPARAM wParam;
    win::LPARAM lParam;
};
std::vector<Message> g_seen;

win::LRESULT Record(win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
    g_seen.push_back({msg, wParam, lParam});
    return 0;
}

class Win32LayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(win::InitEventLoop(&error)) << error;
        win::WSADATA data{};
        ASSERT_EQ(win::WSAStartup(0x0202, &data), 0);
        g_seen.clear();
        hwnd_ = win::CreateWindowExA(0, "Test", "test window");
        ASSERT_NE(hwnd_, 0);
        win::SetWindowLongA(hwnd_, win::GWL_WNDPROC, &Record);
    }
    void TearDown() override {
        win::DestroyWindow(hwnd_);
        win::WSACleanup();
    }
    // Dispatches until pred holds; false after the (generous) limit.
    template <typename Pred>
    bool PumpUntil(Pred pred, int seconds = 30) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) return false;
            win::WaitMessageTimeout(50);
            win::DoEvents();
        }
        return true;
    }
    bool Seen(win::UINT msg, win::WPARAM wParam, int32_t event) const {
        for (const auto& m : g_seen)
            if (m.msg == msg && m.wParam == wParam && (event < 0 || (m.lParam & 0xFFFF) == event)) return true;
        return false;
    }
    win::HWND hwnd_ = 0;
};

TEST_F(Win32LayerTest, WindowsKeepNamesAndProcedures) {
    EXPECT_TRUE(win::IsWindow(hwnd_));
    EXPECT_EQ(win::GetWindowName(hwnd_), "test window");
    EXPECT_EQ(win::GetWindowLongA(hwnd_, win::GWL_WNDPROC), &Record);
    win::HWND other = win::CreateWindowExA(0, "Test", "other");
    EXPECT_NE(other, hwnd_);
    EXPECT_TRUE(win::DestroyWindow(other));
    EXPECT_FALSE(win::IsWindow(other));
    EXPECT_FALSE(win::DestroyWindow(other));
}

TEST_F(Win32LayerTest, PostsArriveInOrderFromAnyThread) {
    ASSERT_TRUE(win::PostMessageA(hwnd_, 0x0500, 1, -2));
    std::thread([this] { win::PostMessageA(hwnd_, 0x0501, 2, 0x7FFF0000); }).join();
    ASSERT_TRUE(PumpUntil([] { return g_seen.size() >= 2; }));
    EXPECT_EQ(g_seen[0].msg, 0x0500u);
    EXPECT_EQ(g_seen[0].lParam, -2);
    EXPECT_EQ(g_seen[1].msg, 0x0501u);
    EXPECT_EQ(g_seen[1].lParam, 0x7FFF0000);
}

TEST_F(Win32LayerTest, RunMessageLoopReturnsOnQuit) {
    win::PostMessageA(hwnd_, 0x0502, 0, 0);
    win::SetWindowLongA(hwnd_, win::GWL_WNDPROC, [](win::HWND, win::UINT msg, win::WPARAM, win::LPARAM) {
        if (msg == 0x0502) win::QuitMessageLoop();
        return win::LRESULT{0};
    });
    win::RunMessageLoop();
    EXPECT_FALSE(win::QuitRequested());
}

TEST_F(Win32LayerTest, TimersTickUntilKilled) {
    ASSERT_TRUE(win::SetTimer(hwnd_, 7, 20));
    ASSERT_TRUE(PumpUntil([this] { return Seen(win::WM_TIMER, 7, -1); }));
    EXPECT_TRUE(win::KillTimer(hwnd_, 7));
    EXPECT_FALSE(win::KillTimer(hwnd_, 7));
    g_seen.clear();
    win::Sleep(100);
    win::DoEvents();
    EXPECT_FALSE(Seen(win::WM_TIMER, 7, -1));
}

TEST_F(Win32LayerTest, LoopbackConnectionWithNotifications) {
    const win::UINT kMsg = 0x0600;
    win::SOCKET listener = win::socket(win::AF_INET_WS, win::SOCK_STREAM_WS, win::IPPROTO_TCP_WS);
    ASSERT_NE(listener, win::INVALID_SOCKET);
    win::SOCKADDR_IN a{};
    a.sin_family = win::AF_INET_WS;
    a.sin_addr = win::inet_addr("127.0.0.1");
    ASSERT_EQ(win::bind(listener, &a, sizeof a), 0);
    int len = sizeof a;
    ASSERT_EQ(win::getsockname(listener, &a, &len), 0);
    ASSERT_NE(a.sin_port, 0);
    ASSERT_EQ(win::listen(listener, 5), 0);
    ASSERT_EQ(win::WSAAsyncSelect(listener, hwnd_, kMsg, win::FD_ACCEPT), 0);

    win::SOCKET client = win::socket(win::AF_INET_WS, win::SOCK_STREAM_WS, 0);
    ASSERT_EQ(win::WSAAsyncSelect(client, hwnd_, kMsg, win::FD_CONNECT | win::FD_READ | win::FD_CLOSE), 0);
    EXPECT_EQ(win::connect(client, &a, sizeof a), win::SOCKET_ERROR);
    EXPECT_EQ(win::WSAGetLastError(), 10035);
    ASSERT_TRUE(PumpUntil([&] { return Seen(kMsg, listener, win::FD_ACCEPT) && Seen(kMsg, client, win::FD_CONNECT); }));
    win::SOCKET served = win::accept(listener, nullptr, nullptr);
    ASSERT_NE(served, win::INVALID_SOCKET);
    EXPECT_EQ(win::send(served, "hello", 5, 0), 5);
    ASSERT_TRUE(PumpUntil([&] { return Seen(kMsg, client, win::FD_READ); }));
    char buffer[16] = {};
    EXPECT_EQ(win::recv(client, buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(win::closesocket(served), 0);
    ASSERT_TRUE(PumpUntil([&] { return Seen(kMsg, client, win::FD_CLOSE); }));
    EXPECT_EQ(win::closesocket(client), 0);
    EXPECT_EQ(win::closesocket(listener), 0);
}

TEST_F(Win32LayerTest, RefusedConnectIsReportedAsFdConnectError) {
    const win::UINT kMsg = 0x0601;
    // A port that was just free: bound, read back and closed.
    win::SOCKET probe = win::socket(win::AF_INET_WS, win::SOCK_STREAM_WS, 0);
    win::SOCKADDR_IN a{};
    a.sin_family = win::AF_INET_WS;
    a.sin_addr = win::inet_addr("127.0.0.1");
    ASSERT_EQ(win::bind(probe, &a, sizeof a), 0);
    int len = sizeof a;
    ASSERT_EQ(win::getsockname(probe, &a, &len), 0);
    win::closesocket(probe);
    win::SOCKET client = win::socket(win::AF_INET_WS, win::SOCK_STREAM_WS, 0);
    ASSERT_EQ(win::WSAAsyncSelect(client, hwnd_, kMsg, win::FD_CONNECT), 0);
    win::connect(client, &a, sizeof a);
    ASSERT_TRUE(PumpUntil([&] { return Seen(kMsg, client, win::FD_CONNECT); }));
    for (const auto& m : g_seen) {
        if (m.msg == kMsg) {
            EXPECT_EQ((static_cast<uint32_t>(m.lParam) >> 16), 10061u);
        }
    }
    win::closesocket(client);
}

TEST_F(Win32LayerTest, LookupWritesTheLayersRecord) {
    const win::UINT kMsg = 0x0700;
    std::vector<char> buffer(1024, '\x55');
    win::HANDLE h = win::WSAAsyncGetHostByName(hwnd_, kMsg, "localhost", buffer.data(), 1024);
    ASSERT_NE(h, 0);
    ASSERT_TRUE(PumpUntil([&] { return Seen(kMsg, h, -1); }));
    EXPECT_EQ(static_cast<uint32_t>(g_seen.back().lParam) >> 16, 0u);
    uint32_t address = 0;
    ASSERT_TRUE(win::FirstHostAddress(buffer.data(), &address));
    EXPECT_EQ(win::inet_ntoa(address), "127.0.0.1");
}

// Wine's WSACancelAsyncRequest does not stop the lookup: its reply still
// comes. The layer drops it and never writes the caller's buffer.
TEST_F(Win32LayerTest, CancelledLookupIsNeitherWrittenNorDelivered) {
    const win::UINT kMsg = 0x0701, kDone = 0x0702;
    std::vector<char> buffer(1024, '\x55');
    win::HANDLE h = win::WSAAsyncGetHostByName(hwnd_, kMsg, "localhost", buffer.data(), 1024);
    ASSERT_NE(h, 0);
    EXPECT_EQ(win::WSACancelAsyncRequest(h), 0);
    EXPECT_EQ(win::WSACancelAsyncRequest(h), win::SOCKET_ERROR);
    EXPECT_EQ(win::WSAGetLastError(), 10037);   // WSAEALREADY: the request has ended
    // A second lookup after it: once its reply is in, the first one's would have come too.
    std::vector<char> other(1024);
    win::HANDLE h2 = win::WSAAsyncGetHostByName(hwnd_, kDone, "localhost", other.data(), 1024);
    ASSERT_TRUE(PumpUntil([&] { return Seen(kDone, h2, -1); }));
    win::Sleep(200);
    win::DoEvents();
    EXPECT_FALSE(Seen(kMsg, h, -1));
    EXPECT_EQ(buffer, std::vector<char>(1024, '\x55'));
    // A delivered request has ended too.
    EXPECT_EQ(win::WSACancelAsyncRequest(h2), win::SOCKET_ERROR);
    EXPECT_EQ(win::WSAGetLastError(), 10037);
}

}  // namespace
