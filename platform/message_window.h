// Message windows and the one event loop of the process: the part of the
// window system that the socket code and the main window lean on.
//
// One loop per process, on the program thread. It owns an epoll instance, a
// FIFO queue of posted messages and an eventfd that wakes it. Everything in
// this header except PostMessageA must be called from the program thread.
#pragma once

#ifdef _WIN32
#include "platform/win32/real_api.h"  // first: the real headers' macros of the names below go
#endif

#include <cstdint>
#include <functional>
#include <string>

namespace win {

using HWND = int32_t;     // small positive integer, never reused while the process lives
using UINT = uint32_t;
using WPARAM = int32_t;
using LPARAM = int32_t;
using LRESULT = int32_t;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

constexpr int GWL_WNDPROC = -4;

// The default procedure of every message window: ignores the message, returns 0.
LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Creates a message window of the given class and name. Its procedure starts
// as DefWindowProcA. Returns 0 on failure.
HWND CreateWindowExA(int32_t exStyle, const std::string& className, const std::string& windowName);
// Destroys the window and drops its queued messages. False if there is no such window.
bool DestroyWindow(HWND hwnd);
bool IsWindow(HWND hwnd);
std::string GetWindowName(HWND hwnd);

// nIndex must be GWL_WNDPROC. Set returns the previous procedure (nullptr on a bad window).
WNDPROC GetWindowLongA(HWND hwnd, int nIndex);
WNDPROC SetWindowLongA(HWND hwnd, int nIndex, WNDPROC proc);
LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Appends a message to the queue; never runs anything itself. The only call
// that may come from another thread. False if the window does not exist.
bool PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Dispatches queued messages in order, waits in epoll when the queue is empty,
// and returns when QuitMessageLoop has been called (the quit request is
// checked before every dispatch; returning consumes it).
void RunMessageLoop();
void QuitMessageLoop();
bool QuitRequested();
// Handles what is pending now, once, without waiting: queued messages, socket
// readiness that is already there, and the toolkit's pending events.
void DoEvents();
// The pollable descriptor (the epoll fd) for a GUI toolkit's loop to watch, and
// the non-blocking pump to call when it becomes readable.
int EventLoopFd();
void PumpEventLoop();
// A GUI toolkit registers here how to handle its own pending events; DoEvents calls it.
void SetToolkitPump(std::function<void()> pump);
// Waits until a message is queued or the time has passed, handling socket
// readiness and finished lookups meanwhile (which may queue messages); dispatches
// nothing. For bounded waits in tests and in headless tools.
void WaitMessageTimeout(uint32_t milliseconds);

// Window timers. Every `milliseconds` a WM_TIMER message (wParam = id) is
// queued for the window; with a proc, dispatching that message calls the proc
// instead of the window procedure. At most one WM_TIMER of a timer waits in
// the queue at a time. SetTimer on a timer that exists restarts it with the
// new period; KillTimer stops it and drops its queued message. A timer ends
// with its window. False if the window (SetTimer) or the timer (KillTimer)
// does not exist.
constexpr UINT WM_TIMER = 0x0113;
using TIMERPROC = void (*)(HWND hwnd, UINT msg, uint32_t id, uint32_t tickCount);
bool SetTimer(HWND hwnd, uint32_t id, uint32_t milliseconds, TIMERPROC proc = nullptr);
bool KillTimer(HWND hwnd, uint32_t id);

// Blocks the thread; nothing is dispatched meanwhile.
void Sleep(uint32_t milliseconds);

// Opens a file or web address with the desktop's default handler (xdg-open),
// started detached; the result is ignored.
void ShellExecuteA(HWND hwnd, const std::string& operation, const std::string& file);

}  // namespace win
