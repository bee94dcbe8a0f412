#include "platform/stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/loop_internal.h"
#include "platform/loop_state.h"

namespace win {

namespace {

using Clock = std::chrono::steady_clock;

std::string Reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

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

bool InitEventLoop(std::string* error) { return detail::TryCreateLoop(error); }

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

void StopWithParent(long parent, int signo) {
    ::prctl(PR_SET_PDEATHSIG, signo);
    // The parent may have ended before the request: this process has been
    // adopted by another then.
    if (static_cast<long>(::getppid()) != parent) ::kill(::getpid(), signo);
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
