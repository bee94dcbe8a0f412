// The epoll entries of the sockets (see async_select.cpp for the two ways a
// socket is watched): which conditions each socket is watched for, and the
// calls that add, change and remove its entry.
#include <sys/epoll.h>

#include <cerrno>

#include "platform/loop_internal.h"
#include "platform/platform_testing.h"
#include "platform/socket_table.h"

namespace win::detail {
namespace {

int g_interestChanges = 0;

// The one-shot interest: only conditions that could lead to a message now.
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

// Adds the socket to epoll or changes its entry; epoll looks at the socket's
// conditions then, so a condition that holds is reported either way.
void ControlInterest(Sock& k, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = Tag(k);
    int epfd = LoopEpollFd();
    ++g_interestChanges;
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
        k.enabledMask = events & ~static_cast<uint32_t>(EPOLLONESHOT);
    }
}

// The edge-triggered interest of a connected stream: its read side while
// FD_READ or FD_CLOSE may still be posted, and its write side from the first
// send that would block on (kept, so that later ones need no epoll call).
uint32_t EdgeInterest(const Sock& k) {
    if (!Registered(k)) return 0;
    uint32_t want = 0;
    if (!k.eofSeen && (k.events & (FD_READ | FD_CLOSE))) want |= EPOLLIN | EPOLLRDHUP;
    if ((k.events & FD_WRITE) && (k.writeWanted || (k.enabledMask & EPOLLOUT))) want |= EPOLLOUT;
    return want;
}

// With recheck, the entry is written even when it does not change, so that
// epoll looks at the conditions again.
void SyncEdgeInterest(Sock& k, bool recheck) {
    uint32_t want = EdgeInterest(k);
    if (want == 0) {
        if (k.inEpoll) {
            ::epoll_ctl(LoopEpollFd(), EPOLL_CTL_DEL, k.fd, nullptr);
            ++g_interestChanges;
        }
        k.inEpoll = false;
        k.enabledMask = 0;
        return;
    }
    want |= EPOLLET;
    if (want == k.enabledMask && !recheck) return;
    ControlInterest(k, want);
}

}  // namespace

// Enables the epoll interest the socket needs now. A one-shot interest that
// is no longer needed is left as it is: it reports at most once, and the
// report finds nothing armed.
void SyncInterest(Sock& k) {
    if (EdgeTriggered(k)) {
        SyncEdgeInterest(k, false);
        return;
    }
    uint32_t want = Desired(k);
    if (want == 0 || want == k.enabledMask) return;
    if (want == k.stalledMask) return;
    ControlInterest(k, want | EPOLLONESHOT);
}

// A call on the socket changed its state: any interest may be tried again.
void Touch(Sock& k) {
    k.stalledMask = 0;
    if (EdgeTriggered(k)) {
        SyncEdgeInterest(k, true);
        return;
    }
    SyncInterest(k);
}

}  // namespace win::detail

namespace win::testing {

int InterestChangeCount() { return detail::g_interestChanges; }

}  // namespace win::testing
