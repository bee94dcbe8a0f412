// CSocketKit connecting: the exact log of a connect to a numeric address and
// to a host name, the lookup's route, port arguments, 1.0.0.0, a refused
// connect and a UDP "connect".
#include <string>
#include <vector>

#include "tests/csocketkit_support.h"

using namespace sktest;

// ---- Connecting --------------------------------------------------------------

class ConnectTest : public SocketTest {};

TEST_F(ConnectTest, NumericAddressLineByLine) {
    uint16_t port = 0;
    Fd listener = LoopbackListener(port);
    EventLog log;
    auto sock = CSocketKit::Create();
    sock->SetEventReceiver(&log);
    std::string localIP = sock->LocalIP();
    size_t mark = box.Mark();
    sock->Connect("127.0.0.1", N(port));
    EXPECT_EQ(sock->State(), sckConnecting);
    int32_t s = sock->SocketHandle();
    int32_t chosen = sock->LocalPort();
    Lines expected = Concat(CreationLines(*sock), {"OK Bind HOST: " + localIP + " PORT: " + N(chosen),
                                                   "OK Connecting to: 127.0.0.1 ", "STATE: sckConnecting"});
    EXPECT_EQ(box.Since(mark), expected);
    EXPECT_TRUE(box.ScrolledAfter(mark, "OK Connecting to: 127.0.0.1 "));
    EXPECT_TRUE(box.ScrolledAfter(mark, "STATE: sckConnecting"));
    EXPECT_FALSE(box.ScrolledAfter(mark, "OK Bind HOST: " + localIP + " PORT: " + N(chosen)));
    EXPECT_TRUE(log.events.empty());

    PumpUntil([&] { return sock->State() == sckConnected; });
    PumpAWhile();
    expected = Concat(expected, {"FD_CONNECT " + N(s), "STATE: sckConnected", "FD_WRITE " + N(s)});
    EXPECT_EQ(box.Since(mark), expected);
    EXPECT_EQ(log.events, Lines({"Connect"}));
    EXPECT_EQ(sock->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(sock->RemotePort(), port);
    EXPECT_EQ(sock->RemoteHost(), "127.0.0.1");

    // The peer sees the connection come from the bound address and port.
    Fd peer = AcceptPeer(listener);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ::getpeername(peer.get(), reinterpret_cast<sockaddr*>(&from), &length);
    EXPECT_EQ(ntohs(from.sin_port), chosen);

    // A second Connect changes nothing.
    EXPECT_VBERROR(sock->Connect("127.0.0.1", N(port)), 40020, "CSocketKit.Connect", kDescInvalidOperation);
    EXPECT_EQ(sock->State(), sckConnected);
    EXPECT_EQ(sock->SocketHandle(), s);
}

TEST_F(ConnectTest, HostNameLineByLine) {
    uint16_t port = 0;
    Fd listener = LoopbackListener(port);
    EventLog log;
    auto sock = CSocketKit::Create();
    sock->SetEventReceiver(&log);
    std::string localIP = sock->LocalIP();
    size_t mark = box.Mark();
    sock->Connect("localhost", static_cast<int32_t>(port));
    EXPECT_EQ(sock->State(), sckResolvingHost);
    ASSERT_EQ(sock->PendingResolutions().size(), 1u);
    const std::string key = sock->PendingResolutions().begin()->first;
    EXPECT_EQ(sock->PendingResolutions().begin()->second, CSocketKit::ResolveForConnect);
    const std::string handle = key.substr(1);
    EXPECT_EQ(key, "R" + handle);
    Lines expected = Concat(CreationLines(*sock), {"STATE: sckResolvingHost",
                                                   "Resolving host localhost with handle " + handle});
    EXPECT_EQ(box.Since(mark), expected);

    PumpUntil([&] { return sock->State() == sckConnected; });
    PumpAWhile();
    int32_t s = sock->SocketHandle();
    expected = Concat(expected, {"STATE: sckHostResolved", "OK Bind HOST: " + localIP + " PORT: " + N(sock->LocalPort()),
                                 "OK Connecting to: localhost ", "STATE: sckConnecting", "FD_CONNECT " + N(s),
                                 "STATE: sckConnected", "FD_WRITE " + N(s)});
    EXPECT_EQ(box.Since(mark), expected);
    EXPECT_EQ(log.events, Lines({"Connect"}));
    EXPECT_TRUE(sock->PendingResolutions().empty());
    EXPECT_EQ(sock->RemoteHostIP(), "127.0.0.1");
}

TEST_F(ConnectTest, CompletedLookupLeavesNoRoute) {
    uint16_t port = 0;
    Fd listener = LoopbackListener(port);
    auto keeper = CSocketKit::Create();   // keeps the route tables in place meanwhile
    keeper->Bind();
    auto sock = CSocketKit::Create();
    sock->Connect("localhost", static_cast<int32_t>(port));
    win::HANDLE first = std::stoi(sock->PendingResolutions().begin()->first.substr(1));
    PumpUntil([&] { return sock->State() == sckConnected; });
    sock->CloseSck();
    sock->Connect("localhost", static_cast<int32_t>(port));
    ASSERT_EQ(sock->State(), sckResolvingHost);
    // A late message for the finished lookup no longer reaches the object: it
    // goes to the window's previous procedure (result 0).
    EXPECT_EQ(modSocketKit::RouteMessage(modSocketKit::MessageWindowHandle(), modSocketKit::RESOLVE_MESSAGE,
                                         first, 0),
              0);
    EXPECT_EQ(sock->State(), sckResolvingHost);
    PumpUntil([&] { return sock->State() == sckConnected; });
}

TEST_F(ConnectTest, AResultPostedBeforeTheLookupEndsStopsTheLookup) {
    uint16_t port = 0;
    Fd listener = LoopbackListener(port);
    auto sock = CSocketKit::Create();
    sock->Connect("localhost", static_cast<int32_t>(port));
    ASSERT_EQ(sock->State(), sckResolvingHost);
    win::HANDLE handle = std::stoi(sock->PendingResolutions().begin()->first.substr(1));
    // A result message that someone else posted for the lookup arrives first.
    // Handling it frees the result block, so the lookup itself must be stopped:
    // its own result would be written into the freed block.
    modSocketKit::RouteMessage(modSocketKit::MessageWindowHandle(), modSocketKit::RESOLVE_MESSAGE, handle, 0);
    EXPECT_EQ(sock->State(), sckError) << "a block without an address";
    EXPECT_EQ(win::WSACancelAsyncRequest(handle), win::SOCKET_ERROR) << "the lookup is no longer pending";
    EXPECT_EQ(win::WSAGetLastError(), 10037);
    PumpAWhile();
    EXPECT_EQ(sock->State(), sckError);
}

TEST_F(ConnectTest, PortArguments) {
    auto sock = CSocketKit::Create();
    size_t mark = box.Mark();
    EXPECT_VBERROR(sock->Connect("127.0.0.1", "telnet"), 40018, "CSocketKit.Connect", kDescUnsupportedType);
    EXPECT_EQ(sock->RemoteHost(), "127.0.0.1");   // stored before the port was refused
    EXPECT_VBERROR(sock->Connect("host-b", 0), 40014, "CSocketKit.Connect", kDescBadArgument);
    EXPECT_EQ(sock->RemoteHost(), "host-b");
    EXPECT_VBERROR(sock->Connect(std::nullopt, 65536), 40014, "CSocketKit.Connect", kDescBadArgument);
    EXPECT_VBERROR(sock->Connect(std::nullopt, VbVariant()), 40018, "CSocketKit.Connect", kDescUnsupportedType);
    EXPECT_VBERROR(sock->Connect(std::nullopt, VbVariant::Date(2.0)), 40018, "CSocketKit.Connect",
                   kDescUnsupportedType);
    EXPECT_EQ(sock->RemoteHost(), "host-b");
    EXPECT_EQ(sock->RemotePort(), 0);
    EXPECT_EQ(sock->SocketHandle(), -1);
    EXPECT_EQ(box.Since(mark), Lines{});

    // Numeric text with spaces, sign, fraction and exponent; halves round to even.
    uint16_t port = 0;
    Fd refusing = LoopbackListener(port, false);
    sock->Connect(VbVariant(1234), " +1.225E2 ");
    EXPECT_EQ(sock->RemotePort(), 122);
    EXPECT_EQ(sock->RemoteHost(), "1234");   // any value, taken as text
    sock->CloseSck();
    sock->Connect("127.0.0.1", VbVariant::Double(port));
    EXPECT_EQ(sock->RemotePort(), port);
    sock->CloseSck();
}

// 1.0.0.0 is an address like any other, not "no address".
TEST_F(ConnectTest, AddressOneDotZeroIsConnected) {
    auto sock = CSocketKit::Create();
    size_t mark = box.Mark();
    sock->Connect("1.0.0.0", 9);
    EXPECT_TRUE(box.Contains(mark, "OK Connecting to: 1.0.0.0 "));
    EXPECT_EQ(sock->State(), sckConnecting);
    EXPECT_TRUE(sock->PendingResolutions().empty());
    sock->CloseSck();
    EXPECT_EQ(sock->State(), sckClosed);
}

TEST_F(ConnectTest, RefusedConnect) {
    uint16_t port = 0;
    Fd closedPort = LoopbackListener(port, false);
    EventLog log;
    auto sock = CSocketKit::Create();
    sock->SetEventReceiver(&log);
    size_t mark = box.Mark();
    sock->Connect("127.0.0.1", static_cast<int32_t>(port));
    PumpUntil([&] { return sock->State() == sckError; });
    PumpAWhile();
    EXPECT_EQ(sock->State(), sckError);
    EXPECT_EQ(log.events, Lines({"Error 10061 Connection refused. CSocketKit.PostSocket"}));
    Lines lines = box.Since(mark);
    EXPECT_EQ(lines.back(), "STATE: sckError");
    EXPECT_FALSE(box.Contains(mark, "FD_CONNECT " + N(sock->SocketHandle())));
    EXPECT_VBERROR(sock->Connect(), 40020, "CSocketKit.Connect", kDescInvalidOperation);
}

TEST_F(ConnectTest, UdpConnectOpensWithoutContactingAnyone) {
    auto sock = CSocketKit::Create();
    sock->SetProtocol(sckUDP);
    std::string localIP = sock->LocalIP();
    size_t mark = box.Mark();
    sock->Connect("127.0.0.1", 9);
    EXPECT_EQ(sock->State(), sckOpen);
    Lines lines = box.Since(mark);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Winsock buffer size for sends: 65507");
    EXPECT_EQ(lines[2], "Winsock buffer size for receives: 65507");
    EXPECT_EQ(lines.back(), "STATE: sckOpen");
    EXPECT_EQ(lines[lines.size() - 2], "OK Bind HOST: " + localIP + " PORT: " + N(sock->LocalPort()));
    EXPECT_EQ(sock->RemoteHostIP(), "");
}


TEST_F(ConnectTest, FailedLookup) {
    EventLog log;
    auto sock = CSocketKit::Create();
    sock->SetEventReceiver(&log);
    sock->Connect("no-such-host..invalid", 80);
    ASSERT_EQ(sock->State(), sckResolvingHost);
    size_t mark = box.Mark();
    PumpUntil([&] { return sock->State() == sckError; });
    EXPECT_EQ(box.Since(mark), Lines({"STATE: sckError"}));
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].rfind("Error 1100", 0), 0u) << log.events[0];   // 11001 or 11002
    EXPECT_NE(log.events[0].find(" CSocketKit.ConnectToIP"), std::string::npos);
    EXPECT_TRUE(sock->PendingResolutions().empty());
}
