// Runs of the real build/varnel-fleet against the demo host and scripted
// loopback hosts: transcripts, summaries, exit statuses, shards, retries,
// signals and the progress line.
#include "tests/fleet_support.h"

using namespace fleettest;

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

// A limit below one second is one second, not "no limit".
TEST(Fleet, AShortTimeOutIsOneSecond) {
    ScriptedHost silent([](HostConnection& c) {
        c.Send("\r\nlogin: ");
        c.ReadToEnd(std::chrono::seconds(20));
    });
    const std::string dir = MakeScratchDir("fleet_short_timeout");
    WriteFileBytes(dir + "/inv.csv", "host,port\nsilent," + std::to_string(silent.Port()) + "\n");
    WriteFileBytes(dir + "/job.txt", "HOST 127.0.0.1 %port%\nWAIT \"never\"\n");
    ProcessResult r = RunFleet(dir, {"-q", "--timeout", "0.4", "-o", dir + "/out", dir + "/inv.csv", dir + "/job.txt"});
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    fleet::Inventory csv = ReadCsv(dir + "/out/summary.csv");
    ASSERT_EQ(csv.rows.size(), 1u);
    EXPECT_EQ(csv.rows[0][2], "3");
    EXPECT_NE(ReadFileBytes(dir + "/out/silent.txt").find("Timed out after 1 seconds waiting for \"never\" on line 2"),
              std::string::npos);
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
