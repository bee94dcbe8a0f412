// CSocketKit over UDP: one datagram per SendData, reads that record the
// sender (in DataArrival and outside the loop), short reads, and all 256 byte
// values from one object to another.
#include <chrono>
#include <string>
#include <vector>

#include "tests/csocketkit_support.h"

using namespace sktest;

namespace {

// A plain UDP socket bound to 127.0.0.1 at an ephemeral port.
Fd PlainUdp(uint16_t& port) { return BoundLoopback(SOCK_DGRAM, port); }

void SendDatagram(const Fd& fd, int32_t port, const std::string& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(::sendto(fd.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(bytes.size()));
}

class UdpTest : public SocketTest {};

}  // namespace

TEST_F(UdpTest, OneDatagramPerSend) {
    // The object binds to the local host's address. Wine ties a socket bound
    // to a LAN address to that network device, so its datagrams to 127.0.0.1
    // never arrive; Windows routes them over the loopback.
    if (testsock::UnderWine()) GTEST_SKIP() << "Wine does not route a LAN-bound socket's datagrams to 127.0.0.1";
    uint16_t plainPort = 0;
    Fd plain = PlainUdp(plainPort);
    EventLog log;
    auto udp = UdpTo(log, plainPort);
    size_t mark = box.Mark();
    udp->SendData("first");
    udp->SendData(VbVariant::Long(258));
    int opens = 0;
    for (const std::string& line : box.Since(mark)) opens += line == "STATE: sckOpen" ? 1 : 0;
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(box.Lines().back(), "STATE: sckOpen");
    char buffer[100];
    EXPECT_EQ(::recv(plain.get(), buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "first");
    EXPECT_EQ(::recv(plain.get(), buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), std::string("\x02\x01\x00\x00", 4));
    PumpAWhile();
    EXPECT_TRUE(log.events.empty());   // no SendProgress, no SendComplete

    // Without a destination: 10047, the buffer emptied, still open.
    udp->SetRemoteHost("");
    EXPECT_VBERROR(udp->SendData("lost"), 10047, "CSocketKit.SendBufferedDataUDP",
                   "Address family not supported by protocol family.");
    EXPECT_EQ(udp->BytesWaitingToSend(), 0);
    EXPECT_EQ(udp->State(), sckOpen);
    udp->SetRemoteHost("no-such-host..invalid");
    EXPECT_VBERROR(udp->SendData("lost"), 40014, "CSocketKit.SendBufferedDataUDP", kDescInvalidArgument);
}

TEST_F(UdpTest, ReadsRecordTheSender) {
    uint16_t plainPort = 0;
    Fd plain = PlainUdp(plainPort);
    EventLog log;
    auto udp = CSocketKit::Create();
    udp->SetEventReceiver(&log);
    udp->SetProtocol(sckUDP);
    udp->Bind(0, "127.0.0.1");
    udp->SetRemoteHost("somewhere");
    std::vector<std::string> reads;
    log.onDataArrival = [&](int32_t) {
        VbVariant data{std::string()};
        udp->GetData(data);
        reads.push_back(data.Bytes() + "|" + udp->RemoteHost() + "|" + udp->RemoteHostIP() + "|" +
                        N(udp->RemotePort()));
    };
    // Two datagrams queued at once: the second is not lost behind the first.
    SendDatagram(plain, udp->LocalPort(), "one");
    SendDatagram(plain, udp->LocalPort(), "two");
    PumpUntil([&] { return reads.size() == 2; });
    const std::string from = "|127.0.0.1|" + N(plainPort);
    EXPECT_EQ(reads, Lines({"one|" + from, "two|" + from}));
    EXPECT_EQ(log.events, Lines({"DataArrival 3", "DataArrival 3"}));

    // A datagram nobody reads is dropped after its DataArrival.
    log.onDataArrival = nullptr;
    SendDatagram(plain, udp->LocalPort(), "unread");
    PumpUntil([&] { return log.Count("DataArrival") == 3; });
    PumpAWhile();
    EXPECT_EQ(udp->BytesReceived(), 0);
    size_t mark = box.Mark();
    VbVariant data;
    udp->GetData(data);   // nothing waiting: returns at once, writes nothing
    EXPECT_TRUE(data.IsEmpty());
    EXPECT_EQ(box.Since(mark), Lines{});
}

TEST_F(UdpTest, AllByteValuesBetweenTwoObjects) {
    EventLog logA, logB;
    auto a = CSocketKit::Create();
    auto b = CSocketKit::Create();
    a->SetEventReceiver(&logA);
    b->SetEventReceiver(&logB);
    for (auto& sock : {a, b}) {
        sock->SetProtocol(sckUDP);
        sock->Bind(0, "127.0.0.1");
    }
    VbVariant atA{std::string()}, atB{std::string()};
    logA.onDataArrival = [&](int32_t) { a->GetData(atA); };
    logB.onDataArrival = [&](int32_t) { b->GetData(atB); };
    b->SetRemoteHost("127.0.0.1");
    b->SetRemotePort(a->LocalPort());
    b->SendData(AllByteValues());
    PumpUntil([&] { return !atA.Bytes().empty(); });
    EXPECT_EQ(atA.Bytes(), AllByteValues());
    EXPECT_EQ(a->RemotePort(), b->LocalPort());
    // Reply to the sender recorded by the read.
    a->SetRemoteHost(a->RemoteHostIP());
    a->SendData(atA);
    PumpUntil([&] { return !atB.Bytes().empty(); });
    EXPECT_EQ(atB.Bytes(), AllByteValues());
    EXPECT_EQ(logA.events, Lines({"DataArrival 256"}));
    EXPECT_EQ(logB.events, Lines({"DataArrival 256"}));
}

// Reads outside any handler: the test waits without handling messages, so
// each datagram is still queued when it is read.
TEST_F(UdpTest, ShortReads) {
    uint16_t plainPort = 0;
    Fd plain = PlainUdp(plainPort);
    auto udp = CSocketKit::Create();
    udp->SetProtocol(sckUDP);
    VbVariant data;
    EXPECT_VBERROR(udp->GetData(data), 40006, "CSocketKit.GetData", kDescWrongState);
    udp->Bind(0, "127.0.0.1");
    auto waitForDatagram = [&] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (udp->BytesReceived() == 0) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no datagram";
            testsock::SleepMicroseconds(200);
        }
    };
    SendDatagram(plain, udp->LocalPort(), std::string("\x02\x01\x00\x00", 4) + "ABCDEF");
    waitForDatagram();
    EXPECT_EQ(udp->BytesReceived(), 10);
    size_t mark = box.Mark();
    EXPECT_VBERROR(udp->GetData(data, VbVariant::vbLong), 10040, "CSocketKit.RecvData", "Message too long.");
    EXPECT_EQ(data.VarType(), VbVariant::vbLong);
    EXPECT_EQ(data.LongValue(), 258);
    EXPECT_EQ(udp->BytesReceived(), 0);   // the rest of the datagram is gone
    EXPECT_EQ(box.Since(mark), Lines{});  // a failing read writes no line
    EXPECT_EQ(udp->RemotePort(), plainPort);
    EXPECT_EQ(udp->RemoteHostIP(), "127.0.0.1");

    SendDatagram(plain, udp->LocalPort(), "drop me");
    waitForDatagram();
    VbVariant text{std::string()};
    EXPECT_VBERROR(udp->GetData(text, std::nullopt, 0), 10040, "CSocketKit.RecvData", "Message too long.");
    EXPECT_EQ(text.VarType(), VbVariant::vbByteArray);
    EXPECT_EQ(text.Bytes(), "");
    EXPECT_EQ(udp->BytesReceived(), 0);

    SendDatagram(plain, udp->LocalPort(), "abcdef");
    waitForDatagram();
    text = VbVariant(std::string());
    udp->PeekData(text);
    EXPECT_EQ(text.Bytes(), "abcdef");
    EXPECT_EQ(udp->BytesReceived(), 6);
    EXPECT_EQ(box.Lines().back(), "OK Bytes obtained from buffer: 6");
    EXPECT_VBERROR(udp->GetData(text, std::nullopt, 4), 10040, "CSocketKit.RecvData", "Message too long.");
    EXPECT_EQ(text.Bytes(), "abcd");
    EXPECT_EQ(udp->BytesReceived(), 0);
}
