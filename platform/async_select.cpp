// The select-to-message notifications (WSAAsyncSelect) on the loop's epoll.
//
// Every socket of the layer is tracked with its phase (fresh, connecting,
// connected, listening, failed, datagram), its registration (window, message,
// selected events) and one armed flag per event. Epoll interest follows the
// armed flags: a socket is watched (level-triggered, EPOLLONESHOT) only for
// conditions that could lead to a message now, and each report disables it
// until the interest is synced again, so a readable socket whose FD_READ is
// disarmed is never reported and cannot spin the loop. A report that changes
// nothing does not re-enable the same interest until a call on the socket
// changes its state.
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

void PostEvent(const Sock& k, int32_t event, int error) {
    if (!Registered(k) || (k.events & event) == 0) return;
    LPARAM lParam = static_cast<LPARAM>((static_cast<uint32_t>(error & 0xFFFF) << 16) |
                                        static_cast<uint32_t>(event & 0xFFFF));
    PostSocketNotification(k.hwnd, k.msg, k.fd, lParam, k.fd);
}

uint32_t Desired(const Sock& k) {
    if (!Registered(k)) return 0;
    uint32_t want = 0;
    switch (k.phase) {
        case Phase::Connecting:
            want = EPOLLOUT;  // completion or failure
            break;
        case Phase::Connected:
            if (!k.eofSeen && !k.readBlocked &&
                (((k.events & FD_READ) && k.armRead) || ((k.events & FD_CLOSE) && !k.closePosted)))
                want |= EPOLLIN | EPOLLRDHUP;
            if ((k.events & FD_WRITE) && k.writeWanted) want |= EPOLLOUT;
            break;
        case Phase::Datagram:
            if (!k.readBlocked && (k.events & FD_READ) && k.armRead) want |= EPOLLIN;
            if ((k.events & FD_WRITE) && k.writeWanted) want |= EPOLLOUT;
            break;
        case Phase::Listening:
            if ((k.events & FD_ACCEPT) && k.armAccept) want |= EPOLLIN;
            break;
        case Phase::Fresh:
        case Phase::Failed:
            break;
    }
    return want;
}

// Enables the epoll interest the socket needs now. An interest that is no
// longer needed is left as it is: it reports at most once (EPOLLONESHOT), and
// the report finds nothing armed.
void SyncInterest(Sock& k) {
    uint32_t want = Desired(k);
    if (want == 0 || want == k.enabledMask) return;
    if (want == k.stalledMask) return;
    epoll_event ev{};
    ev.events = want | EPOLLONESHOT;
    ev.data.u64 = Tag(k);
    int epfd = LoopEpollFd();
    int r;
    if (!k.inEpoll) {
        r = ::epoll_ctl(epfd, EPOLL_CTL_ADD, k.fd, &ev);
        if (r < 0 && errno == EEXIST) r = ::epoll_ctl(epfd, EPOLL_CTL_MOD, k.fd, &ev);
    } else {
        r = ::epoll_ctl(epfd, EPOLL_CTL_MOD, k.fd, &ev);
        if (r < 0 && errno == ENOENT) r = ::epoll_ctl(epfd, EPOLL_CTL_ADD, k.fd, &ev);
    }
    if (r == 0) {
        k.inEpoll = true;
        k.enabledMask = want;
    }
}

// A call on the socket changed its state: any interest may be tried again.
void Touch(Sock& k) {
    k.stalledMask = 0;
    SyncInterest(k);
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

// Handles readiness bits (epoll or poll values) for one socket. Returns true
// when something changed (a message was posted or the socket's state moved on).
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

void ReArmRead(SOCKET s) {
    Sock* k = FindSocket(s);
    if (k == nullptr) return;
    k->armRead = true;
    k->readBlocked = false;
    Touch(*k);
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
    detail::CheckNow(*k, true);
    detail::Touch(*k);
    return 0;
}

namespace testing {

int TrackedSocketCount() { return static_cast<int>(detail::S().table.size()); }
int SocketReportCount() { return detail::S().reports; }

}  // namespace testing

}  // namespace win
