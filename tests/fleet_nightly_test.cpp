// varnel-fleet's nightly job and its guards, run for real: the archive of
// CAPTURE files over several nights, --shard auto, a fleet that never writes
// over its inputs, and runs that end with their fleet.
#include <atomic>
#include <functional>
#include <sstream>

#include "tests/fleet_support.h"

using namespace fleettest;

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
        std::vector<std::string> options = {};
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
        {"a script in a host's work folder, emptied with --archive", d + "f/hosts.csv", d + "f/out/hosts/job-1/job.txt", d + "f/out", nullptr,
         "the script " + d + "f/out/hosts/job-1/job.txt lies in the folder " + d + "f/out/hosts",
         {"--archive", d + "f/repo"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories(c.out);
        fs::create_directories(fs::path(c.job).parent_path());
        if (c.setUp) c.setUp();
        const std::string inventory = "host\njob\n";
        WriteFileBytes(c.inventory, inventory);
        WriteFileBytes(c.job, script);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-o", c.out, c.inventory, c.job});
        ProcessResult r = RunFleet(dir, args);
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
