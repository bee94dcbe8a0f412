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
//   socket_stream_bench [--quick] [--mb N] [--rounds N]
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

// One connected pair: the object (or a plain client) and the peer's socket.
struct Pair {
    int listener = -1;
    int peer = -1;
    uint16_t port = 0;
};

// The object connected to a fresh plain peer.
Pair ConnectObject(Streamer& streamer) {
    Pair pair;
    pair.listener = Listener(pair.port);
    streamer.sock = CSocketKit::Create();
    streamer.sock->SetEventReceiver(&streamer);
    streamer.sock->Connect("127.0.0.1", static_cast<int32_t>(pair.port));
    RunLoopUntilQuit();
    pair.peer = ::accept(pair.listener, nullptr, nullptr);
    return pair;
}

void Release(Pair& pair) {
    ::close(pair.peer);
    ::close(pair.listener);
}

struct Figures {
    double objectRecv = 0, plainRecv = 0, objectSend = 0, plainSend = 0;   // seconds, best round
    size_t recvChunk = 0, sendChunk = 0;
    long rssBefore = 0, rssEarly = 0, rssEnd = 0;
    bool complete = true;
};

void Best(double& best, double seconds) {
    if (best == 0 || seconds < best) best = seconds;
}

void ObjectReceive(size_t total, Figures& f, bool first) {
    Streamer streamer(total);
    Pair pair = ConnectObject(streamer);
    f.recvChunk = static_cast<size_t>(streamer.sock->ReceiveBufferSize());
    f.sendChunk = static_cast<size_t>(streamer.sock->SendBufferSize());
    if (first) f.rssBefore = CurrentRssKiB();
    auto start = Clock::now();
    std::thread writer(WriteAll, pair.peer, total, kBlock);
    RunLoopUntilQuit();
    Best(f.objectRecv, Seconds(start));
    writer.join();
    if (first) {
        f.rssEarly = streamer.rssEarly;
        f.rssEnd = CurrentRssKiB();
    }
    f.complete = f.complete && streamer.received == total;
    streamer.sock->CloseSck();
    Release(pair);
}

void ObjectSend(size_t total, Figures& f) {
    Streamer streamer(total);
    Pair pair = ConnectObject(streamer);
    size_t got = 0;
    std::thread reader([&] { got = ReadAll(pair.peer, total, f.recvChunk); });
    auto start = Clock::now();
    streamer.Feed();
    RunLoopUntilQuit();
    reader.join();
    Best(f.objectSend, Seconds(start));
    f.complete = f.complete && got == total && !streamer.failed;
    streamer.sock->CloseSck();
    Release(pair);
}

void PlainRounds(size_t total, Figures& f) {
    Pair pair;
    pair.listener = Listener(pair.port);
    int client = ConnectTo(pair.port);
    pair.peer = ::accept(pair.listener, nullptr, nullptr);
    auto start = Clock::now();
    std::thread writer(WriteAll, pair.peer, total, kBlock);
    size_t got = ReadAll(client, total, f.recvChunk);
    Best(f.plainRecv, Seconds(start));
    writer.join();
    size_t back = 0;
    std::thread reader([&] { back = ReadAll(pair.peer, total, f.recvChunk); });
    start = Clock::now();
    WriteAll(client, total, f.sendChunk);
    reader.join();
    Best(f.plainSend, Seconds(start));
    f.complete = f.complete && got == total && back == total;
    ::close(client);
    Release(pair);
}

}  // namespace

int main(int argc, char** argv) {
    size_t mb = 256;
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            mb = 32;
            rounds = 1;
        }
        if (std::strcmp(argv[i], "--mb") == 0 && i + 1 < argc) mb = std::stoul(argv[++i]);
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = std::stoi(argv[++i]);
    }
    const size_t total = mb << 20;

    // Rounds alternate between the object and the plain loops; each figure
    // is the best of its rounds (the machine is shared and noisy).
    Figures f;
    for (int round = 0; round < rounds; ++round) {
        ObjectReceive(total, f, round == 0);
        PlainRounds(total, f);
        ObjectSend(total, f);
    }
    if (!f.complete) {
        std::fprintf(stderr, "a stream was incomplete\n");
        return 1;
    }
    const double m = static_cast<double>(mb);
    std::printf("socket stream, %zu MB over loopback, best of %d (recv call %zu B, send call %zu B)\n", mb,
                rounds, f.recvChunk, f.sendChunk);
    std::printf("%-30s %14s %14s %7s\n", "case", "CSocketKit", "plain loop", "ratio");
    std::printf("%-30s %9.1f MB/s %9.1f MB/s %7.2f\n", "receive (FD_READ + GetData)", m / f.objectRecv,
                m / f.plainRecv, f.plainRecv / f.objectRecv);
    std::printf("%-30s %9.1f MB/s %9.1f MB/s %7.2f\n", "send (SendData + FD_WRITE)", m / f.objectSend,
                m / f.plainSend, f.plainSend / f.objectSend);
    std::printf("resident while receiving: %.1f MiB before, %.1f MiB after %zu MB, %.1f MiB after %zu MB; "
                "peak of the run %.1f MiB\n",
                f.rssBefore / 1024.0, f.rssEarly / 1024.0, mb / 8, f.rssEnd / 1024.0, mb, PeakRssKiB() / 1024.0);
    std::printf("ROW\tsocket object receive, %zu MB\t%.1f MB/s\t%.1f MB/s (plain recv loop)\t%.2fx\n", mb,
                m / f.objectRecv, m / f.plainRecv, f.plainRecv / f.objectRecv);
    std::printf("ROW\tsocket object send, %zu MB\t%.1f MB/s\t%.1f MB/s (plain send loop)\t%.2fx\n", mb,
                m / f.objectSend, m / f.plainSend, f.plainSend / f.objectSend);
    std::printf("ROW\tsocket object resident size, %zu MB stream\t%.1f MiB after %zu MB\t%.1f MiB after %zu MB\t%.2fx\n",
                mb, f.rssEnd / 1024.0, mb, f.rssEarly / 1024.0, mb / 8,
                f.rssEarly ? static_cast<double>(f.rssEnd) / f.rssEarly : 0.0);
    return 0;
}
