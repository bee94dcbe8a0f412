// Re-arming FD_READ. A receive re-arms it, even when it fails, and the read
// side's condition is checked again at the loop's next readiness pass, where
// an epoll report would have been handled: another FD_READ while data is
// left, FD_CLOSE once the end (or an error) is all that is left.
//
// A one-shot socket is simply enabled in epoll again. A connected stream
// (edge-triggered, see async_select.cpp) needs no epoll call: the receive
// says what it left behind (the kernel tells the bytes still queued with each
// receive), and only what it left is checked, without a system call unless
// the end of the stream or an error may be involved.
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/loop_internal.h"
#include "platform/socket_table.h"

namespace win::detail {
namespace {

// Tags of the sockets whose recheckBits wait for the next readiness pass.
std::vector<uint64_t>& Pending() {
    static auto* pending = new std::vector<uint64_t>;
    return *pending;
}

}  // namespace

ssize_t ReceiveStream(SOCKET s, char* buf, int len, int flags, int* queued) {
    iovec iov{buf, static_cast<size_t>(len)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    *queued = -1;
    ssize_t n = ::recvmsg(s, &mh, flags | MSG_DONTWAIT);
    if (n < 0) return n;
    for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
        if (c->cmsg_level == SOL_TCP && c->cmsg_type == TCP_CM_INQ) std::memcpy(queued, CMSG_DATA(c), sizeof(int));
    }
    return n;
}

Leftover LeftBehind(ssize_t n, int err, int flags, int queued) {
    if (n < 0) return err == EAGAIN || err == EWOULDBLOCK ? Leftover::None : Leftover::Unknown;
    if (n == 0 || (flags & MSG_OOB)) return Leftover::Unknown;
    if (flags & MSG_PEEK) return Leftover::Some;
    if (queued == 0) return Leftover::None;
    // 1 is also what the kernel counts for the end of the stream behind the last byte.
    return queued > 1 ? Leftover::Some : Leftover::Unknown;
}

void ReArmRead(SOCKET s, Leftover left) {
    Sock* k = FindSocket(s);
    if (k == nullptr) return;
    k->armRead = true;
    k->readBlocked = false;
    if (!EdgeTriggered(*k)) {
        Touch(*k);
        return;
    }
    uint32_t bits = 0;
    if (k->hangupSeen || left == Leftover::Unknown) {
        bits = EPOLLIN | EPOLLRDHUP;  // looked at with a peek: data, the end or an error
    } else if (left == Leftover::Some) {
        bits = EPOLLIN;
    }
    if (!Registered(*k) || k->eofSeen) bits = 0;
    const bool queued = k->recheckBits != 0;
    k->recheckBits = bits;  // what the latest receive left is what counts
    if (bits == 0 || queued) return;
    Pending().push_back(Tag(*k));
    SignalLoop();
}

bool SocketRechecksPending() { return !Pending().empty(); }

void RunSocketRechecks() {
    if (Pending().empty()) return;
    std::vector<uint64_t> due;
    due.swap(Pending());
    for (uint64_t tag : due) {
        Sock* k = FindSocket(static_cast<int>(tag & 0xFFFFFFFFu));
        if (k == nullptr || k->generation != static_cast<uint32_t>(tag >> 32)) continue;  // closed
        const uint32_t bits = k->recheckBits;
        if (bits == 0) continue;
        k->recheckBits = 0;
        Evaluate(*k, bits);
        SyncInterest(*k);
    }
    if (Pending().empty()) {
        due.clear();
        due.swap(Pending());  // keeps the storage for the next pass
    }
}

}  // namespace win::detail
