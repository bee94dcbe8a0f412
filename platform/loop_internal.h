// Internal glue between the parts of the platform layer: the event loop
// (event_loop.cpp), the sockets (winsock.cpp) and the lookups (lookup.cpp).
// Not for use outside platform/.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/message_window.h"

namespace win::detail { struct QueuedMessage; }

namespace win::detail {

// Epoll user data of the loop's own eventfd; socket entries use
// (generation << 32) | fd and never reach this value.
constexpr uint64_t kWakeTag = ~uint64_t{0};
// Epoll user data of the loop's timerfd (a socket tag's low half is a
// descriptor number below 2^31, so it never takes this value either).
constexpr uint64_t kTimerTag = ~uint64_t{0} - 1;
// Epoll user data of the stop-signal pipe (stop_signals.cpp).
constexpr uint64_t kSignalTag = ~uint64_t{0} - 2;

// Creates the loop if it does not exist yet; false (error set) when its
// descriptors cannot be made.
bool TryCreateLoop(std::string* error);
// Implemented by stop_signals.cpp: the signal pipe is readable.
void OnSignalReady();
// Descriptor watches (fd_watch.cpp) set this bit in their epoll user data;
// socket tags never do (nor do the tags above: a watch's low half is a
// descriptor number).
constexpr uint64_t kWatchTagBit = uint64_t{1} << 63;

// The loop's epoll instance (created on first use, on the program thread).
int LoopEpollFd();

// Queues a socket notification (program thread). Remembers the socket so that
// closesocket can purge it. False if the window does not exist.
bool PostSocketNotification(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, int32_t socket);
// Drops every queued notification that was posted for this socket.
void PurgeSocketNotifications(int32_t socket);

// Queues a lookup reply from the worker thread, with the finished record.
// Thread-safe. The record is copied into the caller's buffer on the program
// thread just before the reply is dispatched (see DeliverLookup).
void PostLookupReply(HWND hwnd, UINT msg, int32_t handle, int32_t error, std::vector<char> record);

// Implemented by the timer part (timers.cpp): queues WM_TIMER for the due
// timers and sets the timerfd to the next one; and takes a WM_TIMER about to
// be dispatched: runs the timer's proc, if it has one, and returns true only
// when the window procedure is to handle the message (false as well when the
// timer has been killed meanwhile: the message is dropped).
void FireDueTimers();
bool DispatchTimer(const QueuedMessage& m);

// Implemented by the socket part: handles an epoll report for a socket.
void OnSocketReady(uint64_t tag, uint32_t events);
// Implemented by the socket part: the read-side checks that receives asked
// for, handled at a readiness pass like epoll reports (may post messages).
void RunSocketRechecks();
bool SocketRechecksPending();
// Makes the loop's descriptor readable (once) for work that waits outside
// the queue, as a posted message does.
void SignalLoop();
// Implemented by the descriptor watches: handles an epoll report for a watch.
void OnWatchReady(uint64_t tag, uint32_t events);
// Implemented by the lookup part, program thread: called just before a lookup
// reply is dispatched. Returns false when the request was cancelled (the reply
// is then dropped); otherwise copies the record (on success) into the caller's
// buffer, forgets the request and returns true.
bool DeliverLookup(int32_t handle, int32_t error, const std::vector<char>& record);
// Implemented by the lookup part: a queued reply was dropped with its window.
void ForgetLookup(int32_t handle);

}  // namespace win::detail
