// CSocketKit: the tagged value, the object model and its properties,
// connecting (numeric address, host name, refused), the error report, and
// closing in every state.
#include <string>
#include <vector>

#include "tests/csocketkit_support.h"

using namespace sktest;
using Lines = std::vector<std::string>;

namespace {

std::string N(int64_t value) { return std::to_string(value); }

// The lines a new socket writes while being created and registered as the only socket.
Lines CreationLines(const CSocketKit& sock) {
    int32_t s = sock.SocketHandle();
    return {"OK Created socket: " + N(s),
            "Winsock buffer size for sends: " + N(sock.SendBufferSize()),
            "Winsock buffer size for receives: " + N(sock.ReceiveBufferSize()),
            "OK Created socket collection",
            "OK Created winsock message window " + N(modSocketKit::MessageWindowHandle()),
            "OK Registered events from socket " + N(s)};
}

Lines Concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

// ---- The tagged value -----------------------------------------------------

TEST(VbVariantTest, NumericTextAndRounding) {
    EXPECT_EQ(VbVariant::ParseNumber("23"), 23.0);
    EXPECT_EQ(VbVariant::ParseNumber("  -1.5e1 "), -15.0);
    EXPECT_EQ(VbVariant::ParseNumber("+.5"), 0.5);
    EXPECT_EQ(VbVariant::ParseNumber("7."), 7.0);
    for (const char* text : {"", "  ", "abc", "1e", "1.2.3", "0x10", "inf", "nan", "- 1", "1 2", "\t1"}) {
        EXPECT_FALSE(VbVariant::ParseNumber(text).has_value()) << text;
    }
    EXPECT_EQ(VbVariant::RoundToLong(2.5), 2);
    EXPECT_EQ(VbVariant::RoundToLong(3.5), 4);
    EXPECT_EQ(VbVariant::RoundToLong(-2.5), -2);
    EXPECT_FALSE(VbVariant::RoundToLong(3e9).has_value());

    EXPECT_EQ(VbVariant(" 80 ").NumericValue(), 80.0);
    EXPECT_EQ(VbVariant::Boolean(true).NumericValue(), -1.0);
    EXPECT_EQ(VbVariant::Currency(1.5).NumericValue(), 1.5);
    for (const VbVariant& v : {VbVariant(), VbVariant::Null(), VbVariant::Date(1.0),
                               VbVariant::ByteArray(std::string("1")), VbVariant::OfType(9)}) {
        EXPECT_FALSE(v.NumericValue().has_value()) << v.VarType();
    }
}

TEST(VbVariantTest, TextForms) {
    EXPECT_EQ(VbVariant(42).ToText(), "42");
    EXPECT_EQ(VbVariant::Double(1.5).ToText(), "1.5");
    EXPECT_EQ(VbVariant::Double(1e20).ToText(), "1E+20");
    EXPECT_EQ(VbVariant::Boolean(false).ToText(), "False");
    EXPECT_EQ(VbVariant::Null().ToText(), "");
    EXPECT_EQ(VbVariant::ByteArray(std::string("ab")).ToText(), "ab");
    EXPECT_EQ(VbVariant::String("").VarType(), VbVariant::vbString);
    EXPECT_EQ(VbVariant().VarType(), VbVariant::vbEmpty);
}

// ---- Object model and properties ---------------------------------------------

class ObjectModelTest : public SocketTest {};

TEST_F(ObjectModelTest, NewObjectAndService) {
    int32_t users = modSocketKit::ServiceUserCount();
    {
        auto sock = CSocketKit::Create();
        EXPECT_EQ(modSocketKit::ServiceUserCount(), users + 1);
        EXPECT_EQ(sock->State(), sckClosed);
        EXPECT_EQ(sock->SocketHandle(), -1);
        EXPECT_EQ(sock->protocol(), sckTCP);
        EXPECT_EQ(sock->LocalPort(), 0);
        EXPECT_EQ(sock->RemotePort(), 0);
        EXPECT_EQ(sock->RemoteHost(), "");
        EXPECT_EQ(sock->RemoteHostIP(), "");
        EXPECT_EQ(sock->Tag(), "");
        EXPECT_EQ(sock->BytesReceived(), 0);
        EXPECT_FALSE(sock->LocalHostName().empty());
        EXPECT_EQ(win::inet_ntoa(win::inet_addr(sock->LocalIP())), sock->LocalIP());
    }
    EXPECT_EQ(modSocketKit::ServiceUserCount(), users);
}

TEST_F(ObjectModelTest, AssignmentRules) {
    auto sock = CSocketKit::Create();
    EXPECT_VBERROR(sock->SetRemotePort(65536), 40014, "CSocketKit.RemotePort", kDescBadArgument);
    EXPECT_VBERROR(sock->SetRemotePort(-1), 40014, "CSocketKit.RemotePort", kDescBadArgument);
    EXPECT_EQ(sock->RemotePort(), 0);
    sock->SetRemotePort(65535);
    EXPECT_EQ(sock->RemotePort(), 65535);
    sock->SetRemotePort(0);
    EXPECT_VBERROR(sock->SetLocalPort(65536), 40014, "CSocketKit.LocalPort", kDescBadArgument);
    EXPECT_VBERROR(sock->SetLocalPort(-5), 40014, "CSocketKit.LocalPort", kDescBadArgument);
    sock->SetLocalPort(65535);
    EXPECT_EQ(sock->LocalPort(), 65535);
    sock->SetLocalPort(0);
    sock->SetRemoteHost("somewhere");
    sock->SetTag("mine");
    sock->SetProtocol(static_cast<SockProtocol>(5));   // the value itself is not checked
    EXPECT_EQ(sock->protocol(), 5);
    sock->SetProtocol(sckTCP);

    // TCP, not closed: only Tag may change.
    sock->Bind();
    ASSERT_EQ(sock->State(), sckOpen);
    EXPECT_VBERROR(sock->SetRemotePort(80), 40020, "CSocketKit.RemotePort", kDescInvalidOperation);
    EXPECT_VBERROR(sock->SetRemoteHost("x"), 40020, "CSocketKit.RemoteHost", kDescInvalidOperation);
    EXPECT_VBERROR(sock->SetLocalPort(80), 40020, "CSocketKit.LocalPort", kDescInvalidOperation);
    EXPECT_VBERROR(sock->SetProtocol(sckUDP), 40020, "CSocketKit.Protocol", kDescInvalidOperation);
    sock->SetTag("still");
    EXPECT_EQ(sock->Tag(), "still");
    EXPECT_EQ(sock->RemoteHost(), "somewhere");
    EXPECT_EQ(sock->protocol(), sckTCP);

    // UDP: the remote fields may change in any state.
    auto udp = CSocketKit::Create();
    udp->SetProtocol(sckUDP);
    udp->Bind();
    ASSERT_EQ(udp->State(), sckOpen);
    udp->SetRemoteHost("127.0.0.1");
    udp->SetRemotePort(9);
    EXPECT_VBERROR(udp->SetRemotePort(70000), 40014, "CSocketKit.RemotePort", kDescBadArgument);
    EXPECT_EQ(udp->RemotePort(), 9);
    EXPECT_VBERROR(udp->SetLocalPort(1), 40020, "CSocketKit.LocalPort", kDescInvalidOperation);
}

TEST_F(ObjectModelTest, BindToPortZeroThenClose) {
    auto sock = CSocketKit::Create();
    std::string localIP = sock->LocalIP();
    sock->SetLocalPort(0);
    size_t mark = box.Mark();
    sock->Bind();
    int32_t port = sock->LocalPort();
    EXPECT_GT(port, 0);
    EXPECT_EQ(sock->LocalIP(), localIP);
    EXPECT_EQ(box.Since(mark), Concat(CreationLines(*sock), {"OK Bind HOST: " + localIP + " PORT: " + N(port),
                                                             "STATE: sckOpen"}));
    EXPECT_TRUE(box.ScrolledAfter(mark, "Winsock buffer size for receives: " + N(sock->ReceiveBufferSize())));
    EXPECT_FALSE(box.ScrolledAfter(mark, "Winsock buffer size for sends: " + N(sock->SendBufferSize())));
    EXPECT_GT(sock->SendBufferSize(), 0);
    EXPECT_VBERROR(sock->Bind(), 40020, "CSocketKit.Bind", kDescInvalidOperation);

    sock->CloseSck();
    EXPECT_EQ(sock->LocalPort(), 0);   // the requested port again
    EXPECT_EQ(sock->SendBufferSize(), 0);
    EXPECT_EQ(sock->ReceiveBufferSize(), 0);

    // An explicit address and a port given as text.
    sock->Bind(VbVariant(" " + N(port) + " "), VbVariant("127.0.0.1"));
    EXPECT_EQ(sock->LocalIP(), "127.0.0.1");
    EXPECT_EQ(sock->LocalPort(), port);
    EXPECT_EQ(box.Lines().back(), "STATE: sckOpen");
    sock->CloseSck();
    EXPECT_EQ(sock->LocalIP(), localIP);
    EXPECT_EQ(sock->LocalPort(), port);   // an explicit port is kept as the requested one

    EXPECT_VBERROR(sock->Bind(VbVariant("http")), 40018, "CSocketKit.BindInternal", kDescUnsupportedType);
    EXPECT_VBERROR(sock->Bind(VbVariant(65536)), 40014, "CSocketKit.BindInternal", kDescBadArgument);
    EXPECT_VBERROR(sock->Bind(VbVariant(0), VbVariant("no-such-host.invalid")), 40014,
                   "CSocketKit.BindInternal", kDescInvalidArgument);
    EXPECT_EQ(sock->State(), sckClosed);
}

TEST_F(ObjectModelTest, ErrorReportAndMessageBox) {
    uint16_t port = 0;
    Fd closedPort = LoopbackListener(port, false);   // bound, not listening: refuses
    std::vector<std::string> boxes;
    CSocketKit::SetMessageBoxHandler([&](const std::string& text, const std::string& title) {
        boxes.push_back(title + ": " + text);
    });

    // A handler that leaves CancelDisplay alone: no box.
    EventLog log;
    auto sock = CSocketKit::Create();
    sock->SetEventReceiver(&log);
    sock->Connect("127.0.0.1", static_cast<int32_t>(port));
    size_t mark = box.Mark();
    PumpUntil([&] { return sock->State() == sckError; });
    EXPECT_EQ(log.events, Lines({"Error 10061 Connection refused. CSocketKit.PostSocket"}));
    EXPECT_EQ(box.Since(mark), Lines({"STATE: sckError"}));
    EXPECT_TRUE(boxes.empty());
    sock->CloseSck();

    // A handler that asks for the box and rewrites the description.
    log.onError = [](std::string& description, bool& cancelDisplay) {
        description = "Nobody home.";
        cancelDisplay = false;
    };
    sock->Connect();
    PumpUntil([&] { return sock->State() == sckError; });
    EXPECT_EQ(boxes, Lines({"CSocketKit.PostSocket: Nobody home."}));
    CSocketKit::SetMessageBoxHandler(nullptr);
}

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

// ---- Closing -----------------------------------------------------------------

class CloseTest : public SocketTest {};

TEST_F(CloseTest, NewObjectWritesNothing) {
    auto sock = CSocketKit::Create();
    size_t mark = box.Mark();
    sock->CloseSck();
    EXPECT_EQ(box.Since(mark), Lines{});
    EXPECT_EQ(sock->State(), sckClosed);
}

TEST_F(CloseTest, ConnectedObject) {
    Fd peer;
    EventLog log;
    auto sock = ConnectedPair(peer, log);
    int32_t s = sock->SocketHandle();
    int32_t remotePort = sock->RemotePort();
    PumpAWhile();
    log.events.clear();
    size_t mark = box.Mark();
    win::HWND window = modSocketKit::MessageWindowHandle();
    sock->CloseSck();
    EXPECT_EQ(box.Since(mark), Lines({"STATE: sckClosing", "OK Destroyed socket " + N(s),
                                      "OK Destroyed winsock message window " + N(window),
                                      "OK Destroyed socket collection", "STATE: sckClosed"}));
    EXPECT_TRUE(box.ScrolledAfter(mark, "STATE: sckClosing"));
    EXPECT_TRUE(box.ScrolledAfter(mark, "STATE: sckClosed"));
    EXPECT_EQ(sock->SocketHandle(), -1);
    EXPECT_EQ(sock->RemoteHostIP(), "");
    EXPECT_EQ(sock->BytesReceived(), 0);
    EXPECT_EQ(sock->RemoteHost(), "127.0.0.1");
    EXPECT_EQ(sock->RemotePort(), remotePort);
    EXPECT_TRUE(log.events.empty());
    std::string rest;
    PumpUntil([&] { return !DrainInto(peer, rest); });   // the peer sees the end of the stream
}

TEST_F(CloseTest, EveryStateReturnsToClosed) {
    uint16_t port = 0;
    Fd listener = LoopbackListener(port);
    uint16_t refusedPort = 0;
    Fd refusing = LoopbackListener(refusedPort, false);
    EventLog log;
    auto check = [&](const std::shared_ptr<CSocketKit>& sock, SockState before) {
        ASSERT_EQ(sock->State(), before);
        size_t mark = box.Mark();
        sock->CloseSck();
        EXPECT_EQ(sock->State(), sckClosed) << before;
        EXPECT_EQ(sock->SocketHandle(), -1);
        Lines lines = box.Since(mark);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "STATE: sckClosing");
        EXPECT_EQ(lines.back(), "STATE: sckClosed");
    };
    auto sock = CSocketKit::Create();
    sock->SetEventReceiver(&log);
    sock->Bind();
    check(sock, sckOpen);
    sock->Listen();
    check(sock, sckListening);
    sock->Connect("1.0.0.0", 9);
    check(sock, sckConnecting);
    sock->Connect("127.0.0.1", static_cast<int32_t>(refusedPort));
    PumpUntil([&] { return sock->State() == sckError; });
    check(sock, sckError);
    sock->Connect("127.0.0.1", static_cast<int32_t>(port));
    PumpUntil([&] { return sock->State() == sckConnected; });
    Fd first = AcceptPeer(listener);
    check(sock, sckConnected);

    // The peer closes: sckClosing, one CloseSck event; closing it raises none.
    sock->Connect();
    PumpUntil([&] { return sock->State() == sckConnected; });
    Fd peer = AcceptPeer(listener);
    peer.Close();
    log.events.clear();
    PumpUntil([&] { return sock->State() == sckClosing; });
    PumpAWhile();
    EXPECT_EQ(log.events, Lines({"CloseSck"}));
    EXPECT_EQ(box.Lines().back(), "STATE: sckClosing");
    EXPECT_VBERROR(sock->SendData("late"), 40006, "CSocketKit.SendData", kDescWrongState);
    check(sock, sckClosing);
    EXPECT_EQ(log.events, Lines({"CloseSck"}));
}

TEST_F(CloseTest, WhileLookupPending) {
    uint16_t port = 0;
    Fd listener = LoopbackListener(port);
    EventLog log;
    auto sock = CSocketKit::Create();
    sock->SetEventReceiver(&log);
    sock->Connect("localhost", static_cast<int32_t>(port));
    ASSERT_EQ(sock->State(), sckResolvingHost);
    size_t mark = box.Mark();
    sock->CloseSck();
    EXPECT_TRUE(sock->PendingResolutions().empty());   // cancelled lookups leave at once
    EXPECT_EQ(box.Since(mark).front(), "STATE: sckClosing");
    EXPECT_EQ(box.Since(mark).back(), "STATE: sckClosed");
    PumpAWhile(200);
    EXPECT_EQ(sock->State(), sckClosed);
    EXPECT_TRUE(log.events.empty());
    EXPECT_FALSE(box.Contains(mark, "STATE: sckHostResolved"));
    sock->CloseSck();   // again: nothing to cancel twice
    EXPECT_EQ(box.Since(mark).back(), "STATE: sckClosed");
}

TEST_F(CloseTest, DestructionClosesTheSocket) {
    Fd peer;
    EventLog log;
    int32_t users = modSocketKit::ServiceUserCount();
    auto sock = ConnectedPair(peer, log);
    int32_t s = sock->SocketHandle();
    size_t mark = box.Mark();
    sock.reset();
    EXPECT_TRUE(box.Contains(mark, "OK Destroyed socket " + N(s)));
    EXPECT_FALSE(box.Contains(mark, "STATE: sckClosed"));
    EXPECT_EQ(modSocketKit::ServiceUserCount(), users);
    std::string rest;
    PumpUntil([&] { return !DrainInto(peer, rest); });

    // Destroyed while a lookup is pending: the lookup never reaches it.
    auto resolving = CSocketKit::Create();
    resolving->Connect("localhost", 9);
    resolving.reset();
    PumpAWhile(100);
}
