// CSocketKit at the edges a hostile or unlucky peer reaches: data left
// unread when the peer closes, a reset or a failing handler while a
// connection is parked, a datagram that cannot be sent, a close that fails
// during destruction, a notification whose data is gone, a listening port
// with connections in TIME_WAIT, and running out of descriptors while
// accepting.
#include <sys/resource.h>

#include <dirent.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/service/service_testing.h"
#include "tests/csocketkit_support.h"

using namespace sktest;

namespace {

void Reset(Fd& fd) {
    linger hard{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    fd.Close();
}

int HighestOpenDescriptor() {
    int highest = -1;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') highest = std::max(highest, std::atoi(entry->d_name));
    }
    ::closedir(dir);
    return highest;
}

class HostileTest : public ListenerTest {};

}  // namespace

TEST_F(HostileTest, WhatArrivedBeforeThePeerClosedCanStillBeRead) {
    Fd peer;
    EventLog log;
    auto sock = ConnectedPair(peer, log);
    log.events.clear();
    SendAll(peer, "last words");
    ::shutdown(peer.get(), SHUT_WR);
    PumpUntil([&] { return sock->State() == sckClosing; });
    EXPECT_EQ(log.events, Lines({"DataArrival 10", "CloseSck"}));
    VbVariant data{std::string()};
    sock->PeekData(data);
    EXPECT_EQ(data.Bytes(), "last words");
    VbVariant part{std::string()};
    sock->GetData(part, std::nullopt, VbVariant::Long(5));
    EXPECT_EQ(part.Bytes(), "last ");
    sock->GetData(data);
    EXPECT_EQ(data.Bytes(), "words");
    EXPECT_EQ(sock->BytesReceived(), 0);
    // Once it has all been taken, reading is refused as before.
    EXPECT_VBERROR(sock->GetData(data), 40006, "CSocketKit.GetData", kDescWrongState);
    EXPECT_VBERROR(sock->PeekData(data), 40006, "CSocketKit.PeekData", kDescWrongState);
    EXPECT_EQ(sock->State(), sckClosing);
}

TEST_F(HostileTest, AResetWhileParkedReachesTheAcceptingObject) {
    StartListener();
    EventLog acceptorLog;
    auto acceptor = CSocketKit::Create();
    acceptor->SetEventReceiver(&acceptorLog);
    Fd client;
    listenerLog.onConnectionRequest = [&](int32_t id) {
        std::shared_ptr<CSocketKit> holder = modSocketKit::GetAcceptHolder(id);
        Reset(client);
        PumpUntil([&] { return holder->State() == sckError; });
        holder.reset();
        acceptor->Accept(id);
    };
    client = PlainClient(port);
    PumpUntil([&] { return !acceptorLog.events.empty(); });
    PumpAWhile();
    EXPECT_EQ(acceptorLog.events, Lines({"Error 10054 Connection reset by peer. CSocketKit.PostSocket"}));
    EXPECT_EQ(acceptor->State(), sckError);
    acceptor->CloseSck();
    EXPECT_EQ(acceptor->State(), sckClosed);
}

TEST_F(HostileTest, AFailingConnectionRequestHandlerClosesTheConnection) {
    StartListener();
    int32_t requested = -1;
    listenerLog.onConnectionRequest = [&](int32_t id) {
        requested = id;
        throw VbError(5, "Handler", "Invalid procedure call or argument");
    };
    size_t mark = box.Mark();
    Fd client = PlainClient(port);
    PumpUntil([&] { return requested != -1; });
    EXPECT_TRUE(box.Contains(mark, "OK Closed accepted socket: " + N(requested)));
    EXPECT_FALSE(modSocketKit::IsAcceptRegistered(requested));
    EXPECT_FALSE(modSocketKit::IsSocketRegistered(requested));
    EXPECT_EQ(listener->RemoteHostIP(), "");
    std::string rest;
    SetNonBlocking(client);
    PumpUntil([&] { return !DrainInto(client, rest); });   // the client sees the end
    EXPECT_EQ(rest, "");
    EXPECT_EQ(listener->State(), sckListening);
}

TEST_F(HostileTest, AFailedDatagramLeavesTheObjectOpenAndUsable) {
    uint16_t plainPort = 0;
    Fd plain = BoundLoopback(SOCK_DGRAM, plainPort);
    EventLog log;
    auto udp = UdpTo(log, plainPort);
    udp->Bind(0, "127.0.0.1");
    udp->SendData(std::string(70000, 'x'));
    EXPECT_EQ(log.events, Lines({"Error 10040 Message too long. CSocketKit.SendBufferedDataUDP"}));
    EXPECT_EQ(udp->State(), sckOpen);
    udp->SendData("after");
    char buffer[100];
    ASSERT_EQ(::recv(plain.get(), buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "after");

    // Incoming datagrams are still delivered.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(udp->LocalPort()));
    ASSERT_EQ(::sendto(plain.get(), "in", 2, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 2);
    VbVariant got{std::string()};
    log.onDataArrival = [&](int32_t) { udp->GetData(got); };
    PumpUntil([&] { return log.Count("DataArrival") == 1; });
    EXPECT_EQ(got.Bytes(), "in");
}

TEST_F(HostileTest, DestructionAfterAFailedCloseLeavesNoRegistration) {
    Fd peer;
    EventLog log;
    auto sock = ConnectedPair(peer, log);
    log.events.clear();
    const int32_t s = sock->SocketHandle();
    const int32_t routes = modSocketKit::testing::LiveSocketRoutes();
    ::close(s);   // behind the object's back: its own close fails
    sock.reset();
    EXPECT_FALSE(modSocketKit::IsSocketRegistered(s));
    EXPECT_EQ(modSocketKit::testing::LiveSocketRoutes(), routes - 1);

    // The next socket with that number registers and works.
    Fd peer2;
    EventLog log2;
    auto next = ConnectedPair(peer2, log2);
    EXPECT_EQ(next->State(), sckConnected);
    SendAll(peer2, "hi");
    PumpUntil([&] { return next->BytesReceived() == 2; });
    EXPECT_EQ(log.events, Lines());
}

TEST_F(HostileTest, AReadNotificationWithNothingToReadIsIgnored) {
    Fd peer;
    EventLog log;
    auto sock = ConnectedPair(peer, log);
    log.events.clear();
    const int32_t s = sock->SocketHandle();
    win::PostMessageA(modSocketKit::MessageWindowHandle(), modSocketKit::SOCKET_MESSAGE, s, win::FD_READ);
    PumpAWhile();
    EXPECT_EQ(sock->State(), sckConnected);
    EXPECT_EQ(log.events, Lines());
    SendAll(peer, "real");
    PumpUntil([&] { return log.Count("DataArrival") == 1; });
    EXPECT_EQ(log.events, Lines({"DataArrival 4"}));
}

TEST_F(HostileTest, AListeningPortIsFreeAgainWhileItsConnectionsAreInTimeWait) {
    StartListener();
    auto server = CSocketKit::Create();
    listenerLog.onConnectionRequest = [&](int32_t id) { server->Accept(id); };
    Fd client = PlainClient(port);
    PumpUntil([&] { return server->State() == sckConnected; });
    server->CloseSck();   // the server side closes first: its end goes to TIME_WAIT
    std::string rest;
    SetNonBlocking(client);
    PumpUntil([&] { return !DrainInto(client, rest); });
    client.Close();
    listener->CloseSck();
    PumpAWhile(10);

    const int32_t fixed = port;
    StartListener(fixed);
    EXPECT_EQ(listener->State(), sckListening);
    EXPECT_EQ(listener->LocalPort(), fixed);
    // Still one listener per port.
    auto second = CSocketKit::Create();
    EXPECT_VBERROR(second->Bind(fixed, "127.0.0.1"), 10048, "CSocketKit.BindInternal", "Address already in use.");
}

TEST_F(HostileTest, RunningOutOfDescriptorsPausesAcceptingWithOneError) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers' own checks need descriptors (a pipe to probe memory),
    // and report false errors when there are none.
    GTEST_SKIP() << "not with the sanitizers";
#endif
    StartListener();
    Fd peer;
    EventLog spareLog;
    auto spare = ConnectedPair(peer, spareLog);   // closed later to free a descriptor
    Fd client(::socket(AF_INET, SOCK_STREAM, 0));
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(HighestOpenDescriptor() + 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<Fd> fillers;   // take every number still free below the limit
    for (int fd; (fd = ::dup(client.get())) >= 0;) fillers.emplace_back(fd);

    int32_t requested = -1;
    listenerLog.onConnectionRequest = [&](int32_t id) { requested = id; };
    size_t mark = box.Mark();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    PumpUntil([&] { return listenerLog.Count("Error") == 1; });
    const auto started = std::chrono::steady_clock::now();
    PumpAWhile(200);   // a spinning listener logs a notification in every round, or more
    const auto pauses = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started).count() / 500;
    int notifications = 0;
    for (const std::string& line : box.Since(mark)) notifications += line.rfind("FD_ACCEPT ", 0) == 0 ? 1 : 0;
    // A paused one: the first notifications, then two at most after each pause.
    EXPECT_LE(notifications, 4 + 2 * pauses);
    EXPECT_EQ(listenerLog.events, Lines({"Error 10024 Too many open files. CSocketKit.PostSocket"}));
    EXPECT_EQ(listener->State(), sckListening);

    spare->CloseSck();   // a descriptor is free again
    PumpUntil([&] { return requested != -1; });
    fillers.clear();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(listenerLog.Count("Error"), 1);
    EXPECT_EQ(listener->State(), sckListening);
}

TEST_F(HostileTest, WhatWasQueuedBeforeThePeerClosedStillGoesOut) {
    Fd peer;
    EventLog log;
    auto sock = ConnectedPair(peer, log);
    log.events.clear();
    std::string big(8 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    sock->SendData(big);
    ASSERT_GT(sock->BytesWaitingToSend(), 0);
    ::shutdown(peer.get(), SHUT_WR);   // the peer is done sending, not reading
    PumpUntil([&] { return sock->State() == sckClosing; });
    SetNonBlocking(peer);
    std::string got;
    PumpUntil([&] {
        DrainInto(peer, got);
        return got.size() >= big.size();
    });
    EXPECT_TRUE(got == big);
    EXPECT_EQ(log.Count("SendComplete"), 1);
    EXPECT_EQ(log.Count("CloseSck"), 1);
}
