// Event loop benchmark: the platform loop next to a plain epoll loop doing the
// same work in the same run.
//   1. messages posted and dispatched per second (post a batch, run the loop
//      until the last one was handled);
//   2. one loopback FD_READ round trip: the peer writes one byte, the loop
//      reports it, the handler reads it and has the peer write the next.
// Prints one short table with the ratios (varnel cost / plain cost).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "platform/message_window.h"
#include "platform/winsock.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMessages = 1'000'000;
constexpr int kRoundTrips = 20'000;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// ---- 1. posted messages ----

int g_handled = 0;
win::LRESULT CountProc(win::HWND, win::UINT, win::WPARAM, win::LPARAM) {
    if (++g_handled == kMessages) win::QuitMessageLoop();
    return 0;
}

double VarnelMessages() {
    win::HWND h = win::CreateWindowExA(0, "STATIC", "BENCH");
    win::SetWindowLongA(h, win::GWL_WNDPROC, &CountProc);
    g_handled = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < kMessages; ++i) win::PostMessageA(h, 0x400, i, 0);
    win::RunMessageLoop();
    auto t1 = Clock::now();
    win::DestroyWindow(h);
    return kMessages / Seconds(t0, t1);
}

struct PlainMessage {
    int hwnd;
    int msg;
    int wParam;
    int lParam;
};

// The plain loop does the same work as the platform loop: posts go through a
// call, each message reaches its handler through a function pointer, and the
// loop looks at epoll once every 64 dispatches so sockets are not starved.
using PlainHandler = void (*)(const PlainMessage&);
int g_plainHandled = 0;
void PlainCount(const PlainMessage&) { ++g_plainHandled; }

struct PlainLoop {
    int ep;
    int wake;
    bool signalled = false;
    std::deque<PlainMessage> queue;
    PlainHandler handlers[2] = {nullptr, &PlainCount};
};

__attribute__((noinline)) void PlainPost(PlainLoop& loop, const PlainMessage& m) {
    loop.queue.push_back(m);
    if (!loop.signalled) {
        uint64_t one = 1;
        if (::write(loop.wake, &one, sizeof one) < 0) std::abort();
        loop.signalled = true;
    }
}

double PlainMessages() {
    PlainLoop loop;
    loop.ep = ::epoll_create1(EPOLL_CLOEXEC);
    loop.wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ::epoll_ctl(loop.ep, EPOLL_CTL_ADD, loop.wake, &ev);
    g_plainHandled = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < kMessages; ++i) PlainPost(loop, {1, 0x400, i, 0});
    int sincePoll = 0;
    while (g_plainHandled < kMessages) {
        if (loop.queue.empty() || sincePoll >= 64) {
            epoll_event out[16];
            int n = ::epoll_wait(loop.ep, out, 16, loop.queue.empty() ? -1 : 0);
            if (n > 0) {
                uint64_t v;
                if (::read(loop.wake, &v, sizeof v) < 0) std::abort();
                loop.signalled = false;
            }
            sincePoll = 0;
            continue;
        }
        PlainMessage m = loop.queue.front();
        loop.queue.pop_front();
        loop.handlers[m.hwnd](m);
        ++sincePoll;
    }
    auto t1 = Clock::now();
    ::close(loop.wake);
    ::close(loop.ep);
    return kMessages / Seconds(t0, t1);
}

// ---- 2. FD_READ round trip ----

struct Pair {
    int client;  // the socket the loop watches
    int peer;    // the other end, written by the handler
};

Pair MakePair(bool throughPlatform) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener, 1);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    int client;
    if (throughPlatform) {
        client = win::socket(win::AF_INET_WS, win::SOCK_STREAM_WS, win::IPPROTO_TCP_WS);
        win::SOCKADDR_IN to{};
        to.sin_family = win::AF_INET_WS;
        to.sin_port = a.sin_port;
        to.sin_addr = a.sin_addr.s_addr;
        win::connect(client, &to, sizeof to);
    } else {
        client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    pollfd p{listener, POLLIN, 0};
    ::poll(&p, 1, 5000);
    int peer = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    int one = 1;
    ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return {client, peer};
}

Pair g_pair;
int g_trips = 0;
win::LRESULT ReadProc(win::HWND, win::UINT, win::WPARAM, win::LPARAM lParam) {
    if ((lParam & 0xFFFF) != win::FD_READ) return 0;
    char c;
    if (win::recv(g_pair.client, &c, 1, 0) != 1) return 0;
    if (++g_trips == kRoundTrips) {
        win::QuitMessageLoop();
        return 0;
    }
    if (::send(g_pair.peer, "x", 1, 0) != 1) std::abort();
    return 0;
}

double VarnelRoundTrip() {
    win::HWND h = win::CreateWindowExA(0, "STATIC", "BENCH");
    win::SetWindowLongA(h, win::GWL_WNDPROC, &ReadProc);
    g_pair = MakePair(true);
    win::WSAAsyncSelect(g_pair.client, h, 0x801, win::FD_READ | win::FD_CLOSE);
    g_trips = 0;
    auto t0 = Clock::now();
    if (::send(g_pair.peer, "x", 1, 0) != 1) std::abort();
    win::RunMessageLoop();
    auto t1 = Clock::now();
    win::closesocket(g_pair.client);
    ::close(g_pair.peer);
    win::DestroyWindow(h);
    return Seconds(t0, t1) / kRoundTrips;
}

double PlainRoundTrip() {
    Pair pair = MakePair(false);
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = pair.client;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, pair.client, &ev);
    int trips = 0;
    auto t0 = Clock::now();
    if (::send(pair.peer, "x", 1, 0) != 1) std::abort();
    while (trips < kRoundTrips) {
        epoll_event out[16];
        int n = ::epoll_wait(ep, out, 16, -1);
        for (int i = 0; i < n; ++i) {
            char c;
            if (::recv(pair.client, &c, 1, 0) != 1) continue;
            if (++trips == kRoundTrips) break;
            if (::send(pair.peer, "x", 1, 0) != 1) std::abort();
        }
    }
    auto t1 = Clock::now();
    ::close(ep);
    ::close(pair.client);
    ::close(pair.peer);
    return Seconds(t0, t1) / kRoundTrips;
}

}  // namespace

int main() {
    // No options: the sizes are small enough for bench/run --quick too.
    double vm = VarnelMessages();
    double pm = PlainMessages();
    double vr = VarnelRoundTrip();
    double pr = PlainRoundTrip();
    std::printf("%-34s %14s %14s %7s\n", "event loop", "varnel", "plain epoll", "ratio");
    std::printf("%-34s %12.2f M %12.2f M %7.2f\n", "messages posted+dispatched per s", vm / 1e6, pm / 1e6,
                pm / vm);
    std::printf("%-34s %11.2f us %11.2f us %7.2f\n", "loopback FD_READ round trip", vr * 1e6, pr * 1e6, vr / pr);
    std::printf("(ratio: varnel cost / plain epoll cost; above 1 means slower)\n");
    std::printf("ROW\tevent loop: messages posted+dispatched\t%.1f M/s\t%.1f M/s (plain epoll loop)\t%.2fx cost\n",
                vm / 1e6, pm / 1e6, pm / vm);
    std::printf("ROW\tevent loop: loopback FD_READ round trip\t%.2f us\t%.2f us (plain epoll loop)\t%.2fx\n",
                vr * 1e6, pr * 1e6, vr / pr);
    return 0;
}
