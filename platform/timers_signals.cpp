#include "platform/timers_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/loop_internal.h"
#include "platform/loop_state.h"

namespace win {

namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
    HWND hwnd;
    UINT id;
    Clock::duration period;
    Clock::time_point due;
};

struct TimerState {
    int fd = -1;
    bool programmed = false;     // the timerfd is set to fire at programmedFor
    Clock::time_point programmedFor;
    std::vector<Timer> timers;   // a handful at most
};

TimerState& T() {
    static TimerState state;
    return state;
}

std::string Reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool EnsureTimerFd(std::string* error) {
    TimerState& t = T();
    if (t.fd >= 0) return true;
    t.fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (t.fd < 0) {
        if (error) *error = Reason("the event loop's timer could not be created");
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = detail::kTimerTag;
    if (::epoll_ctl(detail::LoopEpollFd(), EPOLL_CTL_ADD, t.fd, &ev) != 0) {
        if (error) *error = Reason("the event loop's timer could not be watched");
        ::close(t.fd);
        t.fd = -1;
        return false;
    }
    return true;
}

// Sets the timerfd to the earliest due time unless it already fires no later.
void Program(TimerState& t) {
    if (t.timers.empty()) return;  // a stale setting only causes one empty wake-up
    Clock::time_point earliest = t.timers.front().due;
    for (const Timer& timer : t.timers) earliest = std::min(earliest, timer.due);
    if (t.programmed && t.programmedFor <= earliest) return;
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(earliest - Clock::now()).count();
    if (left < 1) left = 1;  // zero would disarm the timerfd
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(left / 1000000000);
    spec.it_value.tv_nsec = static_cast<long>(left % 1000000000);
    ::timerfd_settime(t.fd, 0, &spec, nullptr);
    t.programmed = true;
    t.programmedFor = earliest;
}

// --- stop signals ---

int g_signalPipe[2] = {-1, -1};
HWND g_signalWindow = 0;
UINT g_signalMessage = 0;
volatile sig_atomic_t g_signalCount[65] = {};

void OnStopSignal(int signo) {
    if (signo <= 0 || signo > 64) return;
    if (g_signalCount[signo] != 0) ::_exit(128 + signo);
    g_signalCount[signo] = 1;
    const int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signo);
    ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

}  // namespace

bool InitEventLoop(std::string* error) { return detail::TryCreateLoop(error) && EnsureTimerFd(error); }

bool SetTimer(HWND hwnd, UINT id, UINT milliseconds, std::string* error) {
    if (!IsWindow(hwnd)) return false;
    if (!EnsureTimerFd(error)) return false;
    TimerState& t = T();
    const Clock::duration period = std::chrono::milliseconds(milliseconds == 0 ? 1 : milliseconds);
    const Clock::time_point due = Clock::now() + period;
    bool found = false;
    for (Timer& timer : t.timers) {
        if (timer.hwnd == hwnd && timer.id == id) {
            timer.period = period;
            timer.due = due;
            found = true;
        }
    }
    if (!found) t.timers.push_back(Timer{hwnd, id, period, due});
    Program(t);
    return true;
}

bool KillTimer(HWND hwnd, UINT id) {
    TimerState& t = T();
    bool found = false;
    for (size_t i = 0; i < t.timers.size();) {
        if (t.timers[i].hwnd == hwnd && t.timers[i].id == id) {
            t.timers.erase(t.timers.begin() + static_cast<std::ptrdiff_t>(i));
            found = true;
        } else {
            ++i;
        }
    }
    detail::PurgeQueue(detail::L(), [hwnd, id](const detail::QueuedMessage& m) {
        return m.hwnd == hwnd && m.msg == WM_TIMER && m.wParam == static_cast<WPARAM>(id);
    });
    return found;
}

bool WatchStopSignals(HWND hwnd, UINT msg, std::initializer_list<int> signals, std::string* error) {
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (error) *error = Reason("the signal pipe could not be created");
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = detail::kSignalTag;
    if (::epoll_ctl(detail::LoopEpollFd(), EPOLL_CTL_ADD, g_signalPipe[0], &ev) != 0 && errno != EEXIST) {
        if (error) *error = Reason("the signal pipe could not be watched");
        return false;
    }
    g_signalWindow = hwnd;
    g_signalMessage = msg;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : signals) {
        if (::sigaction(signo, &action, nullptr) != 0) {
            if (error) *error = Reason("a signal handler could not be installed");
            return false;
        }
    }
    return true;
}

bool SleepUnlessStopSignal(uint32_t milliseconds) {
    if (g_signalPipe[0] < 0) {
        Sleep(milliseconds);
        return false;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{g_signalPipe[0], POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
        if (n > 0) return true;  // the byte stays in the pipe for the loop
        if (n < 0 && errno != EINTR) {
            Sleep(static_cast<uint32_t>(left));
            return false;
        }
    }
}

namespace detail {

void OnTimerReady() {
    TimerState& t = T();
    uint64_t expirations;
    while (::read(t.fd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
    }
    t.programmed = false;
    const Clock::time_point now = Clock::now();
    for (Timer& timer : t.timers) {
        if (timer.due > now) continue;
        PostSocketNotification(timer.hwnd, WM_TIMER, static_cast<WPARAM>(timer.id), 0, -1);
        timer.due = now + timer.period;
    }
    Program(t);
}

void OnSignalReady() {
    unsigned char bytes[16];
    for (;;) {
        ssize_t n = ::read(g_signalPipe[0], bytes, sizeof bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t i = 0; i < n; ++i)
            PostSocketNotification(g_signalWindow, g_signalMessage, static_cast<WPARAM>(bytes[i]), 0, -1);
    }
}

}  // namespace detail

}  // namespace win
