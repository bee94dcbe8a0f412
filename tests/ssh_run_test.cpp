// Hidden runs of the real program with SSH lines: the demo dialogue against
// our libssh test server (keyboard-interactive and password prompts answered
// by SEND) and against OpenSSH's sshd (by key), transcripts byte for byte;
// and against OpenSSH's sshd by keyboard-interactive password through PAM, for
// a test account named in VARNEL_TEST_SSH_USER / VARNEL_TEST_SSH_PASSWORD;
// and the endings: refused answers, changed and unknown keys, servers that
// close, lines that are not user@name, a second connection.
#include <libssh/libssh.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scripted_host.h"
#include "tests/support/shell_dialogue.h"
#include "tests/support/sshd_peer.h"

using testhost::RunHiddenScript;

namespace {

const std::string kServer = std::string(VARNEL_BUILD_DIR) + "/varnel-ssh-test-server";

// The demo dialogue after the password: identical for telnet and SSH.
const std::string kFirstWait = "WAIT \"varnel-demo>\"\r\n";
const std::string kDialogue =
    kFirstWait + "ECHO \"Logged in.\"\r\nSEND \"echo hello from Varnel\\n\"\r\nWAIT \"varnel-demo>\"\r\n"
    "ECHO \"Dumping the configuration.\"\r\nSEND \"show config 600\\n\"\r\nWAIT \"varnel-demo>\"\r\n"
    "SEND \"exit\\n\"\r\nWAIT \"Goodbye.\"\r\n";

std::string DialogueTranscript(const std::string& user) {
    return "\r\nWelcome, " + user + ".\r\nvarnel-demo> \r\n\r\nLogged in.\r\nhello from Varnel\r\nvarnel-demo> \r\n\r\n"
           "Dumping the configuration.\r\n" + testhost::ShellDialogue::Configuration(600) + "varnel-demo> \r\n\r\n"
           "Goodbye.\r\n\r\n\r\nEnd of script\r\nClosed connection.\r\n";
}

// "ssh-ed25519 SHA256:..." of the public half of a private key file.
std::string KeyFingerprint(const std::string& privateKeyFile) {
    ssh_key key = nullptr;
    if (ssh_pki_import_privkey_file(privateKeyFile.c_str(), nullptr, nullptr, nullptr, &key) != SSH_OK) return "?";
    unsigned char* hash = nullptr;
    size_t length = 0;
    ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length);
    char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
    std::string result = std::string("ssh-ed25519 ") + text;
    ssh_string_free_char(text);
    ssh_clean_pubkey_hash(&hash);
    ssh_key_free(key);
    return result;
}

struct TestServer {
    std::string dir;
    std::unique_ptr<testhost::BackgroundProcess> process;
    uint16_t port = 0;
    TestServer(const std::string& name, const std::string& mode) : dir(testhost::MakeScratchDir(name + "_server")) {
        process = std::make_unique<testhost::BackgroundProcess>(std::vector<std::string>{
            kServer, "--key", dir + "/host_key", "--mode", mode, "--password", "s3cret"});
        port = static_cast<uint16_t>(std::stoi(process->FirstLine()));
    }
    std::string Line(const std::string& user = "admin") const {
        return "SSH " + user + "@127.0.0.1 " + std::to_string(port) + "\r\n";
    }
    std::vector<std::string> Env() const {
        return {"HOME=" + dir, "VARNEL_SSH_KNOWN_HOSTS=" + dir + "/known_hosts", "SSH_AUTH_SOCK", "VARNEL_SSH_STRICT"};
    }
    std::string Recorded() const {
        return "SSH host key of 127.0.0.1 port " + std::to_string(port) + " recorded in " + dir +
               "/known_hosts (first use): " + KeyFingerprint(dir + "/host_key") + "\r\n";
    }
};

const std::string kStart = "Checking script (clearing output file)\r\nRunning script\r\nOpening connection\r\n";

TEST(SshRun, TheDemoDialogueWithItsPasswordPromptAnsweredBySend) {
    for (const char* mode : {"kbdint", "password"}) {
        TestServer server(std::string("ssh_run_demo_") + mode, mode);
        const std::string script = server.Line() + "SEND \"s3cret\\n\"\r\n" + kDialogue;
        auto run = RunHiddenScript(std::string("ssh_run_demo_") + mode, script, "", server.Env());
        EXPECT_EQ(run.process.exitStatus, 0) << mode;
        // The prompt is a received block; the answer appears nowhere.
        EXPECT_EQ(run.transcript, kStart + server.Recorded() + "Password: \r\n\r\n" + DialogueTranscript("admin"));
        EXPECT_EQ(run.transcript.find("s3cret"), std::string::npos);

        // Known now: the same run without the first-use line.
        auto again = RunHiddenScript(std::string("ssh_run_demo_again_") + mode, script, "", server.Env());
        EXPECT_EQ(again.process.exitStatus, 0);
        EXPECT_EQ(again.transcript, kStart + "Password: \r\n\r\n" + DialogueTranscript("admin"));
    }
}

TEST(SshRun, TheExampleScriptRunsAsWritten) {
    testhost::BackgroundProcess process({kServer, "--key", testhost::MakeScratchDir("ssh_run_example_server") +
                                                               "/host_key"});
    std::string script = testhost::ReadFileBytes(VARNEL_SOURCE_DIR "/examples/demo-session-ssh.txt");
    const std::string line = "SSH admin@127.0.0.1 2222";
    ASSERT_NE(script.find(line), std::string::npos);
    script.replace(script.find(line), line.size(), "SSH admin@127.0.0.1 " + process.FirstLine());
    const std::string dir = testhost::MakeScratchDir("ssh_run_example_home");
    auto run = RunHiddenScript("ssh_run_example", script, "",
                               {"HOME=" + dir, "VARNEL_SSH_KNOWN_HOSTS", "SSH_AUTH_SOCK", "VARNEL_SSH_STRICT"});
    EXPECT_EQ(run.process.exitStatus, 0) << run.transcript;
    EXPECT_NE(run.transcript.find("Password: \r\n\r\n" + DialogueTranscript("admin")), std::string::npos)
        << run.transcript;
}

TEST(SshRun, RefusedAnswersKeysAndLinesEndTheRunWithStatusOne) {
    TestServer server("ssh_run_refused", "kbdint");
    auto wrong = RunHiddenScript("ssh_run_wrong", server.Line() + "SEND \"guess\\n\"\r\n" + kDialogue, "", server.Env());
    EXPECT_EQ(wrong.process.exitStatus, 1);
    EXPECT_EQ(wrong.transcript, kStart + server.Recorded() +
                                    "Password: \r\n\r\nError 42005\r\nSSH authentication failed\r\nClosed connection.\r\n");

    // Another key recorded for this host, on line 2: refused before anything is sent.
    const std::string known = server.dir + "/known_hosts";
    std::string recorded = testhost::ReadFileBytes(known);
    ASSERT_FALSE(recorded.empty());
    ssh_key key = nullptr;
    ASSERT_EQ(ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &key), SSH_OK);
    char* base64 = nullptr;
    ASSERT_EQ(ssh_pki_export_pubkey_base64(key, &base64), SSH_OK);
    const std::string other = "[127.0.0.1]:" + std::to_string(server.port) + " ssh-ed25519 " + base64 + "\n";
    ssh_string_free_char(base64);
    ssh_key_free(key);
    testhost::WriteFileBytes(known, "# hosts\n" + other);
    auto changed = RunHiddenScript("ssh_run_changed", server.Line() + "SEND \"s3cret\\n\"\r\n" + kDialogue, "",
                                   server.Env());
    EXPECT_EQ(changed.process.exitStatus, 1);
    EXPECT_EQ(changed.transcript, kStart + "Error 42003\r\nSSH host key changed: " + known +
                                      " line 2\r\nClosed connection.\r\n");
    EXPECT_EQ(testhost::ReadFileBytes(known), "# hosts\n" + other);

    testhost::WriteFileBytes(known, "");
    auto env = server.Env();
    env.back() = "VARNEL_SSH_STRICT=yes";
    auto strict = RunHiddenScript("ssh_run_strict", server.Line() + kDialogue, "", env);
    EXPECT_EQ(strict.process.exitStatus, 1);
    EXPECT_EQ(strict.transcript,
              kStart + "Error 42002\r\nSSH host key unknown (strict checking)\r\nClosed connection.\r\n");

    TestServer closing("ssh_run_closing", "closeauth");
    auto closed = RunHiddenScript("ssh_run_closeauth", closing.Line() + kDialogue, "", closing.Env());
    EXPECT_EQ(closed.process.exitStatus, 1);
    EXPECT_EQ(closed.transcript,
              kStart + closing.Recorded() + "Error 42001\r\nSSH connection failed\r\nClosed connection.\r\n");

    auto noUser = RunHiddenScript("ssh_run_no_user", "SSH 127.0.0.1 22\r\n", "", server.Env());
    EXPECT_EQ(noUser.process.exitStatus, 1);
    EXPECT_EQ(noUser.transcript, kStart + "Error 42008\r\nSSH needs user@name\r\nClosed connection.\r\n");

    auto second = RunHiddenScript("ssh_run_second", server.Line() + server.Line(), "", server.Env());
    EXPECT_EQ(second.process.exitStatus, 1);
    EXPECT_EQ(second.transcript, kStart + server.Recorded() + "Password: \r\n\r\nOpening connection\r\n"
                                          "Error 40020\r\nInvalid operation at current state\r\nClosed connection.\r\n");
}

// A known-hosts file that is a FIFO with no writer ends the run at once
// (error 42004) instead of holding it past its time limit.
TEST(SshRun, AKnownHostsFifoIsRefusedAtOnce) {
    TestServer server("ssh_run_fifo", "kbdint");
    const std::string fifo = server.dir + "/known_hosts_fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto env = server.Env();
    env[1] = "VARNEL_SSH_KNOWN_HOSTS=" + fifo;
    auto run = RunHiddenScript("ssh_run_fifo", "TIMEOUT 4\r\n" + server.Line() + kDialogue, "", env);
    EXPECT_EQ(run.process.exitStatus, 1);
    EXPECT_FALSE(run.process.timedOut);
    EXPECT_EQ(run.transcript, kStart + "Error 42004\r\nSSH known hosts file cannot be used\r\nClosed connection.\r\n");
}

TEST(SshRun, AServerThatNeverAnswersEndsTheRunAtTheTimeLimit) {
    TestServer silent("ssh_run_silent", "silent");
    auto env = silent.Env();
    env.push_back("VARNEL_TIMEOUT=2");
    auto run = RunHiddenScript("ssh_run_silent", "# a device that accepts and says nothing\r\n" + silent.Line() +
                                                     "SEND \"s3cret\\n\"\r\n", "", env);
    EXPECT_EQ(run.process.exitStatus, 3);
    EXPECT_EQ(run.transcript, kStart + "Timed out after 2 seconds waiting for a connection to 127.0.0.1 on line 2\r\n"
                                       "Closed connection.\r\n");
}

TEST(SshRun, TheDemoDialogueAgainstSshdByKey) {
    testhost::SshdPeer sshd("ssh_run_sshd");
    std::string whyNot;
    if (!sshd.Start(whyNot)) {
        if (testhost::MustNotSkip()) FAIL() << "sshd cannot run: " << whyNot;
        GTEST_SKIP() << "sshd cannot run: " << whyNot;
    }
    // By key there is no password exchange: the shell's welcome is the first block.
    const std::string script = "SSH " + sshd.user() + "@127.0.0.1 " + std::to_string(sshd.port()) + "\r\n" +
                               kDialogue.substr(kFirstWait.size());
    const std::vector<std::string> env = {"HOME=" + sshd.home(), "VARNEL_SSH_KNOWN_HOSTS", "SSH_AUTH_SOCK",
                                          "VARNEL_SSH_STRICT"};
    auto first = RunHiddenScript("ssh_run_sshd_first", script, "", env);
    EXPECT_EQ(first.process.exitStatus, 0) << first.transcript;
    const std::string notice = "SSH host key of 127.0.0.1 port " + std::to_string(sshd.port()) + " recorded in " +
                               sshd.home() + "/.ssh/known_hosts (first use): " +
                               KeyFingerprint(sshd.dir() + "/host_key") + "\r\n";
    EXPECT_EQ(first.transcript, kStart + notice + DialogueTranscript(sshd.user()));
    auto again = RunHiddenScript("ssh_run_sshd_again", script, "", env);
    EXPECT_EQ(again.process.exitStatus, 0);
    EXPECT_EQ(again.transcript, kStart + DialogueTranscript(sshd.user()));
}

TEST(SshRun, TheDemoDialogueAgainstSshdByKeyboardInteractivePassword) {
    const char* user = std::getenv("VARNEL_TEST_SSH_USER");
    const char* password = std::getenv("VARNEL_TEST_SSH_PASSWORD");
    if (user == nullptr || password == nullptr || *user == '\0' || *password == '\0') {
        const std::string why = "no test account: VARNEL_TEST_SSH_USER and VARNEL_TEST_SSH_PASSWORD are not set";
        if (testhost::MustNotSkip()) FAIL() << why;
        GTEST_SKIP() << why;
    }
    // The password goes into a SEND string as it is.
    ASSERT_EQ(std::string(password).find_first_of("\"\\"), std::string::npos);
    testhost::SshdPeer sshd("ssh_run_sshd_pam");
    sshd.UsePasswordLogin(user);
    std::string whyNot;
    if (!sshd.Start(whyNot)) {
        if (testhost::MustNotSkip()) FAIL() << "sshd cannot run: " << whyNot;
        GTEST_SKIP() << "sshd cannot run: " << whyNot;
    }
    // No key and no agent: PAM's "Password: " is the first block, the SEND answers it.
    const std::string home = testhost::MakeScratchDir("ssh_run_sshd_pam_home");
    const std::string script = "SSH " + std::string(user) + "@127.0.0.1 " + std::to_string(sshd.port()) + "\r\n" +
                               "SEND \"" + password + "\\n\"\r\n" + kDialogue;
    const std::vector<std::string> env = {"HOME=" + home, "VARNEL_SSH_KNOWN_HOSTS", "SSH_AUTH_SOCK",
                                          "VARNEL_SSH_STRICT"};
    auto run = RunHiddenScript("ssh_run_sshd_password", script, "", env);
    EXPECT_EQ(run.process.exitStatus, 0) << run.transcript << testhost::ReadFileBytes(sshd.dir() + "/sshd.log");
    const std::string notice = "SSH host key of 127.0.0.1 port " + std::to_string(sshd.port()) + " recorded in " +
                               home + "/.ssh/known_hosts (first use): " + KeyFingerprint(sshd.dir() + "/host_key") +
                               "\r\n";
    EXPECT_EQ(run.transcript, kStart + notice + "Password: \r\n\r\n" + DialogueTranscript(user));
    EXPECT_EQ(run.transcript.find(password), std::string::npos);

    // A refused answer ends the run with status 1.
    auto wrong = RunHiddenScript("ssh_run_sshd_password_wrong", script.substr(0, script.find("SEND")) +
                                                                    "SEND \"not-" + password + "\\n\"\r\n" + kDialogue,
                                 "", env);
    EXPECT_EQ(wrong.process.exitStatus, 1);
    EXPECT_EQ(wrong.transcript, kStart + "Password: \r\n\r\nError 42005\r\nSSH authentication failed\r\n"
                                         "Closed connection.\r\n");
}

}  // namespace

// A device-like shell behind sshd: its prompt comes in two pieces, the first
// in the block that ends SSH, and "show log" pages through 100 pages. One
// WAIT, one ON line and a capture do the job.
TEST(SshRun, SplitPromptAndPagerOfADeviceShellBehindSshd) {
    testhost::SshdPeer sshd("ssh_run_device");
    sshd.UseShell(VARNEL_BUILD_DIR "/varnel-device-shell");
    std::string whyNot;
    if (!sshd.Start(whyNot)) {
        if (testhost::MustNotSkip()) FAIL() << "sshd cannot run: " << whyNot;
        GTEST_SKIP() << "sshd cannot run: " << whyNot;
    }
    const std::string capture = testhost::MakeScratchDir("ssh_run_device_capture") + "/log.txt";
    const std::string script = "TIMEOUT 30\r\nSSH " + sshd.user() + "@127.0.0.1 " + std::to_string(sshd.port()) +
                               "\r\nWAIT \"router1#\"\r\nON \"--More--\" SEND \" \"\r\nCAPTURE \"" + capture +
                               "\"\r\nSEND \"show log\\n\"\r\nWAIT \"router1#\"\r\nCAPTURE OFF\r\n"
                               "SEND \"exit\\n\"\r\nWAIT \"bye\"\r\n";
    auto run = RunHiddenScript("ssh_run_device_run", script, "",
                               {"HOME=" + sshd.home(), "VARNEL_SSH_KNOWN_HOSTS", "SSH_AUTH_SOCK", "VARNEL_SSH_STRICT"});
    EXPECT_EQ(run.process.exitStatus, 0) << run.transcript;
    std::string pages;
    for (int page = 0; page < 100; ++page) {
        for (int i = 1; i <= 24; ++i) pages += "log " + std::to_string(page * 24 + i) + "\r\n";
        pages += " --More-- ";
    }
    EXPECT_EQ(testhost::ReadFileBytes(capture), pages + "\r\nrouter1#");
    const std::string end = "bye\r\n\r\n\r\nEnd of script\r\nClosed connection.\r\n";
    ASSERT_GE(run.transcript.size(), end.size());
    EXPECT_EQ(run.transcript.substr(run.transcript.size() - end.size()), end);
}
