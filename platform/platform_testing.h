// Test hooks of the platform layer: fault injection for the calls whose
// failures the socket service must survive, and the initial window procedure
// of new message windows. Not used by the program itself.
#pragma once

#include <cstdint>

#include "platform/message_window.h"

namespace win::testing {

// The next WSAStartup returns this code (0 = behave normally). One-shot.
void FailNextWSAStartup(int code);
// The next WSACleanup returns -1 with this code as the last error. One-shot.
void FailNextWSACleanup(int code);
// The next CreateWindowExA returns 0. One-shot.
void FailNextCreateWindow();
// The next DestroyWindow fails (returns false, the window stays). One-shot.
void FailNextDestroyWindow();
// The procedure that new message windows start with (nullptr: DefWindowProcA).
void SetInitialWindowProc(WNDPROC proc);
// Clears a quit request so that RunMessageLoop can run again.
void ClearQuitRequest();
// With on, connects and datagrams to addresses outside 127.0.0.0/8 fail as
// unreachable (10051) without leaving the machine.
void KeepTrafficOnLoopback(bool on);
// Number of sockets the layer currently tracks, and of queued messages.
int TrackedSocketCount();
int QueuedMessageCount();
// How many epoll reports for sockets the loop has handled so far.
int SocketReportCount();
// How many times an open socket's epoll entry has been added, changed or removed.
int InterestChangeCount();

}  // namespace win::testing
