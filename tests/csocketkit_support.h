// Shared pieces of the CSocketKit tests: a text box that records the socket
// debug log line by line, an event recorder, plain loopback peers (Berkeley
// sockets, peer_socket.h, chosen by the build), and a bounded message pump (a
// deadline fails the test instead of hanging it).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "net/socket/csocket_kit.h"
#include "platform/message_window.h"
#include "platform/platform_testing.h"
#include "platform/vb_error.h"
#include "peer_socket.h"
#include "ui/socket_log_box.h"
#include "ui/text_box.h"

namespace sktest {

// Every packet of these tests stays on this machine: a connect to any address
// outside 127.0.0.0/8 (the 1.0.0.0 cases) fails as unreachable instead.
[[maybe_unused]] static const bool kLoopbackGuard = (win::testing::KeepTrafficOnLoopback(true), true);

using Lines = std::vector<std::string>;

inline std::string N(int64_t value) { return std::to_string(value); }

// The lines a new socket writes while being created and registered as the only socket.
inline Lines CreationLines(const CSocketKit& sock) {
    int32_t s = sock.SocketHandle();
    return {"OK Created socket: " + N(s),
            "Winsock buffer size for sends: " + N(sock.SendBufferSize()),
            "Winsock buffer size for receives: " + N(sock.ReceiveBufferSize()),
            "OK Created socket collection",
            "OK Created winsock message window " + N(modSocketKit::MessageWindowHandle()),
            "OK Registered events from socket " + N(s)};
}

inline std::string AllByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
}

inline Lines Concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Records the log; remembers which lines were followed by a two-line scroll.
class RecordingBox : public ITextBox {
public:
    std::string Text() const override { return text_; }
    void SetText(std::string_view text) override { text_ = text; }
    void AppendText(std::string_view text) override { text_.append(text); }
    void MoveCaretToEnd() override {}
    void PostLineScroll(int columns, int lines) override {
        if (columns == 0 && lines == 2) scrolled_.insert(Lines().size() - 1);
    }
    bool Visible() const override { return true; }
    void SetVisible(bool) override {}

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t pos; (pos = text_.find("\r\n", start)) != std::string::npos; start = pos + 2) {
            lines.push_back(text_.substr(start, pos - start));
        }
        lines.push_back(text_.substr(start));
        return lines;
    }
    // Marks the current end; Since() gives the lines written after it.
    size_t Mark() const { return Lines().size(); }
    std::vector<std::string> Since(size_t mark) const {
        std::vector<std::string> lines = Lines();
        return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(mark, lines.size())),
                                        lines.end());
    }
    // Whether the line with this text, the last one written after mark, got the two-line scroll.
    bool ScrolledAfter(size_t mark, const std::string& line) const {
        std::vector<std::string> lines = Lines();
        for (size_t i = lines.size(); i-- > mark;) {
            if (lines[i] == line) return scrolled_.count(i) != 0;
        }
        ADD_FAILURE() << "line not found: " << line;
        return false;
    }
    bool Contains(size_t mark, const std::string& line) const {
        for (const std::string& l : Since(mark)) {
            if (l == line) return true;
        }
        return false;
    }

private:
    std::string text_ = "Winsock Debug Log";
    std::set<size_t> scrolled_;
};

// Records every event as a line of text, and the Error arguments.
class EventLog : public CSocketKitEvents {
public:
    void CloseSck() override { events.push_back("CloseSck"); }
    void Connect() override { events.push_back("Connect"); }
    void ConnectionRequest(int32_t requestID) override {
        events.push_back("ConnectionRequest " + std::to_string(requestID));
        if (onConnectionRequest) onConnectionRequest(requestID);
    }
    void DataArrival(int32_t bytesTotal) override {
        events.push_back("DataArrival " + std::to_string(bytesTotal));
        if (onDataArrival) onDataArrival(bytesTotal);
    }
    void Error(int16_t Number, std::string& Description, int32_t sCode, const std::string& Source,
               const std::string& HelpFile, int32_t HelpContext, bool& CancelDisplay) override {
        events.push_back("Error " + std::to_string(Number) + " " + Description + " " + Source);
        EXPECT_EQ(sCode, 0);
        EXPECT_EQ(HelpFile, "");
        EXPECT_EQ(HelpContext, 0);
        EXPECT_TRUE(CancelDisplay);
        if (onError) onError(Description, CancelDisplay);
    }
    void SendComplete() override {
        events.push_back("SendComplete");
        if (onSendComplete) onSendComplete();
    }
    void SendProgress(int32_t bytesSent, int32_t bytesRemaining) override {
        events.push_back("SendProgress " + std::to_string(bytesSent) + " " + std::to_string(bytesRemaining));
    }
    int Count(const std::string& prefix) const {
        int n = 0;
        for (const std::string& e : events) n += e.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

    std::vector<std::string> events;
    std::function<void(int32_t)> onConnectionRequest;
    std::function<void(int32_t)> onDataArrival;
    std::function<void(std::string&, bool&)> onError;
    std::function<void()> onSendComplete;
};

// Runs the message loop until done() holds; fails the test after 10 s.
inline bool PumpUntil(const std::function<bool()>& done, const std::function<void()>& each = {}) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "timed out waiting";
            return false;
        }
        win::DoEvents();
        if (each) each();
        testsock::SleepMicroseconds(200);
    }
    return true;
}

// Handles whatever arrives within a few rounds of the loop (for "nothing more happens").
inline void PumpAWhile(int rounds = 50) {
    for (int i = 0; i < rounds; ++i) {
        win::DoEvents();
        testsock::SleepMicroseconds(1000);
    }
}

// A plain socket descriptor, closed on destruction.
class Fd {
public:
    explicit Fd(testsock::Socket fd = testsock::kNoSocket) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = testsock::kNoSocket; }
    Fd& operator=(Fd&& other) noexcept {
        Close();
        fd_ = other.fd_;
        other.fd_ = testsock::kNoSocket;
        return *this;
    }
    testsock::Socket get() const { return fd_; }
    void Close() {
        if (fd_ != testsock::kNoSocket) testsock::Close(fd_);
        fd_ = testsock::kNoSocket;
    }

private:
    testsock::Socket fd_;
};

// A plain socket of the given type (SOCK_STREAM, SOCK_DGRAM) bound to
// 127.0.0.1 at an ephemeral port, which is returned in port.
inline Fd BoundLoopback(int type, uint16_t& port) {
    Fd fd(::socket(AF_INET, type, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// A TCP listener on 127.0.0.1 at an ephemeral port (not listening if listen is false).
inline Fd LoopbackListener(uint16_t& port, bool listen = true) {
    Fd fd = BoundLoopback(SOCK_STREAM, port);
    if (listen) {
        EXPECT_EQ(::listen(fd.get(), 16), 0);
    }
    return fd;
}

// A plain TCP client connected to 127.0.0.1:port; its own port in localPort if given.
inline Fd PlainClient(int32_t port, uint16_t* localPort = nullptr) {
    Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (localPort) {
        socklen_t length = sizeof address;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
        *localPort = ntohs(address.sin_port);
    }
    return fd;
}

inline Fd AcceptPeer(const Fd& listener) {
    return Fd(::accept(listener.get(), nullptr, nullptr));
}

inline void SetNonBlocking(const Fd& fd) { testsock::SetNonBlocking(fd.get()); }

inline void SendAll(const Fd& fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = testsock::Send(fd.get(), bytes.data(), bytes.size());
        ASSERT_GT(n, 0);
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

// Reads what is there now from a non-blocking socket into out; false at end of stream.
inline bool DrainInto(const Fd& fd, std::string& out) {
    char buffer[65536];
    for (;;) {
        ssize_t n = testsock::ReceiveNow(fd.get(), buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<size_t>(n));
            continue;
        }
        return n != 0;
    }
}

// Every test starts with a fresh recording box as the socket debug box.
class SocketTest : public ::testing::Test {
protected:
    void SetUp() override { modSocketKit::SetSocketLogSink(&sink); }
    void TearDown() override {
        PumpAWhile(5);
        modSocketKit::SetSocketLogSink(nullptr);
    }

    // A TCP object connected to a plain loopback peer.
    std::shared_ptr<CSocketKit> ConnectedPair(Fd& peer, EventLog& log) {
        uint16_t port = 0;
        Fd listener = LoopbackListener(port);
        auto sock = CSocketKit::Create();
        sock->SetEventReceiver(&log);
        sock->Connect("127.0.0.1", static_cast<int32_t>(port));
        PumpUntil([&] { return sock->State() == sckConnected; });
        peer = AcceptPeer(listener);
        return sock;
    }

    // A UDP object that records its events in log and sends to 127.0.0.1:remotePort.
    static std::shared_ptr<CSocketKit> UdpTo(EventLog& log, int32_t remotePort) {
        auto udp = CSocketKit::Create();
        udp->SetEventReceiver(&log);
        udp->SetProtocol(sckUDP);
        udp->SetRemoteHost("127.0.0.1");
        udp->SetRemotePort(remotePort);
        return udp;
    }

    RecordingBox box;
    SocketLogBox sink{box};
};

// A SocketTest with a listening object whose events go to listenerLog.
class ListenerTest : public SocketTest {
protected:
    // Listens on 127.0.0.1 at localPort (0: a port the platform chooses),
    // with remoteHost as the listener's RemoteHost.
    void StartListener(int32_t localPort = 0, const std::string& remoteHost = "") {
        listener = CSocketKit::Create();
        listener->SetEventReceiver(&listenerLog);
        listener->SetRemoteHost(remoteHost);
        listener->Bind(localPort, "127.0.0.1");
        listener->Listen();
        port = listener->LocalPort();
    }

    EventLog listenerLog;
    std::shared_ptr<CSocketKit> listener;
    int32_t port = 0;
};

}  // namespace sktest

// Expects statement to throw VbError with exactly this number, source and description.
#define EXPECT_VBERROR(statement, number, source, description)                  \
    do {                                                                        \
        try {                                                                   \
            statement;                                                          \
            ADD_FAILURE() << "no error from: " #statement;                      \
        } catch (const VbError& e) {                                            \
            EXPECT_EQ(e.Number, number);                                        \
            EXPECT_EQ(e.Source, source);                                        \
            EXPECT_EQ(e.Description, description);                              \
        }                                                                       \
    } while (0)
