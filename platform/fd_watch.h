// Watching a descriptor that other code reads and writes itself (a protocol
// library that owns its socket), in the loop's message model: readiness is
// reported as a message to a message window, like a socket notification.
#pragma once

#include <cstdint>

#include "platform/message_window.h"

namespace win {

// Watches fd for the selected conditions (FD_READ, FD_WRITE of winsock.h).
// When one holds, msg is posted to hwnd once, with wParam = fd and lParam =
// the bits that hold (a hang-up or error counts as FD_READ), and the watch is
// disarmed until WatchDescriptor is called again; a condition that still holds
// then is reported again. Replaces an earlier watch of the same descriptor;
// events = 0 disarms it. Returns 0, or -1 when the descriptor cannot be watched.
int WatchDescriptor(int fd, HWND hwnd, UINT msg, int32_t events);
// Stops watching fd and drops its reports still waiting in the queue. Call it
// before the descriptor is closed; harmless for a descriptor that is not watched.
void UnwatchDescriptor(int fd);

}  // namespace win
