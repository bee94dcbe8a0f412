// Timers and stop signals of the one event loop.
//
// Timers post WM_TIMER (wParam = the timer's id) to a message window every
// period until KillTimer, as window timers do. One timerfd in the loop's
// epoll instance serves them all; it is only reprogrammed when the earliest
// due time moves earlier, so re-arming a timer on every exchange costs no
// system call (a wake-up that finds nothing due sets the next one).
//
// Stop signals: WatchStopSignals installs handlers that only write the
// signal's number into a pipe the loop watches; the loop then posts a message
// to a window, so the program stops between two events, never in the middle
// of one. The same signal arriving a second time before the program has
// ended makes the handler end the process at once with 128 + its number.
#pragma once

#include <initializer_list>
#include <string>

#include "platform/message_window.h"

namespace win {

constexpr UINT WM_TIMER = 0x0113;

// Creates the event loop and its timer descriptor on this thread, reporting a
// failure (no descriptors, no memory) instead of ending the process. True
// when both exist.
bool InitEventLoop(std::string* error);

// Starts (or restarts with a new period) timer id of hwnd. False on failure
// (no such window, or the loop's timer descriptor cannot be created; error
// set when given).
bool SetTimer(HWND hwnd, UINT id, UINT milliseconds, std::string* error = nullptr);
// Stops the timer and drops its queued WM_TIMER messages. False if it did not run.
bool KillTimer(HWND hwnd, UINT id);

// Watches the given signals: each one posts msg to hwnd with wParam = the
// signal's number. False (error set) when the pipe or a handler cannot be set up.
bool WatchStopSignals(HWND hwnd, UINT msg, std::initializer_list<int> signals, std::string* error);
// Blocks the thread like Sleep, but returns early (true) as soon as a watched
// signal has arrived that the loop has not handled yet.
bool SleepUnlessStopSignal(uint32_t milliseconds);

}  // namespace win
