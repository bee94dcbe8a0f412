// The SSH session against OpenSSH's sshd on 127.0.0.1, logging in by key.
// Skipped, with the reason, where no sshd can run; in CI (CI=true) that is a
// failure instead.
#include <libssh/libssh.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/ssh/ssh_session.h"
#include "platform/message_window.h"
#include "tests/support/scripted_host.h"
#include "tests/support/shell_dialogue.h"
#include "tests/support/sshd_peer.h"
#include "tests/support/ssh_recorder.h"

using namespace std::chrono_literals;

namespace {

// Notices are counted without their text, sends not at all.
struct Recorder : testhost::SshRecorder {
    void SshNotice(const std::string&) override { events.push_back("notice"); }
    void SshSent() override {}
};

using testhost::PumpUntil;

sshnet::SshTarget TargetFor(const testhost::SshdPeer& sshd, const std::string& keyFolder) {
    sshnet::SshTarget target;
    target.host = "127.0.0.1";
    target.port = sshd.port();
    target.user = sshd.user();
    target.keyFolder = keyFolder;
    target.knownHostsFile = sshd.dir() + "/known_hosts";
    return target;
}

// Logs in and leaves at once; returns the events.
std::vector<std::string> LogInAndExit(const sshnet::SshTarget& target) {
    Recorder r;
    sshnet::SshSession session(r);
    session.Start(target);
    EXPECT_TRUE(PumpUntil([&] { return r.ended || !r.data.empty(); }));
    if (!r.ended) session.Write("exit\r\n");
    EXPECT_TRUE(PumpUntil([&] { return r.ended; }));
    return r.events;
}

TEST(SshRealServer, AgentKeysComeFirstAndAnEncryptedKeyFileIsSkippedWithoutAsking) {
    testhost::SshdPeer sshd("ssh_real_agent");
    START_SSHD_OR_SKIP(sshd);
    const std::string empty = sshd.dir() + "/empty";
    std::filesystem::create_directories(empty);
    const std::string agentSocket = sshd.dir() + "/agent.sock";
    testhost::BackgroundProcess agent({"/bin/sh", "-c", "echo started; exec ssh-agent -D -a '" + agentSocket + "'"});
    for (int i = 0; i < 300 && !std::filesystem::exists(agentSocket); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto added = testhost::RunProcess({"/usr/bin/ssh-add", sshd.home() + "/.ssh/id_ed25519"},
                                      {"SSH_AUTH_SOCK=" + agentSocket});
    ASSERT_EQ(added.exitStatus, 0) << added.err;
    ::setenv("SSH_AUTH_SOCK", agentSocket.c_str(), 1);
    EXPECT_EQ(LogInAndExit(TargetFor(sshd, empty)), (std::vector<std::string>{"notice", "opened", "closed"}));
    ::unsetenv("SSH_AUTH_SOCK");

    // Without the agent and with the only key file encrypted, no key is
    // offered and sshd offers nothing else: refused, and nobody was asked.
    const std::string locked = sshd.dir() + "/locked";
    std::filesystem::create_directories(locked);
    ssh_key key = nullptr;
    ASSERT_EQ(ssh_pki_import_privkey_file((sshd.home() + "/.ssh/id_ed25519").c_str(), nullptr, nullptr, nullptr, &key),
              SSH_OK);
    ASSERT_EQ(ssh_pki_export_privkey_file(key, "secret", nullptr, nullptr, (locked + "/id_ed25519").c_str()), SSH_OK);
    ssh_key_free(key);
    EXPECT_EQ(LogInAndExit(TargetFor(sshd, locked)),
              (std::vector<std::string>{"failed 42005 SSH authentication failed"}));
}

TEST(SshRealServer, TheDefaultKeyFileLogsInAndTheShellSpeaksRawBytesBothWays) {
    testhost::SshdPeer sshd("ssh_real_session");
    START_SSHD_OR_SKIP(sshd);
    sshnet::SshTarget target = TargetFor(sshd, sshd.home() + "/.ssh");
    Recorder r;
    sshnet::SshSession session(r);
    session.Start(target);
    const std::string welcome = "\r\nWelcome, " + sshd.user() + ".\r\nvarnel-demo> ";
    ASSERT_TRUE(PumpUntil([&] { return r.ended || r.data == welcome; })) << r.data;
    // Every byte value but LF and CR in one line, then the configuration, then out.
    std::string bytes;
    for (int c = 1; c < 256; ++c)
        if (c != '\n' && c != '\r') bytes += static_cast<char>(c);
    session.Write("echo " + bytes + "\r\nshow config 300\r\nexit\r\n");
    ASSERT_TRUE(PumpUntil([&] { return r.ended; }));
    EXPECT_EQ(r.events, (std::vector<std::string>{"notice", "opened", "closed"}));
    EXPECT_EQ(r.data, welcome + bytes + "\r\nvarnel-demo> " + testhost::ShellDialogue::Configuration(300) +
                          "varnel-demo> Goodbye.\r\n");
}

}  // namespace

namespace {

// Twenty megabytes through sshd's pseudo-terminal and the channel's window:
// every byte arrives, in order, and the session ends normally.
TEST(SshRealServer, ALargeOutputArrivesWhole) {
    testhost::SshdPeer sshd("ssh_real_large");
    START_SSHD_OR_SKIP(sshd);
    Recorder r;
    sshnet::SshSession session(r);
    session.Start(TargetFor(sshd, sshd.home() + "/.ssh"));
    const std::string welcome = "\r\nWelcome, " + sshd.user() + ".\r\nvarnel-demo> ";
    ASSERT_TRUE(PumpUntil([&] { return r.ended || r.data == welcome; })) << r.data;
    session.Write("show config 20000000\r\nexit\r\n");
    ASSERT_TRUE(PumpUntil([&] { return r.ended; }));
    EXPECT_EQ(r.events, (std::vector<std::string>{"notice", "opened", "closed"}));
    const std::string expected =
        welcome + testhost::ShellDialogue::Configuration(20000000) + "varnel-demo> Goodbye.\r\n";
    EXPECT_EQ(r.data.size(), expected.size());
    EXPECT_TRUE(r.data == expected);
}

}  // namespace
