// Message windows, the posted-message queue and the one event loop.
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
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/loop_internal.h"
#include "platform/message_window.h"
#include "platform/platform_testing.h"

namespace win {
namespace {

struct QueuedMessage {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    int32_t socket;  // the socket a notification was posted for, -1 otherwise
    int32_t lookup;  // the lookup request of a reply, 0 otherwise
};

struct InboxEntry {
    QueuedMessage message;
    std::vector<char> record;
};

struct Window {
    std::string className;
    std::string windowName;
    WNDPROC proc;
};

// How many messages RunMessageLoop dispatches between two looks at socket
// readiness while its queue never runs empty.
constexpr int kPollEvery = 64;
constexpr int kMaxEvents = 64;

struct Loop {
    std::thread::id programThread;
    int epfd = -1;
    int wakefd = -1;
    bool wakeSignalled = false;  // the program thread has written the eventfd and not read it since
    std::deque<QueuedMessage> queue;
    std::unordered_map<HWND, Window> windows;
    HWND nextWindow = 1;
    std::unordered_map<int32_t, std::vector<char>> lookupRecords;
    bool quit = false;
    std::function<void()> toolkitPump;
    int dispatchedSincePoll = 0;

    std::mutex inboxMutex;                  // guards the three below
    std::vector<InboxEntry> inbox;
    std::unordered_set<HWND> liveWindows;   // for posts from other threads
    std::atomic<bool> inboxPending{false};

    bool failCreate = false;
    bool failDestroy = false;
    WNDPROC initialProc = nullptr;
};

Loop* CreateLoop() {
    auto* loop = new Loop;  // never destroyed: the worker thread may post until the process ends
    loop->programThread = std::this_thread::get_id();
    loop->epfd = ::epoll_create1(EPOLL_CLOEXEC);
    loop->wakefd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (loop->epfd < 0 || loop->wakefd < 0) {
        std::perror("varnel: cannot create the event loop");
        std::abort();
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = detail::kWakeTag;
    ::epoll_ctl(loop->epfd, EPOLL_CTL_ADD, loop->wakefd, &ev);
    return loop;
}

Loop& L() {
    static Loop* loop = CreateLoop();
    return *loop;
}

void WriteWake(int fd) {
    uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Signal(Loop& l) {
    if (!l.wakeSignalled) {
        WriteWake(l.wakefd);
        l.wakeSignalled = true;
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
        if (l.windows.find(entry.message.hwnd) == l.windows.end()) {
            if (entry.message.lookup != 0) detail::ForgetLookup(entry.message.lookup);
            continue;
        }
        if (entry.message.lookup != 0) l.lookupRecords[entry.message.lookup] = std::move(entry.record);
        l.queue.push_back(entry.message);
    }
}

// Looks at the epoll instance once (waiting up to timeoutMs, -1 = no limit) and
// handles what it reports. Never runs window procedures.
void PollReadiness(Loop& l, int timeoutMs) {
    epoll_event events[kMaxEvents];
    int n = ::epoll_wait(l.epfd, events, kMaxEvents, timeoutMs);
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == detail::kWakeTag) {
            ConsumeWake(l);
        } else {
            detail::OnSocketReady(events[i].data.u64, events[i].events);
        }
    }
    DrainInbox(l);
}

// Everything already there, without waiting: up to a few rounds of full batches.
void PollReadinessNow(Loop& l) {
    for (int round = 0; round < 8; ++round) {
        epoll_event events[kMaxEvents];
        int n = ::epoll_wait(l.epfd, events, kMaxEvents, 0);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == detail::kWakeTag) {
                ConsumeWake(l);
            } else {
                detail::OnSocketReady(events[i].data.u64, events[i].events);
            }
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
        if (!detail::DeliverLookup(m.lookup, error, record)) return true;
    }
    auto w = l.windows.find(m.hwnd);
    if (w == l.windows.end()) return true;
    WNDPROC proc = w->second.proc;
    if (proc != nullptr) proc(m.hwnd, m.msg, m.wParam, m.lParam);
    return true;
}

// Leaves the eventfd signalled when messages wait, for a toolkit watching the fd.
void KeepSignalWhilePending(Loop& l) {
    if (!l.queue.empty()) Signal(l);
}

template <typename Pred>
void PurgeQueue(Loop& l, Pred pred) {
    std::vector<int32_t> lookups;
    auto keep = std::remove_if(l.queue.begin(), l.queue.end(), [&](const QueuedMessage& m) {
        if (!pred(m)) return false;
        if (m.lookup != 0) lookups.push_back(m.lookup);
        return true;
    });
    l.queue.erase(keep, l.queue.end());
    for (int32_t handle : lookups) {
        l.lookupRecords.erase(handle);
        detail::ForgetLookup(handle);
    }
}

}  // namespace

// ---- message windows ----

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

HWND CreateWindowExA(int32_t, const std::string& className, const std::string& windowName) {
    Loop& l = L();
    if (l.failCreate) {
        l.failCreate = false;
        return 0;
    }
    HWND hwnd = l.nextWindow++;
    l.windows.emplace(hwnd, Window{className, windowName,
                                   l.initialProc != nullptr ? l.initialProc : &DefWindowProcA});
    std::lock_guard<std::mutex> lock(l.inboxMutex);
    l.liveWindows.insert(hwnd);
    return hwnd;
}

bool DestroyWindow(HWND hwnd) {
    Loop& l = L();
    auto it = l.windows.find(hwnd);
    if (it == l.windows.end()) return false;
    if (l.failDestroy) {
        l.failDestroy = false;
        return false;
    }
    l.windows.erase(it);
    std::vector<int32_t> lookups;
    {
        std::lock_guard<std::mutex> lock(l.inboxMutex);
        l.liveWindows.erase(hwnd);
        auto keep = std::remove_if(l.inbox.begin(), l.inbox.end(), [&](const InboxEntry& e) {
            if (e.message.hwnd != hwnd) return false;
            if (e.message.lookup != 0) lookups.push_back(e.message.lookup);
            return true;
        });
        l.inbox.erase(keep, l.inbox.end());
    }
    for (int32_t handle : lookups) detail::ForgetLookup(handle);
    PurgeQueue(l, [hwnd](const QueuedMessage& m) { return m.hwnd == hwnd; });
    return true;
}

bool IsWindow(HWND hwnd) {
    Loop& l = L();
    return l.windows.find(hwnd) != l.windows.end();
}

std::string GetWindowName(HWND hwnd) {
    Loop& l = L();
    auto it = l.windows.find(hwnd);
    return it == l.windows.end() ? std::string() : it->second.windowName;
}

WNDPROC GetWindowLongA(HWND hwnd, int nIndex) {
    Loop& l = L();
    auto it = l.windows.find(hwnd);
    if (it == l.windows.end() || nIndex != GWL_WNDPROC) return nullptr;
    return it->second.proc;
}

WNDPROC SetWindowLongA(HWND hwnd, int nIndex, WNDPROC proc) {
    Loop& l = L();
    auto it = l.windows.find(hwnd);
    if (it == l.windows.end() || nIndex != GWL_WNDPROC) return nullptr;
    WNDPROC previous = it->second.proc;
    it->second.proc = proc;
    return previous;
}

LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return proc != nullptr ? proc(hwnd, msg, wParam, lParam) : 0;
}

bool PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Loop& l = L();
    QueuedMessage m{hwnd, msg, wParam, lParam, -1, 0};
    if (std::this_thread::get_id() == l.programThread) {
        if (l.windows.find(hwnd) == l.windows.end()) return false;
        l.queue.push_back(m);
        Signal(l);
        return true;
    }
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(l.inboxMutex);
        if (l.liveWindows.find(hwnd) == l.liveWindows.end()) return false;
        wasEmpty = l.inbox.empty();
        l.inbox.push_back(InboxEntry{m, {}});
        l.inboxPending.store(true, std::memory_order_release);
    }
    if (wasEmpty) WriteWake(l.wakefd);
    return true;
}

// ---- the loop ----

void RunMessageLoop() {
    Loop& l = L();
    for (;;) {
        if (l.quit) return;
        DrainInbox(l);
        if (l.queue.empty()) {
            PollReadiness(l, -1);
            l.dispatchedSincePoll = 0;
            continue;
        }
        if (l.dispatchedSincePoll >= kPollEvery) {
            PollReadinessNow(l);
            l.dispatchedSincePoll = 0;
        }
        if (l.quit) return;
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

bool PostSocketNotification(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, int32_t socket) {
    Loop& l = L();
    if (l.windows.find(hwnd) == l.windows.end()) return false;
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

void FailNextCreateWindow() { L().failCreate = true; }
void FailNextDestroyWindow() { L().failDestroy = true; }
void SetInitialWindowProc(WNDPROC proc) { L().initialProc = proc; }
void ClearQuitRequest() { L().quit = false; }
int QueuedMessageCount() {
    Loop& l = L();
    DrainInbox(l);
    return static_cast<int>(l.queue.size());
}

}  // namespace testing

}  // namespace win
