// Internal to the platform layer: the state of the one event loop, shared by
// event_loop.cpp (queue, epoll, dispatch) and message_window.cpp (windows and
// posting). Program thread only, except the members guarded by inboxMutex.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/message_window.h"

namespace win::detail {

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
    bool alive = false;
    std::string className;
    std::string windowName;
    WNDPROC proc = nullptr;
};

struct Timer {
    uint32_t period = 0;                         // milliseconds
    std::chrono::steady_clock::time_point due;
    TIMERPROC proc = nullptr;
    bool queued = false;                         // its WM_TIMER waits in the queue
};

struct Loop {
    std::thread::id programThread;
    int epfd = -1;
    int wakefd = -1;
    bool wakeSignalled = false;  // the program thread has written the eventfd and not read it since
    std::deque<QueuedMessage> queue;
    std::unordered_map<HWND, Window> windows;  // the live windows; handles are never reused
    HWND nextWindow = 1;
    std::unordered_map<int32_t, std::vector<char>> lookupRecords;
    bool quit = false;
    int runDepth = 0;   // RunMessageLoop activations on the stack
    std::function<void()> toolkitPump;
    int dispatchedSincePoll = 0;
    int timerfd = -1;                             // set to the earliest due timer
    std::map<std::pair<HWND, uint32_t>, Timer> timers;

    std::mutex inboxMutex;                  // guards the three below
    std::vector<InboxEntry> inbox;
    std::unordered_set<HWND> liveWindows;   // for posts from other threads
    std::atomic<bool> inboxPending{false};

    bool failCreate = false;
    bool failDestroy = false;
    WNDPROC initialProc = nullptr;
};

Loop& L();
// The live window with this handle, or nullptr.
Window* FindWindow(Loop& l, HWND hwnd);
void WriteWake(int fd);
// Makes the loop's descriptor readable (once) while messages wait.
void Signal(Loop& l);
// Drops the queued messages that match (and forgets their lookups).
void PurgeQueue(Loop& l, const std::function<bool(const QueuedMessage&)>& match);

}  // namespace win::detail
