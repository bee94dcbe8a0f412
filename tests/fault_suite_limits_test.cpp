// Faults of unattended runs: hosts that go silent, data that cannot all be
// sent, output paths that are not plain files or cannot be written, signals
// and resource limits. Each case states the transcript, the standard error
// and the exit status it ends with; none of them may hang.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/scripted_host.h"

using namespace testhost;
using namespace std::chrono_literals;

namespace {

const std::string kVarnel = std::string(VARNEL_BUILD_DIR) + "/varnel";
const std::string kHead = "Checking script (clearing output file)\r\nRunning script\r\n";
const std::string kClosed = "Closed connection.\r\n";

ScriptRun RunScript(const std::string& name, const std::string& script, const std::string& out = "",
                    const std::vector<std::string>& env = {}) {
    return RunHiddenScript("limits-" + name, script, out, env);
}

// Runs the program through the shell with a resource limit set first
// (for example "ulimit -n 5").
ProcessResult RunLimited(const std::string& limit, const std::string& script, const std::string& out) {
    return RunProcess({"/bin/sh", "-c", limit + "; exec \"$0\" \"$1\" \"$2\" /hidden", kVarnel, "/r:" + script,
                       "/o:" + out});
}

// Spawns a hidden run in the background; the caller waits for it.
pid_t Spawn(const std::string& script, const std::string& out) {
    std::string r = "/r:" + script, o = "/o:" + out;
    char* argv[] = {const_cast<char*>(kVarnel.c_str()), r.data(), o.data(), const_cast<char*>("/hidden"), nullptr};
    pid_t pid = 0;
    return posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) == 0 ? pid : -1;
}

// Waits up to 30 s for the process to end; its wait status, or -1 (then killed).
int WaitEnd(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 600; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
        std::this_thread::sleep_for(50ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

void WaitForFile(const std::string& path, const std::string& bytes) {
    for (int i = 0; i < 200 && ReadFileBytes(path) != bytes; ++i) std::this_thread::sleep_for(50ms);
}

}  // namespace

// Expectation: each wait on the host ends at its limit with its own line,
// then "Closed connection.", status 3: the WAIT's text, the connection of a
// HOST (a host that accepts but never sends), and a SEND the host never reads.
TEST(FaultSuiteLimits, EachKindOfWaitTimesOut) {
    ScriptedHost silent([](HostConnection& c) {
        c.Send("banner\r\n");
        c.ReadToEnd(30s);
    });
    ScriptRun wait = RunScript("wait", "TIMEOUT 1\r\n" + HostLine(silent.Port()) + "WAIT \"Never\\n\"\r\n");
    EXPECT_EQ(wait.process.exitStatus, 3) << wait.process.err;
    EXPECT_EQ(wait.transcript, kHead + "Opening connection\r\nbanner\r\n\r\n\r\n"
                                       "Timed out after 1 seconds waiting for \"Never\r\n\" on line 3\r\n" + kClosed);
    EXPECT_EQ(wait.process.err, "");

    ScriptedHost mute([](HostConnection& c) { c.ReadToEnd(30s); });
    ScriptRun host = RunScript("host", "# guarded\r\nTIMEOUT 2\r\n" + HostLine(mute.Port()) + "WAIT \"x\"\r\n");
    EXPECT_EQ(host.process.exitStatus, 3);
    EXPECT_EQ(host.transcript, kHead + "Opening connection\r\nTimed out after 2 seconds waiting for a connection "
                                       "to 127.0.0.1 on line 3\r\n" + kClosed);

    ScriptedHost deaf([](HostConnection& c) {
        c.Send("hi>");
        std::this_thread::sleep_for(8s);
    });
    const std::string big(32u << 20, 's');
    ScriptRun send = RunScript("send", HostLine(deaf.Port()) + "TIMEOUT 1\r\nSEND \"" + big + "\"\r\nECHO \"no\"\r\n");
    EXPECT_EQ(send.process.exitStatus, 3);
    EXPECT_EQ(send.transcript, kHead + "Opening connection\r\nhi>\r\n\r\nTimed out after 1 seconds waiting to send "
                                       "on line 3\r\n" + kClosed);
    silent.Join();
    mute.Join();
    deaf.Join();
}

// Expectation: VARNEL_TIMEOUT guards a script that sets no limit; a script's
// TIMEOUT replaces it. A value that is not a number of seconds starts nothing
// (one stderr line, status 2); bad TIMEOUT arguments are errors 5 and 6.
TEST(FaultSuiteLimits, DefaultLimitFromTheEnvironmentAndBadValues) {
    ScriptedHost silent([](HostConnection& c) {
        c.Send("banner\r\n");
        c.ReadToEnd(30s);
    });
    const std::string script = HostLine(silent.Port()) + "WAIT \"never\"\r\n";
    ScriptRun guarded = RunScript("env", script, "", {"VARNEL_TIMEOUT=1"});
    EXPECT_EQ(guarded.process.exitStatus, 3);
    EXPECT_EQ(guarded.transcript, kHead + "Opening connection\r\nbanner\r\n\r\n\r\n"
                                          "Timed out after 1 seconds waiting for \"never\" on line 2\r\n" + kClosed);
    ScriptRun replaced = RunScript("env2", "TIMEOUT 1.5\r\n" + script, "", {"VARNEL_TIMEOUT=1000"});
    EXPECT_EQ(replaced.process.exitStatus, 3);
    EXPECT_NE(replaced.transcript.find("Timed out after 2 seconds waiting for \"never\" on line 3\r\n"),
              std::string::npos) << replaced.transcript;

    ScriptRun bad = RunScript("envbad", script, "", {"VARNEL_TIMEOUT=10s"});
    EXPECT_EQ(bad.process.exitStatus, 2);
    EXPECT_EQ(bad.process.err, "varnel: VARNEL_TIMEOUT is not a number of seconds: 10s\n");
    EXPECT_EQ(bad.transcript, "") << "nothing ran";

    const std::pair<std::string, std::string> cases[] = {
        {"TIMEOUT -1", "Error 5\r\nInvalid procedure call or argument\r\n"},
        {"TIMEOUT abc", "Error 5\r\nInvalid procedure call or argument\r\n"},
        {"TIMEOUT", "Error 5\r\nInvalid procedure call or argument\r\n"},
        {"TIMEOUT 2147484", "Error 6\r\nOverflow\r\n"},
    };
    for (const auto& [line, error] : cases) {
        ScriptRun r = RunScript("badarg", line + "\r\nECHO \"not reached\"\r\n");
        EXPECT_EQ(r.process.exitStatus, 1) << line;
        EXPECT_EQ(r.transcript, kHead + error + kClosed) << line;
    }
    silent.Join();
}

// Expectation: a large SEND on the last line is sent whole before the
// connection closes, although the host's echo has already continued the run
// to its end ("End of script", status 0). A host that resets before taking
// everything ends the run with the error line instead: no "End of script",
// status 1.
TEST(FaultSuiteLimits, QueuedDataGoesOutBeforeTheEnd) {
    const size_t size = 8u << 20;
    std::atomic<size_t> got{0};
    ScriptedHost reader([&](HostConnection& c) {
        c.Send("hi>");
        std::this_thread::sleep_for(300ms);
        c.Send("echo");
        c.ReadToEnd(60s);
        got = c.Received().size();
    });
    const std::string text(size, 'q');
    ScriptRun whole = RunScript("drain", HostLine(reader.Port()) + "SEND \"" + text + "\"\r\n");
    reader.Join();
    EXPECT_EQ(whole.process.exitStatus, 0) << whole.process.err;
    EXPECT_EQ(got.load(), size);
    EXPECT_EQ(whole.transcript, kHead + "Opening connection\r\nhi>\r\n\r\necho\r\n\r\nEnd of script\r\n" + kClosed);

    ScriptedHost resetter([&](HostConnection& c) {
        c.Send("hi>");
        std::this_thread::sleep_for(300ms);
        c.Send("echo");
        std::this_thread::sleep_for(500ms);
        c.Reset();
    });
    ScriptRun cut = RunScript("drainreset", HostLine(resetter.Port()) + "SEND \"" + text + "\"\r\n");
    resetter.Join();
    EXPECT_EQ(cut.process.exitStatus, 1);
    EXPECT_EQ(cut.transcript.find("End of script"), std::string::npos) << cut.transcript;
    const std::string tail = "Error 10054\r\nConnection reset by peer.\r\n" + kClosed;
    ASSERT_GE(cut.transcript.size(), tail.size());
    EXPECT_EQ(cut.transcript.substr(cut.transcript.size() - tail.size()), tail) << cut.transcript;
}

// Expectation: an empty SEND without a WAIT goes on at once (it used to wait
// for a completion that never comes).
TEST(FaultSuiteLimits, EmptySendGoesOnAtOnce) {
    ScriptedHost silent([](HostConnection& c) {
        c.Send("banner\r\n");
        c.ReadToEnd(30s);
    });
    ScriptRun r = RunScript("emptysend", HostLine(silent.Port()) + "SEND \"\"\r\nECHO \"after\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0);
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\nbanner\r\n\r\n\r\nafter\r\nEnd of script\r\n" + kClosed);
    silent.Join();
}

// Expectation: clearing deletes only a regular file. A link to a regular
// file keeps the link and empties its target; a link to a device stays and
// the device is written as it is; a FIFO without a reader stays, is a write
// failure (status 4), and the run does not hang; the socket log mirror on such
// a FIFO does not hang the run either.
TEST(FaultSuiteLimits, ClearingKeepsEverythingButRegularFiles) {
    namespace fs = std::filesystem;
    const std::string dir = MakeScratchDir("limits-clear");
    WriteFileBytes(dir + "/target.txt", "old contents");
    fs::create_symlink(dir + "/target.txt", dir + "/link.txt");
    ScriptRun viaLink = RunScript("clearlink", "ECHO \"x\"\r\n", dir + "/link.txt");
    EXPECT_EQ(viaLink.process.exitStatus, 0);
    EXPECT_TRUE(fs::is_symlink(dir + "/link.txt"));
    EXPECT_EQ(ReadFileBytes(dir + "/target.txt"), kHead + "x\r\nEnd of script\r\n" + kClosed);

    fs::create_symlink("/dev/null", dir + "/null");
    ScriptRun device = RunScript("cleardev", "ECHO \"x\"\r\n", dir + "/null");
    EXPECT_EQ(device.process.exitStatus, 0) << device.process.err;
    EXPECT_TRUE(fs::is_symlink(dir + "/null"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    // (Run directly: reading a FIFO back afterwards would wait for a writer.)
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    WriteFileBytes(dir + "/s.txt", "ECHO \"x\"\r\n");
    ProcessResult fifo = RunProcess({kVarnel, "/r:" + dir + "/s.txt", "/o:" + dir + "/fifo", "/hidden"});
    EXPECT_EQ(fifo.exitStatus, 4);
    EXPECT_FALSE(fifo.timedOut);
    EXPECT_EQ(fifo.err, "varnel: the output file could not be written: " + dir + "/fifo: No such device or address\n");
    EXPECT_TRUE(fs::is_fifo(dir + "/fifo"));

    ProcessResult mirror = RunProcess({kVarnel, "/r:" + dir + "/s.txt", "/o:" + dir + "/out.txt", "/hidden"},
                                      {"VARNEL_SOCKET_LOG=" + dir + "/fifo"});
    EXPECT_EQ(mirror.exitStatus, 0);
    EXPECT_FALSE(mirror.timedOut);
    EXPECT_EQ(ReadFileBytes(dir + "/out.txt"), kHead + "x\r\nEnd of script\r\n" + kClosed);
}

// Expectation: an output path naming the script itself (directly or through
// a link) runs nothing: one stderr line, status 2, the script untouched.
TEST(FaultSuiteLimits, OutputFileThatIsTheScriptIsRefused) {
    const std::string dir = MakeScratchDir("limits-self");
    const std::string script = "ECHO \"x\"\r\n";
    WriteFileBytes(dir + "/job.txt", script);
    std::filesystem::create_symlink(dir + "/job.txt", dir + "/alias.txt");
    for (const std::string& out : {dir + "/job.txt", dir + "/alias.txt"}) {
        ProcessResult r = RunProcess({kVarnel, "/r:" + dir + "/job.txt", "/o:" + out, "/hidden"});
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.err, "varnel: the output file is the script file: " + out + "\n");
        EXPECT_EQ(ReadFileBytes(dir + "/job.txt"), script);
    }
}

// Expectation: a file-size limit reached while the host floods is a write
// failure: the run still ends as it would (the host's close), the first
// failure is told on stderr, status 4, and no SIGXFSZ kills the process.
TEST(FaultSuiteLimits, FileSizeLimitIsAWriteFailure) {
    ScriptedHost flood([](HostConnection& c) {
        c.Send(std::string(200000, 'f'));
        std::this_thread::sleep_for(300ms);
        c.Close();
    });
    const std::string dir = MakeScratchDir("limits-fsize");
    WriteFileBytes(dir + "/s.txt", HostLine(flood.Port()) + "WAIT \"never\"\r\n");
    ProcessResult r = RunLimited("ulimit -f 64", dir + "/s.txt", dir + "/out.txt");
    EXPECT_EQ(r.exitStatus, 4);
    EXPECT_EQ(r.err, "varnel: the output file could not be written: " + dir + "/out.txt: File too large\n");
    EXPECT_LT(ReadFileBytes(dir + "/out.txt").size(), 200000u);
    flood.Join();
}

// Expectation: /o:/dev/stdout on a pipe whose reader has gone is a write
// failure (status 4), never death by SIGPIPE (141).
TEST(FaultSuiteLimits, BrokenPipeIsAWriteFailure) {
    const std::string dir = MakeScratchDir("limits-pipe");
    WriteFileBytes(dir + "/s.txt", "ECHO \"x\"\r\n");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::string r = "/r:" + dir + "/s.txt", o = "/o:/dev/stdout";
    char* argv[] = {const_cast<char*>(kVarnel.c_str()), r.data(), o.data(), const_cast<char*>("/hidden"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    int status = WaitEnd(pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 4);
}

// Expectation: SIGINT and SIGHUP end a waiting run like SIGTERM does, and a
// signal cuts a DELAY short the same way. While the program cannot get back
// to its loop (a write to a FIFO whose reader takes nothing), the first
// SIGTERM waits, and a second one ends the process at once with 128 + 15.
TEST(FaultSuiteLimits, StopSignals) {
    ScriptedHost silent([](HostConnection& c) {
        c.Send("banner\r\n");
        c.ReadToEnd(30s);
    });
    const std::string dir = MakeScratchDir("limits-signals");
    WriteFileBytes(dir + "/s.txt", HostLine(silent.Port()) + "WAIT \"never\"\r\n");
    const std::string waiting = kHead + "Opening connection\r\nbanner\r\n\r\n\r\n";
    for (int signo : {SIGINT, SIGHUP}) {
        const std::string out = dir + "/out" + std::to_string(signo) + ".txt";
        pid_t pid = Spawn(dir + "/s.txt", out);
        ASSERT_GT(pid, 0);
        WaitForFile(out, waiting);
        ::kill(pid, signo);
        int status = WaitEnd(pid);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 128 + signo);
        EXPECT_EQ(ReadFileBytes(out), waiting + "Stopped by signal " + (signo == SIGINT ? "SIGINT" : "SIGHUP") +
                                          "\r\n" + kClosed);
    }

    WriteFileBytes(dir + "/d.txt", "ECHO \"pause\"\r\nDELAY 60\r\nECHO \"not reached\"\r\n");
    pid_t pid = Spawn(dir + "/d.txt", dir + "/delay.txt");
    ASSERT_GT(pid, 0);
    WaitForFile(dir + "/delay.txt", kHead + "pause\r\n");
    ::kill(pid, SIGINT);
    int status = WaitEnd(pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
    EXPECT_EQ(ReadFileBytes(dir + "/delay.txt"), kHead + "pause\r\nStopped by signal SIGINT\r\n" + kClosed);

    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    const int reader = ::open((dir + "/fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    WriteFileBytes(dir + "/big.txt", "ECHO \"" + std::string(1 << 20, 'e') + "\"\r\n");
    pid = Spawn(dir + "/big.txt", dir + "/fifo");
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(500ms);
    ::kill(pid, SIGTERM);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "one signal waits for the loop";
    ::kill(pid, SIGTERM);
    status = WaitEnd(pid);
    ::close(reader);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    silent.Join();
}

// Expectation: with too few descriptors every start-up failure is one line on
// stderr and status 2, never an abort. Which limits fail where depends on the
// descriptors the test inherits, so a range is tried: each one either runs
// (0), fails in the system's loader before the program starts (127), or
// fails with one line and status 2; at least one must be the last kind.
TEST(FaultSuiteLimits, TooFewDescriptorsAtStartUp) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own runtime needs descriptors (/proc) and reports its
    // own failures when none are left, which says nothing about the program.
    GTEST_SKIP() << "not meaningful under the sanitizers";
#endif
    const std::string dir = MakeScratchDir("limits-nofile");
    WriteFileBytes(dir + "/s.txt", "ECHO \"x\"\r\n");
    int refused = 0;
    for (int n = 4; n <= 14; ++n) {
        ProcessResult r = RunLimited("ulimit -n " + std::to_string(n), dir + "/s.txt", dir + "/out.txt");
        if (r.exitStatus == 0 || r.exitStatus == 127) continue;
        ++refused;
        EXPECT_EQ(r.exitStatus, 2) << n << ": " << r.err;
        EXPECT_EQ(r.err.rfind("varnel: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_GT(refused, 0);
}
