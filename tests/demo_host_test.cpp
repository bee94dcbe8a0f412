// The demo host, run as a process, serving plain loopback clients.
#include <gtest/gtest.h>

#include <atomic>
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
              "% Unknown command \"nonsense\"\r\n" + kPrompt + kPrompt + "Goodbye.\r\n");
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
