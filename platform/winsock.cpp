// Non-blocking IPv4 sockets with Windows Sockets conventions: every failure
// returns SOCKET_ERROR (or INVALID_SOCKET) and leaves a Windows Sockets code.
// The calls that re-enable notifications (recv, recvfrom, send, accept,
// connect, listen) tell async_select.cpp through socket_table.h.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/loop_internal.h"
#include "platform/platform_testing.h"
#include "platform/socket_table.h"
#include "platform/winsock.h"

namespace win {

namespace detail {

int Fail(int code) {
    WSASetLastError(code);
    return SOCKET_ERROR;
}

int FailErrno(int err) { return Fail(WsaErrorFromErrno(err)); }

}  // namespace detail

namespace {

using detail::Fail;
using detail::FailErrno;
using detail::Phase;
using detail::CheckAddressOut;
using detail::FromSockaddr;
using detail::Sock;

// Tests keep every packet on this machine: with the guard on, a connect or
// datagram to an address outside 127.0.0.0/8 fails as unreachable without
// reaching the network.
bool g_loopbackOnly = false;

bool Guarded(const sockaddr_in& a) { return g_loopbackOnly && (ntohl(a.sin_addr.s_addr) >> 24) != 127; }

bool ToSockaddr(const SOCKADDR_IN* name, int namelen, sockaddr_in* out, int* error) {
    if (name == nullptr || namelen < static_cast<int>(sizeof(SOCKADDR_IN))) {
        *error = 10014;
        return false;
    }
    if (name->sin_family != AF_INET_WS) {
        *error = 10047;
        return false;
    }
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = name->sin_port;
    out->sin_addr.s_addr = name->sin_addr;
    return true;
}


bool MapFlags(int flags, int* out) {
    int f = 0;
    if (flags & 1) f |= MSG_OOB;
    if (flags & MSG_PEEK_WS) f |= MSG_PEEK;
    if (flags & 4) f |= MSG_DONTROUTE;
    if (flags & ~7) return false;
    *out = f;
    return true;
}

// One datagram through recvmsg, so that a truncated datagram reports 10040.
int ReceiveDatagram(SOCKET s, char* buf, int len, int flags, SOCKADDR_IN* from, int* fromlen) {
    sockaddr_in peer{};
    iovec iov{buf, static_cast<size_t>(len)};
    msghdr mh{};
    mh.msg_name = &peer;
    mh.msg_namelen = sizeof peer;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    ssize_t n;
    do {
        n = ::recvmsg(s, &mh, flags | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    int err = errno;
    detail::ReArmRead(s, detail::Leftover::Unknown);
    if (n < 0) return FailErrno(err);
    if (from != nullptr && mh.msg_namelen >= sizeof(sockaddr_in)) {
        FromSockaddr(peer, from);
        *fromlen = sizeof(SOCKADDR_IN);
    }
    if (mh.msg_flags & MSG_TRUNC) return Fail(10040);
    return static_cast<int>(n);
}

}  // namespace
// ---- sockets ----

SOCKET socket(int af, int type, int protocol) {
    if (af != AF_INET_WS) return Fail(10047);
    int t;
    if (type == SOCK_STREAM_WS) {
        t = SOCK_STREAM;
    } else if (type == SOCK_DGRAM_WS) {
        t = SOCK_DGRAM;
    } else {
        return Fail(10044);
    }
    int p;
    if (protocol == 0) {
        p = 0;
    } else if (protocol == IPPROTO_TCP_WS) {
        p = IPPROTO_TCP;
    } else if (protocol == IPPROTO_UDP_WS) {
        p = IPPROTO_UDP;
    } else {
        return Fail(10043);
    }
    int fd = ::socket(AF_INET, t | SOCK_NONBLOCK | SOCK_CLOEXEC, p);
    if (fd < 0) return FailErrno(errno);
    if (t == SOCK_STREAM) {
        // Each receive reports what it left queued (accepted sockets inherit
        // the option); without it receives are only checked more expensively.
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_INQ, &on, sizeof on);
    }
    detail::TrackSocket(fd, t == SOCK_STREAM);
    return fd;
}

int closesocket(SOCKET s) {
    if (!detail::ForgetSocket(s)) {
        int type;
        socklen_t len = sizeof type;
        if (s < 0 || ::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) < 0) return Fail(10038);
        detail::PurgeSocketNotifications(s);
    }
    // Descriptor numbers are reused at once: the queued notifications went with the entry.
    if (::close(s) < 0 && errno != EINTR) return FailErrno(errno);
    return 0;
}

int shutdown(SOCKET s, int how) {
    int h;
    switch (how) {
        case SD_RECEIVE: h = SHUT_RD; break;
        case SD_SEND: h = SHUT_WR; break;
        case SD_BOTH: h = SHUT_RDWR; break;
        default: return Fail(10022);
    }
    if (::shutdown(s, h) == 0) return 0;
    return FailErrno(errno);
}

int bind(SOCKET s, const SOCKADDR_IN* name, int namelen) {
    sockaddr_in a;
    int error;
    if (!ToSockaddr(name, namelen, &a, &error)) return Fail(error);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return 0;
    int err = errno;
    // Windows binds a TCP port again while connections of an earlier
    // listener on it are in TIME_WAIT (a server restarted on its fixed port);
    // Linux does so only when the new socket and those connections carry
    // SO_REUSEADDR (listen sets it, and accepted sockets inherit it). The bind
    // is retried with the option: a port that a live socket holds (listening,
    // or bound without the option) stays refused, as on Windows.
    int type = 0;
    socklen_t length = sizeof type;
    int on = 1;
    if (err == EADDRINUSE && ::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM &&
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0) {
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return 0;
        err = errno;
        int off = 0;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off);
    }
    return FailErrno(err);
}

int connect(SOCKET s, const SOCKADDR_IN* name, int namelen) {
    sockaddr_in a;
    int error;
    if (!ToSockaddr(name, namelen, &a, &error)) return Fail(error);
    int r = -1;
    int err = ENETUNREACH;   // what a connect that the loopback guard stops looks like
    if (!Guarded(a)) {
        r = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        err = r < 0 ? errno : 0;
    }
    Sock* k = detail::FindSocket(s);
    if (k == nullptr || !k->stream) {
        if (r == 0) return 0;
        return FailErrno(err);
    }
    if (r == 0) {
        detail::ConnectFinished(*k, 0);
        detail::Touch(*k);
        return Fail(10035);
    }
    switch (err) {
        case EINPROGRESS:
        case EINTR:
            k->phase = Phase::Connecting;
            k->connectPending = false;
            detail::Touch(*k);
            return Fail(10035);
        case ECONNREFUSED:
        case ETIMEDOUT:
        case ENETUNREACH:
        case EHOSTUNREACH:
        case EHOSTDOWN:
        case ECONNRESET:
        case ECONNABORTED:
            // Refused at once (Linux does so for loopback): reported like an
            // asynchronous failure, as FD_CONNECT with the code.
            detail::ConnectFinished(*k, WsaErrorFromErrno(err));
            return Fail(10035);
        default:
            return FailErrno(err);
    }
}

int listen(SOCKET s, int backlog) {
    // The queue of pending connections is never shorter than the system's
    // maximum: with a short queue, Linux leaves a burst of clients beyond it
    // connected on their side but never accepted (SYN cookies make the server
    // forget them), where the original platform would refuse them. Every
    // connection is accepted at once on FD_ACCEPT, so a long queue only absorbs bursts.
    // SO_REUSEADDR so that this listener's connections, once in TIME_WAIT,
    // do not keep a later listener off the port (see bind).
    int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::listen(s, std::max(backlog, SOMAXCONN)) < 0) return FailErrno(errno);
    if (Sock* k = detail::FindSocket(s)) {
        k->phase = Phase::Listening;
        k->armAccept = true;
        detail::Touch(*k);
    }
    return 0;
}

SOCKET accept(SOCKET s, SOCKADDR_IN* addr, int* addrlen) {
    if (!CheckAddressOut(addr, addrlen)) return Fail(10014);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd;
    do {
        fd = ::accept4(s, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    int err = errno;
    if (Sock* k = detail::FindSocket(s)) {  // re-armed, also when accept fails
        k->armAccept = true;
        detail::Touch(*k);
    }
    if (fd < 0) return FailErrno(err);
    Sock& n = detail::TrackSocket(fd, true);
    n.phase = Phase::Connected;
    if (Sock* listener = detail::FindSocket(s); listener != nullptr && detail::Registered(*listener)) {
        n.hwnd = listener->hwnd;
        n.msg = listener->msg;
        n.events = listener->events;
        detail::PostEvent(n, FD_WRITE, 0);
        detail::SyncInterest(n);
    }
    if (addr != nullptr) {
        FromSockaddr(peer, addr);
        *addrlen = sizeof(SOCKADDR_IN);
    }
    return fd;
}

int send(SOCKET s, const char* buf, int len, int flags) {
    if (len < 0) return Fail(10022);
    if (buf == nullptr && len > 0) return Fail(10014);
    int f;
    if (!MapFlags(flags, &f) || (f & MSG_PEEK)) return Fail(10045);
    Sock* k = detail::FindSocket(s);
    if (k != nullptr && k->stream && (k->phase == Phase::Fresh || k->phase == Phase::Listening ||
                                      k->phase == Phase::Connecting || k->phase == Phase::Failed))
        return Fail(10057);
    ssize_t n;
    do {
        n = ::send(s, buf, static_cast<size_t>(len), f | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<int>(n);
    int err = errno;
    if (k != nullptr) {
        if (err == EAGAIN || err == EWOULDBLOCK) {
            k->writeWanted = true;
            detail::Touch(*k);
        } else if (detail::IsConnectionLoss(err) && k->pendingError == 0) {
            k->pendingError = err;
        }
    }
    return FailErrno(err);
}

int recv(SOCKET s, char* buf, int len, int flags) {
    if (len < 0) return Fail(10022);
    if (buf == nullptr && len > 0) return Fail(10014);
    int f;
    if (!MapFlags(flags, &f)) return Fail(10045);
    Sock* k = detail::FindSocket(s);
    if (k != nullptr && !k->stream) return ReceiveDatagram(s, buf, len, f, nullptr, nullptr);
    ssize_t n;
    int queued;
    do {
        n = detail::ReceiveStream(s, buf, len, f, &queued);
    } while (n < 0 && errno == EINTR);
    int err = errno;
    if (k != nullptr && n < 0 && detail::IsConnectionLoss(err) && k->pendingError == 0) k->pendingError = err;
    detail::ReArmRead(s, detail::LeftBehind(n, err, f, queued));
    if (n < 0) return FailErrno(err);
    return static_cast<int>(n);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR_IN* to, int tolen) {
    if (len < 0) return Fail(10022);
    if (buf == nullptr && len > 0) return Fail(10014);
    int f;
    if (!MapFlags(flags, &f) || (f & MSG_PEEK)) return Fail(10045);
    Sock* k = detail::FindSocket(s);
    if (k != nullptr && k->stream) return send(s, buf, len, flags);
    sockaddr_in a;
    int error;
    if (!ToSockaddr(to, tolen, &a, &error)) return Fail(error);
    if (Guarded(a)) return Fail(10051);
    ssize_t n;
    do {
        n = ::sendto(s, buf, static_cast<size_t>(len), f | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a),
                     sizeof a);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<int>(n);
    int err = errno;
    if (k != nullptr && (err == EAGAIN || err == EWOULDBLOCK)) {
        k->writeWanted = true;
        detail::Touch(*k);
    }
    return FailErrno(err);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR_IN* from, int* fromlen) {
    if (len < 0) return Fail(10022);
    if (buf == nullptr && len > 0) return Fail(10014);
    if (!CheckAddressOut(from, fromlen)) return Fail(10014);
    int f;
    if (!MapFlags(flags, &f)) return Fail(10045);
    Sock* k = detail::FindSocket(s);
    if (k == nullptr || !k->stream) return ReceiveDatagram(s, buf, len, f, from, fromlen);
    return recv(s, buf, len, flags);  // a stream socket ignores the address
}

namespace testing {

void KeepTrafficOnLoopback(bool on) { g_loopbackOnly = on; }

}  // namespace testing

}  // namespace win
