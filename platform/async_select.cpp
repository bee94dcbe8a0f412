// The select-to-message notifications (WSAAsyncSelect) on the loop's epoll.
//
// Every socket of the layer is tracked with its phase (fresh, connecting,
// connected, listening, failed, datagram), its registration (window, message,
// selected events) and one armed flag per event.
//
// Most sockets are watched level-triggered with EPOLLONESHOT, and only for
// conditions that could lead to a message now: each report disables the
// socket until the interest is synced again, so a readable socket whose
// FD_READ is disarmed is never reported and cannot spin the loop. A report
// that changes nothing does not re-enable the same interest until a call on
// the socket changes its state.
//
// A connected stream socket, the one that carries a session's data, stays in
// epoll edge-triggered instead, with its armed flags kept here: re-arming
// FD_READ after a receive costs no epoll call. An edge reports each new
// arrival (and the end or an error) once, so the conditions that an edge does
// not report again are checked when a receive re-arms FD_READ
// (read_rechecks.cpp): the receive tells whether data is left behind it, and
// once an end or an error has been reported the read side is checked fully.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <netinet/in.h>
#include <unordered_map>

#include "platform/loop_internal.h"
#include "platform/platform_testing.h"
#include "platform/socket_table.h"

namespace win::detail {
namespace {

struct Sockets {
    std::unordered_map<int, Sock> table;
    uint32_t nextGeneration = 1;
    int reports = 0;
};

Sockets& S() {
    static Sockets* s = new Sockets;
    return *s;
}

}  // namespace

Sock* FindSocket(SOCKET s) {
    auto& t = S().table;
    auto it = t.find(s);
    return it == t.end() ? nullptr : &it->second;
}

uint64_t Tag(const Sock& k) { return (uint64_t{k.generation} << 32) | static_cast<uint32_t>(k.fd); }

bool Registered(const Sock& k) { return k.hwnd != 0 && k.events != 0; }

bool EdgeTriggered(const Sock& k) { return k.stream && k.phase == Phase::Connected; }

void PostEvent(const Sock& k, int32_t event, int error) {
    if (!Registered(k) || (k.events & event) == 0) return;
    LPARAM lParam = static_cast<LPARAM>((static_cast<uint32_t>(error & 0xFFFF) << 16) |
                                        static_cast<uint32_t>(event & 0xFFFF));
    PostSocketNotification(k.hwnd, k.msg, k.fd, lParam, k.fd);
}

int TakeSocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
    return err;
}

bool IsConnectionLoss(int err) {
    return err == ECONNRESET || err == EPIPE || err == ETIMEDOUT || err == ECONNABORTED ||
           err == EHOSTUNREACH || err == ENETUNREACH;
}

int CloseCode(int err) {
    switch (err) {
        case 0: return 0;
        case ECONNRESET:
        case EPIPE: return 10054;
        case ETIMEDOUT:
        case ECONNABORTED: return 10053;
        default: return WsaErrorFromErrno(err);
    }
}

void PostConnectOutcome(Sock& k) {
    if (!k.connectPending || !Registered(k)) return;
    k.connectPending = false;
    PostEvent(k, FD_CONNECT, k.connectCode);
    if (k.connectCode == 0) PostEvent(k, FD_WRITE, 0);
}

void ConnectFinished(Sock& k, int code) {
    k.phase = code == 0 ? Phase::Connected : Phase::Failed;
    k.connectPending = true;
    k.connectCode = code;
    PostConnectOutcome(k);
}

enum class ReadSide { Nothing, Data, End, Error };

ReadSide PeekReadSide(Sock& k, int* err) {
    char c;
    ssize_t n;
    do {
        n = ::recv(k.fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) return ReadSide::Data;
    if (n == 0) return ReadSide::End;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadSide::Nothing;
    if (errno == ENOTCONN) return ReadSide::End;
    *err = errno;
    if (IsConnectionLoss(errno) && k.pendingError == 0) k.pendingError = errno;
    return ReadSide::Error;
}

bool Evaluate(Sock& k, uint32_t ev) {
    bool progress = false;
    switch (k.phase) {
        case Phase::Connecting: {
            if ((ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) break;
            int err = TakeSocketError(k.fd);
            if (err == 0 && (ev & EPOLLHUP)) {
                sockaddr_in peer{};
                socklen_t len = sizeof peer;
                if (::getpeername(k.fd, reinterpret_cast<sockaddr*>(&peer), &len) < 0) err = ECONNREFUSED;
            }
            ConnectFinished(k, err == 0 ? 0 : WsaErrorFromErrno(err));
            progress = true;
            break;
        }
        case Phase::Connected: {
            const uint32_t readBits = EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP;
            if (!k.eofSeen && !k.readBlocked && (ev & readBits)) {
                int err = 0;
                ReadSide side = (ev & readBits) == EPOLLIN ? ReadSide::Data : PeekReadSide(k, &err);
                if (side == ReadSide::Data) {
                    k.readBlocked = true;
                    if (k.armRead && (k.events & FD_READ)) {
                        k.armRead = false;
                        PostEvent(k, FD_READ, 0);
                    }
                    progress = true;
                } else if (side == ReadSide::End || side == ReadSide::Error) {
                    k.eofSeen = true;
                    int code = CloseCode(side == ReadSide::Error ? err : k.pendingError);
                    if (!k.closePosted && (k.events & FD_CLOSE)) {
                        k.closePosted = true;
                        PostEvent(k, FD_CLOSE, code);
                    }
                    progress = true;
                }
            }
            if (k.writeWanted && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
                k.writeWanted = false;
                PostEvent(k, FD_WRITE, 0);
                progress = true;
            }
            break;
        }
        case Phase::Datagram: {
            if (ev & EPOLLERR) {
                TakeSocketError(k.fd);  // an ICMP report; clearing it is all there is to do
                progress = true;
            }
            if (!k.readBlocked && (ev & EPOLLIN)) {
                k.readBlocked = true;
                if (k.armRead && (k.events & FD_READ)) {
                    k.armRead = false;
                    PostEvent(k, FD_READ, 0);
                }
                progress = true;
            }
            if (k.writeWanted && (ev & EPOLLOUT)) {
                k.writeWanted = false;
                PostEvent(k, FD_WRITE, 0);
                progress = true;
            }
            break;
        }
        case Phase::Listening:
            if ((ev & (EPOLLIN | EPOLLERR | EPOLLHUP)) && k.armAccept) {
                k.armAccept = false;
                PostEvent(k, FD_ACCEPT, 0);
                progress = true;
            }
            break;
        case Phase::Fresh:
        case Phase::Failed:
            break;
    }
    return progress;
}

// Checks the socket's conditions at once (registration).
void CheckNow(Sock& k, bool postWrite) {
    PostConnectOutcome(k);
    if (k.phase == Phase::Fresh || k.phase == Phase::Failed) return;
    pollfd p{k.fd, static_cast<short>(POLLIN | POLLOUT | POLLRDHUP), 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    uint32_t ev = r > 0 ? static_cast<uint32_t>(p.revents) : 0;  // poll and epoll bits agree on Linux
    if (postWrite && (k.phase == Phase::Connected || k.phase == Phase::Datagram) && (ev & POLLOUT)) {
        k.writeWanted = false;
        PostEvent(k, FD_WRITE, 0);
    }
    if (k.phase == Phase::Connected || k.phase == Phase::Datagram) ev &= ~static_cast<uint32_t>(POLLOUT);
    Evaluate(k, ev);
}

Sock& TrackSocket(int fd, bool stream) {
    Sockets& s = S();
    auto old = s.table.find(fd);
    if (old != s.table.end()) {
        // The descriptor was closed behind the layer's back and reused.
        if (old->second.inEpoll) ::epoll_ctl(LoopEpollFd(), EPOLL_CTL_DEL, fd, nullptr);
        s.table.erase(old);
        PurgeSocketNotifications(fd);
    }
    Sock& k = s.table[fd];
    k.fd = fd;
    k.generation = s.nextGeneration++;
    if (s.nextGeneration == 0) s.nextGeneration = 1;
    k.stream = stream;
    k.phase = stream ? Phase::Fresh : Phase::Datagram;
    return k;
}

bool ForgetSocket(SOCKET s) {
    auto& t = S().table;
    auto it = t.find(s);
    if (it == t.end()) return false;
    if (it->second.inEpoll) ::epoll_ctl(LoopEpollFd(), EPOLL_CTL_DEL, s, nullptr);
    t.erase(it);
    PurgeSocketNotifications(s);
    return true;
}

void OnSocketReady(uint64_t tag, uint32_t events) {
    Sock* k = FindSocket(static_cast<int>(tag & 0xFFFFFFFFu));
    if (k == nullptr || k->generation != static_cast<uint32_t>(tag >> 32)) return;
    ++S().reports;
    if (k->enabledMask & EPOLLET) {
        // Edge-triggered: the entry stays enabled. An end or an error is
        // remembered, since its edge is not reported again.
        if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) k->hangupSeen = true;
        Evaluate(*k, events);
        SyncInterest(*k);
        return;
    }
    uint32_t reported = k->enabledMask;
    k->enabledMask = 0;  // EPOLLONESHOT: disabled until synced again
    if (!Evaluate(*k, events)) k->stalledMask = reported;
    SyncInterest(*k);
}

}  // namespace win::detail

namespace win {

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, int32_t events) {
    detail::Sock* k = detail::FindSocket(s);
    if (k == nullptr) return detail::Fail(10038);
    if (events != 0 && !IsWindow(hwnd)) return detail::Fail(10022);
    if (events == 0) {  // notifications cancelled
        k->hwnd = 0;
        k->msg = 0;
        k->events = 0;
        return 0;
    }
    k->hwnd = hwnd;
    k->msg = msg;
    k->events = events & (FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE);
    k->armRead = true;
    k->armAccept = true;
    k->readBlocked = false;
    k->writeWanted = false;
    k->eofSeen = false;
    k->recheckBits = 0;  // the check below is newer
    detail::CheckNow(*k, true);
    detail::Touch(*k);
    return 0;
}

namespace testing {

int TrackedSocketCount() { return static_cast<int>(detail::S().table.size()); }
int SocketReportCount() { return detail::S().reports; }

}  // namespace testing

}  // namespace win
