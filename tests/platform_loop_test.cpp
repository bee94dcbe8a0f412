// Tests of the message windows, the loop, the error codes and the host
// lookups of the platform layer. Every wait is bounded.
#include <ifaddrs.h>
#include <malloc.h>
#include <net/if.h>
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

#include "platform/fd_watch.h"
#include "platform/message_window.h"
#include "platform/platform_testing.h"
#include "platform/winsock.h"
#include "tests/platform_support.h"

using namespace std::chrono;
using namespace ptest;

namespace {

// ---- message windows and the loop ----

TEST(MessageWindow, HandlesAreNeverReused) {
    win::HWND a = win::CreateWindowExA(0, "STATIC", "A");
    win::HWND b = win::CreateWindowExA(0, "STATIC", "B");
    EXPECT_GT(a, 0);
    EXPECT_GT(b, a);
    EXPECT_EQ(win::GetWindowName(a), "A");
    EXPECT_TRUE(win::DestroyWindow(a));
    EXPECT_FALSE(win::IsWindow(a));
    EXPECT_FALSE(win::DestroyWindow(a));
    win::HWND c = win::CreateWindowExA(0, "STATIC", "C");
    EXPECT_GT(c, b);
    win::DestroyWindow(b);
    win::DestroyWindow(c);
}

TEST(MessageWindow, ADestroyedWindowLeavesNothingBehind) {
    // A socket service creates a window for each first socket and destroys it
    // with the last one: a long-lived program goes through any number of them.
    win::DestroyWindow(win::CreateWindowExA(0, "STATIC", "warm-up"));
    const struct mallinfo2 before = mallinfo2();
    for (int i = 0; i < 100000; ++i) {
        win::HWND h = win::CreateWindowExA(0, "STATIC", "SOCKET_WINDOW");
        ASSERT_TRUE(win::DestroyWindow(h));
    }
    const struct mallinfo2 after = mallinfo2();
    EXPECT_LE(after.uordblks + after.hblkhd, before.uordblks + before.hblkhd + 4096);
}

TEST(MessageWindow, ProcedureReplacementReturnsPrevious) {
    win::HWND h = win::CreateWindowExA(0, "STATIC", "P");
    EXPECT_EQ(win::GetWindowLongA(h, win::GWL_WNDPROC), &win::DefWindowProcA);
    EXPECT_EQ(win::SetWindowLongA(h, win::GWL_WNDPROC, &RecordProc), &win::DefWindowProcA);
    EXPECT_EQ(win::GetWindowLongA(h, win::GWL_WNDPROC), &RecordProc);
    EXPECT_EQ(win::GetWindowLongA(h, 0), nullptr);
    EXPECT_EQ(win::SetWindowLongA(9999999, win::GWL_WNDPROC, &RecordProc), nullptr);
    g_received.clear();
    EXPECT_EQ(win::CallWindowProcA(&RecordProc, h, 5, 6, 7), 0);
    ASSERT_EQ(g_received.size(), 1u);
    EXPECT_EQ(g_received[0].wParam, 6);
    win::DestroyWindow(h);
    g_received.clear();
}

TEST(MessageWindow, PostedMessagesAreDispatchedInOrderAndNeverInline) {
    win::HWND h = win::CreateWindowExA(0, "STATIC", "Q");
    win::SetWindowLongA(h, win::GWL_WNDPROC, &RecordProc);
    g_received.clear();
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(win::PostMessageA(h, 0x400, i, -i));
    EXPECT_TRUE(g_received.empty());
    EXPECT_FALSE(win::PostMessageA(9999999, 0x400, 0, 0));
    win::DoEvents();
    ASSERT_EQ(g_received.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(g_received[i].wParam, i);
        EXPECT_EQ(g_received[i].lParam, -i);
    }
    win::DestroyWindow(h);
    g_received.clear();
}

TEST(MessageWindow, DestroyWindowDropsQueuedMessages) {
    win::HWND h = win::CreateWindowExA(0, "STATIC", "D");
    win::SetWindowLongA(h, win::GWL_WNDPROC, &RecordProc);
    g_received.clear();
    win::PostMessageA(h, 0x400, 1, 0);
    win::PostMessageA(h, 0x400, 2, 0);
    EXPECT_TRUE(win::DestroyWindow(h));
    EXPECT_FALSE(win::PostMessageA(h, 0x400, 3, 0));
    win::DoEvents();
    EXPECT_TRUE(g_received.empty());
}

win::LRESULT QuitOnFirst(win::HWND, win::UINT, win::WPARAM wParam, win::LPARAM lParam) {
    g_received.push_back({0, 0, wParam, 0});
    if (wParam == 1 && lParam == 0) win::QuitMessageLoop();
    return 0;
}

// A descriptor watch reports each arming once, level-triggered, and a watch
// that goes takes its waiting reports with it.
TEST(MessageLoop, DescriptorWatchesPostOncePerArmingAndUnwatchDropsTheirReports) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    win::HWND h = win::CreateWindowExA(0, "STATIC", "W");
    win::SetWindowLongA(h, win::GWL_WNDPROC, &RecordProc);
    g_received.clear();
    auto reports = [&] {
        std::vector<int32_t> bits;
        for (auto& r : g_received)
            if (r.msg == 0x412 && r.wParam == pair[0]) bits.push_back(r.lParam);
        return bits;
    };
    ASSERT_EQ(win::WatchDescriptor(pair[0], h, 0x412, win::FD_READ), 0);
    PumpFor(50);
    EXPECT_TRUE(reports().empty());                                   // nothing to read yet
    ASSERT_EQ(::write(pair[1], "x", 1), 1);
    ASSERT_TRUE(PumpUntil([&] { return !reports().empty(); }));
    PumpFor(50);
    EXPECT_EQ(reports(), std::vector<int32_t>{win::FD_READ});         // once, though still readable
    ASSERT_EQ(win::WatchDescriptor(pair[0], h, 0x412, win::FD_READ | win::FD_WRITE), 0);
    ASSERT_TRUE(PumpUntil([&] { return reports().size() == 2; }));
    EXPECT_EQ(reports()[1], win::FD_READ | win::FD_WRITE);            // still unread: reported again
    ASSERT_EQ(win::WatchDescriptor(pair[0], h, 0x412, win::FD_WRITE), 0);
    win::WaitMessageTimeout(1000);                                    // the report is queued, not dispatched
    win::UnwatchDescriptor(pair[0]);
    PumpFor(50);
    EXPECT_EQ(reports().size(), 2u);
    EXPECT_EQ(win::WatchDescriptor(-1, h, 0x412, win::FD_READ), -1);
    win::DestroyWindow(h);
    ::close(pair[0]);
    ::close(pair[1]);
    g_received.clear();
}

TEST(MessageLoop, QuitIsCheckedBeforeEveryDispatch) {
    win::HWND h = win::CreateWindowExA(0, "STATIC", "R");
    win::SetWindowLongA(h, win::GWL_WNDPROC, &QuitOnFirst);
    g_received.clear();
    win::PostMessageA(h, 0x400, 1, 0);
    win::PostMessageA(h, 0x400, 2, 0);
    win::PostMessageA(h, 0x400, 3, 0);
    win::RunMessageLoop();
    EXPECT_EQ(g_received.size(), 1u);
    EXPECT_FALSE(win::QuitRequested()) << "returning consumes the request";
    win::DoEvents();
    EXPECT_EQ(g_received.size(), 3u);
    // A request made before the loop runs ends it before its first dispatch.
    win::PostMessageA(h, 0x400, 4, 0);
    win::QuitMessageLoop();
    EXPECT_TRUE(win::QuitRequested());
    win::RunMessageLoop();
    EXPECT_EQ(g_received.size(), 3u);
    win::DoEvents();
    EXPECT_EQ(g_received.size(), 4u);
    win::DestroyWindow(h);
    g_received.clear();
}

// Timers: WM_TIMER to the window procedure, or a timer procedure instead;
// the waiting loop wakes for them; KillTimer stops them.
std::vector<std::pair<win::UINT, win::WPARAM>> g_timerMessages;
int g_timerProcCalls = 0;

win::LRESULT RecordTimer(win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM) {
    g_timerMessages.push_back({msg, wParam});
    if (g_timerMessages.size() == 3) win::QuitMessageLoop();
    return 0;
}

void CountTimer(win::HWND hwnd, win::UINT msg, uint32_t id, uint32_t) {
    EXPECT_EQ(msg, win::WM_TIMER);
    EXPECT_EQ(id, 9u);
    if (++g_timerProcCalls == 2) win::KillTimer(hwnd, id);
}

TEST(MessageLoop, TimersWakeTheLoopUntilKilled) {
    win::HWND h = win::CreateWindowExA(0, "STATIC", "Timers");
    win::SetWindowLongA(h, win::GWL_WNDPROC, &RecordTimer);
    g_timerMessages.clear();
    ASSERT_TRUE(win::SetTimer(h, 7, 5));
    win::RunMessageLoop();   // returns after the third WM_TIMER
    EXPECT_EQ(g_timerMessages, (std::vector<std::pair<win::UINT, win::WPARAM>>(3, {win::WM_TIMER, 7})));
    EXPECT_TRUE(win::KillTimer(h, 7));
    EXPECT_FALSE(win::KillTimer(h, 7));

    // With a procedure: the window procedure sees nothing.
    g_timerMessages.clear();
    ASSERT_TRUE(win::SetTimer(h, 9, 1, &CountTimer));
    auto deadline = steady_clock::now() + seconds(30);
    while (g_timerProcCalls < 2 && steady_clock::now() < deadline) win::WaitMessageTimeout(100), win::DoEvents();
    EXPECT_EQ(g_timerProcCalls, 2);
    win::WaitMessageTimeout(50);
    win::DoEvents();
    EXPECT_EQ(g_timerProcCalls, 2);
    EXPECT_TRUE(g_timerMessages.empty());
    EXPECT_FALSE(win::SetTimer(12345, 1, 1));   // no such window
    win::DestroyWindow(h);
}

TEST(MessageLoop, PostFromAnotherThreadWakesTheLoop) {
    win::HWND h = win::CreateWindowExA(0, "STATIC", "T");
    win::SetWindowLongA(h, win::GWL_WNDPROC, &QuitOnFirst);
    g_received.clear();
    std::atomic<bool> posted{false}, done{false}, guardFired{false};
    std::thread t([&] {
        std::this_thread::sleep_for(milliseconds(50));
        posted = win::PostMessageA(h, 0x400, 1, 0);
    });
    // If the wake-up were lost, the guard posts again after its bound, so the
    // test fails instead of hanging.
    std::thread guard([&] {
        for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(milliseconds(10));
        if (!done) {
            guardFired = true;
            win::PostMessageA(h, 0x400, 1, 0);
        }
    });
    win::RunMessageLoop();
    done = true;
    t.join();
    guard.join();
    EXPECT_TRUE(posted);
    EXPECT_FALSE(guardFired) << "the loop slept through a post from another thread";
    win::testing::ClearQuitRequest();
    win::DoEvents();
    win::DestroyWindow(h);
    g_received.clear();
}

TEST(MessageLoop, DoEventsHandlesPendingMessagesOnceAndCallsTheToolkitPump) {
    win::HWND h = win::CreateWindowExA(0, "STATIC", "E");
    win::SetWindowLongA(h, win::GWL_WNDPROC, &RecordProc);
    g_received.clear();
    int pumped = 0;
    win::SetToolkitPump([&] {
        ++pumped;
        win::PostMessageA(h, 0x400, 2, 0);  // posted while DoEvents runs: waits for the next round
    });
    win::PostMessageA(h, 0x400, 1, 0);
    win::DoEvents();
    EXPECT_EQ(pumped, 1);
    ASSERT_EQ(g_received.size(), 1u);
    win::SetToolkitPump(nullptr);
    win::DoEvents();
    ASSERT_EQ(g_received.size(), 2u);
    EXPECT_EQ(g_received[1].wParam, 2);
    win::DoEvents();  // nothing pending: returns without waiting
    EXPECT_EQ(g_received.size(), 2u);
    win::DestroyWindow(h);
    g_received.clear();
}

TEST(MessageLoop, EventLoopFdIsReadableWhileMessagesWait) {
    win::HWND h = win::CreateWindowExA(0, "STATIC", "F");
    win::SetWindowLongA(h, win::GWL_WNDPROC, &RecordProc);
    win::DoEvents();
    g_received.clear();
    pollfd p{win::EventLoopFd(), POLLIN, 0};
    win::PostMessageA(h, 0x400, 1, 0);
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    win::PumpEventLoop();
    EXPECT_EQ(g_received.size(), 1u);
    // Nothing pending any more: the descriptor is quiet.
    p.revents = 0;
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    win::DestroyWindow(h);
    g_received.clear();
}

TEST(MessageLoop, SleepBlocksWithoutDispatching) {
    win::HWND h = win::CreateWindowExA(0, "STATIC", "S");
    win::SetWindowLongA(h, win::GWL_WNDPROC, &RecordProc);
    g_received.clear();
    win::PostMessageA(h, 0x400, 1, 0);
    win::Sleep(30);
    EXPECT_TRUE(g_received.empty());
    win::DoEvents();
    EXPECT_EQ(g_received.size(), 1u);
    win::DestroyWindow(h);
    g_received.clear();
}

TEST(Shell, ShellExecuteLeavesNoChildBehind) {
    win::ShellExecuteA(0, "open", "/nonexistent/varnel-readme-test.txt");
    int status;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// ---- error codes ----

TEST(Errors, ErrnoTable) {
    struct {
        int err;
        int code;
    } rows[] = {{EACCES, 10013},       {EPERM, 10013},          {EFAULT, 10014},      {EINVAL, 10022},
                {EMFILE, 10024},       {ENFILE, 10024},         {EAGAIN, 10035},      {EWOULDBLOCK, 10035},
                {EINPROGRESS, 10035},  {EALREADY, 10037},       {EBADF, 10038},       {ENOTSOCK, 10038},
                {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},       {EPROTOTYPE, 10041},  {ENOPROTOOPT, 10042},
                {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045}, {EAFNOSUPPORT, 10047},
                {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},  {ENETDOWN, 10050},    {ENETUNREACH, 10051},
                {ENETRESET, 10052},    {ECONNABORTED, 10053},   {ECONNRESET, 10054},  {EPIPE, 10054},
                {ENOBUFS, 10055},      {ENOMEM, 10055},         {EISCONN, 10056},     {ENOTCONN, 10057},
                {ESHUTDOWN, 10058},    {ETIMEDOUT, 10060},      {ECONNREFUSED, 10061}, {EHOSTDOWN, 10064},
                {EHOSTUNREACH, 10065}};
    for (auto& r : rows) EXPECT_EQ(win::WsaErrorFromErrno(r.err), r.code) << r.err;
    EXPECT_EQ(win::WsaErrorFromGai(EAI_NONAME, 0), 11001);
    EXPECT_EQ(win::WsaErrorFromGai(EAI_AGAIN, 0), 11002);
    EXPECT_EQ(win::WsaErrorFromGai(EAI_FAIL, 0), 11003);
    EXPECT_EQ(win::WsaErrorFromGai(EAI_NODATA, 0), 11004);
    EXPECT_EQ(win::WsaErrorFromGai(EAI_ADDRFAMILY, 0), 11004);
    EXPECT_EQ(win::WsaErrorFromGai(EAI_MEMORY, 0), 10055);
    EXPECT_EQ(win::WsaErrorFromGai(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST(Errors, FailingCallsLeaveWindowsCodes) {
    EXPECT_EQ(win::closesocket(-5), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10038);
    EXPECT_EQ(win::socket(99, win::SOCK_STREAM_WS, 0), win::INVALID_SOCKET);
    EXPECT_EQ(win::WSAGetLastError(), 10047);
    EXPECT_EQ(win::socket(win::AF_INET_WS, 7, 0), win::INVALID_SOCKET);
    EXPECT_EQ(win::WSAGetLastError(), 10044);

    uint16_t port;
    int holder = RawListener(&port);
    win::SOCKET s = win::socket(win::AF_INET_WS, win::SOCK_STREAM_WS, win::IPPROTO_TCP_WS);
    auto addr = Loopback(port);
    EXPECT_EQ(win::bind(s, &addr, sizeof addr), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10048);
    EXPECT_EQ(win::bind(s, &addr, 8), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10014);
    EXPECT_EQ(win::send(s, "x", 1, 0), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10057);
    win::SOCKADDR_IN peer{};
    int len = sizeof peer;
    EXPECT_EQ(win::getpeername(s, &peer, &len), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10057);
    EXPECT_EQ(win::WSAAsyncSelect(12345, 1, kSockMsg, 0x3B), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10038);
    EXPECT_EQ(win::closesocket(s), 0);
    ::close(holder);
}

TEST(Errors, StartupAndCleanup) {
    win::WSADATA data{};
    EXPECT_EQ(win::WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    EXPECT_EQ(win::WSACleanup(), 0);
    EXPECT_EQ(win::WSACleanup(), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10093);
    EXPECT_EQ(win::WSAStartup(0, &data), 10092);
}

TEST(Sockets, OptionsAndAddresses) {
    win::SOCKET t = win::socket(win::AF_INET_WS, win::SOCK_STREAM_WS, win::IPPROTO_TCP_WS);
    win::SOCKET u = win::socket(win::AF_INET_WS, win::SOCK_DGRAM_WS, win::IPPROTO_UDP_WS);
    int value = 0, len = 4;
    EXPECT_EQ(win::getsockopt(u, win::SOL_SOCKET_WS, win::SO_MAX_MSG_SIZE_WS, reinterpret_cast<char*>(&value), &len), 0);
    EXPECT_EQ(value, 65507);
    int snd = 0, rcv = 0;
    EXPECT_EQ(win::getsockopt(t, win::SOL_SOCKET_WS, win::SO_SNDBUF_WS, reinterpret_cast<char*>(&snd), &len), 0);
    EXPECT_EQ(win::getsockopt(t, win::SOL_SOCKET_WS, win::SO_RCVBUF_WS, reinterpret_cast<char*>(&rcv), &len), 0);
    EXPECT_GT(snd, 0);
    EXPECT_GT(rcv, 0);
    int one = 1;
    EXPECT_EQ(win::setsockopt(u, win::SOL_SOCKET_WS, win::SO_BROADCAST_WS, reinterpret_cast<char*>(&one), 4), 0);
    EXPECT_EQ(win::getsockopt(t, win::SOL_SOCKET_WS, 0x7777, reinterpret_cast<char*>(&value), &len), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10042);
    EXPECT_EQ(win::inet_addr("127.0.0.1"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(win::inet_addr("nonsense"), 0xFFFFFFFFu);
    EXPECT_EQ(win::inet_ntoa(win::inet_addr("192.168.1.1")), "192.168.1.1");
    auto addr = Loopback(0);
    EXPECT_EQ(win::bind(t, &addr, sizeof addr), 0);
    win::SOCKADDR_IN bound{};
    int blen = sizeof bound;
    EXPECT_EQ(win::getsockname(t, &bound, &blen), 0);
    EXPECT_NE(bound.sin_port, 0);
    EXPECT_EQ(bound.sin_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(bound.sin_family, win::AF_INET_WS);
    win::closesocket(t);
    win::closesocket(u);
}

// ---- lookups ----

TEST_F(NotifyTest, LookupOfLocalhost) {
    std::vector<char> block(1024, '\x5A');
    win::HANDLE h = win::WSAAsyncGetHostByName(hwnd, kResolveMsg, "localhost", block.data(), 1024);
    ASSERT_NE(h, 0);
    EXPECT_EQ(block[0], '\x5A') << "nothing is written before the reply is dispatched";
    ASSERT_TRUE(PumpUntil([&] { return !g_received.empty(); }));
    ASSERT_EQ(g_received.size(), 1u);
    EXPECT_EQ(g_received[0].msg, kResolveMsg);
    EXPECT_EQ(g_received[0].wParam, h);
    EXPECT_EQ(Error(g_received[0]), 0);
    uint32_t address = 0;
    ASSERT_TRUE(win::FirstHostAddress(block.data(), &address));
    EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
    win::HOSTENT_REC rec;
    std::memcpy(&rec, block.data(), sizeof rec);
    EXPECT_EQ(rec.h_addrtype, 2);
    EXPECT_EQ(rec.h_length, 4);
    EXPECT_EQ(win::WSACancelAsyncRequest(h), -1) << "already completed";
    EXPECT_EQ(win::WSAGetLastError(), 10037);
}

TEST_F(NotifyTest, LookupOfUnknownNameGives11001AndWritesNothing) {
    std::vector<char> block(1024, '\x5A');
    win::HANDLE h = win::WSAAsyncGetHostByName(hwnd, kResolveMsg, "no-such-host..invalid", block.data(), 1024);
    ASSERT_NE(h, 0);
    ASSERT_TRUE(PumpUntil([&] { return !g_received.empty(); }, 15000));
    EXPECT_EQ(g_received[0].wParam, h);
    EXPECT_EQ(Error(g_received[0]), 11001);
    EXPECT_EQ(std::count(block.begin(), block.end(), '\x5A'), 1024);
}

TEST_F(NotifyTest, CancelledLookupDeliversNothingAndWritesNothing) {
    std::vector<char> a(1024, '\x5A'), b(1024, '\x5A');
    win::HANDLE h1 = win::WSAAsyncGetHostByName(hwnd, kResolveMsg, "localhost", a.data(), 1024);
    win::HANDLE h2 = win::WSAAsyncGetHostByName(hwnd, kResolveMsg, "localhost", b.data(), 1024);
    ASSERT_NE(h1, 0);
    EXPECT_GT(h2, h1) << "handles are never reused";
    EXPECT_EQ(win::WSACancelAsyncRequest(h1), 0);
    // Let the second one (queued behind the first on the one worker) finish.
    ASSERT_TRUE(PumpUntil([&] { return !g_received.empty(); }));
    PumpFor(200);
    ASSERT_EQ(g_received.size(), 1u);
    EXPECT_EQ(g_received[0].wParam, h2);
    EXPECT_EQ(std::count(a.begin(), a.end(), '\x5A'), 1024);
    // Cancel after the worker finished but before dispatch: still nothing.
    std::vector<char> c(1024, '\x5A');
    g_received.clear();
    win::HANDLE h3 = win::WSAAsyncGetHostByName(hwnd, kResolveMsg, "localhost", c.data(), 1024);
    auto deadline = steady_clock::now() + seconds(5);
    while (win::testing::QueuedMessageCount() == 0 && steady_clock::now() < deadline)
        win::WaitMessageTimeout(20);
    ASSERT_GT(win::testing::QueuedMessageCount(), 0);
    EXPECT_EQ(win::WSACancelAsyncRequest(h3), 0);
    PumpFor(100);
    EXPECT_TRUE(g_received.empty());
    EXPECT_EQ(std::count(c.begin(), c.end(), '\x5A'), 1024);
    EXPECT_EQ(win::WSACancelAsyncRequest(h3), -1);
}

TEST(Lookup, BlockingLookupsAndTheLocalHostsOwnName) {
    const win::HOSTENT_REC* rec = win::gethostbyname("localhost");
    ASSERT_NE(rec, nullptr);
    uint32_t address = 0;
    ASSERT_TRUE(win::FirstHostAddress(rec, &address));
    EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(win::gethostbyname("no-such-host..invalid"), nullptr);
    EXPECT_EQ(win::WSAGetLastError(), 11001);

    char name[256];
    ASSERT_EQ(win::gethostname(name, sizeof name), 0);
    char tiny[1];
    EXPECT_EQ(win::gethostname(tiny, 1), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10014);
    std::vector<uint32_t> up;
    ifaddrs* list = nullptr;
    ::getifaddrs(&list);
    for (ifaddrs* i = list; i; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_UP) &&
            !(i->ifa_flags & IFF_LOOPBACK))
            up.push_back(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    ::freeifaddrs(list);
    rec = win::gethostbyname(name);
    ASSERT_NE(rec, nullptr);
    ASSERT_TRUE(win::FirstHostAddress(rec, &address));
    if (!up.empty()) {
        EXPECT_EQ(address, up[0]) << "non-loopback interface addresses come first";
    }
}

}  // namespace
