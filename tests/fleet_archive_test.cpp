// The fleet's archive on folders the test writes: what each round of host
// work folders does to the git repository, the folder names of the hosts,
// and --shard auto under each batch engine's variables.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fleet/archive.h"
#include "fleet/git_blob_id.h"
#include "fleet/process.h"
#include "fleet/shard.h"
#include "tests/support/scripted_host.h"

using namespace testhost;
namespace fs = std::filesystem;

namespace {

std::string Git(const std::string& repo, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"git", "-C", repo};
    argv.insert(argv.end(), args.begin(), args.end());
    fleet::ProcessOutput out = fleet::RunProgram(argv);
    EXPECT_EQ(out.status, 0) << out.output;
    return out.output;
}

int Commits(const std::string& repo) {
    fleet::ProcessOutput out = fleet::RunProgram({"git", "-C", repo, "rev-list", "--count", "HEAD"});
    return out.status == 0 ? std::stoi(out.output) : 0;
}

// One host of a round: its captured files (none: the run failed, or null
// files for a run that captured nothing).
struct HostRun {
    std::string name;
    bool succeeded;
    std::map<std::string, std::string> files;
};

struct Round {
    std::vector<HostRun> hosts;
    std::vector<std::string> changes;     // the changed column, per host
    std::string message;                  // the new commit's message, "" when there is none
    std::string changedFiles;             // the new commit's files, one a line
};

}  // namespace

// The same rounds into a repository with a working tree, which follows
// every commit, and into a bare one (git init --bare), which has none.
class FleetArchiveRounds : public ::testing::TestWithParam<bool> {};

TEST_P(FleetArchiveRounds, EachRoundCommitsOnlyWhatChanged) {
    const bool bare = GetParam();
    const std::string dir = MakeScratchDir(bare ? "fleet_archive_rounds_bare" : "fleet_archive_rounds");
    const std::string repo = dir + "/repo";
    if (bare) {
        ASSERT_EQ(fleet::RunProgram({"git", "init", "-q", "--bare", repo}).status, 0);
    }
    std::string error;
    ASSERT_TRUE(fleet::PrepareArchive(repo, error)) << error;
    const std::vector<Round> rounds = {
        {{{"r1", true, {{"config.txt", "hostname r1\r\n"}}},
          {"r2", true, {{"config.txt", "hostname r2\r\n"}, {"sub/version.txt", "1.0\n"}}},
          {"r3", true, {{"config.txt", "hostname r3\r\n"}}},
          // Any name a file system allows, but nothing git keeps no path for.
          {"r4", true, {{"a \"quoted\"\nname.txt", "x\n"}, {".git/config", "[core]\n"}, {"s/.Git/x", "y"}}}},
         {"new", "new", "new", "new"},
         "varnel-fleet: 0 hosts changed, 4 new, 0 failed\n\nnew:\n  r1\n  r2\n  r3\n  r4\n",
         "r1/config.txt\nr2/config.txt\nr2/sub/version.txt\nr3/config.txt\n\"r4/a \\\"quoted\\\"\\nname.txt\"\n"},
        // r2 answers differently; r3 fails halfway: its previous file stays.
        {{{"r1", true, {{"config.txt", "hostname r1\r\n"}}},
          {"r2", true, {{"config.txt", "hostname r2\r\nvlan 7\r\n"}, {"sub/version.txt", "1.0\n"}}},
          {"r3", false, {{"config.txt", "hostn"}}}},
         {"same", "changed", "failed"},
         "varnel-fleet: 1 hosts changed, 0 new, 1 failed\n\nchanged:\n  r2\n\nfailed:\n  r3\n",
         "r2/config.txt\n"},
        // Nothing changed: no commit.
        {{{"r1", true, {{"config.txt", "hostname r1\r\n"}}},
          {"r2", true, {{"config.txt", "hostname r2\r\nvlan 7\r\n"}, {"sub/version.txt", "1.0\n"}}},
          {"r3", true, {{"config.txt", "hostname r3\r\n"}}}},
         {"same", "same", "same"},
         "",
         ""},
        // A file that is no longer captured is removed from the host's folder.
        {{{"r1", true, {{"config.txt", "hostname r1\r\n"}}},
          {"r2", true, {{"config.txt", "hostname r2\r\nvlan 7\r\n"}}},
          {"r3", true, {{"config.txt", "hostname r3\r\n"}}}},
         {"same", "changed", "same"},
         "varnel-fleet: 1 hosts changed, 0 new, 0 failed\n\nchanged:\n  r2\n",
         "r2/sub/version.txt\n"},
    };
    int commits = 0;
    for (size_t n = 0; n < rounds.size(); ++n) {
        SCOPED_TRACE("round " + std::to_string(n + 1));
        std::vector<fleet::ArchiveHost> hosts;
        for (const HostRun& h : rounds[n].hosts) {
            const std::string work = dir + "/work" + std::to_string(n) + "/" + h.name;
            for (const auto& [file, text] : h.files) {
                fs::create_directories(fs::path(work + "/" + file).parent_path());
                WriteFileBytes(work + "/" + file, text);
            }
            hosts.push_back({h.name, work, h.succeeded});
        }
        // A hand edit in the archive's working tree is the user's: runs are
        // compared with the last commit, and the edit is neither committed
        // nor undone.
        const bool handEdit = n == 1 && !bare;
        if (handEdit) WriteFileBytes(repo + "/r1/config.txt", "edited by hand\n");
        fleet::ArchiveResult result;
        ASSERT_TRUE(fleet::ArchiveRun(repo, hosts, result)) << result.error;
        if (handEdit) {
            EXPECT_EQ(Git(repo, {"status", "--porcelain"}), " M r1/config.txt\n");
            WriteFileBytes(repo + "/r1/config.txt", "hostname r1\r\n");
        }
        std::vector<std::string> changes;
        for (fleet::Change c : result.changes) changes.push_back(fleet::ChangeName(c));
        EXPECT_EQ(changes, rounds[n].changes);
        EXPECT_EQ(result.committed, !rounds[n].message.empty());
        if (result.committed) ++commits;
        ASSERT_EQ(Commits(repo), commits);
        if (!result.committed) continue;
        EXPECT_EQ(Git(repo, {"log", "-1", "--format=%B"}), rounds[n].message + "\n");
        EXPECT_EQ(Git(repo, {"show", "--name-only", "--format=", "HEAD"}), rounds[n].changedFiles);
        EXPECT_NE(result.diffStat.find("changed"), std::string::npos) << result.diffStat;
        EXPECT_EQ(fleet::ArchiveLines(repo, result, 0.5).substr(0, 1), "\n");
    }
    // The failed round left r3's file as it was before it.
    EXPECT_EQ(Git(repo, {"show", "HEAD:r3/config.txt"}), "hostname r3\r\n");
    EXPECT_EQ(Git(repo, {"fsck", "--strict", "--no-progress"}), "");
    EXPECT_EQ(fs::exists(repo + "/r1"), !bare);
    if (bare) return;
    EXPECT_EQ(ReadFileBytes(repo + "/r3/config.txt"), "hostname r3\r\n");
    EXPECT_EQ(ReadFileBytes(repo + "/r4/a \"quoted\"\nname.txt"), "x\n");
    EXPECT_EQ(Git(repo, {"status", "--porcelain"}), "");
}

INSTANTIATE_TEST_SUITE_P(WorkTree, FleetArchiveRounds, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Bare" : "WithWorkingTree"; });

TEST(FleetArchive, ObjectNamesAreGits) {
    EXPECT_EQ(fleet::Sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(fleet::Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(fleet::Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(fleet::Sha1Hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    // Every length around the padding's edges, against git's own answer.
    const std::string dir = MakeScratchDir("fleet_archive_blob_ids");
    for (size_t length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 4097}) {
        std::string bytes;
        for (size_t i = 0; i < length; ++i) bytes.push_back(static_cast<char>(i * 7));
        WriteFileBytes(dir + "/f", bytes);
        fleet::ProcessOutput git = fleet::RunProgram({"git", "hash-object", dir + "/f"});
        EXPECT_EQ(fleet::GitBlobId(bytes) + "\n", git.output) << length;
    }
}

TEST(FleetArchive, RefusesAFolderThatIsNotARepository) {
    const std::string dir = MakeScratchDir("fleet_archive_refuse");
    fs::create_directories(dir + "/busy");
    WriteFileBytes(dir + "/busy/notes.txt", "mine\n");
    std::string error;
    EXPECT_FALSE(fleet::PrepareArchive(dir + "/busy", error));
    EXPECT_EQ(error, "the archive " + dir + "/busy is not a git repository (nor a missing or empty folder)");
    EXPECT_TRUE(fleet::PrepareArchive(dir + "/fresh/deeper", error)) << error;
    EXPECT_TRUE(fs::is_directory(dir + "/fresh/deeper/.git"));
    EXPECT_TRUE(fleet::PrepareArchive(dir + "/fresh/deeper", error)) << "an existing repository is used as it is";
    // A folder inside a repository is not one.
    fs::create_directories(dir + "/fresh/deeper/inside");
    WriteFileBytes(dir + "/fresh/deeper/inside/notes.txt", "mine\n");
    EXPECT_FALSE(fleet::PrepareArchive(dir + "/fresh/deeper/inside", error));
    fleet::ProcessOutput sha256 = fleet::RunProgram({"git", "init", "-q", "--object-format=sha256", dir + "/sha256"});
    ASSERT_EQ(sha256.status, 0) << sha256.output;
    EXPECT_FALSE(fleet::PrepareArchive(dir + "/sha256", error));
    EXPECT_EQ(error, "the archive " + dir + "/sha256 is not a git repository with SHA-1 object names");
}

TEST(FleetArchive, HostFolderNames) {
    EXPECT_EQ(fleet::HostFolderNames({"10.0.0.1", "10.0.0.1", "a b"}, {}, {1, 2, 5}),
              (std::vector<std::string>{"10.0.0.1-1", "10.0.0.1-2", "a_b-5"}));
    EXPECT_EQ(fleet::HostFolderNames({"h", "h", "h", "h"}, {"core", "core", "../up", ""}, {1, 2, 3, 4}),
              (std::vector<std::string>{"core", "core-2", "_._up", "_"}));
}

TEST(FleetShard, AutoTakesTheShardFromTheEngine) {
    struct Case {
        std::map<std::string, std::string> env;
        std::string expected;  // "K/N", or the error
    };
    const std::vector<Case> cases = {
        {{{"JOB_COMPLETION_INDEX", "0"}, {"VARNEL_SHARDS", "3"}}, "1/3"},
        {{{"JOB_COMPLETION_INDEX", "2"}, {"VARNEL_SHARDS", "3"}}, "3/3"},
        {{{"JOB_COMPLETION_INDEX", "3"}, {"VARNEL_SHARDS", "3"}},
         "--shard auto: the Kubernetes Indexed Job gives shard 4/3, not one of 1 to 3"},
        {{{"JOB_COMPLETION_INDEX", "1"}}, "--shard auto: VARNEL_SHARDS is not set"},
        {{{"SLURM_ARRAY_TASK_ID", "5"}, {"SLURM_ARRAY_TASK_MIN", "4"}, {"SLURM_ARRAY_TASK_COUNT", "4"}}, "2/4"},
        {{{"SLURM_ARRAY_TASK_ID", "8"}, {"SLURM_ARRAY_TASK_MIN", "0"}, {"SLURM_ARRAY_TASK_COUNT", "4"},
          {"SLURM_ARRAY_TASK_STEP", "4"}},
         "3/4"},
        {{{"SLURM_ARRAY_TASK_ID", "x"}, {"SLURM_ARRAY_TASK_MIN", "0"}, {"SLURM_ARRAY_TASK_COUNT", "4"}},
         "--shard auto: SLURM_ARRAY_TASK_ID is not a number: \"x\""},
        {{{"PARALLEL_JOBSLOT", "2"}, {"VARNEL_SHARDS", "2"}}, "2/2"},
        {{{"PARALLEL_JOBSLOT", "0"}, {"VARNEL_SHARDS", "2"}},
         "--shard auto: GNU parallel's job slot gives shard 0/2, not one of 1 to 2"},
        {{{"VARNEL_SHARDS", "2"}},
         "--shard auto: no batch engine found (JOB_COMPLETION_INDEX of a Kubernetes Indexed Job, "
         "SLURM_ARRAY_TASK_ID of a Slurm job array or PARALLEL_JOBSLOT of GNU parallel)"},
    };
    for (const Case& c : cases) {
        auto env = [&](const char* name) -> const char* {
            auto it = c.env.find(name);
            return it == c.env.end() ? nullptr : it->second.c_str();
        };
        int k = 0, n = 0;
        std::string error;
        const bool ok = fleet::AutoShard(env, k, n, error);
        EXPECT_EQ(ok ? std::to_string(k) + "/" + std::to_string(n) : error, c.expected);
    }
}
