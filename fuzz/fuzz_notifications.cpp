// Arbitrary notifications to CSocketKit objects in every state that real
// loopback sockets can put them in: closed, open (UDP), listening, resolving,
// connecting, connected, closing (the peer closed) and error (refused).
//
// Input: the state, then up to 32 steps: (notification, error code) pairs
// through WndProc or posted to the service's window, lookup results with a
// pending or made-up handle, the message loop, the peer sending or closing, a
// client calling a listening object, CloseSck and SendData. The object's event
// handlers read data, accept calls into new objects, ask for the message box
// or close the object, as the input says.
//
// Afterwards every object is closed and released: it must close (only a
// socketless object in sckError stays so: CloseSck has nothing to close), and the
// process must be back to the sockets it had and the socket service to
// no users and no routes. LeakSanitizer checks the memory.
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/loopback.h"
#include "net/service/service_testing.h"
#include "net/socket/csocket_kit.h"
#include "platform/platform_testing.h"
#include "platform/vb_error.h"
#include "ui/socket_log_box.h"

namespace {

struct World {
    loopback::DiscardBox box;
    SocketLogBox sink{box};
    int listener = -1;  // a host that takes calls
    int refuser = -1;   // a bound port nobody listens on
    int baseline = 0;   // open sockets between inputs
};

World& W() {
    static World* world = [] {
        auto* w = new World;
        modSocketKit::SetSocketLogSink(&w->sink);
        CSocketKit::SetMessageBoxHandler([](const std::string&, const std::string&) {});
        w->listener = loopback::BoundSocket(SOCK_STREAM, true);
        w->refuser = loopback::BoundSocket(SOCK_STREAM, false);
        return w;
    }();
    return *world;
}

// The event handlers' behaviour, chosen by the input.
struct Handlers : CSocketKitEvents {
    CSocketKit* self = nullptr;
    std::vector<std::shared_ptr<CSocketKit>>* accepted = nullptr;
    uint8_t flags = 0;

    void DataArrival(int32_t) override {
        if (flags & 1) {
            VbVariant data;
            self->GetData(data);
        }
        if (flags & 2) self->CloseSck();
    }
    void ConnectionRequest(int32_t requestID) override {
        if ((flags & 4) == 0) return;
        auto other = CSocketKit::Create();
        try {
            other->Accept(requestID);
        } catch (const VbError&) {
            return;  // refused: the service closes the call as unaccepted
        }
        accepted->push_back(other);
    }
    void Error(int16_t, std::string&, int32_t, const std::string&, const std::string&, int32_t,
               bool& CancelDisplay) override {
        if (flags & 8) CancelDisplay = false;
    }
    void CloseSck() override {
        if (flags & 16) self->CloseSck();
    }
};

struct Subject {
    std::shared_ptr<CSocketKit> sock = CSocketKit::Create();
    Handlers handlers;
    std::vector<std::shared_ptr<CSocketKit>> accepted;
    int peer = -1;                 // the far end of a connected object
    std::vector<int> clients;      // callers of a listening object
};

void Connect(Subject& s, const char* host, int port) {
    s.sock->Connect(VbVariant(host), VbVariant::Long(port));
}

bool PumpTo(Subject& s, SockState state) {
    return loopback::PumpUntil([&] { return s.sock->State() == state; });
}

// Puts the subject into one of the states; false if the loopback did not get there.
bool Prepare(Subject& s, int which) {
    World& w = W();
    const int port = loopback::PortOf(w.listener);
    switch (which) {
    case 0: return true;  // closed
    case 1:
        s.sock->SetProtocol(sckUDP);
        s.sock->Bind(VbVariant::Long(0), VbVariant("127.0.0.1"));
        return s.sock->State() == sckOpen;
    case 2:
        s.sock->Bind(VbVariant::Long(0), VbVariant("127.0.0.1"));
        s.sock->Listen();
        return s.sock->State() == sckListening;
    case 3: Connect(s, "localhost", port); return s.sock->State() == sckResolvingHost;
    case 4: Connect(s, "127.0.0.1", port); return s.sock->State() == sckConnecting;
    case 7: Connect(s, "127.0.0.1", loopback::PortOf(w.refuser)); return PumpTo(s, sckError);
    default:
        Connect(s, "127.0.0.1", port);
        if (!PumpTo(s, sckConnected)) return false;
        s.peer = loopback::AcceptOne(w.listener);
        if (which == 5) return s.peer >= 0;
        ::close(s.peer);
        s.peer = -1;
        return PumpTo(s, sckClosing);
    }
}

int32_t Notification(FuzzedDataProvider& p) {
    static const int32_t kCodes[] = {win::FD_READ, win::FD_WRITE, win::FD_ACCEPT, win::FD_CONNECT, win::FD_CLOSE};
    static const int32_t kErrors[] = {10053, 10054, 10060, 10061, 10035, 11001};
    const int32_t event = p.ConsumeBool() ? p.PickValueInArray(kCodes) : p.ConsumeIntegral<uint16_t>();
    int32_t error = 0;
    switch (p.ConsumeIntegralInRange(0, 3)) {
    case 0: error = p.PickValueInArray(kErrors); break;
    case 1: error = p.ConsumeIntegral<uint16_t>(); break;
    default: break;
    }
    return static_cast<int32_t>((static_cast<uint32_t>(error) << 16) | static_cast<uint32_t>(event));
}

void Step(Subject& s, FuzzedDataProvider& p) {
    CSocketKit& sock = *s.sock;
    const win::HWND window = modSocketKit::MessageWindowHandle();
    switch (p.ConsumeIntegralInRange(0, 10)) {
    case 0:
    case 1: sock.WndProc(window, modSocketKit::SOCKET_MESSAGE, sock.SocketHandle(), Notification(p)); break;
    case 2: {
        const win::WPARAM target = p.ConsumeBool() ? sock.SocketHandle() : p.ConsumeIntegral<int32_t>();
        win::PostMessageA(window, modSocketKit::SOCKET_MESSAGE, target, Notification(p));
        break;
    }
    case 3: {
        win::WPARAM handle = p.ConsumeIntegral<int32_t>();
        if (p.ConsumeBool() && !sock.PendingResolutions().empty()) {
            handle = std::stoi(sock.PendingResolutions().begin()->first.substr(1));
        }
        const int32_t error = p.ConsumeBool() ? 0 : p.ConsumeIntegral<uint16_t>();
        sock.WndProc(window, modSocketKit::RESOLVE_MESSAGE, handle, static_cast<int32_t>(error << 16));
        break;
    }
    case 4:
    case 5:
        for (int i = p.ConsumeIntegralInRange(1, 4); i > 0; --i) {
            win::WaitMessageTimeout(1);
            win::DoEvents();
        }
        break;
    case 6:
        if (s.peer >= 0) {
            const std::string bytes = p.ConsumeRandomLengthString(64);
            ::send(s.peer, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        break;
    case 7:
        if (s.peer >= 0) ::close(s.peer);
        s.peer = -1;
        break;
    case 8:
        if (sock.State() == sckListening && s.clients.size() < 4) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in to = loopback::Address(static_cast<uint16_t>(sock.LocalPort()));
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
            s.clients.push_back(fd);
        }
        break;
    case 9: sock.CloseSck(); break;
    default:
        try {
            sock.SendData(VbVariant(p.ConsumeRandomLengthString(16)));
        } catch (const VbError&) {
        }
        break;
    }
}

// Closes an object: it must end closed, or in sckError without a socket (CloseSck
// leaves an object without a socket as it is).
void CloseAndCheck(CSocketKit& sock) {
    sock.SetEventReceiver(nullptr);
    sock.CloseSck();
    FUZZ_CHECK(sock.SocketHandle() == win::INVALID_SOCKET, "CloseSck gives up the socket");
    FUZZ_CHECK(sock.State() == sckClosed || sock.State() == sckError, "CloseSck closes");
    FUZZ_CHECK(sock.PendingResolutions().empty() && sock.BytesReceived() == 0, "nothing left in flight");
}

// The count settles once the lookup worker is done with a lookup.
bool BackToBaseline(int baseline) {
    for (int i = 0; i < 2000; ++i) {
        if (loopback::OpenSockets() == baseline) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Takes and hangs up the calls that reached the listening peer.
void HangUpWaitingCalls() {
    while (loopback::Readable(W().listener, 0)) {
        const int fd = ::accept4(W().listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) break;
        ::close(fd);
    }
}

void RunOne(const uint8_t* data, size_t size) {
    FuzzedDataProvider p(data, size);
    Subject s;
    s.handlers.self = s.sock.get();
    s.handlers.accepted = &s.accepted;
    s.handlers.flags = p.ConsumeIntegral<uint8_t>();
    FUZZ_CHECK(Prepare(s, p.ConsumeIntegralInRange(0, 7)), "the loopback reaches the state");
    s.sock->SetEventReceiver(&s.handlers);
    for (int i = p.ConsumeIntegralInRange(0, 32); i > 0 && p.remaining_bytes() > 0; --i) {
        try {
            Step(s, p);
        } catch (const VbError&) {
            // An operation refused in this state: the object carries on.
        }
    }
    for (auto& other : s.accepted) CloseAndCheck(*other);
    CloseAndCheck(*s.sock);
    if (s.peer >= 0) ::close(s.peer);
    for (int fd : s.clients) ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = W();
    if (w.baseline == 0) {
        // The event loop, its descriptors and the lookup worker come with the first use.
        Subject s;
        FUZZ_CHECK(Prepare(s, 3) && PumpTo(s, sckConnected), "a lookup and a connect");
        CloseAndCheck(*s.sock);
        HangUpWaitingCalls();
        w.baseline = loopback::OpenSockets();
    }
    RunOne(data, size);
    for (int i = 0; i < 4; ++i) win::DoEvents();
    HangUpWaitingCalls();
    FUZZ_CHECK(modSocketKit::ServiceUserCount() == 0, "no object left using the service");
    FUZZ_CHECK(win::testing::TrackedSocketCount() == 0, "no platform socket left");
    FUZZ_CHECK(modSocketKit::testing::LiveSocketRoutes() == 0 && modSocketKit::testing::LiveResolutionRoutes() == 0,
               "no routes left");
    if (!BackToBaseline(w.baseline)) {
        std::fprintf(stderr, "open sockets: %d, before: %d\n", loopback::OpenSockets(), w.baseline);
        loopback::ListDescriptors();
        FUZZ_CHECK(false, "no socket leaked");
    }
    return 0;
}
