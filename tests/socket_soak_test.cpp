// Soak: one CSocketKit connects to a loopback listener and closes again
// 10,000 times. Every cycle waits (bounded) for sckConnected, then CloseSck.
// Afterwards the process holds the same open descriptors as before, and the
// heap in use has not grown. Under the sanitizer build LeakSanitizer checks
// the memory at exit as well.
#include <arpa/inet.h>
#include <dirent.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "net/socket/csocket_kit.h"
#include "platform/message_window.h"
#include "ui/socket_log_box.h"
#include "ui/text_box.h"

namespace {

constexpr int kWarmUpCycles = 100;
constexpr int kCycles = 10000;
// Heap that may come and go between the two measurements without anything
// growing per cycle (allocator bookkeeping, a string's spare capacity).
constexpr size_t kHeapSlack = 64 * 1024;

// The socket debug log: every line is written, none is kept.
class DiscardBox : public ITextBox {
public:
    std::string Text() const override { return std::string(); }
    void SetText(std::string_view) override {}
    void AppendText(std::string_view text) override { appended += text.size(); }
    void MoveCaretToEnd() override {}
    void PostLineScroll(int, int) override {}
    bool Visible() const override { return false; }
    void SetVisible(bool) override {}
    uint64_t appended = 0;
};

int OpenDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count - 1;  // not the directory's own descriptor
}

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer has an allocator of its own, which the C library's
// statistics do not see.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
size_t HeapInUse() { return __sanitizer_get_current_allocated_bytes(); }
#else
// Bytes allocated and not freed: from the heap, and in blocks of their own
// (large allocations, such as a growing table, are mapped separately).
size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}
#endif

// A plain listener on 127.0.0.1 at an ephemeral port.
class Listener {
public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(fd_, 64) == 0 &&
              ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        port_ = ntohs(address.sin_port);
    }
    ~Listener() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return ok_; }
    int32_t port() const { return port_; }
    // Takes the connection that arrived and hangs up; false if none came
    // within a second. The hang-up is abortive (a reset), which leaves neither
    // side in TIME_WAIT: 10,000 of those would hold a third of the ephemeral
    // ports for a minute and make every later bind search through them.
    bool HangUpOne() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) return false;
        int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0) return false;
        const linger abort{1, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(peer);
        return true;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    int32_t port_ = 0;
};

// One cycle; an empty text when it went through, otherwise what went wrong.
std::string Cycle(CSocketKit& sock, Listener& listener) {
    sock.Connect(VbVariant("127.0.0.1"), VbVariant::Long(listener.port()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sock.State() != sckConnected) {
        if (sock.State() != sckConnecting) return "state " + std::to_string(sock.State()) + " while connecting";
        if (std::chrono::steady_clock::now() > deadline) return "no connect within 10 s";
        win::WaitMessageTimeout(10);
        win::DoEvents();
    }
    sock.CloseSck();
    if (sock.State() != sckClosed) return "state " + std::to_string(sock.State()) + " after CloseSck";
    if (!listener.HangUpOne()) return "the listener saw no connection";
    return std::string();
}

}  // namespace

TEST(SocketSoak, TenThousandConnectCloseCyclesLeaveNoDescriptorOrMemoryBehind) {
    DiscardBox box;
    SocketLogBox sink(box);
    modSocketKit::SetSocketLogSink(&sink);
    Listener listener;
    ASSERT_TRUE(listener.ok());
    std::shared_ptr<CSocketKit> sock = CSocketKit::Create();

    // The event loop's own descriptors and the allocator's pools come with
    // the first cycles: the measurements start after them.
    for (int i = 0; i < kWarmUpCycles; ++i) ASSERT_EQ(Cycle(*sock, listener), "") << "warm-up cycle " << i;
    const int descriptorsBefore = OpenDescriptors();
    const size_t heapBefore = HeapInUse();
    const uint64_t logBefore = box.appended;

    for (int i = 0; i < kCycles; ++i) ASSERT_EQ(Cycle(*sock, listener), "") << "cycle " << i;

    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
    EXPECT_LE(HeapInUse(), heapBefore + kHeapSlack) << "heap grew from " << heapBefore;
    EXPECT_GT(box.appended, logBefore) << "the cycles wrote their socket debug lines";
    EXPECT_EQ(sock->SocketHandle(), win::INVALID_SOCKET);
    sock.reset();
    EXPECT_EQ(modSocketKit::ServiceUserCount(), 0);
    modSocketKit::SetSocketLogSink(nullptr);
}
