// CSocketKit server side: Listen, the accept hand-over through accept
// holders, unaccepted connections, refused accepts, and all 256 byte values
// from one object to another over TCP.
#include <chrono>
#include <string>
#include <vector>

#include "tests/csocketkit_support.h"

using namespace sktest;

namespace {

class ServerTest : public ListenerTest {};

}  // namespace

// ---- Listening ---------------------------------------------------------------

TEST_F(ServerTest, ListenOnTheLocalHostsAddress) {
    auto sock = CSocketKit::Create();
    std::string localIP = sock->LocalIP();
    size_t mark = box.Mark();
    sock->Listen();
    int32_t s = sock->SocketHandle();
    int32_t chosen = sock->LocalPort();
    EXPECT_GT(chosen, 0);
    EXPECT_EQ(box.Since(mark),
              Lines({"OK Created socket: " + N(s), "Winsock buffer size for sends: " + N(sock->SendBufferSize()),
                     "Winsock buffer size for receives: " + N(sock->ReceiveBufferSize()),
                     "OK Created socket collection",
                     "OK Created winsock message window " + N(modSocketKit::MessageWindowHandle()),
                     "OK Registered events from socket " + N(s), "OK Bind HOST: " + localIP + " PORT: " + N(chosen),
                     "STATE: sckListening"}));
    EXPECT_EQ(sock->LocalIP(), localIP);
    EXPECT_VBERROR(sock->Listen(), 40020, "CSocketKit.Listen", kDescInvalidOperation);

    auto udp = CSocketKit::Create();
    udp->SetProtocol(sckUDP);
    EXPECT_VBERROR(udp->Listen(), 10045, "CSocketKit.Listen", "Operation not supported.");
    EXPECT_EQ(udp->State(), sckClosed);
}

TEST_F(ServerTest, BindThenListenBindsOnce) {
    size_t mark = box.Mark();
    StartListener();
    int binds = 0;
    for (const std::string& line : box.Since(mark)) binds += line.rfind("OK Bind HOST: ", 0) == 0 ? 1 : 0;
    EXPECT_EQ(binds, 1);
    EXPECT_EQ(box.Lines().back(), "STATE: sckListening");
    EXPECT_EQ(listener->LocalIP(), "127.0.0.1");
}

// ---- Accepting -----------------------------------------------------------------

TEST_F(ServerTest, AcceptInConnectionRequest) {
    StartListener(0, "before");   // restored after the event
    const int32_t l = listener->SocketHandle();
    EventLog acceptorLog;
    auto acceptor = CSocketKit::Create();
    acceptor->SetEventReceiver(&acceptorLog);
    int32_t requested = -1;
    Lines during;
    listenerLog.onConnectionRequest = [&](int32_t id) {
        requested = id;
        during = {listener->RemoteHost(), listener->RemoteHostIP(), N(listener->RemotePort())};
        acceptor->Accept(id);
    };
    size_t mark = box.Mark();
    uint16_t clientPort = 0;
    Fd client = PlainClient(port, &clientPort);
    PumpUntil([&] { return requested != -1; });
    int32_t n = requested;
    EXPECT_EQ(during, Lines({"", "127.0.0.1", N(clientPort)}));
    EXPECT_EQ(listener->RemoteHost(), "before");
    EXPECT_EQ(listener->RemoteHostIP(), "");
    EXPECT_EQ(listener->RemotePort(), 0);
    EXPECT_EQ(listener->State(), sckListening);

    EXPECT_EQ(acceptor->State(), sckConnected);
    EXPECT_EQ(acceptor->SocketHandle(), n);
    EXPECT_EQ(acceptor->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(acceptor->RemoteHost(), "");
    EXPECT_EQ(acceptor->RemotePort(), clientPort);
    EXPECT_EQ(acceptor->LocalPort(), port);
    EXPECT_FALSE(acceptor->IsAcceptHolder());
    EXPECT_FALSE(modSocketKit::IsAcceptRegistered(n));

    Lines lines = box.Since(mark);
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[0], "FD_ACCEPT " + N(l));
    EXPECT_EQ(lines[1], "OK Created accept collection");
    EXPECT_TRUE(box.Contains(mark, "OK Accepted socket: " + N(n)));
    EXPECT_TRUE(box.Contains(mark, "OK Destroyed accept collection"));
    EXPECT_FALSE(box.Contains(mark, "OK Closed accepted socket: " + N(n)));
    EXPECT_TRUE(box.ScrolledAfter(mark, "STATE: sckConnected"));   // the adopting object's line

    // The connection works both ways and belongs to the acceptor now.
    SendAll(client, "ping");
    PumpUntil([&] { return acceptor->BytesReceived() == 4; });
    EXPECT_EQ(acceptorLog.events, Lines({"DataArrival 4"}));
    acceptor->SendData("pong");
    SetNonBlocking(client);
    std::string got;
    PumpUntil([&] {
        DrainInto(client, got);
        return got.size() >= 4;
    });
    EXPECT_EQ(got, "pong");
}

TEST_F(ServerTest, EarlyDataAndEarlyCloseTravelWithTheConnection) {
    StartListener();
    EventLog acceptorLog;
    auto acceptor = CSocketKit::Create();
    acceptor->SetEventReceiver(&acceptorLog);
    VbVariant early{std::string()};
    acceptorLog.onDataArrival = [&](int32_t) { acceptor->GetData(early); };
    int32_t users = 0;
    listenerLog.onConnectionRequest = [&](int32_t id) {
        // Let the parked connection see its data and the peer's close first.
        std::shared_ptr<CSocketKit> holder = modSocketKit::GetAcceptHolder(id);
        EXPECT_TRUE(holder->IsAcceptHolder());
        PumpUntil([&] { return holder->State() == sckClosing; });
        VbVariant peeked{std::string()};
        holder->PeekData(peeked);   // still readable while closing
        EXPECT_EQ(peeked.Bytes(), "early");
        holder.reset();
        users = modSocketKit::ServiceUserCount();
        acceptor->Accept(id);
    };
    size_t mark = box.Mark();
    Fd client = PlainClient(port);
    SendAll(client, "early");
    client.Close();
    PumpUntil([&] { return acceptor->State() == sckClosing; });
    EXPECT_EQ(acceptorLog.events, Lines({"DataArrival 5", "CloseSck"}));
    EXPECT_EQ(early.Bytes(), "early");
    EXPECT_TRUE(box.Contains(mark, "OK Bytes obtained from buffer: 5"));   // the holder handing over
    EXPECT_EQ(modSocketKit::ServiceUserCount(), users - 1);                // the holder is gone
    acceptor->CloseSck();
    EXPECT_EQ(acceptor->State(), sckClosed);
}

TEST_F(ServerTest, UnacceptedConnectionIsClosed) {
    StartListener();
    int32_t users = modSocketKit::ServiceUserCount();
    int32_t requested = -1;
    listenerLog.onConnectionRequest = [&](int32_t id) { requested = id; };
    size_t mark = box.Mark();
    Fd client = PlainClient(port);
    PumpUntil([&] { return requested != -1; });
    Lines lines = box.Since(mark);
    EXPECT_EQ(lines.back(), "OK Closed accepted socket: " + N(requested));
    EXPECT_EQ(lines[lines.size() - 2], "OK Destroyed accept collection");
    EXPECT_TRUE(box.Contains(mark, "OK Accepted socket: " + N(requested)));
    EXPECT_FALSE(modSocketKit::IsAcceptRegistered(requested));
    EXPECT_FALSE(modSocketKit::IsSocketRegistered(requested));
    EXPECT_EQ(modSocketKit::ServiceUserCount(), users);
    std::string rest;
    SetNonBlocking(client);
    PumpUntil([&] { return !DrainInto(client, rest); });
    EXPECT_EQ(listener->State(), sckListening);
}

TEST_F(ServerTest, RefusedAcceptKeepsNoHandle) {
    Fd peer;
    EventLog log;
    auto owner = ConnectedPair(peer, log);
    auto other = CSocketKit::Create();
    EXPECT_VBERROR(other->Accept(owner->SocketHandle()), 40006, "CSocketKit.Accept", kDescWrongState);
    EXPECT_EQ(other->SocketHandle(), -1);
    EXPECT_EQ(other->State(), sckClosed);
    other->CloseSck();   // must not touch the owner's socket
    EXPECT_TRUE(modSocketKit::IsSocketRegistered(owner->SocketHandle()));
    owner->SendData("still mine");
    SetNonBlocking(peer);
    std::string got;
    PumpUntil([&] {
        DrainInto(peer, got);
        return got.size() >= 10;
    });
    EXPECT_EQ(got, "still mine");
    EXPECT_VBERROR(owner->Accept(5), 40020, "CSocketKit.Accept", kDescInvalidOperation);
}

TEST_F(ServerTest, AllByteValuesBetweenTwoObjects) {
    StartListener();
    EventLog serverLog;
    auto server = CSocketKit::Create();
    server->SetEventReceiver(&serverLog);
    listenerLog.onConnectionRequest = [&](int32_t id) { server->Accept(id); };
    EventLog clientLog;
    auto client = CSocketKit::Create();
    client->SetEventReceiver(&clientLog);
    client->Connect("127.0.0.1", port);
    PumpUntil([&] { return client->State() == sckConnected && server->State() == sckConnected; });
    const std::string bytes = AllByteValues();
    client->SendData(bytes);
    PumpUntil([&] { return server->BytesReceived() == 256; });
    VbVariant text{std::string()};
    server->GetData(text);
    EXPECT_EQ(text.Bytes(), bytes);
    server->SendData(text);
    PumpUntil([&] { return client->BytesReceived() == 256; });
    VbVariant back{std::string()};
    client->GetData(back);
    EXPECT_EQ(back.Bytes(), bytes);
}
