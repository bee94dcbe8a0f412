// Stop signals of the one event loop, and its creation at start-up.
//
// WatchStopSignals installs handlers that only write the signal's number
// into a pipe the loop watches; the loop then posts a message to a window, so
// the program stops between two events, never in the middle of one. The same
// signal arriving a second time before the program has ended makes the
// handler end the process at once with 128 + its number.
#pragma once

#include <csignal>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/message_window.h"

#if defined(_WIN32) && !defined(SIGHUP)
// Windows has no hang-up signal: the console's closing stands for it.
#define SIGHUP 1
#endif

namespace win {

// Creates the event loop on this thread, reporting a failure (no
// descriptors, no memory) instead of ending the process. True when it exists.
bool InitEventLoop(std::string* error);

// Watches the given signals: each one posts msg to hwnd with wParam = the
// signal's number. False (error set) when the pipe or a handler cannot be set up.
bool WatchStopSignals(HWND hwnd, UINT msg, std::initializer_list<int> signals, std::string* error);
// Has signo sent to this process when its parent, process parent, ends (a
// program started by another to work for it); sent at once when the parent
// is already gone. Watched signals then stop the run like any other.
void StopWithParent(long parent, int signo);
// Blocks the thread like Sleep, but returns early (true) as soon as a watched
// signal has arrived that the loop has not handled yet.
bool SleepUnlessStopSignal(uint32_t milliseconds);

}  // namespace win
