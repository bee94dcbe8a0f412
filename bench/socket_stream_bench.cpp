// Streams data through one CSocketKit over loopback and compares it with a
// plain blocking-socket loop doing the same in the same run:
//   receive: a peer thread writes N MB; the object takes the data with
//            GetData in every DataArrival (FD_READ path);
//   send:    the object sends N MB with SendData (fed again on every
//            SendComplete) to a peer thread that reads it.
// The plain loops use the same size per platform call as the object. Memory:
// the resident size after the first eighth of the receive stream and at its
// end, and the peak. Prints a table and ROW lines for bench/run.
//
//   socket_stream_bench [--quick] [--mb N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/socket/csocket_kit.h"
#include "platform/message_window.h"
#include "platform/platform_testing.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kBlock = 1 << 20;   // what the writing side hands over per call

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

long CurrentRssKiB() {
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int Listener(uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    ::listen(fd, 4);
    return fd;
}

int ConnectTo(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

void WriteAll(int fd, size_t total, size_t chunk) {
    std::string block(kBlock, 'x');
    for (size_t sent = 0; sent < total;) {
        size_t n = std::min({chunk, total - sent, block.size()});
        ssize_t r = ::send(fd, block.data(), n, MSG_NOSIGNAL);
        if (r <= 0) return;
        sent += static_cast<size_t>(r);
    }
}

size_t ReadAll(int fd, size_t total, size_t chunk) {
    std::vector<char> buffer(chunk);
    size_t got = 0;
    while (got < total) {
        ssize_t r = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

void RunLoopUntilQuit() {
    win::RunMessageLoop();
    win::testing::ClearQuitRequest();
}

// The object's side of both streams.
class Streamer : public CSocketKitEvents {
public:
    explicit Streamer(size_t total) : total_(total), block_(std::string(kBlock, 'y')) {}
    void DataArrival(int32_t) override {
        sock->GetData(data_);
        received += data_.Bytes().size();
        if (!rssEarly && received >= total_ / 8) rssEarly = CurrentRssKiB();
        if (received >= total_) win::QuitMessageLoop();
    }
    void Connect() override { win::QuitMessageLoop(); }
    void SendComplete() override { Feed(); }
    void Error(int16_t Number, std::string& Description, int32_t, const std::string& Source,
               const std::string&, int32_t, bool&) override {
        std::fprintf(stderr, "error %d %s (%s)\n", Number, Description.c_str(), Source.c_str());
        failed = true;
        win::QuitMessageLoop();
    }
    void Feed() {
        if (queued >= total_) {
            win::QuitMessageLoop();
            return;
        }
        size_t n = std::min(kBlock, total_ - queued);
        queued += n;
        if (n == kBlock) {
            sock->SendData(block_);
        } else {
            sock->SendData(VbVariant(block_.Bytes().substr(0, n)));
        }
    }

    std::shared_ptr<CSocketKit> sock;
    size_t received = 0;
    size_t queued = 0;
    long rssEarly = 0;
    bool failed = false;

private:
    size_t total_;
    VbVariant block_;
    VbVariant data_{std::string()};
};

}  // namespace

int main(int argc, char** argv) {
    size_t mb = 256;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) mb = 32;
        if (std::strcmp(argv[i], "--mb") == 0 && i + 1 < argc) mb = std::stoul(argv[++i]);
    }
    const size_t total = mb << 20;

    // ---- The object receiving.
    uint16_t port = 0;
    int listener = Listener(port);
    Streamer streamer(total);
    streamer.sock = CSocketKit::Create();
    streamer.sock->SetEventReceiver(&streamer);
    streamer.sock->Connect("127.0.0.1", static_cast<int32_t>(port));
    RunLoopUntilQuit();
    int peer = ::accept(listener, nullptr, nullptr);
    const size_t recvChunk = static_cast<size_t>(streamer.sock->ReceiveBufferSize());
    const size_t sendChunk = static_cast<size_t>(streamer.sock->SendBufferSize());
    long rssStart = CurrentRssKiB();
    auto start = Clock::now();
    std::thread writer(WriteAll, peer, total, kBlock);
    RunLoopUntilQuit();
    double objectRecv = Seconds(start);
    writer.join();
    long rssEnd = CurrentRssKiB();
    bool receivedAll = streamer.received == total;

    // ---- The object sending.
    std::thread reader([&] { ReadAll(peer, total, recvChunk); });
    start = Clock::now();
    streamer.Feed();
    RunLoopUntilQuit();
    double objectSend = 0;
    reader.join();
    objectSend = Seconds(start);
    bool sentAll = streamer.queued == total && streamer.sock->BytesWaitingToSend() == 0 && !streamer.failed;
    streamer.sock->CloseSck();
    ::close(peer);

    // ---- Plain blocking loops, same sizes per call.
    int a = ConnectTo(port);
    int b = ::accept(listener, nullptr, nullptr);
    start = Clock::now();
    writer = std::thread(WriteAll, b, total, kBlock);
    size_t plainGot = ReadAll(a, total, recvChunk);
    double plainRecv = Seconds(start);
    writer.join();
    reader = std::thread([&] { ReadAll(b, total, recvChunk); });
    start = Clock::now();
    WriteAll(a, total, sendChunk);
    reader.join();
    double plainSend = Seconds(start);
    ::close(a);
    ::close(b);
    ::close(listener);

    if (!receivedAll || !sentAll || plainGot != total) {
        std::fprintf(stderr, "stream incomplete: received %zu, queued %zu of %zu\n", streamer.received,
                     streamer.queued, total);
        return 1;
    }
    const double m = static_cast<double>(mb);
    std::printf("socket stream, %zu MB over loopback (recv call %zu B, send call %zu B)\n", mb, recvChunk,
                sendChunk);
    std::printf("%-34s %12s %12s %7s\n", "case", "CSocketKit", "plain loop", "ratio");
    std::printf("%-34s %9.1f MB/s %7.1f MB/s %6.2f\n", "receive (FD_READ + GetData)", m / objectRecv,
                m / plainRecv, plainRecv / objectRecv);
    std::printf("%-34s %9.1f MB/s %7.1f MB/s %6.2f\n", "send (SendData + FD_WRITE)", m / objectSend,
                m / plainSend, plainSend / objectSend);
    std::printf("resident: %.1f MiB before, %.1f MiB after %zu MB, %.1f MiB at the end; peak %.1f MiB\n",
                rssStart / 1024.0, streamer.rssEarly / 1024.0, mb / 8, rssEnd / 1024.0, PeakRssKiB() / 1024.0);
    std::printf("ROW\tsocket object receive, %zu MB\t%.1f MB/s\t%.1f MB/s (plain recv loop)\t%.2fx\n", mb,
                m / objectRecv, m / plainRecv, plainRecv / objectRecv);
    std::printf("ROW\tsocket object send, %zu MB\t%.1f MB/s\t%.1f MB/s (plain send loop)\t%.2fx\n", mb,
                m / objectSend, m / plainSend, plainSend / objectSend);
    std::printf("ROW\tsocket object memory, %zu MB stream\t%.1f MiB at end\t%.1f MiB after %zu MB\t%.2fx\n", mb,
                rssEnd / 1024.0, streamer.rssEarly / 1024.0, mb / 8,
                streamer.rssEarly ? static_cast<double>(rssEnd) / streamer.rssEarly : 0.0);
    return 0;
}
