// The demo host, run as a process, serving plain loopback clients.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scripted_host.h"

using namespace testhost;
using namespace std::chrono_literals;

namespace {

const std::string kDemoHost = std::string(VARNEL_BUILD_DIR) + "/varnel-demo-host";
const std::string kBanner = "\r\nvarnel-demo: a practice device for Varnel scripts\r\n\r\nlogin: ";
const std::string kPrompt = "varnel-demo> ";

// Logs in as admin and runs the commands; returns everything received, or a
// text naming the step that timed out.
std::string Dialogue(uint16_t port, const std::vector<std::string>& commands) {
    HostConnection c(ConnectLoopback(port));
    if (c.fd() < 0) return "<connect failed>";
    if (!c.ReadUntil("login: ")) return "<no login prompt>";
    c.Send("admin\r\n");
    if (!c.ReadUntil("Password: ")) return "<no password prompt>";
    c.Send("varnel\r\n");
    size_t prompts = 1;
    if (!c.ReadUntil(kPrompt)) return "<no prompt>";
    for (const auto& command : commands) {
        c.Send(command + "\r\n");
        if (command == "exit") break;
        if (!c.ReadUntilCount(kPrompt, ++prompts)) return "<no prompt after " + command + ">";
    }
    c.ReadToEnd();
    return c.Received();
}

// The configuration listing of exactly size bytes, built whole.
std::string Listing(long size) {
    std::string text = "! varnel-demo configuration\r\nhostname varnel-demo\r\n";
    for (int n = 1; static_cast<long>(text.size()) < size; ++n)
        text += "interface port1/" + std::to_string(n) + "\r\n description link " + std::to_string(n) +
                "\r\n no shutdown\r\n!\r\n";
    text.resize(static_cast<size_t>(size));
    if (text.size() >= 2) text.replace(text.size() - 2, 2, "\r\n");
    return text;
}

// A client logged in as admin, at the first prompt (fd -1 if that failed).
std::unique_ptr<HostConnection> LoggedIn(uint16_t port) {
    auto c = std::make_unique<HostConnection>(ConnectLoopback(port));
    if (!c->ReadUntil("login: ") || !c->Send("admin\r\nvarnel\r\n") || !c->ReadUntil(kPrompt)) {
        ADD_FAILURE() << "no login: " << c->Received();
    }
    return c;
}

int OpenDescriptors(int pid) {
    int count = 0;
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return -1;
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
    ::closedir(dir);
    return count;
}

// Whether the process comes back to this many descriptors (within 30 s).
bool SettlesAt(int pid, int count) {
    for (int i = 0; i < 3000; ++i) {
        if (OpenDescriptors(pid) == count) return true;
        std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "descriptors: " << OpenDescriptors(pid) << ", expected " << count;
    return false;
}

}  // namespace

TEST(DemoHost, WholeDialogueWithEveryCommand) {
    BackgroundProcess host({kDemoHost});
    uint16_t port = static_cast<uint16_t>(std::stoi(host.FirstLine()));
    std::string got = Dialogue(port, {"echo hello there", "show config 300", "nonsense", "", "exit"});
    const std::string welcome = kBanner + "Password: \r\nWelcome, admin.\r\n" + kPrompt;
    ASSERT_EQ(got.substr(0, welcome.size()), welcome);
    std::string rest = got.substr(welcome.size());
    ASSERT_EQ(rest.substr(0, 13 + kPrompt.size()), "hello there\r\n" + kPrompt);
    rest = rest.substr(13 + kPrompt.size());
    EXPECT_EQ(rest.substr(0, 29), "! varnel-demo configuration\r\n");
    ASSERT_GE(rest.size(), 300 + kPrompt.size());
    EXPECT_EQ(rest.substr(300, kPrompt.size()), kPrompt);
    EXPECT_EQ(rest.substr(300 + kPrompt.size()),
              "% Invalid input detected at '^' marker.\r\n" + kPrompt + kPrompt + "Goodbye.\r\n");
}

TEST(DemoHost, WrongPasswordAsksAgain) {
    BackgroundProcess host({kDemoHost, "--user", "op", "--password", "pw"});
    HostConnection c(ConnectLoopback(static_cast<uint16_t>(std::stoi(host.FirstLine()))));
    ASSERT_TRUE(c.ReadUntil("login: "));
    c.Send("op\r\nwrong\r\n");
    ASSERT_TRUE(c.ReadUntil("Login incorrect\r\n\r\nlogin: "));
    c.Send("op\r\npw\r\n");
    EXPECT_TRUE(c.ReadUntil("Welcome, op.\r\n" + kPrompt));
}

TEST(DemoHost, WaitAnswersLaterWhileOthersAreServed) {
    BackgroundProcess host({kDemoHost});
    uint16_t port = static_cast<uint16_t>(std::stoi(host.FirstLine()));
    std::string slow;
    std::thread t([&] { slow = Dialogue(port, {"wait 1", "exit"}); });
    std::this_thread::sleep_for(200ms);
    std::string fast = Dialogue(port, {"echo quick", "exit"});
    t.join();
    EXPECT_NE(fast.find("quick\r\n" + kPrompt + "Goodbye.\r\n"), std::string::npos) << fast;
    EXPECT_NE(slow.find("waited 1 seconds\r\n" + kPrompt + "Goodbye.\r\n"), std::string::npos) << slow;
}

// Fifty clients connect at once, and all fifty sessions are logged in at the
// same time before any of them goes on.
TEST(DemoHost, FiftyConcurrentClientsEachGetExactlyTheirOwnBytes) {
    BackgroundProcess host({kDemoHost});
    uint16_t port = static_cast<uint16_t>(std::stoi(host.FirstLine()));
    constexpr int kClients = 50;
    std::atomic<int> loggedIn{0};
    std::vector<std::string> got(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            HostConnection c(ConnectLoopback(port));
            if (!c.ReadUntil("login: ")) return;
            c.Send("admin\r\n");
            if (!c.ReadUntil("Password: ")) return;
            c.Send("varnel\r\n");
            if (!c.ReadUntil(kPrompt)) return;
            ++loggedIn;
            for (int wait = 0; wait < 1000 && loggedIn < kClients; ++wait) std::this_thread::sleep_for(10ms);
            c.Send("echo client-" + std::to_string(i) + "\r\nshow config " + std::to_string(1000 + i) +
                   "\r\nexit\r\n");
            c.ReadToEnd();
            got[i] = c.Received();
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(loggedIn.load(), kClients);
    for (int i = 0; i < kClients; ++i) {
        const std::string head = kBanner + "Password: \r\nWelcome, admin.\r\n" + kPrompt + "client-" +
                                 std::to_string(i) + "\r\n" + kPrompt;
        ASSERT_EQ(got[i].substr(0, head.size()), head) << "client " << i;
        EXPECT_EQ(got[i].size(), head.size() + 1000 + i + kPrompt.size() + 10) << "client " << i;
        EXPECT_EQ(got[i].substr(got[i].size() - kPrompt.size() - 10), kPrompt + "Goodbye.\r\n");
    }
    EXPECT_TRUE(host.Running());
}

// Clients that reset, leave without reading, or close their side in the
// middle of an answer: each session is released, and the host serves on.
TEST(DemoHost, ClientsThatResetOrLeaveEarlyLeaveNothingBehind) {
    BackgroundProcess host({kDemoHost, "--max-sessions", "3"});
    uint16_t port = static_cast<uint16_t>(std::stoi(host.FirstLine()));
    Dialogue(port, {"exit"});
    const int baseline = OpenDescriptors(host.pid());
    for (int i = 0; i < 10; ++i) {
        HostConnection resetAtOnce(ConnectLoopback(port));
        resetAtOnce.Reset();
        HostConnection leavesUnread(ConnectLoopback(port));
        leavesUnread.Close();
        HostConnection busy(ConnectLoopback(port));   // resets in the middle of a listing
        busy.Send("admin\r\nvarnel\r\nshow config 5000000\r\n");
        busy.ReadUntil("! varnel-demo configuration");
        busy.Reset();
    }
    EXPECT_TRUE(SettlesAt(host.pid(), baseline));
    // Half-closes while a large answer is on its way: gets the start of it
    // unbroken, then the end of the connection.
    auto half = LoggedIn(port);
    half->Send("show config 20000000\r\n");
    ::shutdown(half->fd(), SHUT_WR);
    EXPECT_TRUE(half->ReadToEnd(30s));
    const std::string got = half->Received();
    const size_t start = got.find("! varnel-demo configuration");
    ASSERT_NE(start, std::string::npos);
    const std::string head = "! varnel-demo configuration\r\nhostname varnel-demo\r\ninterface port1/1\r\n";
    EXPECT_EQ(got.substr(start, head.size()), head);
    half.reset();
    EXPECT_TRUE(SettlesAt(host.pid(), baseline));
    // All three places are free again.
    auto a = LoggedIn(port), b = LoggedIn(port), c = LoggedIn(port);
    EXPECT_TRUE(host.Running());
}

TEST(DemoHost, LongLinesAreRefusedAndSkipped) {
    BackgroundProcess host({kDemoHost});
    auto c = LoggedIn(std::stoi(host.FirstLine()));
    const std::string refusal = "\r\n% Line too long (more than 4096 bytes); ignored\r\n" + kPrompt;
    const std::string longest = "echo " + std::string(4091, 'b');   // 4096 bytes: still a line
    c->Send(std::string(5000, 'a') + "\r\n" + longest + "\r\n");
    ASSERT_TRUE(c->ReadUntilCount(kPrompt, 3));
    EXPECT_EQ(c->Received().substr(c->Received().find(kPrompt) + kPrompt.size()),
              refusal + std::string(4091, 'b') + "\r\n" + kPrompt);
    // A line without end: one refusal, then the rest of it is skipped.
    const size_t before = c->Received().size();
    std::string chunk(1 << 20, 'x');
    for (int i = 0; i < 16; ++i) ASSERT_TRUE(c->Send(chunk));
    c->Send("\r\necho after\r\n");
    ASSERT_TRUE(c->ReadUntilCount(kPrompt, 5));
    EXPECT_EQ(c->Received().substr(before), refusal + "after\r\n" + kPrompt);
}

// Listings are produced piece by piece; what arrives is the same, byte for byte.
TEST(DemoHost, ListingsOfEverySizeArriveWhole) {
    BackgroundProcess host({kDemoHost});
    const std::string welcome = kBanner + "Password: \r\nWelcome, admin.\r\n" + kPrompt;
    const std::vector<long> sizes = {0, 1, 2, 3, 65535, 65536, 65537, 131073, 3000000};
    std::vector<std::string> commands;
    std::string expected = welcome;
    for (long size : sizes) {
        commands.push_back("show config " + std::to_string(size));
        expected += Listing(size) + kPrompt;
    }
    commands.push_back("exit");
    std::string got = Dialogue(std::stoi(host.FirstLine()), commands);
    EXPECT_EQ(got.size(), expected.size() + 10);
    EXPECT_TRUE(got == expected + "Goodbye.\r\n");
}

TEST(DemoHost, LimitsOfTheCommands) {
    BackgroundProcess host({kDemoHost});
    std::string got = Dialogue(std::stoi(host.FirstLine()), {"show config 100000001", "wait 3601", "wait -1", "exit"});
    const std::string welcome = kBanner + "Password: \r\nWelcome, admin.\r\n" + kPrompt;
    EXPECT_EQ(got, welcome + "% show config: at most 100000000 bytes\r\n" + kPrompt +
                       "% wait: 0 to 3600 seconds\r\n" + kPrompt + "% wait: 0 to 3600 seconds\r\n" + kPrompt +
                       "Goodbye.\r\n");
}

// A client that sends and never reads is closed once 1 MiB of answers waits for it.
TEST(DemoHost, AClientThatNeverReadsIsClosed) {
    BackgroundProcess host({kDemoHost});
    uint16_t port = static_cast<uint16_t>(std::stoi(host.FirstLine()));
    Dialogue(port, {"exit"});
    const int baseline = OpenDescriptors(host.pid());
    auto c = LoggedIn(port);
    const std::string line = "echo " + std::string(4000, 'z') + "\r\n";
    bool closedByHost = false;
    for (int i = 0; i < 64 * 256 && !closedByHost; ++i) closedByHost = !c->Send(line);   // at most 64 MB
    EXPECT_TRUE(closedByHost);
    EXPECT_TRUE(SettlesAt(host.pid(), baseline));   // while the client still holds its end
}

TEST(DemoHost, MaxSessionsRefusesWithAMessage) {
    BackgroundProcess host({kDemoHost, "--max-sessions", "1"});
    uint16_t port = static_cast<uint16_t>(std::stoi(host.FirstLine()));
    auto first = LoggedIn(port);
    HostConnection second(ConnectLoopback(port));
    EXPECT_TRUE(second.ReadToEnd());
    EXPECT_EQ(second.Received(), "varnel-demo: too many sessions (at most 1), try again later\r\n");
    first->Send("exit\r\n");
    EXPECT_TRUE(first->ReadToEnd());
    std::string third = Dialogue(port, {"exit"});
    EXPECT_EQ(third, kBanner + "Password: \r\nWelcome, admin.\r\n" + kPrompt + "Goodbye.\r\n");
}

// With few descriptors the host serves as many clients as it can, and the
// waiting ones as the earlier ones leave.
TEST(DemoHost, KeepsServingAtTheDescriptorLimit) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers' own checks need descriptors (a pipe to probe memory),
    // and report false errors when there are none.
    GTEST_SKIP() << "not with the sanitizers";
#endif
    BackgroundProcess host({"/bin/sh", "-c", "ulimit -n 24 && exec \"$0\"", kDemoHost});
    uint16_t port = static_cast<uint16_t>(std::stoi(host.FirstLine()));
    std::vector<std::unique_ptr<HostConnection>> clients;
    for (int i = 0; i < 40; ++i) clients.push_back(std::make_unique<HostConnection>(ConnectLoopback(port)));
    int served = 0;
    for (auto& c : clients) {
        served += c->ReadUntil("login: ", 30s) ? 1 : 0;
        c->Close();
    }
    EXPECT_EQ(served, 40);
    EXPECT_EQ(Dialogue(port, {"exit"}), kBanner + "Password: \r\nWelcome, admin.\r\n" + kPrompt + "Goodbye.\r\n");
    EXPECT_TRUE(host.Running());
}

// A client that sends its commands and half-closes at once (as `nc -N` does)
// gets every answer it asked for, whole, and then the host's close. Its small
// receive buffer and a pause before it reads keep the listing in progress
// when the host learns of the half-close.
TEST(DemoHost, AClientThatHalfClosesGetsEveryAnswerWhole) {
    BackgroundProcess host({kDemoHost});
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(host.FirstLine())));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    HostConnection c(fd);
    ASSERT_TRUE(c.ReadUntil("login: "));
    ASSERT_TRUE(c.Send("admin\r\nvarnel\r\nshow config 3000000\r\necho done\r\n"));
    ASSERT_EQ(::shutdown(c.fd(), SHUT_WR), 0);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(c.ReadToEnd(60s));
    const std::string expected =
        kBanner + "Password: \r\nWelcome, admin.\r\n" + kPrompt + Listing(3000000) + kPrompt + "done\r\n" + kPrompt;
    EXPECT_EQ(c.Received().size(), expected.size());
    EXPECT_TRUE(c.Received() == expected);
}

// Clients that hold a session without using it: one that says nothing, and
// three that trickle a line that never ends, one byte at a time, faster than
// the idle limit. Each is closed at its limit (with its log line), and the
// places they held are free again; a client that is slow but finishes its
// lines, or runs a wait longer than the idle limit, is served on.
TEST(DemoHost, IdleSessionsAndLinesThatNeverEndAreClosedAtTheirLimits) {
    const std::string log = MakeScratchDir("demo_host_limits") + "/stderr.txt";
    BackgroundProcess host({"/bin/sh", "-c", "exec \"$0\" --max-sessions 4 --idle-limit 2 --line-limit 5 2>\"$1\"",
                            kDemoHost, log});
    uint16_t port = static_cast<uint16_t>(std::stoi(host.FirstLine()));
    std::vector<std::unique_ptr<HostConnection>> trickling;
    for (int i = 0; i < 3; ++i) {
        trickling.push_back(std::make_unique<HostConnection>(ConnectLoopback(port)));
        ASSERT_TRUE(trickling.back()->ReadUntil("login: "));
    }
    HostConnection silent(ConnectLoopback(port));
    ASSERT_TRUE(silent.ReadUntil("login: "));
    HostConnection refused(ConnectLoopback(port));
    EXPECT_TRUE(refused.ReadToEnd());
    EXPECT_EQ(refused.Received(), "varnel-demo: too many sessions (at most 4), try again later\r\n");

    // A byte every quarter second or so from each, until the host closes them.
    const auto start = std::chrono::steady_clock::now();
    size_t open = trickling.size();
    std::vector<bool> closed(trickling.size(), false);
    while (open > 0 && std::chrono::steady_clock::now() - start < 60s) {
        for (size_t i = 0; i < trickling.size(); ++i) {
            if (closed[i]) continue;
            trickling[i]->Send("a");
            if (trickling[i]->ReadToEnd(80ms)) {
                closed[i] = true;
                --open;
            }
        }
    }
    EXPECT_EQ(open, 0u) << "the trickling clients were never closed";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 5s) << "closed before the line limit";
    EXPECT_TRUE(silent.ReadToEnd(30s));

    // The places are free again; a slow but real client is served on.
    auto slow = LoggedIn(port);
    slow->Send("wait 3\r\n");
    EXPECT_TRUE(slow->ReadUntil("waited 3 seconds\r\n" + kPrompt, 30s)) << slow->Received();
    for (char c : std::string("echo slow\r\n")) {
        slow->Send(std::string(1, c));
        std::this_thread::sleep_for(200ms);   // pacing only: 2.2 s for the line, past the idle limit
    }
    EXPECT_TRUE(slow->ReadUntil("slow\r\n" + kPrompt, 30s)) << slow->Received();
    EXPECT_EQ(Dialogue(port, {"exit"}), kBanner + "Password: \r\nWelcome, admin.\r\n" + kPrompt + "Goodbye.\r\n");
    slow->Send("exit\r\n");
    EXPECT_TRUE(slow->ReadToEnd());
    EXPECT_NE(slow->Received().find("Goodbye.\r\n"), std::string::npos);

    const std::string lines = ReadFileBytes(log);
    size_t lineLimit = 0;
    for (size_t at = 0; (at = lines.find(": closed: a line still unfinished after 5 seconds\n", at)) != std::string::npos;
         ++at)
        ++lineLimit;
    EXPECT_EQ(lineLimit, 3u) << lines;
    EXPECT_NE(lines.find(": closed: idle for 2 seconds\n"), std::string::npos) << lines;
}
