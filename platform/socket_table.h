// Internal to the platform layer: the table of sockets that winsock.cpp
// creates and async_select.cpp watches, and the hooks through which the
// socket calls re-arm notifications. Program thread only.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <cstring>

#include "platform/winsock.h"

namespace win::detail {

enum class Phase { Fresh, Connecting, Connected, Listening, Failed, Datagram };

struct Sock {
    int fd = -1;
    uint32_t generation = 0;
    bool stream = true;
    Phase phase = Phase::Fresh;
    // registration
    HWND hwnd = 0;
    UINT msg = 0;
    int32_t events = 0;
    // armed flags and conditions
    bool armRead = true;
    bool armAccept = true;
    bool readBlocked = false;     // data is there; nothing more is posted for it until recv/recvfrom
    bool writeWanted = false;     // a send failed with 10035: FD_WRITE once space is free
    bool connectPending = false;  // a connect outcome whose FD_CONNECT is still to be posted
    int connectCode = 0;
    bool eofSeen = false;         // the read side is finished (EOF or reset, no data left)
    bool closePosted = false;     // FD_CLOSE has been posted (never again)
    int pendingError = 0;         // errno of a reset/abort that a recv or send consumed
    // A connected stream socket stays in epoll edge-triggered (see async_select.cpp):
    bool hangupSeen = false;      // a report or a receive told of an end or an error
    uint32_t recheckBits = 0;     // readiness to evaluate at the next readiness pass (0: none)
    // epoll state
    bool inEpoll = false;
    uint32_t enabledMask = 0;     // interest currently enabled, with EPOLLET when edge-triggered
                                  // (0: disabled or never added)
    uint32_t stalledMask = 0;     // one-shot interest whose last report changed nothing
};

// What a receive call learned about the stream data left behind it.
enum class Leftover {
    None,     // nothing was left (newer arrivals report themselves)
    Some,     // data is left
    Unknown,  // anything may be there, the end or an error too: check fully
};

// The tracked socket with this descriptor, or nullptr.
Sock* FindSocket(SOCKET s);
// Starts tracking a new descriptor (replacing a stale entry for a reused number).
Sock& TrackSocket(int fd, bool stream);
// Stops tracking: epoll interest and queued notifications go. False if untracked.
bool ForgetSocket(SOCKET s);

bool Registered(const Sock& k);
// Posts a notification if the event is selected.
void PostEvent(const Sock& k, int32_t event, int error);
// Enables the epoll interest the socket's armed flags call for.
void SyncInterest(Sock& k);
// A call changed the socket's state: re-sync, also an interest that stalled.
void Touch(Sock& k);
// A connect finished (0 or a Windows Sockets code): FD_CONNECT (and FD_WRITE) once registered.
void ConnectFinished(Sock& k, int code);
// One stream receive (recvmsg). With the TCP_INQ option on, the kernel tells
// the number of bytes still queued after it in *queued (-1 when it did not).
ssize_t ReceiveStream(SOCKET s, char* buf, int len, int flags, int* queued);
// What a stream receive (its result, errno and Linux flags) left behind it.
Leftover LeftBehind(ssize_t n, int err, int flags, int queued);
// recv/recvfrom was called: FD_READ is armed again, and the condition is
// checked at the next readiness pass (what is left tells how).
void ReArmRead(SOCKET s, Leftover left);
// Handles readiness bits (epoll or poll values) for one socket; true when a
// message was posted or the socket's state moved on.
bool Evaluate(Sock& k, uint32_t ev);
// The socket is watched edge-triggered (a connected stream).
bool EdgeTriggered(const Sock& k);
// The tag of the socket's epoll entries and checks: generation and descriptor.
uint64_t Tag(const Sock& k);
// errno values that end a connection (kept to report with FD_CLOSE).
bool IsConnectionLoss(int err);

inline void FromSockaddr(const sockaddr_in& in, SOCKADDR_IN* out) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET_WS;
    out->sin_port = in.sin_port;
    out->sin_addr = in.sin_addr.s_addr;
}

// An address out-parameter is either absent or has room for the 16-byte record.
inline bool CheckAddressOut(SOCKADDR_IN* addr, int* addrlen) {
    if (addr == nullptr) return true;
    return addrlen != nullptr && *addrlen >= static_cast<int>(sizeof(SOCKADDR_IN));
}

// Sets the last error and returns SOCKET_ERROR.
int Fail(int code);
int FailErrno(int err);

}  // namespace win::detail
