// CSocketKit: the tagged value, the object model and its properties, the
// error report, and closing in every state.
#include <string>
#include <vector>

#include "tests/csocketkit_support.h"

using namespace sktest;

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
    EXPECT_VBERROR(sock->Bind(VbVariant(0), VbVariant("no-such-host..invalid")), 40014,
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
    // The peer's close may be a half-close: sending is still accepted.
    sock->SendData("late");
    check(sock, sckClosing);
    EXPECT_EQ(log.events, Lines({"CloseSck", "SendProgress 4 0", "SendComplete"}));
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
