// Window timers on the one event loop. The loop owns one timerfd, always set
// to the earliest due timer; when it fires, every due timer gets its WM_TIMER
// queued (one at a time per timer) and its next due time, and the timerfd is
// set again. Program thread only.
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/loop_internal.h"
#include "platform/loop_state.h"
#include "platform/message_window.h"

namespace win {

using Clock = std::chrono::steady_clock;   // CLOCK_MONOTONIC, as the timerfd

namespace detail {
namespace {

// Sets the timerfd to the earliest due time (disarmed when there is no timer).
void ArmTimerFd(Loop& l) {
    itimerspec when{};
    if (!l.timers.empty()) {
        Clock::time_point first = Clock::time_point::max();
        for (const auto& entry : l.timers) first = std::min(first, entry.second.due);
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(first.time_since_epoch()).count();
        if (ns <= 0) ns = 1;   // zero would disarm
        when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        when.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    ::timerfd_settime(l.timerfd, TFD_TIMER_ABSTIME, &when, nullptr);
}

uint32_t TickCount() {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

}  // namespace

void FireDueTimers() {
    Loop& l = L();
    uint64_t expirations;
    while (::read(l.timerfd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
    }
    const Clock::time_point now = Clock::now();
    for (auto it = l.timers.begin(); it != l.timers.end();) {
        if (FindWindow(l, it->first.first) == nullptr) {   // the window is gone, and its timers with it
            it = l.timers.erase(it);
            continue;
        }
        Timer& t = it->second;
        if (t.due <= now) {
            t.due = now + std::chrono::milliseconds(t.period);
            if (!t.queued) {
                t.queued = true;
                l.queue.push_back(QueuedMessage{it->first.first, WM_TIMER, static_cast<WPARAM>(it->first.second),
                                                static_cast<LPARAM>(TickCount()), -1, 0});
            }
        }
        ++it;
    }
    ArmTimerFd(l);
}

bool DispatchTimer(const QueuedMessage& m) {
    Loop& l = L();
    auto it = l.timers.find({m.hwnd, static_cast<uint32_t>(m.wParam)});
    if (it == l.timers.end()) return false;
    it->second.queued = false;
    if (it->second.proc == nullptr) return true;
    it->second.proc(m.hwnd, WM_TIMER, static_cast<uint32_t>(m.wParam), static_cast<uint32_t>(m.lParam));
    return false;
}

}  // namespace detail

bool SetTimer(HWND hwnd, uint32_t id, uint32_t milliseconds, TIMERPROC proc) {
    detail::Loop& l = detail::L();
    if (detail::FindWindow(l, hwnd) == nullptr) return false;
    detail::Timer& t = l.timers[{hwnd, id}];
    t.period = milliseconds;
    t.due = Clock::now() + std::chrono::milliseconds(milliseconds);
    t.proc = proc;
    detail::ArmTimerFd(l);
    return true;
}

bool KillTimer(HWND hwnd, uint32_t id) {
    detail::Loop& l = detail::L();
    if (l.timers.erase({hwnd, id}) == 0) return false;
    detail::PurgeQueue(l, [hwnd, id](const detail::QueuedMessage& m) {
        return m.hwnd == hwnd && m.msg == WM_TIMER && static_cast<uint32_t>(m.wParam) == id;
    });
    detail::ArmTimerFd(l);
    return true;
}

}  // namespace win
