// Descriptor watches on the loop's epoll: one-shot, level-triggered interest
// that posts one message per arming.
#include "platform/fd_watch.h"

#include <sys/epoll.h>

#include <cerrno>
#include <unordered_map>

#include "platform/loop_internal.h"
#include "platform/winsock.h"

namespace win {
namespace {

struct Watch {
    HWND hwnd = 0;
    UINT msg = 0;
    uint32_t generation = 0;
    bool inEpoll = false;
};

struct Watches {
    std::unordered_map<int, Watch> table;
    uint32_t nextGeneration = 1;
};

Watches& W() {
    static Watches* w = new Watches;
    return *w;
}

uint64_t Tag(int fd, uint32_t generation) {
    return detail::kWatchTagBit | (uint64_t{generation & 0x7FFFFFFFu} << 32) | static_cast<uint32_t>(fd);
}

}  // namespace

int WatchDescriptor(int fd, HWND hwnd, UINT msg, int32_t events) {
    if (fd < 0) return -1;
    Watch& w = W().table[fd];
    if (w.generation == 0) w.generation = W().nextGeneration++;
    w.hwnd = hwnd;
    w.msg = msg;
    uint32_t want = 0;
    if (events & FD_READ) want |= EPOLLIN | EPOLLRDHUP;
    if (events & FD_WRITE) want |= EPOLLOUT;
    int epfd = detail::LoopEpollFd();
    if (want == 0) {
        if (w.inEpoll) ::epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
        w.inEpoll = false;
        return 0;
    }
    epoll_event ev{};
    ev.events = want | EPOLLONESHOT;
    ev.data.u64 = Tag(fd, w.generation);
    int r = ::epoll_ctl(epfd, w.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
    if (r < 0 && errno == ENOENT) r = ::epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
    if (r < 0 && errno == EEXIST) r = ::epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev);
    w.inEpoll = r == 0;
    return r == 0 ? 0 : -1;
}

void UnwatchDescriptor(int fd) {
    auto& table = W().table;
    auto it = table.find(fd);
    if (it == table.end()) return;
    if (it->second.inEpoll) ::epoll_ctl(detail::LoopEpollFd(), EPOLL_CTL_DEL, fd, nullptr);
    table.erase(it);
    detail::PurgeSocketNotifications(fd);
}

namespace detail {

void OnWatchReady(uint64_t tag, uint32_t events) {
    int fd = static_cast<int>(static_cast<uint32_t>(tag));
    auto& table = W().table;
    auto it = table.find(fd);
    if (it == table.end() || Tag(fd, it->second.generation) != tag) return;
    int32_t bits = 0;
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) bits |= FD_READ;
    if (events & EPOLLOUT) bits |= FD_WRITE;
    PostSocketNotification(it->second.hwnd, it->second.msg, fd, bits, fd);
}

}  // namespace detail
}  // namespace win
