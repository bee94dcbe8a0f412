// Runs of the real build/varnel-fleet against the demo host and scripted
// loopback hosts: transcripts, summaries, exit statuses, shards, retries,
// signals and the progress line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fleet/inventory.h"
#include "tests/support/scripted_host.h"

using namespace testhost;
namespace fs = std::filesystem;

namespace {

const std::string kFleet = VARNEL_BUILD_DIR "/varnel-fleet";
const std::string kVarnel = VARNEL_BUILD_DIR "/varnel";
const std::string kDemoHost = VARNEL_BUILD_DIR "/varnel-demo-host";

// Logs in to the demo host, says which row it is, and leaves.
const std::string kLoginScript =
    "HOST %host% %port%\n"
    "SEND \"admin\\n\"\n"
    "WAIT \"Password:\"\n"
    "SEND \"%env:FLEET_TEST_PASSWORD%\\n\"\n"
    "WAIT \"varnel-demo>\"\n"
    "ECHO \"row %name% at 100%%\"\n"
    "SEND \"exit\\n\"\n"
    "WAIT \"Goodbye.\"\n";

fleet::Inventory ReadCsv(const std::string& path) {
    fleet::Inventory csv;
    std::string error;
    EXPECT_TRUE(fleet::ParseInventory(ReadFileBytes(path), csv, error)) << error << "\n" << ReadFileBytes(path);
    return csv;
}

// Every field of summary.csv but the seconds, row by row, joined by "|".
std::vector<std::string> SummaryRows(const std::string& path) {
    fleet::Inventory csv = ReadCsv(path);
    EXPECT_EQ(csv.columns, (std::vector<std::string>{"host", "port", "status", "reason", "seconds", "bytes", "attempts"}));
    std::vector<std::string> rows;
    for (const auto& r : csv.rows) rows.push_back(r[0] + "|" + r[1] + "|" + r[2] + "|" + r[3] + "|" + r[6]);
    return rows;
}

ProcessResult RunFleet(const std::string& dir, std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), kFleet);
    env.push_back("TMPDIR=" + dir);
    env.push_back("FLEET_TEST_PASSWORD=varnel");
    return RunProcess(args, env, std::chrono::seconds(300));
}

// The private script folders the fleet left behind in dir.
int PrivateFolders(const std::string& dir) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir)) n += e.path().filename().string().rfind("varnel-fleet.", 0) == 0;
    return n;
}

}  // namespace

TEST(Fleet, EachHostsTranscriptIsWhatASingleRunGives) {
    BackgroundProcess demo({kDemoHost});
    const std::string port = demo.FirstLine();
    const std::string dir = MakeScratchDir("fleet_single");
    WriteFileBytes(dir + "/inv.csv", "host,port,name\n127.0.0.1," + port + ",one\n127.0.0.1," + port + ",two\n");
    WriteFileBytes(dir + "/job.txt", kLoginScript);
    ProcessResult r = RunFleet(dir, {"-o", dir + "/out", dir + "/inv.csv", dir + "/job.txt"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find('\r'), std::string::npos) << "no progress line when standard output is not a terminal";
    EXPECT_EQ(r.out.substr(0, r.out.rfind(" in ")),
              "status                    hosts\n0 End of script               2\nall                           2");
    EXPECT_EQ(SummaryRows(dir + "/out/summary.csv"),
              (std::vector<std::string>{"127.0.0.1|" + port + "|0||1", "127.0.0.1|" + port + "|0||1"}));
    EXPECT_EQ(PrivateFolders(dir), 0) << "the expanded scripts are removed";

    // The same script filled in by hand and run by varnel itself.
    WriteFileBytes(dir + "/by-hand.txt", "HOST 127.0.0.1 " + port +
                                             "\nSEND \"admin\\n\"\nWAIT \"Password:\"\nSEND \"varnel\\n\"\n"
                                             "WAIT \"varnel-demo>\"\nECHO \"row two at 100%\"\nSEND \"exit\\n\"\n"
                                             "WAIT \"Goodbye.\"\n");
    ProcessResult single = RunProcess({kVarnel, "/r:" + dir + "/by-hand.txt", "/o:" + dir + "/single.txt", "/hidden"});
    ASSERT_EQ(single.exitStatus, 0);
    const std::string transcript = ReadFileBytes(dir + "/out/127.0.0.1-2.txt");
    EXPECT_EQ(transcript, ReadFileBytes(dir + "/single.txt"));
    EXPECT_NE(transcript.find("\r\nrow two at 100%\r\n"), std::string::npos) << transcript;
    fleet::Inventory csv = ReadCsv(dir + "/out/summary.csv");
    EXPECT_EQ(csv.rows[1][5], std::to_string(transcript.size()));
}

TEST(Fleet, SummaryOfHostsThatSucceedRefuseAndClose) {
    BackgroundProcess demo({kDemoHost});
    ScriptedHost closer([](HostConnection& c) {
        c.Send("\r\nlogin: ");
        c.ReadUntil("admin");
        c.Close();
    });
    const std::string dir = MakeScratchDir("fleet_mix");
    const std::string refused = std::to_string(ClosedPort());
    const std::string closing = std::to_string(closer.Port());
    WriteFileBytes(dir + "/inv.csv", "name,host,port\r\n"
                                     "a,ok-host," + demo.FirstLine() + "\r\n"
                                     "b,refusing," + refused + "\r\n"
                                     "c,closing," + closing + "\r\n");
    // The host column names the row; every host is this machine.
    WriteFileBytes(dir + "/job.txt", "HOST 127.0.0.1 %port%\n" + kLoginScript.substr(kLoginScript.find('\n') + 1));
    ProcessResult r = RunFleet(dir, {"-o", dir + "/out", dir + "/inv.csv", dir + "/job.txt"});
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    EXPECT_EQ(SummaryRows(dir + "/out/summary.csv"),
              (std::vector<std::string>{"ok-host|" + demo.FirstLine() + "|0||1",
                                        "refusing|" + refused + "|1|Error 10061: Connection refused.|1",
                                        "closing|" + closing + "|1|Connection closed by host.|1"}));
    EXPECT_EQ(r.out.substr(0, r.out.find(" in ")),
              "status                    hosts\n0 End of script               1\n1 other ending                2\n"
              "all                           3");
    EXPECT_EQ(r.out.substr(r.out.find("\n\n")),
              "\n\nfailed hosts:\n"
              "host      port   status  reason\n"
              "refusing  " + refused + "  1       Error 10061: Connection refused.\n"
              "closing   " + closing + "  1       Connection closed by host.\n");
    EXPECT_NE(ReadFileBytes(dir + "/out/ok-host.txt").find("row a at 100%\r\nGoodbye."), std::string::npos);
    EXPECT_EQ(ReadFileBytes(dir + "/out/refusing.txt"),
              "Checking script (clearing output file)\r\nRunning script\r\nOpening connection\r\nError 10061\r\n"
              "Connection refused.\r\nClosed connection.\r\n");
}

// --timeout gives each run its VARNEL_TIMEOUT: a host that never answers
// ends with status 3, and the next host still runs.
TEST(Fleet, TimeOutEndsASilentHostsRunWithStatus3) {
    BackgroundProcess demo({kDemoHost});
    ScriptedHost silent([](HostConnection& c) {
        c.Send("\r\nlogin: ");
        c.ReadToEnd(std::chrono::seconds(60));
    });
    const std::string dir = MakeScratchDir("fleet_timeout");
    WriteFileBytes(dir + "/inv.csv", "host,port,name\nsilent," + std::to_string(silent.Port()) + ",s\nok," +
                                         demo.FirstLine() + ",o\n");
    WriteFileBytes(dir + "/job.txt", "HOST 127.0.0.1 %port%\n" + kLoginScript.substr(kLoginScript.find('\n') + 1));
    ProcessResult r = RunFleet(dir, {"-j", "1", "--timeout", "2", "-o", dir + "/out", dir + "/inv.csv", dir + "/job.txt"},
                               {"VARNEL_TIMEOUT=1000"});
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    fleet::Inventory csv = ReadCsv(dir + "/out/summary.csv");
    ASSERT_EQ(csv.rows.size(), 2u);
    EXPECT_EQ(csv.rows[0][2], "3");
    EXPECT_NE(csv.rows[0][3], "");
    EXPECT_EQ(csv.rows[1][2], "0");
    EXPECT_NE(r.out.find("\n3 time-out                    1\n"), std::string::npos) << r.out;
}

TEST(Fleet, BadInventoriesAndScriptsRunNothing) {
    const std::string dir = MakeScratchDir("fleet_refused");
    WriteFileBytes(dir + "/inv.csv", "host,port\nsw1,23\n");
    WriteFileBytes(dir + "/bad.csv", "host,port\nsw1,23,x\n");
    WriteFileBytes(dir + "/empty.csv", "");
    WriteFileBytes(dir + "/job.txt", "HOST %host% %port%\nSEND \"%user%\\n\"\n");
    WriteFileBytes(dir + "/ok.txt", "ECHO \"%host%\"\n");
    WriteFileBytes(dir + "/empty.txt", "");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string inv = dir + "/inv.csv";
    const Case cases[] = {
        {{inv, dir + "/job.txt"}, dir + "/job.txt: script line 2: %user% names no column of the inventory\n"},
        {{dir + "/bad.csv", dir + "/ok.txt"}, dir + "/bad.csv: line 2: 3 fields where the header has 2\n"},
        {{dir + "/empty.csv", dir + "/ok.txt"}, dir + "/empty.csv: the inventory is empty: no header row\n"},
        {{inv, dir + "/empty.txt"}, dir + "/empty.txt: the script is empty\n"},
        {{inv, dir + "/none.txt"}, "cannot read the script " + dir + "/none.txt\n"},
        {{"--shard", "2/3", inv, dir + "/ok.txt"}, "shard 2/3 holds no rows of " + inv + "\n"},
        {{"-j", "0", inv, dir + "/ok.txt"},
         "-j takes a number of runs from 1 to 100000, not \"0\"\nTry 'varnel-fleet --help'.\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"-o", dir + "/out"});
        ProcessResult r = RunFleet(dir, args);
        EXPECT_EQ(r.exitStatus, 2) << c.err;
        EXPECT_EQ(r.err, "varnel-fleet: " + c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(dir + "/out/summary.csv")) << c.err;
    }
    ProcessResult help = RunProcess({kFleet, "--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out.rfind("Usage: varnel-fleet [OPTIONS] INVENTORY SCRIPT\n", 0), 0u);
}

TEST(Fleet, ShardsTakeEveryNthRow) {
    const std::string dir = MakeScratchDir("fleet_shard");
    WriteFileBytes(dir + "/inv.csv", "host\nh1\nh2\nh3\nh4\nh5\n");
    WriteFileBytes(dir + "/job.txt", "ECHO \"I am %host%\"\n");
    ProcessResult r = RunFleet(dir, {"--shard", "2/2", "-o", dir + "/out", dir + "/inv.csv", dir + "/job.txt"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(SummaryRows(dir + "/out/summary.csv"), (std::vector<std::string>{"h2||0||1", "h4||0||1"}));
    EXPECT_EQ(ReadFileBytes(dir + "/out/h4.txt"),
              "Checking script (clearing output file)\r\nRunning script\r\nI am h4\r\nEnd of script\r\n"
              "Closed connection.\r\n");
    EXPECT_FALSE(fs::exists(dir + "/out/h1.txt"));
    EXPECT_FALSE(fs::exists(dir + "/out/h3.txt"));
}

TEST(Fleet, RetriesRunAFailedHostAgain) {
    std::atomic<int> connections{0};
    ScriptedHost flaky([&](HostConnection& c) {
        // The first two connections close at once; later ones greet.
        if (++connections <= 2) return c.Close();
        c.Send("hello\r\n");
        c.ReadToEnd();
    });
    const std::string dir = MakeScratchDir("fleet_retries");
    WriteFileBytes(dir + "/inv.csv", "host,port\n127.0.0.1," + std::to_string(flaky.Port()) + "\n");
    WriteFileBytes(dir + "/job.txt", "HOST %host% %port%\nECHO \"in\"\n");
    const std::string port = std::to_string(flaky.Port());
    ProcessResult once = RunFleet(dir, {"--retries", "1", "-o", dir + "/a", dir + "/inv.csv", dir + "/job.txt"});
    EXPECT_EQ(once.exitStatus, 1);
    EXPECT_EQ(SummaryRows(dir + "/a/summary.csv"),
              (std::vector<std::string>{"127.0.0.1|" + port + "|1|Connection closed by host.|2"}));
    connections = 0;
    ProcessResult twice = RunFleet(dir, {"--retries", "2", "-o", dir + "/b", dir + "/inv.csv", dir + "/job.txt"});
    EXPECT_EQ(twice.exitStatus, 0);
    EXPECT_EQ(SummaryRows(dir + "/b/summary.csv"), (std::vector<std::string>{"127.0.0.1|" + port + "|0||3"}));
    EXPECT_EQ(ReadFileBytes(dir + "/b/127.0.0.1.txt"),
              "Checking script (clearing output file)\r\nRunning script\r\nOpening connection\r\nhello\r\n\r\n\r\n"
              "in\r\nEnd of script\r\nClosed connection.\r\n");
}

namespace {

// varnel-fleet started in the background, its standard output into a file
// (or a terminal: usePty), so that a test can act while it runs.
class FleetProcess {
public:
    FleetProcess(const std::string& dir, const std::vector<std::string>& args, bool usePty = false) {
        std::vector<std::string> argv{kFleet};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string out = dir + "/stdout.txt";
        pid_ = usePty ? ::forkpty(&ptyFd_, nullptr, nullptr, nullptr) : ::fork();
        if (pid_ == 0) {
            if (!usePty) {
                int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                ::dup2(fd, 1);
            }
            ::setenv("TMPDIR", dir.c_str(), 1);
            ::setenv("FLEET_TEST_PASSWORD", "varnel", 1);
            std::vector<char*> a;
            for (auto& s : argv) a.push_back(s.data());
            a.push_back(nullptr);
            ::execv(a[0], a.data());
            ::_exit(127);
        }
    }
    ~FleetProcess() {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (ptyFd_ >= 0) ::close(ptyFd_);
    }
    pid_t pid() const { return pid_; }
    // Everything written to the terminal until the program closed it.
    std::string ReadTerminal() {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(ptyFd_, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0) text.append(buf, static_cast<size_t>(n));
        }
        return text;
    }
    int Wait() {
        int wstatus = 0;
        for (int i = 0; i < 3000; ++i) {
            if (::waitpid(pid_, &wstatus, WNOHANG) == pid_) {
                return status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int ptyFd_ = -1;
    int status_ = -1;
};

// Waits (bounded) until count transcripts in dir hold text.
bool TranscriptsHold(const std::string& dir, const std::string& text, int count) {
    for (int i = 0; i < 600; ++i) {
        int n = 0;
        if (fs::exists(dir)) {
            for (const auto& e : fs::directory_iterator(dir)) n += ReadFileBytes(e.path()).find(text) != std::string::npos;
        }
        if (n >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace

// SIGTERM and SIGHUP alike: no new runs, the signal passed on, the summary written.
TEST(Fleet, StopSignalsStopNewRunsPassTheSignalOnAndStillSumUp) {
    BackgroundProcess demo({kDemoHost});
    const std::string port = demo.FirstLine();
    for (int signo : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE("signal " + std::to_string(signo));
        const std::string dir = MakeScratchDir("fleet_stop_" + std::to_string(signo));
        WriteFileBytes(dir + "/inv.csv", "host,port\ndev1," + port + "\ndev2," + port + "\ndev3," + port + "\ndev4," +
                                             port + "\n");
        WriteFileBytes(dir + "/job.txt", "HOST 127.0.0.1 %port%\nSEND \"admin\\n\"\nWAIT \"Password:\"\n"
                                         "SEND \"%env:FLEET_TEST_PASSWORD%\\n\"\nWAIT \"varnel-demo>\"\n"
                                         "SEND \"wait 120\\n\"\nWAIT \"waited\"\n");
        FleetProcess fleet(dir, {"-j", "2", "-o", dir + "/out", dir + "/inv.csv", dir + "/job.txt"});
        ASSERT_TRUE(TranscriptsHold(dir + "/out", "varnel-demo>", 2));
        // While the runs go on, their expanded scripts (the password in them)
        // are in no file: the private folder holds only the runs' errors.
        for (const auto& folder : fs::directory_iterator(dir)) {
            if (folder.path().filename().string().rfind("varnel-fleet.", 0) != 0) continue;
            struct stat st {};
            ASSERT_EQ(::stat(folder.path().c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u);
            for (const auto& f : fs::directory_iterator(folder.path()))
                EXPECT_EQ(ReadFileBytes(f.path()).find("varnel"), std::string::npos) << f.path();
        }
        ::kill(fleet.pid(), signo);
        const std::string status = std::to_string(128 + signo);
        EXPECT_EQ(fleet.Wait(), 128 + signo);
        EXPECT_EQ(SummaryRows(dir + "/out/summary.csv"),
                  (std::vector<std::string>{"dev1|" + port + "|" + status + "|stopped by signal " + std::to_string(signo) + "|1",
                                            "dev2|" + port + "|" + status + "|stopped by signal " + std::to_string(signo) + "|1",
                                            "dev3|" + port + "||not started|0", "dev4|" + port + "||not started|0"}));
        const std::string out = ReadFileBytes(dir + "/stdout.txt");
        std::string stopped = status + " signal " + std::to_string(signo);
        stopped.resize(24, ' ');
        EXPECT_NE(out.find("- not started                 2\n" + stopped + "      2\nall                           4"),
                  std::string::npos)
            << out;
        EXPECT_EQ(PrivateFolders(dir), 0);
    }
    EXPECT_TRUE(demo.Running());
}

// A fleet killed outright leaves no run behind: each run ends when its fleet is gone.
TEST(Fleet, RunsEndWhenTheFleetIsKilled) {
    std::atomic<int> closed{0};
    ScriptedHost holder([&](HostConnection& c) {
        c.Send("prompt> ");
        if (c.ReadToEnd(std::chrono::seconds(120))) ++closed;
    });
    const std::string dir = MakeScratchDir("fleet_killed");
    WriteFileBytes(dir + "/inv.csv", "host\na\nb\n");
    WriteFileBytes(dir + "/job.txt", "HOST 127.0.0.1 " + std::to_string(holder.Port()) + "\nWAIT \"never\"\n");
    FleetProcess fleet(dir, {"-o", dir + "/out", dir + "/inv.csv", dir + "/job.txt"});
    ASSERT_TRUE(TranscriptsHold(dir + "/out", "prompt> ", 2));
    ::kill(fleet.pid(), SIGKILL);
    EXPECT_EQ(fleet.Wait(), 128 + SIGKILL);
    for (int i = 0; i < 1200 && closed < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(closed, 2) << "the runs go on after their fleet was killed";
    EXPECT_TRUE(TranscriptsHold(dir + "/out", "Stopped by signal SIGHUP", 2));
}

TEST(Fleet, ProgressLineOnlyOnATerminalAndNotWithQuiet) {
    const std::string dir = MakeScratchDir("fleet_progress");
    std::string inv = "host\n";
    for (int i = 0; i < 6; ++i) inv += "h" + std::to_string(i) + "\n";
    WriteFileBytes(dir + "/inv.csv", inv);
    WriteFileBytes(dir + "/job.txt", "ECHO \"%host%\"\nDELAY 1\n");
    FleetProcess shown(dir, {"-j", "3", "-o", dir + "/a", dir + "/inv.csv", dir + "/job.txt"}, true);
    const std::string terminal = shown.ReadTerminal();
    EXPECT_EQ(shown.Wait(), 0);
    EXPECT_EQ(terminal.rfind("\r0/6 done, 0 failed, 3 running, 0.0/s, ? left\x1b[K", 0), 0u) << terminal;
    EXPECT_NE(terminal.find(" done, 0 failed, 3 running, "), std::string::npos);
    EXPECT_NE(terminal.find("\r\x1b[Kstatus                    hosts\r\n0 End of script               6\r\n"),
              std::string::npos)
        << terminal;
    FleetProcess quiet(dir, {"--quiet", "-o", dir + "/b", dir + "/inv.csv", dir + "/job.txt"}, true);
    const std::string plain = quiet.ReadTerminal();
    EXPECT_EQ(quiet.Wait(), 0);
    EXPECT_EQ(plain.rfind("status                    hosts\r\n0 End of script               6\r\n", 0), 0u) << plain;
    EXPECT_EQ(plain.find("\x1b"), std::string::npos);
}

TEST(Fleet, FiveHundredRowsAgainstTheDemoHost) {
    BackgroundProcess demo({kDemoHost});
    const std::string dir = MakeScratchDir("fleet_500");
    std::string inv = "host,port,name\n";
    for (int i = 1; i <= 500; ++i) inv += "dev-" + std::to_string(i) + "," + demo.FirstLine() + "," + std::to_string(i) + "\n";
    WriteFileBytes(dir + "/inv.csv", inv);
    WriteFileBytes(dir + "/job.txt", "HOST 127.0.0.1 %port%\n" + kLoginScript.substr(kLoginScript.find('\n') + 1));
    ProcessResult r = RunFleet(dir, {"-j", "50", "-o", dir + "/out", dir + "/inv.csv", dir + "/job.txt"});
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_NE(r.out.find("0 End of script             500\nall                         500 in "), std::string::npos)
        << r.out;
    const std::vector<std::string> rows = SummaryRows(dir + "/out/summary.csv");
    ASSERT_EQ(rows.size(), 500u);
    for (int i = 1; i <= 500; ++i) {
        const std::string name = "dev-" + std::to_string(i);
        ASSERT_EQ(rows[i - 1], name + "|" + demo.FirstLine() + "|0||1");
        const std::string t = ReadFileBytes(dir + "/out/" + name + ".txt");
        ASSERT_NE(t.find("\r\nrow " + std::to_string(i) + " at 100%\r\n"), std::string::npos) << name;
        const std::string end = "Goodbye.\r\n\r\n\r\nEnd of script\r\nClosed connection.\r\n";
        ASSERT_EQ(t.substr(t.size() - std::min(t.size(), end.size())), end) << name;
    }
}

// The recipe for several machines, with this machine as the only one: GNU
// parallel runs one shard per job, and the summaries are joined.
TEST(Fleet, GnuParallelRunsTwoShardsAndTheSummariesJoin) {
    const std::string dir = MakeScratchDir("fleet_parallel");
    std::string inv = "host\n";
    for (int i = 1; i <= 7; ++i) inv += "n" + std::to_string(i) + "\n";
    WriteFileBytes(dir + "/inventory.csv", inv);
    WriteFileBytes(dir + "/job.txt", "ECHO \"%host% %env:DEMO_PASSWORD%\"\n");
    // The README's recipe, with ":" (this machine) as the only login.
    const std::string recipe =
        "cd " + dir + " && parallel --will-cite --sshlogin : --env DEMO_PASSWORD --transferfile inventory.csv "
        "--transferfile job.txt --return fleet-{}/summary.csv --cleanup " + kFleet +
        " --quiet --shard {}/2 -o fleet-{} inventory.csv job.txt ::: 1 2 && "
        "{ head -n 1 fleet-1/summary.csv; tail -q -n +2 fleet-*/summary.csv; } > summary.csv";
    ProcessResult r =
        RunProcess({"/bin/bash", "-c", recipe}, {"TMPDIR=" + dir, "DEMO_PASSWORD=pw"}, std::chrono::seconds(120));
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(SummaryRows(dir + "/summary.csv"),
              (std::vector<std::string>{"n1||0||1", "n3||0||1", "n5||0||1", "n7||0||1", "n2||0||1", "n4||0||1",
                                        "n6||0||1"}));
    EXPECT_NE(r.out.find("0 End of script               4\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0 End of script               3\n"), std::string::npos) << r.out;
    EXPECT_NE(ReadFileBytes(dir + "/fleet-2/n6.txt").find("\r\nn6 pw\r\n"), std::string::npos);
}

// The fleet refuses, before anything runs, to write over its own inputs:
// compared as real files, so links and hard links count.
TEST(Fleet, NeverWritesOverItsInputs) {
    const std::string dir = MakeScratchDir("fleet_inputs");
    const std::string script = "HOST 127.0.0.1 " + std::to_string(ClosedPort()) + "\n";
    struct Case {
        std::string name;
        std::string inventory, job, out;       // the paths given
        std::function<void()> setUp;           // makes links, before the inputs are written
        std::string clash;                     // the expected line's middle
    };
    const std::string d = dir + "/";
    const std::vector<Case> cases = {
        {"a host named like the script", d + "a/hosts.csv", d + "a/job.txt", d + "a", nullptr,
         "the script " + d + "a/job.txt is the file " + d + "a/job.txt"},
        {"an inventory named summary.csv", d + "b/summary.csv", d + "b/job.txt", d + "b", nullptr,
         "the inventory " + d + "b/summary.csv is the file " + d + "b/summary.csv"},
        {"a script linked to a transcript", d + "c/hosts.csv", d + "c/link.txt", d + "c/out",
         [&] { fs::create_symlink("out/job.txt", d + "c/link.txt"); },
         "the script " + d + "c/link.txt is the file " + d + "c/out/job.txt"},
        {"an inventory hard-linked as the summary", d + "e/hosts.csv", d + "e/job.txt", d + "e/out",
         [&] {
             WriteFileBytes(d + "e/hosts.csv", "");
             fs::create_hard_link(d + "e/hosts.csv", d + "e/out/summary.csv");
         },
         "the inventory " + d + "e/hosts.csv is the file " + d + "e/out/summary.csv"},
        {"a script in a host's work folder", d + "f/hosts.csv", d + "f/out/hosts/job-1/job.txt", d + "f/out", nullptr,
         "the script " + d + "f/out/hosts/job-1/job.txt lies in the folder " + d + "f/out/hosts"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories(c.out);
        fs::create_directories(fs::path(c.job).parent_path());
        if (c.setUp) c.setUp();
        const std::string inventory = "host\njob\n";
        WriteFileBytes(c.inventory, inventory);
        WriteFileBytes(c.job, script);
        ProcessResult r = RunFleet(dir, {"-o", c.out, c.inventory, c.job});
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.err, "varnel-fleet: " + c.clash + " that this run " +
                             (c.clash.find("lies in") != std::string::npos ? "empties" : "would write") +
                             ": refusing to run\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(ReadFileBytes(c.inventory), inventory);
        EXPECT_EQ(ReadFileBytes(c.job), script);
    }
    EXPECT_EQ(PrivateFolders(dir), 0);
}

// --shard auto under each engine's variables picks that shard's rows; with
// no engine it refuses.
TEST(Fleet, ShardAutoTakesTheEnginesShard) {
    const std::string dir = MakeScratchDir("fleet_shard_auto");
    WriteFileBytes(dir + "/inv.csv", "host\nh1\nh2\nh3\nh4\nh5\n");
    WriteFileBytes(dir + "/job.txt", "ECHO \"%host%\"\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"JOB_COMPLETION_INDEX=1", "VARNEL_SHARDS=2"}, "h2 h4"},
        {{"SLURM_ARRAY_TASK_ID=7", "SLURM_ARRAY_TASK_MIN=5", "SLURM_ARRAY_TASK_COUNT=3"}, "h3"},
        {{"PARALLEL_JOBSLOT=1", "VARNEL_SHARDS=2"}, "h1 h3 h5"},
    };
    for (const auto& [env, hosts] : cases) {
        SCOPED_TRACE(env[0]);
        fs::remove_all(dir + "/out");
        ProcessResult r = RunFleet(dir, {"--shard", "auto", "-o", dir + "/out", dir + "/inv.csv", dir + "/job.txt"}, env);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        std::string ran;
        for (const auto& row : ReadCsv(dir + "/out/summary.csv").rows) ran += (ran.empty() ? "" : " ") + row[0];
        EXPECT_EQ(ran, hosts);
    }
    ProcessResult none = RunFleet(dir, {"--shard", "auto", "-o", dir + "/out", dir + "/inv.csv", dir + "/job.txt"});
    EXPECT_EQ(none.exitStatus, 2);
    EXPECT_EQ(none.err, "varnel-fleet: --shard auto: no batch engine found (JOB_COMPLETION_INDEX of a Kubernetes "
                        "Indexed Job, SLURM_ARRAY_TASK_ID of a Slurm job array or PARALLEL_JOBSLOT of GNU parallel)\n");
}

// With --archive, summary.csv gains the changed column and the summary the
// archive's lines; a run that captured nothing changes nothing, a failed host
// is reported, and nothing changed makes no commit.
TEST(Fleet, ArchiveReportsEachHostAndCommitsNothingWhenNothingChanged) {
    BackgroundProcess demo({kDemoHost});
    const std::string dir = MakeScratchDir("fleet_archive_run");
    WriteFileBytes(dir + "/inv.csv", "name,host,port\nok,127.0.0.1," + demo.FirstLine() + "\ndown,127.0.0.1," +
                                         std::to_string(ClosedPort()) + "\n");
    WriteFileBytes(dir + "/job.txt", kLoginScript);
    ProcessResult r = RunFleet(dir, {"--archive", dir + "/repo", "-o", dir + "/out", dir + "/inv.csv", dir + "/job.txt"});
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    fleet::Inventory csv = ReadCsv(dir + "/out/summary.csv");
    EXPECT_EQ(csv.columns.back(), "changed");
    ASSERT_EQ(csv.rows.size(), 2u);
    EXPECT_EQ(csv.rows[0][0] + " " + csv.rows[0][7] + ", " + csv.rows[1][0] + " " + csv.rows[1][7],
              "127.0.0.1 same, 127.0.0.1 failed");
    EXPECT_NE(r.out.find("\narchive " + dir + "/repo: 0 hosts changed, 0 new, 1 failed in "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" s\nnothing changed: no commit\n"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_directory(dir + "/repo/.git"));
    EXPECT_FALSE(fs::exists(dir + "/out/hosts")) << "empty work folders are not kept";
    // Without --archive the summary keeps its columns.
    r = RunFleet(dir, {"-o", dir + "/plain", dir + "/inv.csv", dir + "/job.txt"});
    EXPECT_EQ(ReadCsv(dir + "/plain/summary.csv").columns.size(), 7u);
}

namespace {

// Whether this varnel knows CAPTURE (the archive's end-to-end test needs it).
bool VarnelCaptures(const std::string& dir) {
    WriteFileBytes(dir + "/probe.txt", "CAPTURE OFF\n");
    return RunProcess({kVarnel, "/r:" + dir + "/probe.txt", "/o:" + dir + "/probe-out.txt", "/hidden"}).exitStatus == 0;
}

std::string GitOut(const std::string& repo, std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/git", "-C", repo});
    ProcessResult r = RunProcess(args);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    return r.out;
}

}  // namespace

// The nightly job, night after night: each host's CAPTURE file goes into the
// archive; only what changed is committed; a failed host keeps its file.
TEST(Fleet, ArchiveCommitsEachNightsChangedCaptures) {
    const std::string dir = MakeScratchDir("fleet_archive_nights");
    if (!VarnelCaptures(dir)) GTEST_SKIP() << "this varnel has no CAPTURE";
    BackgroundProcess demo({kDemoHost});
    const std::string port = demo.FirstLine(), closed = std::to_string(ClosedPort());
    WriteFileBytes(dir + "/job.txt", "HOST %host% %port%\nSEND \"admin\\n\"\nWAIT \"Password:\"\n"
                                     "SEND \"%env:FLEET_TEST_PASSWORD%\\n\"\nWAIT \"varnel-demo>\"\n"
                                     "CAPTURE \"config.txt\"\nSEND \"show config %size%\\n\"\nWAIT \"varnel-demo>\"\n"
                                     "CAPTURE OFF\nSEND \"exit\\n\"\nWAIT \"Goodbye.\"\n");
    struct Night {
        std::string sizes;        // r1, r2, r3's sizes; "x": r3's host is down
        std::string changed;      // summary.csv's changed column
        std::string message;      // the new commit's message ("": no commit)
        std::string files;        // the new commit's files
    };
    const std::vector<Night> nights = {
        {"300 400 500", "new new new", "varnel-fleet: 0 hosts changed, 3 new, 0 failed\n\nnew:\n  r1\n  r2\n  r3\n",
         "r1/config.txt\nr2/config.txt\nr3/config.txt\n"},
        {"300 450 500", "same changed same", "varnel-fleet: 1 hosts changed, 0 new, 0 failed\n\nchanged:\n  r2\n",
         "r2/config.txt\n"},
        {"300 450 500", "same same same", "", ""},
        {"310 450 x", "changed same failed",
         "varnel-fleet: 1 hosts changed, 0 new, 1 failed\n\nchanged:\n  r1\n\nfailed:\n  r3\n", "r1/config.txt\n"},
    };
    int commits = 0;
    std::string r3Before;
    for (const Night& night : nights) {
        SCOPED_TRACE(night.sizes);
        std::istringstream sizes(night.sizes);
        std::string s1, s2, s3;
        sizes >> s1 >> s2 >> s3;
        WriteFileBytes(dir + "/inv.csv", "name,host,port,size\nr1,127.0.0.1," + port + "," + s1 + "\nr2,127.0.0.1," +
                                             port + "," + s2 + "\nr3,127.0.0.1," +
                                             (s3 == "x" ? closed + ",500" : port + "," + s3) + "\n");
        ProcessResult r = RunFleet(dir, {"--archive", dir + "/repo", "-o", dir + "/out", dir + "/inv.csv", dir + "/job.txt"});
        EXPECT_EQ(r.exitStatus, s3 == "x" ? 1 : 0) << r.out << r.err;
        std::string changed;
        for (const auto& row : ReadCsv(dir + "/out/summary.csv").rows) changed += (changed.empty() ? "" : " ") + row[7];
        EXPECT_EQ(changed, night.changed);
        commits += !night.message.empty();
        EXPECT_EQ(GitOut(dir + "/repo", {"rev-list", "--count", "HEAD"}), std::to_string(commits) + "\n");
        if (!night.message.empty()) {
            EXPECT_EQ(GitOut(dir + "/repo", {"log", "-1", "--format=%B"}), night.message + "\n");
            EXPECT_EQ(GitOut(dir + "/repo", {"show", "--name-only", "--format=", "HEAD"}), night.files);
            EXPECT_NE(r.out.find(" file"), std::string::npos) << "git's --stat in the summary:\n" << r.out;
        } else {
            EXPECT_NE(r.out.find("nothing changed: no commit\n"), std::string::npos) << r.out;
        }
        // The archived file is exactly what the host sent for the listing.
        const std::string config = ReadFileBytes(dir + "/repo/r2/config.txt");
        EXPECT_EQ(config, ReadFileBytes(dir + "/out/hosts/r2/config.txt"));
        if (s3 != "x") r3Before = ReadFileBytes(dir + "/repo/r3/config.txt");
    }
    EXPECT_EQ(ReadFileBytes(dir + "/repo/r3/config.txt"), r3Before) << "the failed host keeps its previous file";
    EXPECT_EQ(GitOut(dir + "/repo", {"status", "--porcelain"}), "");
}
