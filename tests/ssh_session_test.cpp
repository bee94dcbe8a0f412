// The SSH session against our own libssh test server on 127.0.0.1: prompts
// of keyboard-interactive and password authentication, the dialogue both
// ways, first-use recording of host keys, and the faults (refused answer,
// changed key, strict checking, a server that closes during authentication,
// a server that never answers).
#include <libssh/libssh.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/ssh/ssh_errors.h"
#include "net/ssh/ssh_host_keys.h"
#include "net/ssh/ssh_session.h"
#include "platform/message_window.h"
#include "tests/support/scripted_host.h"
#include "tests/support/ssh_recorder.h"

using namespace std::chrono_literals;
using sshnet::SshSession;

namespace {

const std::string kServer = std::string(VARNEL_BUILD_DIR) + "/varnel-ssh-test-server";
const std::string kWelcome = "\r\nWelcome, admin.\r\nvarnel-demo> ";

using Recorder = testhost::SshRecorder;
using testhost::PumpUntil;

struct Server {
    std::string dir;
    std::unique_ptr<testhost::BackgroundProcess> process;
    uint16_t port = 0;
    Server(const std::string& name, const std::string& mode) : dir(testhost::MakeScratchDir(name)) {
        process = std::make_unique<testhost::BackgroundProcess>(
            std::vector<std::string>{kServer, "--key", dir + "/host_key", "--mode", mode});
        port = static_cast<uint16_t>(std::stoi(process->FirstLine()));
    }
    sshnet::SshTarget Target(bool strict = false) const {
        sshnet::SshTarget t;
        t.host = "127.0.0.1";
        t.port = port;
        t.user = "admin";
        t.knownHostsFile = dir + "/known_hosts";
        t.keyFolder = dir + "/no-keys";
        t.strict = strict;
        return t;
    }
};

bool HasPrefix(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// Logs in with the answers given (one per prompt), runs "echo hi" and "exit".
void LogInAndLeave(const Server& server, Recorder& r, const std::vector<std::string>& answers) {
    SshSession session(r);
    session.Start(server.Target());
    for (const std::string& answer : answers) {
        size_t before = r.events.size();
        ASSERT_TRUE(PumpUntil([&] { return r.events.size() > before && HasPrefix(r.events.back(), "prompt"); }));
        session.Answer(answer);
    }
    ASSERT_TRUE(PumpUntil([&] { return r.data == kWelcome; })) << r.data;
    session.Write("echo hi\r\n");
    ASSERT_TRUE(PumpUntil([&] { return r.data == kWelcome + "hi\r\nvarnel-demo> "; })) << r.data;
    session.Write("exit\r\n");
    ASSERT_TRUE(PumpUntil([&] { return r.ended; }));
    EXPECT_EQ(r.data, kWelcome + "hi\r\nvarnel-demo> Goodbye.\r\n");
    EXPECT_EQ(r.events.back(), "closed");
    EXPECT_EQ(session.phase(), SshSession::Phase::Closed);
}

std::vector<std::string> Without(std::vector<std::string> events, const std::string& prefix) {
    std::erase_if(events, [&](const std::string& e) { return HasPrefix(e, prefix); });
    return events;
}

TEST(SshSession, KeyboardInteractivePromptIsAnsweredAndTheDialogueRunsBothWays) {
    Server server("ssh_kbdint", "kbdint");
    Recorder r;
    LogInAndLeave(server, r, {"varnel"});
    ASSERT_FALSE(r.events.empty());
    // The first use records the key and says so, with its fingerprint.
    const std::string notice = "notice SSH host key of 127.0.0.1 port " + std::to_string(server.port) +
                               " recorded in " + server.dir + "/known_hosts (first use): ssh-ed25519 SHA256:";
    EXPECT_TRUE(HasPrefix(r.events[0], notice)) << r.events[0];
    EXPECT_EQ(Without(r.events, "notice"),
              (std::vector<std::string>{"prompt Password: ", "opened", "sent", "sent", "closed"}));
    std::string recorded = testhost::ReadFileBytes(server.dir + "/known_hosts");
    EXPECT_TRUE(HasPrefix(recorded, "[127.0.0.1]:" + std::to_string(server.port) + " ssh-ed25519 ")) << recorded;

    // The second time the key is known: no notice, the file is unchanged.
    Recorder again;
    LogInAndLeave(server, again, {"varnel"});
    EXPECT_EQ(again.events, (std::vector<std::string>{"prompt Password: ", "opened", "sent", "sent", "closed"}));
    EXPECT_EQ(testhost::ReadFileBytes(server.dir + "/known_hosts"), recorded);
}

TEST(SshSession, EveryPromptIsHandedUpInTurnAndPasswordAuthenticationAsksWithItsOwnPrompt) {
    Server twostep("ssh_twostep", "twostep");
    Recorder r;
    LogInAndLeave(twostep, r, {"varnel", "42"});
    EXPECT_EQ(Without(r.events, "notice"),
              (std::vector<std::string>{"prompt Password: ", "prompt Token: ", "opened", "sent", "sent", "closed"}));

    Server password("ssh_password", "password");
    Recorder p;
    LogInAndLeave(password, p, {"varnel"});
    EXPECT_EQ(Without(p.events, "notice"),
              (std::vector<std::string>{"prompt Password: ", "opened", "sent", "sent", "closed"}));
}

TEST(SshSession, RefusedAnswersAndServersThatCloseEndWithTheirNumbers) {
    for (const char* mode : {"kbdint", "password"}) {
        Server server(std::string("ssh_refused_") + mode, mode);
        Recorder r;
        SshSession session(r);
        session.Start(server.Target());
        ASSERT_TRUE(PumpUntil([&] { return !r.events.empty() && HasPrefix(r.events.back(), "prompt"); }));
        session.Answer("wrong");
        ASSERT_TRUE(PumpUntil([&] { return r.ended; }));
        EXPECT_EQ(r.events.back(), "failed 42005 SSH authentication failed") << mode;
        EXPECT_EQ(session.phase(), SshSession::Phase::Failed);
        EXPECT_EQ(r.data, "");
    }
    Server closing("ssh_closeauth", "closeauth");
    Recorder c;
    SshSession session(c);
    session.Start(closing.Target());
    ASSERT_TRUE(PumpUntil([&] { return c.ended; }));
    EXPECT_EQ(Without(c.events, "notice"), (std::vector<std::string>{"failed 42001 SSH connection failed"}));

    Recorder refused;
    SshSession nobody(refused);
    sshnet::SshTarget target = closing.Target();
    target.port = testhost::ClosedPort();
    nobody.Start(target);
    ASSERT_TRUE(PumpUntil([&] { return refused.ended; }));
    EXPECT_EQ(refused.events, (std::vector<std::string>{"failed 42001 SSH connection failed"}));
}

TEST(SshSession, ChangedKeysAreRefusedNamingTheLineAndUnknownKeysOnlyWhenStrict) {
    Server server("ssh_changed", "kbdint");
    ssh_key other = nullptr;
    ASSERT_EQ(ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &other), SSH_OK);
    char* base64 = nullptr;
    ASSERT_EQ(ssh_pki_export_pubkey_base64(other, &base64), SSH_OK);
    const std::string file = server.dir + "/known_hosts";
    const std::string entry = "[127.0.0.1]:" + std::to_string(server.port) + " ssh-ed25519 " + base64 + "\n";
    ssh_string_free_char(base64);
    ssh_key_free(other);
    testhost::WriteFileBytes(file, "# recorded by hand\n[127.0.0.1]:1 ssh-ed25519 AAAA\n" + entry);

    for (bool strict : {false, true}) {
        Recorder r;
        SshSession session(r);
        session.Start(server.Target(strict));
        ASSERT_TRUE(PumpUntil([&] { return r.ended; }));
        // Refused before authentication: no prompt, nothing sent.
        EXPECT_EQ(r.events, (std::vector<std::string>{"failed 42003 SSH host key changed: " + file + " line 3"}));
    }
    EXPECT_EQ(testhost::ReadFileBytes(file), "# recorded by hand\n[127.0.0.1]:1 ssh-ed25519 AAAA\n" + entry);

    testhost::WriteFileBytes(file, "");
    Recorder strict;
    SshSession session(strict);
    session.Start(server.Target(true));
    ASSERT_TRUE(PumpUntil([&] { return strict.ended; }));
    EXPECT_EQ(strict.events, (std::vector<std::string>{"failed 42002 SSH host key unknown (strict checking)"}));
    EXPECT_EQ(testhost::ReadFileBytes(file), "");
    // A first key that cannot be recorded is refused too.
    Recorder unwritable;
    SshSession nowhere(unwritable);
    sshnet::SshTarget target = server.Target();
    target.knownHostsFile = "/dev/null/known_hosts";
    nowhere.Start(target);
    ASSERT_TRUE(PumpUntil([&] { return unwritable.ended; }));
    EXPECT_EQ(unwritable.events, (std::vector<std::string>{"failed 42004 SSH known hosts file cannot be used"}));
}

// A known-hosts name that is not a regular file is refused at once, before
// anything is read from it: a FIFO with no writer, a folder, a device.
TEST(SshSession, KnownHostsThatAreNotARegularFileAreRefusedWithoutBlocking) {
    Server server("ssh_known_hosts_kinds", "kbdint");
    const std::string fifo = server.dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& file : {fifo, server.dir, std::string("/dev/null")}) {
        Recorder r;
        SshSession session(r);
        sshnet::SshTarget target = server.Target();
        target.knownHostsFile = file;
        session.Start(target);
        ASSERT_TRUE(PumpUntil([&] { return r.ended; })) << file;
        EXPECT_EQ(r.events, (std::vector<std::string>{"failed 42004 SSH known hosts file cannot be used"})) << file;
    }
    EXPECT_EQ(sshnet::CheckKnownHostsFile(""), sshnet::ErrSshKnownHosts) << "no home folder: no file";
    EXPECT_EQ(sshnet::CheckKnownHostsFile(server.dir + "/known_hosts"), 0) << "not there yet: created on first use";
    testhost::WriteFileBytes(server.dir + "/known_hosts", "");
    EXPECT_EQ(sshnet::CheckKnownHostsFile(server.dir + "/known_hosts"), 0);
}

// With HOME unset (or empty) the home folder comes from the password
// database; a user with neither has no known-hosts file at all (refused),
// never one at the filesystem root.
TEST(SshSession, WithoutHomeTheHomeFolderComesFromThePasswordDatabase) {
    const char* savedHome = std::getenv("HOME");
    const char* savedFile = std::getenv("VARNEL_SSH_KNOWN_HOSTS");
    const std::string home = savedHome != nullptr ? savedHome : "", file = savedFile != nullptr ? savedFile : "";
    ::unsetenv("VARNEL_SSH_KNOWN_HOSTS");
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    const std::string folder = std::string(entry->pw_dir) + "/.ssh";
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        if (value == nullptr) {
            ::unsetenv("HOME");
        } else {
            ::setenv("HOME", value, 1);
        }
        sshnet::SshTarget t = sshnet::TargetFromEnvironment("127.0.0.1", 22, "admin");
        EXPECT_EQ(t.keyFolder, folder);
        EXPECT_EQ(t.knownHostsFile, folder + "/known_hosts");
    }
    if (::geteuid() == 0) {
        // A user id the password database does not know.
        uid_t nobody = 54321;
        while (::getpwuid(nobody) != nullptr) ++nobody;
        ::unsetenv("HOME");
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setuid(nobody) != 0) ::_exit(3);
            sshnet::SshTarget t = sshnet::TargetFromEnvironment("127.0.0.1", 22, "admin");
            const bool refused = t.knownHostsFile.empty() && t.keyFolder.empty() &&
                                 sshnet::CheckKnownHostsFile(t.knownHostsFile) == sshnet::ErrSshKnownHosts;
            ::_exit(refused ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    if (savedHome != nullptr) ::setenv("HOME", home.c_str(), 1);
    if (savedHome == nullptr) ::unsetenv("HOME");
    if (savedFile != nullptr) ::setenv("VARNEL_SSH_KNOWN_HOSTS", file.c_str(), 1);
}

TEST(SshSession, ASilentServerLeavesTheSessionWaitingUntilItsOwnerCloses) {
    Server server("ssh_silent", "silent");
    Recorder r;
    SshSession session(r);
    session.Start(server.Target());
    PumpUntil([&] { return r.ended; }, 1500ms);
    EXPECT_TRUE(r.events.empty());
    EXPECT_EQ(session.phase(), SshSession::Phase::Connecting);
    session.Close();
    EXPECT_EQ(session.phase(), SshSession::Phase::Closed);
    PumpUntil([] { return false; }, 200ms);
    EXPECT_TRUE(r.events.empty());
}

}  // namespace
