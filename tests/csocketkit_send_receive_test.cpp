// CSocketKit over TCP against a plain loopback peer: sending (value layouts,
// chunking by the send-buffer size, a send that waits for FD_WRITE),
// receiving (GetData/PeekData with every type and maxLen), the peer closing
// or resetting, and all 256 byte values both ways; the half-close and a close
// that never resets.
#include <cstring>
#include <string>
#include <vector>

#include "net/socket/byte_queue.h"
#include "tests/csocketkit_support.h"

using namespace sktest;

namespace {

class SendReceiveTest : public SocketTest {
protected:
    void SetUp() override {
        SocketTest::SetUp();
        sock = ConnectedPair(peer, log);
        SetNonBlocking(peer);
        PumpAWhile(10);
        log.events.clear();
    }
    // The peer sends bytes; the loop runs until the object has them all.
    void PeerSends(const std::string& bytes) {
        int32_t before = sock->BytesReceived();
        SendAll(peer, bytes);
        PumpUntil([&] { return sock->BytesReceived() == before + static_cast<int32_t>(bytes.size()); });
    }
    std::string PeerReads(size_t count) {
        std::string got;
        PumpUntil([&] {
            DrainInto(peer, got);
            return got.size() >= count;
        });
        return got;
    }

    Fd peer;
    EventLog log;
    std::shared_ptr<CSocketKit> sock;
};

// The receive buffer's storage: a taker that keeps its string gets a large
// content in the storage the receive wrote into (no copy) and gives its own
// storage back as the next room; a small content, or a taker without room of
// its own, is copied and the room stays.
TEST(ReceiveStorage, LargeContentChangesHandsSmallContentIsCopied) {
    ByteQueue q;
    std::string kept;
    char* room = q.Room(1000);
    std::memset(room, 'a', 1000);
    q.Commit(1000);
    q.TakeInto(1000, kept);  // a fresh string: copied, the room stays
    EXPECT_EQ(kept, std::string(1000, 'a'));
    EXPECT_NE(kept.data(), room);
    EXPECT_TRUE(q.Empty());
    ASSERT_EQ(q.Room(1000), room);

    const char* keptStorage = kept.data();
    std::memset(room, 'b', 900);
    q.Commit(900);
    q.TakeInto(900, kept);  // room enough in kept: the storages change hands
    EXPECT_EQ(kept, std::string(900, 'b'));
    EXPECT_EQ(kept.data(), room) << "copied";
    EXPECT_EQ(q.Room(1000), keptStorage) << "the taker's storage is the next room";

    char* next = q.Room(1000);
    std::memcpy(next, "ok>\r\n", 5);
    q.Commit(5);
    q.TakeInto(5, kept);  // small: copied into kept's storage, the room stays
    EXPECT_EQ(kept, "ok>\r\n");
    EXPECT_EQ(kept.data(), room);
    EXPECT_EQ(q.Room(1000), next);

    q.Commit(3);  // not everything taken: a copy of the front
    q.TakeInto(2, kept);
    EXPECT_EQ(kept.size(), 2u);
    EXPECT_EQ(q.Size(), 1u);
}

}  // namespace

// ---- Sending -----------------------------------------------------------------

TEST_F(SendReceiveTest, ShortTextGoesOutAtOnce) {
    size_t mark = box.Mark();
    sock->SendData("0123456789");
    EXPECT_EQ(box.Since(mark), Lines({"OK Bytes sent: 10", "OK Finished SENDING"}));
    EXPECT_EQ(log.events, Lines({"SendProgress 10 0", "SendComplete"}));
    EXPECT_EQ(PeerReads(10), "0123456789");

    mark = box.Mark();
    log.events.clear();
    sock->SendData("");
    sock->SendData(VbVariant::ByteArray(std::string()));
    EXPECT_EQ(box.Since(mark), Lines{});
    EXPECT_TRUE(log.events.empty());
}

TEST_F(SendReceiveTest, ValueLayouts) {
    sock->SendData(VbVariant::Long(258));
    sock->SendData(VbVariant::Integer(-2));
    sock->SendData(VbVariant::Boolean(true));
    sock->SendData(VbVariant::Boolean(false));
    sock->SendData(VbVariant::Currency(1.5));
    sock->SendData(VbVariant::Double(1.0));
    sock->SendData(VbVariant::Single(1.0f));
    sock->SendData(VbVariant::Date(2.5));
    sock->SendData(VbVariant::Byte(0xAB));
    sock->SendData(VbVariant::ByteArray(std::vector<uint8_t>{0, 1, 0xFF}));
    const std::string expected = std::string("\x02\x01\x00\x00", 4) + "\xFE\xFF" + "\xFF\xFF" +
                                 std::string("\x00\x00", 2) + std::string("\x98\x3A\0\0\0\0\0\0", 8) +
                                 std::string("\0\0\0\0\0\0\xF0\x3F", 8) + std::string("\0\0\x80\x3F", 4) +
                                 std::string("\0\0\0\0\0\0\x04\x40", 8) + "\xAB" + std::string("\x00\x01\xFF", 3);
    EXPECT_EQ(PeerReads(expected.size()), expected);

    // Every other type code is refused, and nothing is queued or written.
    size_t mark = box.Mark();
    for (uint16_t code : {0, 1, 9, 10, 12, 13, 14, 16, 8194, 8200}) {
        EXPECT_VBERROR(sock->SendData(VbVariant::OfType(code)), 40018, "CSocketKit.SendData", kDescUnsupportedType);
    }
    EXPECT_VBERROR(sock->SendData(VbVariant::Null()), 40018, "CSocketKit.SendData", kDescUnsupportedType);
    EXPECT_EQ(box.Since(mark), Lines{});
    EXPECT_EQ(sock->BytesWaitingToSend(), 0);
}

TEST_F(SendReceiveTest, ChunksOfTheSendBufferSize) {
    const int32_t chunk = sock->SendBufferSize();
    ASSERT_GT(chunk, 0);
    ASSERT_LT(chunk, 20000);
    std::string data(20000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    size_t mark = box.Mark();
    sock->SendData(data);
    Lines expected;
    for (int32_t left = 20000; left > 0; left -= chunk) expected.push_back("OK Bytes sent: " + N(std::min(left, chunk)));
    expected.push_back("OK Finished SENDING");
    EXPECT_EQ(box.Since(mark), expected);
    EXPECT_EQ(log.events, Lines({"SendProgress 20000 0", "SendComplete"}));
    EXPECT_EQ(PeerReads(data.size()), data);
}

// The peer does not read: the platform refuses, the rest waits for FD_WRITE.
// The events follow the log: every refusal reports what went out since the
// last resumption and what is still queued.
TEST_F(SendReceiveTest, SendThatWouldBlockResumesOnWrite) {
    const int32_t chunk = sock->SendBufferSize();
    const int32_t total = 16 << 20;
    std::string data(static_cast<size_t>(total), '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 % 251);
    size_t mark = box.Mark();
    sock->SendData(data);
    ASSERT_GT(sock->BytesWaitingToSend(), 0) << "the platform took 16 MB without refusing";
    EXPECT_EQ(box.Lines().back(), "Buffer Status: Send buffer full, waiting...");
    sock->SendData("tail");   // appended behind the queued bytes, nothing sent now
    EXPECT_EQ(box.Lines().back(), "Buffer Status: Send buffer full, waiting...");

    std::string received = PeerReads(data.size() + 4);
    PumpUntil([&] { return log.Count("SendComplete") == 1; });
    EXPECT_TRUE(received == data + "tail");

    Lines expectedEvents;
    int64_t queued = total;   // the tail joined after the first refusal
    int64_t sinceResume = 0;
    int64_t sentInAll = 0;
    int writes = 0;
    const std::string sentLine = "OK Bytes sent: ";
    for (const std::string& line : box.Since(mark)) {
        if (line.rfind(sentLine, 0) == 0) {
            int64_t r = std::stoll(line.substr(sentLine.size()));
            EXPECT_LE(r, chunk);
            sinceResume += r;
            sentInAll += r;
        } else if (line == "Buffer Status: Send buffer full, waiting...") {
            if (sinceResume > 0) expectedEvents.push_back("SendProgress " + N(sinceResume) + " " + N(queued - sentInAll));
            sinceResume = 0;
            queued = total + 4;
        } else if (line == "OK Finished SENDING") {
            expectedEvents.push_back("SendProgress " + N(sinceResume) + " 0");
            expectedEvents.push_back("SendComplete");
            sinceResume = 0;
        } else if (line == "FD_WRITE " + N(sock->SocketHandle())) {
            ++writes;
        }
    }
    EXPECT_EQ(sentInAll, total + 4);
    EXPECT_GE(writes, 1);
    EXPECT_EQ(log.events, expectedEvents);
    EXPECT_GE(log.events.size(), 3u);
}

// ---- Receiving ---------------------------------------------------------------

TEST_F(SendReceiveTest, TextArrivesAndIsTaken) {
    PeerSends("hello");
    EXPECT_EQ(log.events, Lines({"DataArrival 5"}));
    size_t mark = box.Mark();
    VbVariant data{std::string()};
    sock->GetData(data);
    EXPECT_EQ(data.VarType(), VbVariant::vbString);
    EXPECT_EQ(data.Bytes(), "hello");
    EXPECT_EQ(box.Since(mark), Lines({"OK Bytes obtained from buffer: 5"}));
    EXPECT_TRUE(box.ScrolledAfter(mark, "OK Bytes obtained from buffer: 5"));
    EXPECT_EQ(sock->BytesReceived(), 0);

    // Nothing left: an empty byte array, 0 logged.
    sock->GetData(data);
    EXPECT_EQ(data.VarType(), VbVariant::vbByteArray);
    EXPECT_EQ(data.Bytes(), "");
    EXPECT_EQ(box.Lines().back(), "OK Bytes obtained from buffer: 0");
}

TEST_F(SendReceiveTest, DataArrivalCountsEverythingNotTaken) {
    PeerSends("abc");
    PeerSends("defg");
    EXPECT_EQ(log.events, Lines({"DataArrival 3", "DataArrival 7"}));
    VbVariant data;
    sock->PeekData(data);
    EXPECT_EQ(data.VarType(), VbVariant::vbByteArray);   // no type asked for: a byte array
    EXPECT_EQ(data.Bytes(), "abcdefg");
    EXPECT_EQ(sock->BytesReceived(), 7);
    VbVariant again;
    sock->GetData(again);
    EXPECT_EQ(again.Bytes(), "abcdefg");
}

TEST_F(SendReceiveTest, MaxLenRule) {
    PeerSends("hello");
    VbVariant data{std::string()};
    sock->GetData(data, std::nullopt, 2);
    EXPECT_EQ(data.Bytes(), "he");
    EXPECT_EQ(sock->BytesReceived(), 3);
    sock->PeekData(data, std::nullopt, 10);
    EXPECT_EQ(data.Bytes(), "llo");

    size_t mark = box.Mark();
    VbVariant empty{std::string()};
    sock->GetData(empty, std::nullopt, 0);
    EXPECT_EQ(empty.VarType(), VbVariant::vbByteArray);
    EXPECT_EQ(empty.Bytes(), "");
    EXPECT_EQ(sock->BytesReceived(), 3);
    EXPECT_VBERROR(sock->GetData(data, std::nullopt, -1), 40014, "CSocketKit.GetData", kDescBadArgument);
    EXPECT_VBERROR(sock->PeekData(data, std::nullopt, VbVariant::Double(-0.5)), 40014, "CSocketKit.PeekData",
                   kDescBadArgument);
    EXPECT_EQ(box.Since(mark), Lines({"OK Bytes obtained from buffer: 0"}));   // failures write nothing
    EXPECT_EQ(sock->BytesReceived(), 3);

    VbVariant text{std::string()};
    sock->GetData(text, std::nullopt, "1");       // numeric text is a number
    EXPECT_EQ(text.Bytes(), "l");
    sock->GetData(text, std::nullopt, "lots");    // not a number: everything available
    EXPECT_EQ(text.Bytes(), "lo");
}

TEST_F(SendReceiveTest, FixedSizeTypes) {
    PeerSends(std::string("\x02\x01\x00\x00\x05", 5));
    VbVariant data;
    size_t mark = box.Mark();
    sock->GetData(data, VbVariant::vbLong);
    EXPECT_EQ(data.VarType(), VbVariant::vbLong);
    EXPECT_EQ(data.LongValue(), 258);
    EXPECT_EQ(sock->BytesReceived(), 1);
    EXPECT_EQ(box.Since(mark), Lines({"OK Bytes obtained from buffer: 4"}));

    // Too few bytes: data unchanged, nothing taken, 0 logged.
    VbVariant untouched;
    sock->GetData(untouched, VbVariant::vbLong);
    EXPECT_TRUE(untouched.IsEmpty());
    EXPECT_EQ(sock->BytesReceived(), 1);
    EXPECT_EQ(box.Lines().back(), "OK Bytes obtained from buffer: 0");

    // A variable that holds a value decides the type.
    PeerSends(std::string("\0\0\0", 3));
    VbVariant holdsLong = VbVariant::Long(7);
    sock->GetData(holdsLong, VbVariant::vbString);
    EXPECT_EQ(holdsLong.VarType(), VbVariant::vbLong);
    EXPECT_EQ(holdsLong.LongValue(), 5);

    mark = box.Mark();
    VbVariant other;
    EXPECT_VBERROR(sock->GetData(other, 9), 40018, "CSocketKit.RecvData", kDescUnsupportedType);
    EXPECT_VBERROR(sock->PeekData(other, 8194), 40018, "CSocketKit.RecvData", kDescUnsupportedType);
    // Codes beyond 16 bits are no type codes, whatever their low 16 bits say.
    EXPECT_VBERROR(sock->GetData(other, 0x10000 + VbVariant::vbLong), 40018, "CSocketKit.RecvData",
                   kDescUnsupportedType);
    EXPECT_VBERROR(sock->PeekData(other, -0x10000 + VbVariant::vbByte), 40018, "CSocketKit.RecvData",
                   kDescUnsupportedType);
    EXPECT_EQ(box.Since(mark), Lines{});
    EXPECT_EQ(sock->BytesReceived(), 0);
}

TEST_F(SendReceiveTest, EveryTypeReadsBack) {
    const std::string wire = std::string("\xFE\xFF", 2) + std::string("\x02\x01\x00\x00", 4) +
                             std::string("\0\0\x80\x3F", 4) + std::string("\0\0\0\0\0\0\xF0\x3F", 8) +
                             std::string("\x98\x3A\0\0\0\0\0\0", 8) + std::string("\0\0\0\0\0\0\x04\x40", 8) +
                             std::string("\xFF\xFF\x01\x00", 4) + "\xAB" + "xyz";
    PeerSends(wire);
    VbVariant v;
    sock->GetData(v = VbVariant(), VbVariant::vbInteger);
    EXPECT_EQ(v.IntegerValue(), -2);
    sock->GetData(v = VbVariant(), VbVariant::vbLong);
    EXPECT_EQ(v.LongValue(), 258);
    sock->GetData(v = VbVariant(), VbVariant::vbSingle);
    EXPECT_EQ(v.SingleValue(), 1.0f);
    sock->GetData(v = VbVariant(), VbVariant::vbDouble);
    EXPECT_EQ(v.DoubleValue(), 1.0);
    sock->GetData(v = VbVariant(), VbVariant::vbCurrency);
    EXPECT_EQ(v.CurrencyScaledValue(), 15000);
    sock->GetData(v = VbVariant(), VbVariant::vbDate);
    EXPECT_EQ(v.VarType(), VbVariant::vbDate);
    EXPECT_EQ(v.DateValue(), 2.5);
    sock->GetData(v = VbVariant(), VbVariant::vbBoolean);
    EXPECT_EQ(v.BooleanRawValue(), -1);
    sock->PeekData(v = VbVariant(), VbVariant::vbBoolean);
    EXPECT_EQ(v.BooleanRawValue(), 1);                  // as received
    sock->GetData(v = VbVariant(), VbVariant::vbBoolean);
    sock->GetData(v = VbVariant(), VbVariant::vbByte);
    EXPECT_EQ(v.ByteValue(), 0xAB);
    sock->GetData(v = VbVariant(), VbVariant::vbString);
    EXPECT_EQ(v.VarType(), VbVariant::vbString);
    EXPECT_EQ(v.Bytes(), "xyz");
}

TEST_F(SendReceiveTest, AllByteValuesBothWays) {
    const std::string bytes = AllByteValues();
    sock->SendData(bytes);
    std::string got = PeerReads(bytes.size());
    EXPECT_EQ(got, bytes);
    SendAll(peer, got);
    PumpUntil([&] { return sock->BytesReceived() == 256; });
    VbVariant text{std::string()};
    sock->GetData(text);
    EXPECT_EQ(text.Bytes(), bytes);
}

TEST_F(SendReceiveTest, WrongStateForData) {
    PeerSends("x");
    sock->CloseSck();
    VbVariant data;
    EXPECT_VBERROR(sock->GetData(data), 40006, "CSocketKit.GetData", kDescWrongState);
    EXPECT_VBERROR(sock->PeekData(data), 40006, "CSocketKit.PeekData", kDescWrongState);
    EXPECT_VBERROR(sock->SendData("x"), 40006, "CSocketKit.SendData", kDescWrongState);
}

// ---- The peer ends the connection -----------------------------------------------

TEST_F(SendReceiveTest, OrderlyCloseByThePeer) {
    int32_t s = sock->SocketHandle();
    SendAll(peer, "bye");
    ::shutdown(peer.get(), testsock::kShutSend);
    size_t mark = box.Mark();
    PumpUntil([&] { return sock->State() == sckClosing; });
    PumpAWhile();
    EXPECT_EQ(log.events, Lines({"DataArrival 3", "CloseSck"}));
    Lines lines = box.Since(mark);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "FD_READ " + N(s));
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), Lines({"FD_CLOSE " + N(s), "STATE: sckClosing"}));
    EXPECT_EQ(sock->BytesReceived(), 3);
    VbVariant data{std::string()};
    sock->GetData(data);   // what arrived before the close is still there
    EXPECT_EQ(data.Bytes(), "bye");
    EXPECT_VBERROR(sock->GetData(data), 40006, "CSocketKit.GetData", kDescWrongState);
    sock->CloseSck();
    EXPECT_EQ(sock->State(), sckClosed);
    EXPECT_EQ(log.Count("CloseSck"), 1);
}

TEST_F(SendReceiveTest, ResetByThePeer) {
    // Wine delivers a peer's reset as FD_CLOSE with error 0, as if the peer
    // had closed in order; Windows delivers FD_CLOSE with WSAECONNRESET.
    if (testsock::UnderWine()) GTEST_SKIP() << "Wine reports a reset as an orderly close";
    linger hard{1, 0};
    ::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    size_t mark = box.Mark();
    peer.Close();
    PumpUntil([&] { return sock->State() == sckError; });
    PumpAWhile();
    EXPECT_EQ(sock->State(), sckError);
    EXPECT_EQ(log.Count("CloseSck"), 0);
    // The close notification carries the reset: the error report, no notification line.
    EXPECT_EQ(box.Since(mark), Lines({"STATE: sckError"}));
    EXPECT_EQ(log.events, Lines({"Error 10054 Connection reset by peer. CSocketKit.PostSocket"}));
    sock->CloseSck();
    EXPECT_EQ(sock->State(), sckClosed);
}

// ---- Ending a connection without a reset --------------------------------------

// A close with unread bytes in the system's receive queue reads them first:
// the peer sees an orderly end behind every byte sent, never a reset.
TEST_F(SendReceiveTest, CloseWithUnreadDataEndsWithAFinNotAReset) {
    SendAll(peer, std::string(100000, 'u'));   // never announced to the object
    const std::string sent(200000, 's');
    sock->SendData(sent);
    sock->CloseSck();
    EXPECT_EQ(sock->State(), sckClosed);
    std::string got;
    ssize_t last = 1;
    for (int i = 0; i < 2000 && last != 0; ++i) {
        char buf[65536];
        last = ::recv(peer.get(), buf, sizeof buf, 0);
        if (last > 0) got.append(buf, static_cast<size_t>(last));
        if (last < 0 && !testsock::WouldBlock()) break;
        if (last < 0) PumpAWhile(1);
    }
    EXPECT_EQ(last, 0) << "reset: " << testsock::LastErrorText();
    EXPECT_LE(got.size(), sent.size());
}

// ShutdownSend: the FIN follows every queued byte, sending is refused after
// it, and what the peer sends still arrives until the peer closes too.
TEST_F(SendReceiveTest, ShutdownSendHalfClosesBehindTheQueuedBytes) {
    const std::string sent(3000000, 'q');
    sock->SendData(sent);
    sock->ShutdownSend();
    EXPECT_TRUE(sock->SendShutdown());
    EXPECT_VBERROR(sock->SendData("x"), 40006, "CSocketKit.SendData", kDescWrongState);
    std::string got;
    PumpUntil([&] {
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(peer.get(), buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
        return n == 0;
    });
    EXPECT_TRUE(got == sent) << got.size();
    PeerSends("late");
    VbVariant data{std::string()};
    sock->GetData(data);
    EXPECT_EQ(data.Bytes(), "late");
    ::shutdown(peer.get(), testsock::kShutSend);
    PumpUntil([&] { return sock->State() == sckClosing; });
    sock->CloseSck();
    EXPECT_FALSE(sock->SendShutdown());
}

// The peer's half-close ends only its sending: ours goes on until we close.
TEST_F(SendReceiveTest, SendingGoesOnAfterThePeersHalfClose) {
    ::shutdown(peer.get(), testsock::kShutSend);
    PumpUntil([&] { return sock->State() == sckClosing; });
    sock->SendData("still heard");
    EXPECT_EQ(PeerReads(11), "still heard");
}
