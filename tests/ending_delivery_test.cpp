// Endings that deliver the last SEND: hidden runs of the real program whose
// script ends with a large SEND, against a loopback host that echoes what it
// reads, and the demo dialogue, which ends with a WAIT and so has no settle
// period. The host side counts what it received and how the connection ended
// (an orderly close, never a reset).
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "tests/support/scripted_host.h"

using namespace testhost;
using namespace std::chrono_literals;

namespace {

const std::string kDemoHost = std::string(VARNEL_BUILD_DIR) + "/varnel-demo-host";
const std::string kHead = "Checking script (clearing output file)\r\nRunning script\r\n";

// What an echoing host saw of one connection.
struct EchoCount {
    std::atomic<size_t> bytes{0};
    std::atomic<bool> orderlyEnd{false};  // the client's FIN, after every byte
};

// Greets with "ready", then sends back everything it reads until the client's end.
ScriptedHost::Dialogue Echo(EchoCount& count) {
    return [&count](HostConnection& c) {
        c.Send("ready\r\n");
        std::vector<char> buf(1 << 16);
        for (;;) {
            const ssize_t n = ::recv(c.fd(), buf.data(), buf.size(), 0);
            if (n <= 0) {
                count.orderlyEnd = n == 0;
                return;
            }
            count.bytes += static_cast<size_t>(n);
            if (!c.Send(std::string_view(buf.data(), static_cast<size_t>(n)))) return;
        }
    };
}

}  // namespace

// 8 MB as the script's last line, to a host that echoes it: the host gets
// every byte, the log holds every echoed byte, and the run ends with status 0.
TEST(EndingDelivery, AnEchoingHostReceivesEveryByteOfALargeLastSend) {
    constexpr size_t kSize = 8u << 20;
    const std::string text(kSize, 'x');   // 'x' occurs in no line the program logs itself
    for (int run = 1; run <= 3; ++run) {
        EchoCount count;
        ScriptedHost host(Echo(count));
        ScriptRun r = RunHiddenScript("ending-echo-" + std::to_string(run),
                                      HostLine(host.Port()) + "SEND \"" + text + "\"\r\n");
        host.Join();
        EXPECT_EQ(r.process.exitStatus, 0) << "run " << run << ": " << r.process.err;
        EXPECT_EQ(count.bytes.load(), kSize) << "run " << run;
        EXPECT_TRUE(count.orderlyEnd.load()) << "run " << run << ": the connection was reset";
        EXPECT_EQ(static_cast<size_t>(std::count(r.transcript.begin(), r.transcript.end(), 'x')), kSize)
            << "run " << run;
        EXPECT_EQ(r.transcript.substr(0, kHead.size() + 29), kHead + "Opening connection\r\nready\r\n\r\n");
        EXPECT_NE(r.transcript.find("\r\nEnd of script\r\n"), std::string::npos);
        EXPECT_EQ(r.transcript.substr(r.transcript.size() - 20), "Closed connection.\r\n");
    }
}

// The demo dialogue ends with a matched WAIT: the same transcript as ever,
// and no settle period, however long it is set.
TEST(EndingDelivery, ADialogueEndingWithAWaitKeepsItsTranscriptAndDoesNotSettle) {
    BackgroundProcess host({kDemoHost});
    std::string script = ReadFileBytes(VARNEL_SOURCE_DIR "/examples/demo-session.txt");
    const std::string line = "HOST 127.0.0.1 2323";
    ASSERT_NE(script.find(line), std::string::npos);
    script.replace(script.find(line), line.size(), "HOST 127.0.0.1 " + host.FirstLine());
    const auto start = std::chrono::steady_clock::now();
    ScriptRun r = RunHiddenScript("ending-demo", script, "", {"VARNEL_SETTLE=60"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_LT(took, 30s);
    ScriptRun plain = RunHiddenScript("ending-demo-no-settle", script, "", {"VARNEL_SETTLE=0"});
    EXPECT_EQ(r.transcript, plain.transcript);
    const std::string tail = "Goodbye.\r\n\r\n\r\nEnd of script\r\nClosed connection.\r\n";
    ASSERT_GE(r.transcript.size(), tail.size());
    EXPECT_EQ(r.transcript.substr(r.transcript.size() - tail.size()), tail);
}

// SETTLE and VARNEL_SETTLE: the host stays silent after the last SEND, so
// the run ends one settle period after it; a bad variable runs nothing.
TEST(EndingDelivery, TheSettlePeriodIsSetByTheScriptOrTheEnvironment) {
    struct Case {
        std::string settings;
        std::vector<std::string> env;
        std::chrono::milliseconds atLeast, below;
    };
    const std::vector<Case> cases = {
        {"", {}, 900ms, 20s},
        {"SETTLE 3\r\n", {}, 2900ms, 25s},
        {"", {"VARNEL_SETTLE=3"}, 2900ms, 25s},
        {"SETTLE 0\r\n", {"VARNEL_SETTLE=3"}, 0ms, 2900ms},
    };
    for (const Case& c : cases) {
        std::atomic<bool> gotAll{false};
        ScriptedHost host([&gotAll](HostConnection& conn) {
            conn.Send("ready\r\n");
            gotAll = conn.ReadUntil("last line\r\n");
            conn.ReadToEnd(60s);
        });
        const auto start = std::chrono::steady_clock::now();
        ScriptRun r = RunHiddenScript("ending-settle", c.settings + HostLine(host.Port()) + "SEND \"last line\\n\"\r\n",
                                      "", c.env);
        const auto took = std::chrono::steady_clock::now() - start;
        host.Join();
        EXPECT_EQ(r.process.exitStatus, 0) << c.settings;
        EXPECT_TRUE(gotAll.load()) << c.settings;
        EXPECT_GE(took, c.atLeast) << c.settings;
        EXPECT_LT(took, c.below) << c.settings;
        EXPECT_EQ(r.transcript,
                  kHead + "Opening connection\r\nready\r\n\r\n\r\nEnd of script\r\nClosed connection.\r\n");
    }
    ScriptRun bad = RunHiddenScript("ending-settle-bad", "ECHO \"x\"\r\n", "", {"VARNEL_SETTLE=soon"});
    EXPECT_EQ(bad.process.exitStatus, 2);
    EXPECT_EQ(bad.process.err, "varnel: VARNEL_SETTLE is not a number of seconds: soon\n");
}
