// The session log and its output file: one open-append-close per line,
// CRLF after each line, bytes unchanged, clearing at the start of a run
// unless kept, and every file error ignored.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "script/session_log.h"
#include "tests/runner_fakes.h"

namespace {

// A fresh folder, removed with everything in it when the test program ends.
std::string ScratchDir() {
    struct Folders {
        std::vector<std::string> paths;
        ~Folders() {
            for (const auto& p : paths) std::filesystem::remove_all(p);
        }
    };
    static Folders folders;
    char name[] = "/tmp/varnel_log_XXXXXX";
    const char* dir = mkdtemp(name);
    if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
    folders.paths.push_back(dir);
    return dir;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(OutputFile, EachLineEndsWithCrLfAndBytesStayUnchanged) {
    const std::string file = ScratchDir() + "/out.txt";
    sessionlog::AppendOutputLine(file, "first", false);
    EXPECT_EQ(Slurp(file), "first\r\n") << "on disk as soon as the call returns";
    sessionlog::AppendOutputLine(file, "two\r\nlines", false);
    sessionlog::AppendOutputLine(file, "", false);
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    sessionlog::AppendOutputLine(file, all, false);
    EXPECT_EQ(Slurp(file), "first\r\ntwo\r\nlines\r\n\r\n" + all + "\r\n");
}

TEST(OutputFile, ClearStartsANewFile) {
    const std::string dir = ScratchDir();
    const std::string file = dir + "/out.txt";
    std::ofstream(file) << "old content\n";
    sessionlog::AppendOutputLine(file, "new", true);
    EXPECT_EQ(Slurp(file), "new\r\n");
    sessionlog::AppendOutputLine(dir + "/missing.txt", "created", true);
    EXPECT_EQ(Slurp(dir + "/missing.txt"), "created\r\n") << "a missing file is not an error";
}

TEST(OutputFile, FileErrorsAreIgnored) {
    const std::string dir = ScratchDir();
    EXPECT_NO_THROW(sessionlog::AppendOutputLine(dir + "/no/such/folder/out.txt", "x", true));
    EXPECT_FALSE(Exists(dir + "/no"));
    EXPECT_NO_THROW(sessionlog::AppendOutputLine(dir, "x", false));  // a folder
    EXPECT_NO_THROW(sessionlog::AppendOutputLine("", "x", true));
}

TEST(SessionLog, BoxAndFileHoldTheSameRecord) {
    const std::string file = ScratchDir() + "/out.txt";
    std::ofstream(file) << "from an earlier run\r\n";
    RunnerRig rig;
    rig.runner.strOutputFile = file;
    rig.Run("HOST h\r\nWAIT \"$\"\r\nECHO \"done\"\r\n");
    rig.sock.incoming.push_back("abc");
    rig.runner.wsTelnet_DataArrival(3);
    rig.sock.incoming.push_back("x$ ");
    rig.runner.wsTelnet_DataArrival(3);
    const std::string expected =
        "Checking script (clearing output file)\r\nRunning script\r\nOpening connection\r\n"
        "abc\r\n\r\nx$ \r\n\r\ndone\r\nEnd of script\r\nClosed connection.\r\n";
    EXPECT_EQ(rig.box.Text(), expected);
    EXPECT_EQ(Slurp(file), expected);
}

TEST(SessionLog, KeepAppendsAcrossRuns) {
    const std::string file = ScratchDir() + "/kept.txt";
    for (int run = 0; run < 2; ++run) {
        RunnerRig rig;
        rig.runner.strOutputFile = file;
        rig.runner.blnKeepOutput = true;
        rig.Run("ECHO \"run\"\r\n");
    }
    const std::string one = "Checking script (keeping output file)\r\nRunning script\r\nrun\r\nEnd of script\r\n"
                            "Closed connection.\r\n";
    EXPECT_EQ(Slurp(file), one + one);
}

TEST(SessionLog, EmptyScriptStillClearsTheFile) {
    const std::string file = ScratchDir() + "/out.txt";
    std::ofstream(file) << "old";
    RunnerRig rig;
    rig.runner.strOutputFile = file;
    rig.Run("");
    EXPECT_EQ(Slurp(file), "Checking script (clearing output file)\r\n");
}

TEST(SessionLog, UnwritableOutputLeavesTheBoxCompleteAndIsTold) {
    RunnerRig rig;
    rig.runner.strOutputFile = ScratchDir() + "/missing/out.txt";
    rig.Run("ECHO \"x\"\r\n");
    EXPECT_EQ(rig.Log(), (std::vector<std::string>{"Checking script (clearing output file)", "Running script", "x",
                                                   "End of script", "Closed connection."}));
    // The lost transcript is told: status 4 and the first failure.
    EXPECT_EQ(rig.runner.ExitStatus(), 4);
    EXPECT_EQ(rig.runner.WriteFailure(), rig.runner.strOutputFile + ": No such file or directory");
}

TEST(HeadlessTextBox, AppendsOrOnlyCounts) {
    HeadlessTextBox kept(true);
    kept.SetText("start");
    kept.AppendText("\r\nline");
    EXPECT_EQ(kept.Text(), "start\r\nline");
    EXPECT_EQ(kept.AppendedBytes(), 6u);

    HeadlessTextBox discarding(false);
    discarding.SetText("start");
    for (int i = 0; i < 1000; ++i) discarding.AppendText("0123456789");
    EXPECT_EQ(discarding.Text(), "");
    EXPECT_EQ(discarding.AppendedBytes(), 10000u);
    discarding.MoveCaretToEnd();
    discarding.PostLineScroll(0, 2);
    EXPECT_TRUE(discarding.CaretAtEnd());
    EXPECT_EQ(discarding.PostedScrollLines(), 2);
}

TEST(HeadlessTextBox, AHiddenRunKeepsNoLogButWritesTheFile) {
    const std::string file = ScratchDir() + "/out.txt";
    HeadlessTextBox box(false);
    RunnerHooks hooks;
    ScriptRunner runner(box, hooks);
    SocketJournal journal;
    runner.wsTelnet = std::make_unique<FakeSocket>(journal);
    runner.strOutputFile = file;
    runner.strScript = "ECHO \"a\"\nECHO \"b\"\n";
    runner.StartScript();
    const std::string expected = "Checking script (clearing output file)\r\nRunning script\r\na\r\nb\r\n"
                                 "End of script\r\nClosed connection.\r\n";
    EXPECT_EQ(box.Text(), "");
    EXPECT_EQ(box.AppendedBytes(), expected.size());
    EXPECT_EQ(Slurp(file), expected);
}
