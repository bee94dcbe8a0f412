// The posted-message queue and the one event loop.
//
// The loop lives on the program thread (the thread that first uses it). It
// owns an epoll instance watching the eventfd that wakes it and the sockets of
// winsock.cpp, a FIFO queue of posted messages, and an inbox that the lookup
// worker (or any other thread calling PostMessageA) fills under a mutex. The
// mutex is the only lock: everything else is program-thread state.
//
// The eventfd is kept signalled while messages wait in the queue outside the
// loop's own functions, so a GUI toolkit that watches EventLoopFd() is woken
// for posted messages as well as for socket readiness.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/loop_internal.h"
#include "platform/loop_state.h"
#include "platform/message_window.h"
#include "platform/platform_testing.h"

namespace win {
namespace detail {

namespace {

// How many messages RunMessageLoop dispatches between two looks at socket
// readiness while its queue never runs empty.
constexpr int kPollEvery = 64;
constexpr int kMaxEvents = 64;

Loop* g_loop = nullptr;

// Null (errno set) when the loop's descriptors cannot be made.
Loop* CreateLoop() {
    int epfd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) return nullptr;
    int wakefd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // Made up front, so that timers work even when no descriptor is left.
    int timerfd = wakefd < 0 ? -1 : ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_event wake{}, timer{};
    wake.events = timer.events = EPOLLIN;
    wake.data.u64 = kWakeTag;
    timer.data.u64 = kTimerTag;
    auto* loop = timerfd < 0 ? nullptr : new (std::nothrow) Loop;  // never destroyed: the worker thread may post until the process ends
    if (loop == nullptr || ::epoll_ctl(epfd, EPOLL_CTL_ADD, wakefd, &wake) != 0 ||
        ::epoll_ctl(epfd, EPOLL_CTL_ADD, timerfd, &timer) != 0) {
        const int err = (timerfd >= 0 && loop == nullptr) ? ENOMEM : errno;
        delete loop;
        ::close(epfd);
        if (wakefd >= 0) ::close(wakefd);
        if (timerfd >= 0) ::close(timerfd);
        errno = err;
        return nullptr;
    }
    loop->programThread = std::this_thread::get_id();
    loop->epfd = epfd;
    loop->wakefd = wakefd;
    loop->timerfd = timerfd;
    return loop;
}

}  // namespace

bool TryCreateLoop(std::string* error) {
    if (g_loop == nullptr) g_loop = CreateLoop();
    if (g_loop == nullptr && error != nullptr)
        *error = std::string("the event loop could not be created: ") + std::strerror(errno);
    return g_loop != nullptr;
}

Loop& L() {
    if (g_loop == nullptr && !TryCreateLoop(nullptr)) {
        // Only reachable when the program did not create the loop at start-up.
        std::perror("varnel: cannot create the event loop");
        std::abort();
    }
    return *g_loop;
}

void WriteWake(int fd) {
    uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Signal(Loop& l) {
    // A running RunMessageLoop looks at its queue before it waits, so posts
    // from the program thread need no wake-up then: that saves two system
    // calls per notification on a busy connection.
    if (l.runDepth > 0) return;
    if (!l.wakeSignalled) {
        WriteWake(l.wakefd);
        l.wakeSignalled = true;
    }
}

Window* FindWindow(Loop& l, HWND hwnd) {
    auto it = l.windows.find(hwnd);
    return it != l.windows.end() && it->second.alive ? &it->second : nullptr;
}

void PurgeQueue(Loop& l, const std::function<bool(const QueuedMessage&)>& match) {
    std::vector<int32_t> lookups;
    auto keep = std::remove_if(l.queue.begin(), l.queue.end(), [&](const QueuedMessage& m) {
        if (!match(m)) return false;
        if (m.lookup != 0) lookups.push_back(m.lookup);
        return true;
    });
    l.queue.erase(keep, l.queue.end());
    for (int32_t handle : lookups) {
        l.lookupRecords.erase(handle);
        ForgetLookup(handle);
    }
}

namespace {

void OnReady(uint64_t tag, uint32_t events) {
    if (tag & kWatchTagBit) {
        OnWatchReady(tag, events);
    } else {
        OnSocketReady(tag, events);
    }
}

void ConsumeWake(Loop& l) {
    uint64_t value;
    while (::read(l.wakefd, &value, sizeof value) < 0 && errno == EINTR) {
    }
    l.wakeSignalled = false;
}

void DrainInbox(Loop& l) {
    if (!l.inboxPending.load(std::memory_order_acquire)) return;
    std::vector<InboxEntry> taken;
    {
        std::lock_guard<std::mutex> lock(l.inboxMutex);
        taken.swap(l.inbox);
        l.inboxPending.store(false, std::memory_order_relaxed);
    }
    for (auto& entry : taken) {
        if (FindWindow(l, entry.message.hwnd) == nullptr) {
            if (entry.message.lookup != 0) ForgetLookup(entry.message.lookup);
            continue;
        }
        if (entry.message.lookup != 0) l.lookupRecords[entry.message.lookup] = std::move(entry.record);
        l.queue.push_back(entry.message);
    }
}

void HandleReport(Loop& l, const epoll_event& event) {
    switch (event.data.u64) {
    case kWakeTag: ConsumeWake(l); break;
    case kTimerTag: FireDueTimers(); break;
    case kSignalTag: OnSignalReady(); break;
    default: OnReady(event.data.u64, event.events); break;
    }
}

// Looks at the epoll instance once (waiting up to timeoutMs, -1 = no limit) and
// handles what it reports. Never runs window procedures.
void PollReadiness(Loop& l, int timeoutMs) {
    RunSocketRechecks();
    if (!l.queue.empty()) timeoutMs = 0;  // a recheck posted: nothing to wait for
    epoll_event events[kMaxEvents];
    int n = ::epoll_wait(l.epfd, events, kMaxEvents, timeoutMs);
    for (int i = 0; i < n; ++i) {
        HandleReport(l, events[i]);
    }
    DrainInbox(l);
}

// Everything already there, without waiting: up to a few rounds of full batches.
void PollReadinessNow(Loop& l) {
    RunSocketRechecks();
    for (int round = 0; round < 8; ++round) {
        epoll_event events[kMaxEvents];
        int n = ::epoll_wait(l.epfd, events, kMaxEvents, 0);
        for (int i = 0; i < n; ++i) {
            HandleReport(l, events[i]);
        }
        if (n < kMaxEvents) break;
    }
    DrainInbox(l);
}

bool DispatchOne(Loop& l) {
    if (l.queue.empty()) return false;
    QueuedMessage m = l.queue.front();
    l.queue.pop_front();
    if (m.lookup != 0) {
        std::vector<char> record;
        auto it = l.lookupRecords.find(m.lookup);
        if (it != l.lookupRecords.end()) {
            record = std::move(it->second);
            l.lookupRecords.erase(it);
        }
        int32_t error = static_cast<int32_t>((static_cast<uint32_t>(m.lParam) >> 16) & 0xFFFF);
        if (!DeliverLookup(m.lookup, error, record)) return true;
    }
    if (m.msg == WM_TIMER && !DispatchTimer(m)) return true;   // a timer proc ran, or the timer is gone
    Window* w = FindWindow(l, m.hwnd);
    if (w == nullptr) return true;
    WNDPROC proc = w->proc;
    if (proc != nullptr) proc(m.hwnd, m.msg, m.wParam, m.lParam);
    return true;
}

// Leaves the eventfd signalled when messages wait, for a toolkit watching the fd.
void KeepSignalWhilePending(Loop& l) {
    if (!l.queue.empty() || SocketRechecksPending()) Signal(l);
}

}  // namespace
}  // namespace detail

using detail::DispatchOne;
using detail::DrainInbox;
using detail::KeepSignalWhilePending;
using detail::L;
using detail::Loop;
using detail::PollReadiness;
using detail::PollReadinessNow;

// ---- the loop ----

// Like GetMessage meeting WM_QUIT, returning consumes the quit request, so a
// later RunMessageLoop runs again.
void RunMessageLoop() {
    Loop& l = L();
    ++l.runDepth;
    for (;;) {
        if (l.quit) {
            l.quit = false;
            --l.runDepth;
            KeepSignalWhilePending(l);
            return;
        }
        DrainInbox(l);
        if (l.queue.empty()) {
            PollReadiness(l, -1);
            l.dispatchedSincePoll = 0;
            continue;
        }
        if (l.dispatchedSincePoll >= detail::kPollEvery) {
            PollReadinessNow(l);
            l.dispatchedSincePoll = 0;
        }
        if (l.quit) continue;
        DispatchOne(l);
        ++l.dispatchedSincePoll;
    }
}

void QuitMessageLoop() { L().quit = true; }

bool QuitRequested() { return L().quit; }

void DoEvents() {
    Loop& l = L();
    DrainInbox(l);
    PollReadinessNow(l);
    size_t pending = l.queue.size();
    for (size_t i = 0; i < pending; ++i) {
        if (!DispatchOne(l)) break;
    }
    if (l.toolkitPump) l.toolkitPump();
    KeepSignalWhilePending(l);
}

int EventLoopFd() { return L().epfd; }

void PumpEventLoop() {
    Loop& l = L();
    DrainInbox(l);
    PollReadinessNow(l);
    size_t pending = l.queue.size();
    for (size_t i = 0; i < pending; ++i) {
        if (l.quit) break;
        if (!DispatchOne(l)) break;
    }
    KeepSignalWhilePending(l);
}

void SetToolkitPump(std::function<void()> pump) { L().toolkitPump = std::move(pump); }

void WaitMessageTimeout(uint32_t milliseconds) {
    Loop& l = L();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    DrainInbox(l);
    while (l.queue.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            PollReadinessNow(l);
            break;
        }
        PollReadiness(l, static_cast<int>(left));
    }
    KeepSignalWhilePending(l);
}

void Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// ---- glue for the other platform parts ----

namespace detail {

int LoopEpollFd() { return L().epfd; }

void SignalLoop() { Signal(L()); }

bool PostSocketNotification(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, int32_t socket) {
    Loop& l = L();
    if (FindWindow(l, hwnd) == nullptr) return false;
    l.queue.push_back(QueuedMessage{hwnd, msg, wParam, lParam, socket, 0});
    Signal(l);
    return true;
}

void PurgeSocketNotifications(int32_t socket) {
    Loop& l = L();
    PurgeQueue(l, [socket](const QueuedMessage& m) { return m.socket == socket; });
}

void PostLookupReply(HWND hwnd, UINT msg, int32_t handle, int32_t error, std::vector<char> record) {
    Loop& l = L();
    LPARAM lParam = static_cast<LPARAM>(static_cast<uint32_t>(error & 0xFFFF) << 16);
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(l.inboxMutex);
        wasEmpty = l.inbox.empty();
        l.inbox.push_back(InboxEntry{QueuedMessage{hwnd, msg, handle, lParam, -1, handle}, std::move(record)});
        l.inboxPending.store(true, std::memory_order_release);
    }
    if (wasEmpty) WriteWake(l.wakefd);
}

}  // namespace detail

namespace testing {

void ClearQuitRequest() { L().quit = false; }
int QueuedMessageCount() {
    Loop& l = L();
    DrainInbox(l);
    return static_cast<int>(l.queue.size());
}

}  // namespace testing

}  // namespace win
