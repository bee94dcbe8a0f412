// Tests of FD_READ re-arming on connected streams (real loopback sockets,
// 127.0.0.1, ephemeral ports): a receive re-arms FD_READ without touching the
// socket's epoll entry, and what it leaves behind (data, the end, a reset) is
// still reported exactly as the notification rules say, at the next pass of
// the loop. Every wait is bounded.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/message_window.h"
#include "platform/platform_testing.h"
#include "platform/winsock.h"
#include "tests/platform_support.h"

using namespace ptest;

namespace {

// Sends all of data on a raw (blocking) socket.
void SendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        done += static_cast<size_t>(n);
    }
}

TEST_F(NotifyTest, ReceivesReArmReadWithoutChangingTheEpollEntry) {
    int peer;
    win::SOCKET s = ConnectedPair(&peer);
    const int changes = win::testing::InterestChangeCount();
    std::string got, expected;
    char buf[7];
    int reads = 0;
    for (int round = 0; round < 20; ++round) {
        // Three pieces of 7 bytes, taken one per FD_READ: the first two
        // receives leave data behind, the last one takes the rest.
        const std::string piece = "round" + std::to_string(round % 10) + ";";
        expected += piece + piece + piece;
        SendAll(peer, piece + piece + piece);
        ASSERT_TRUE(PumpUntil([&] {
            for (; reads < Count(s, win::FD_READ); ++reads) {
                int n = win::recv(s, buf, sizeof buf, 0);
                if (n > 0) got.append(buf, static_cast<size_t>(n));
            }
            return got.size() == expected.size();
        })) << "round " << round;
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(win::testing::InterestChangeCount(), changes) << "a receive changed the socket's epoll entry";
    PumpFor(100);
    EXPECT_EQ(Count(s, win::FD_READ), reads) << "nothing is left, so nothing more is posted";
    EXPECT_GE(reads, 60);
    EXPECT_EQ(CountFor(s), reads);
}

TEST_F(NotifyTest, AReceiveThatLeavesDataPostsOneFdReadAtTheNextPassNotInsideTheCall) {
    int peer;
    win::SOCKET s = ConnectedPair(&peer);
    SendAll(peer, "0123456789");
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 1; }));
    SendAll(peer, "abcde");  // arrives while FD_READ is disarmed
    PumpFor(100);
    EXPECT_EQ(Count(s, win::FD_READ), 1) << "disarmed until recv";

    char buf[32];
    ASSERT_EQ(win::recv(s, buf, 10, 0), 10);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(win::testing::QueuedMessageCount(), 0) << "posted from inside recv";
    win::DoEvents();
    EXPECT_EQ(Count(s, win::FD_READ), 2) << "the bytes that arrived meanwhile are left";
    ASSERT_EQ(win::recv(s, buf, 5, 0), 5) << "exactly what is left";
    EXPECT_EQ(std::string(buf, 5), "abcde");
    PumpFor(150);
    EXPECT_EQ(Count(s, win::FD_READ), 2) << "a receive that took everything leaves nothing to report";

    // A peek leaves the data where it is: FD_READ again.
    SendAll(peer, "xy");
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 3; }));
    ASSERT_EQ(win::recv(s, buf, sizeof buf, win::MSG_PEEK_WS), 2);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 4; }));
    ASSERT_EQ(win::recv(s, buf, sizeof buf, 0), 2);
    PumpFor(100);
    EXPECT_EQ(Count(s, win::FD_READ), 4);
}

TEST_F(NotifyTest, TheEndOrAResetBehindDataIsReportedOnceTheLastByteIsTaken) {
    // The end arrives while FD_READ is disarmed; the last receive takes
    // exactly what is left.
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "orderly end");
        g_received.clear();
        int peer;
        win::SOCKET s = ConnectedPair(&peer);
        SendAll(peer, "last words");
        ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 1; }));
        if (reset) SetLingerZero(peer);
        if (reset) {
            ::close(peer);
            raw.erase(std::remove(raw.begin(), raw.end(), peer), raw.end());
        } else {
            ::shutdown(peer, SHUT_WR);
        }
        PumpFor(100);
        EXPECT_EQ(CountFor(s), 1) << "nothing but the first FD_READ while it is disarmed";
        char buf[16];
        ASSERT_EQ(win::recv(s, buf, 4, 0), 4);
        ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 2; }));
        EXPECT_EQ(Count(s, win::FD_CLOSE), 0) << "data is left";
        ASSERT_EQ(win::recv(s, buf, 6, 0), 6);
        EXPECT_EQ(std::string(buf, 6), " words");
        ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_CLOSE) == 1; }));
        EXPECT_EQ(Error(*Find(s, win::FD_CLOSE)), reset ? 10054 : 0);
        PumpFor(100);
        EXPECT_EQ(Count(s, win::FD_READ), 2);
        EXPECT_EQ(Count(s, win::FD_CLOSE), 1);
    }
}

// Takes one byte per FD_READ of the flooding socket, and counts them.
struct Flood {
    win::SOCKET flooding = -1;
    win::SOCKET other = -1;
    int taken = 0;
    int takenWhenOtherRead = -1;
};
Flood g_flood;

win::LRESULT FloodProc(win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
    if (msg != kSockMsg || (lParam & 0xFFFF) != win::FD_READ) return 0;
    char c;
    if (static_cast<win::SOCKET>(wParam) == g_flood.flooding) {
        if (win::recv(g_flood.flooding, &c, 1, 0) == 1) ++g_flood.taken;
    } else if (static_cast<win::SOCKET>(wParam) == g_flood.other) {
        win::recv(g_flood.other, &c, 1, 0);
        g_flood.takenWhenOtherRead = g_flood.taken;
        win::QuitMessageLoop();
    }
    return 0;
}

TEST_F(NotifyTest, AFloodOnOneSocketDoesNotKeepAnotherOnesDataWaiting) {
    int floodPeer, otherPeer;
    g_flood = Flood{};
    g_flood.flooding = ConnectedPair(&floodPeer);
    g_flood.other = ConnectedPair(&otherPeer);
    SendAll(floodPeer, std::string(4000, 'f'));
    // Taken one byte per FD_READ, the flood lasts 4000 dispatches.
    ASSERT_TRUE(PumpUntil([&] { return Count(g_flood.flooding, win::FD_READ) == 1; }));
    win::SetWindowLongA(hwnd, win::GWL_WNDPROC, &FloodProc);
    char c;
    ASSERT_EQ(win::recv(g_flood.flooding, &c, 1, 0), 1);
    g_flood.taken = 1;
    SendAll(otherPeer, "o");
    win::RunMessageLoop();
    win::SetWindowLongA(hwnd, win::GWL_WNDPROC, &RecordProc);
    EXPECT_GE(g_flood.takenWhenOtherRead, 1);
    EXPECT_LT(g_flood.takenWhenOtherRead, 1000) << "the other socket waited for the flood";
}

}  // namespace
