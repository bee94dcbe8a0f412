// Message windows with replaceable procedures, and posting to them.
#include <algorithm>
#include <mutex>
#include <thread>

#include "platform/loop_internal.h"
#include "platform/loop_state.h"
#include "platform/message_window.h"
#include "platform/platform_testing.h"

namespace win {

using detail::FindWindow;
using detail::InboxEntry;
using detail::L;
using detail::Loop;
using detail::QueuedMessage;
using detail::Signal;
using detail::Window;
using detail::WriteWake;

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

HWND CreateWindowExA(int32_t, const std::string& className, const std::string& windowName) {
    Loop& l = L();
    if (l.failCreate) {
        l.failCreate = false;
        return 0;
    }
    HWND hwnd = l.nextWindow++;
    l.windows[hwnd] = Window{true, className, windowName,
                             l.initialProc != nullptr ? l.initialProc : &DefWindowProcA};
    std::lock_guard<std::mutex> lock(l.inboxMutex);
    l.liveWindows.insert(hwnd);
    return hwnd;
}

bool DestroyWindow(HWND hwnd) {
    Loop& l = L();
    Window* w = FindWindow(l, hwnd);
    if (w == nullptr) return false;
    if (l.failDestroy) {
        l.failDestroy = false;
        return false;
    }
    l.windows.erase(hwnd);  // nothing of a destroyed window stays behind
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
    detail::PurgeQueue(l, [hwnd](const QueuedMessage& m) { return m.hwnd == hwnd; });
    return true;
}

bool IsWindow(HWND hwnd) {
    Loop& l = L();
    return FindWindow(l, hwnd) != nullptr;
}

std::string GetWindowName(HWND hwnd) {
    Loop& l = L();
    Window* w = FindWindow(l, hwnd);
    return w == nullptr ? std::string() : w->windowName;
}

WNDPROC GetWindowLongA(HWND hwnd, int nIndex) {
    Loop& l = L();
    Window* w = FindWindow(l, hwnd);
    if (w == nullptr || nIndex != GWL_WNDPROC) return nullptr;
    return w->proc;
}

WNDPROC SetWindowLongA(HWND hwnd, int nIndex, WNDPROC proc) {
    Loop& l = L();
    Window* w = FindWindow(l, hwnd);
    if (w == nullptr || nIndex != GWL_WNDPROC) return nullptr;
    WNDPROC previous = w->proc;
    w->proc = proc;
    return previous;
}

LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return proc != nullptr ? proc(hwnd, msg, wParam, lParam) : 0;
}

bool PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Loop& l = L();
    QueuedMessage m{hwnd, msg, wParam, lParam, -1, 0};
    if (std::this_thread::get_id() == l.programThread) {
        if (FindWindow(l, hwnd) == nullptr) return false;
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

namespace testing {

void FailNextCreateWindow() { L().failCreate = true; }
void FailNextDestroyWindow() { L().failDestroy = true; }
void SetInitialWindowProc(WNDPROC proc) { L().initialProc = proc; }

}  // namespace testing

}  // namespace win
