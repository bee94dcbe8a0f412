// Runs of the real build/varnel: transcripts, exit statuses and what goes to
// standard output and standard error. None of these scripts needs a host.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/scripted_host.h"

using testhost::ReadFileBytes;
using testhost::RunProcess;
using testhost::WriteFileBytes;

namespace {

const std::string kVarnel = VARNEL_BUILD_DIR "/varnel";
const std::string kUsage =
    "To run a script use the /r: argument at the command line:\n\nvarnel /r:script.txt\n"
    "(where script.txt is the name of the script file)\n\nPlease see the ReadMe file for more information.\n";

std::string Transcript(std::initializer_list<const char*> lines) {
    std::string text;
    for (const char* line : lines) text += std::string(line) + "\r\n";
    return text;
}

}  // namespace

TEST(VarnelCli, HiddenRunWritesTheExactTranscript) {
    const std::string dir = testhost::MakeScratchDir("cli_transcript");
    WriteFileBytes(dir + "/s.txt",
                   "# a comment\n\nECHO \"Hello\"\r\n\tDELAY 0.4\nDELAY abc\n echo \"two\\nlines \\\"q\\\"\" \n#\n");
    auto r = RunProcess({kVarnel, "/r:" + dir + "/s.txt", "/o:" + dir + "/out.txt", "/hidden"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFileBytes(dir + "/out.txt"),
              Transcript({"Checking script (clearing output file)", "Running script", "Hello", "two",
                          "lines \"q\"", "End of script", "Closed connection."}));
}

TEST(VarnelCli, TheBundledExampleRuns) {
    const std::string dir = testhost::MakeScratchDir("cli_example");
    auto r = RunProcess({kVarnel, "/r:" VARNEL_SOURCE_DIR "/examples/hello.txt", "/o:" + dir + "/out.txt", "/hidden"});
    EXPECT_EQ(r.exitStatus, 0);
    std::string out = ReadFileBytes(dir + "/out.txt");
    EXPECT_EQ(out.rfind("Checking script (clearing output file)\r\nRunning script\r\n", 0), 0u);
    EXPECT_NE(out.find("\r\nEnd of script\r\nClosed connection.\r\n"), std::string::npos);
}

TEST(VarnelCli, UnknownCommandEndsWithStatus1) {
    const std::string dir = testhost::MakeScratchDir("cli_unknown");
    WriteFileBytes(dir + "/s.txt", "ECHO \"a\"\r\n# fine\r\n\r\n#not a comment\r\nECHO \"never\"\r\n");
    auto r = RunProcess({kVarnel, "/r:" + dir + "/s.txt", "/o:" + dir + "/out.txt", "/hidden"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(ReadFileBytes(dir + "/out.txt"),
              Transcript({"Checking script (clearing output file)", "Running script", "a",
                          "Unrecognised command on line 4", "Closed connection."}));
}

TEST(VarnelCli, ErrorsAndClosedConnectionsEndWithStatus1) {
    const std::string dir = testhost::MakeScratchDir("cli_errors");
    struct Case {
        std::string script;
        std::string transcript;
    };
    const Case cases[] = {
        {"ECHO \"open\n", Transcript({"Error 5", "Invalid procedure call or argument", "Closed connection."})},
        {"DELAY 9999999\n", Transcript({"Error 6", "Overflow", "Closed connection."})},
        {"SEND \"x\\n\"\nWAIT \"y\"\n",
         Transcript({"Cannot SEND - connection is closed.", "Closed connection."})},
        {"WAIT \"y\"\n", Transcript({"Cannot WAIT - connection is closed.", "Closed connection."})},
    };
    for (const Case& c : cases) {
        WriteFileBytes(dir + "/s.txt", c.script);
        auto r = RunProcess({kVarnel, "/r:" + dir + "/s.txt", "/o:" + dir + "/out.txt", "/hidden"});
        EXPECT_EQ(r.exitStatus, 1) << c.script;
        EXPECT_EQ(ReadFileBytes(dir + "/out.txt"),
                  Transcript({"Checking script (clearing output file)", "Running script"}) + c.transcript)
            << c.script;
    }
}

TEST(VarnelCli, KeepAppendsAndNoKeepReplaces) {
    const std::string dir = testhost::MakeScratchDir("cli_keep");
    WriteFileBytes(dir + "/s.txt", "ECHO \"x\"");
    const std::string out = dir + "/out.txt";
    WriteFileBytes(out, "old\r\n");
    EXPECT_EQ(RunProcess({kVarnel, "/r:" + dir + "/s.txt", "/o:" + out, "/keep", "/hidden"}).exitStatus, 0);
    EXPECT_EQ(RunProcess({kVarnel, "/r:" + dir + "/s.txt", "/o:" + out, "/keep", "/hidden"}).exitStatus, 0);
    const std::string kept = Transcript({"Checking script (keeping output file)", "Running script", "x",
                                         "End of script", "Closed connection."});
    EXPECT_EQ(ReadFileBytes(out), "old\r\n" + kept + kept);
    EXPECT_EQ(RunProcess({kVarnel, "/r:" + dir + "/s.txt", "/o:" + out, "/hidden"}).exitStatus, 0);
    EXPECT_EQ(ReadFileBytes(out), Transcript({"Checking script (clearing output file)", "Running script", "x",
                                              "End of script", "Closed connection."}));
}

TEST(VarnelCli, BareNamesResolveAgainstTheProgramsFolder) {
    const std::string dir = testhost::MakeScratchDir("cli_bare");
    std::filesystem::create_directory(dir + "/bin");
    std::filesystem::copy_file(kVarnel, dir + "/bin/varnel");
    std::filesystem::permissions(dir + "/bin/varnel", std::filesystem::perms::owner_all);
    WriteFileBytes(dir + "/bin/job.txt", "ECHO \"from the program's folder\"\r\n");
    auto r = RunProcess({dir + "/bin/varnel", "/r:job.txt", "/o:job-out.txt", "/hidden"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(dir + "/bin/job-out.txt"),
              Transcript({"Checking script (clearing output file)", "Running script", "from the program's folder",
                          "End of script", "Closed connection."}));
}

// Without "/hidden" the program needs a window; without a display it says so
// in one line and runs nothing, whatever the command line.
const std::vector<std::string> kNoDisplayEnvironment = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
const std::string kNoDisplay = "varnel: cannot open a window: no display (DISPLAY is not set)\n";

TEST(VarnelCli, NothingRanExitsWith2AndSaysWhy) {
    const std::string dir = testhost::MakeScratchDir("cli_nothing");
    WriteFileBytes(dir + "/empty.txt", "");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{}, kNoDisplay},
        {{" /hidden"}, kUsage},
        {{"/hidden"}, kNoDisplay},  // not longer than the word: not hidden
        {{"/R:x.txt", "/hidden"}, "varnel: nothing to run: no script file name after /r:\n"},
        {{"/r:" + dir + "/none.txt", "/hidden"}, "varnel: script file not found: " + dir + "/none.txt\n"},
        {{"/r:" + dir, "/hidden"}, "varnel: script file not found: " + dir + "\n"},
        {{"/r:" + dir + "/empty.txt", "/o:" + dir + "/out.txt", "/hidden"},
         "varnel: script file is empty: " + dir + "/empty.txt\n"},
        {{"/r:" + dir + "/none.txt"}, kNoDisplay},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{kVarnel};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = RunProcess(argv, kNoDisplayEnvironment);
        EXPECT_EQ(r.exitStatus, 2) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    // The empty script still logged its checking line, which cleared the file.
    EXPECT_EQ(ReadFileBytes(dir + "/out.txt"), "Checking script (clearing output file)\r\n");
}

TEST(VarnelCli, HelpAndVersion) {
    auto help = RunProcess({kVarnel, "--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("\n       varnel /r:SCRIPT [/o:OUTPUT [/keep]] [/hidden]\n"), std::string::npos);
    EXPECT_EQ(help.err, "");
    auto version = RunProcess({kVarnel, "--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out, "varnel 0.1.0\n");
    auto notAlone = RunProcess({kVarnel, "--help", "/hidden"});
    EXPECT_EQ(notAlone.exitStatus, 2) << "only alone is it a help request";
}

TEST(VarnelCli, AVisibleRunThatEndsExitsToo) {
    const std::string dir = testhost::MakeScratchDir("cli_visible");
    WriteFileBytes(dir + "/s.txt", "ECHO \"shown\"\n");
    auto r = RunProcess({kVarnel, "/r:" + dir + "/s.txt", "/o:" + dir + "/out.txt"}, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(ReadFileBytes(dir + "/out.txt").find("shown\r\nEnd of script\r\n"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(VARNEL_BUILD_DIR "/Readme.txt")) << "the read-me lies next to the program";
}

// A platform Qt finds but cannot start (here a plugin file that is no
// plugin) ends the start the way a missing display does: one line, status 2.
TEST(VarnelCli, AWindowQtCannotStartExitsWith2InOneLine) {
    const std::string dir = testhost::MakeScratchDir("cli_qt_fails");
    WriteFileBytes(dir + "/libqbroken.so", "not a plugin");
    WriteFileBytes(dir + "/s.txt", "ECHO \"never\"\n");
    auto r = RunProcess({kVarnel, "/r:" + dir + "/s.txt", "/o:" + dir + "/out.txt"},
                        {"QT_QPA_PLATFORM=broken", "QT_QPA_PLATFORM_PLUGIN_PATH=" + dir});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "varnel: cannot open a window: Qt could not start its platform \"broken\"\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(std::filesystem::exists(dir + "/out.txt"));
}

// A windowed start says nothing on standard error, also without a runtime
// folder in the environment.
TEST(VarnelCli, AWindowedStartIsQuiet) {
    const std::string dir = testhost::MakeScratchDir("cli_quiet");
    WriteFileBytes(dir + "/s.txt", "ECHO \"shown\"\n");
    auto r = RunProcess({kVarnel, "/r:" + dir + "/s.txt", "/o:" + dir + "/out.txt"},
                        {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR", "TMPDIR=" + dir});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFileBytes(dir + "/out.txt"),
              Transcript({"Checking script (clearing output file)", "Running script", "shown", "End of script",
                          "Closed connection."}));
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/varnel-runtime-" + std::to_string(getuid())));
}
