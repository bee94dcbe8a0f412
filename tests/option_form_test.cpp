// The option form of the command line (varnel [OPTIONS] SCRIPT): how the two
// forms are told apart, what each option does to a run of the real program,
// and the script check.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/run_options.h"
#include "tests/support/scripted_host.h"

using testhost::ReadFileBytes;
using testhost::RunProcess;
using testhost::WriteFileBytes;

namespace {

const std::string kVarnel = VARNEL_BUILD_DIR "/varnel";

std::string Transcript(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// A shell command run in folder dir, with $0 the program.
testhost::ProcessResult InFolder(const std::string& dir, const std::string& command,
                                 const std::vector<std::string>& env = {}) {
    return RunProcess({"/bin/sh", "-c", "cd '" + dir + "' && " + command, kVarnel}, env);
}

bool IsOptionForm(std::vector<std::string> args) {
    std::vector<const char*> argv{"varnel"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    return cmdline::IsOptionForm(static_cast<int>(argv.size()), argv.data());
}

const std::string kEcho = Transcript({"Checking script (clearing output file)", "Running script", "Hello",
                                      "End of script", "Closed connection."});

}  // namespace

TEST(OptionForm, TheTwoFormsAreToldApart) {
    struct Case {
        std::vector<std::string> args;
        bool optionForm;
    };
    const Case cases[] = {
        {{}, false},
        {{"job.txt"}, true},
        {{"/home/user/job.txt"}, true},
        {{"--help"}, true},
        {{"-o", "out.txt", "/tmp/job.txt"}, true},
        {{"/r:job.txt"}, false},
        {{"/R:job.txt"}, false},
        {{"job.txt", "/O:out.txt"}, false},
        {{"-q", "/KEEP"}, false},
        {{"--help", "/Hidden"}, false},
        {{"/rx", "/keeper"}, false},  // starts with /keep
        {{"/run/job.txt"}, true},
        {{"/home/hidden.txt"}, true},
        {{" /hidden"}, false},
        {{"  /r:job.txt"}, false},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        EXPECT_EQ(IsOptionForm(c.args), c.optionForm) << shown;
    }
}

TEST(OptionForm, OptionsAreRead) {
    std::vector<const char*> argv{"varnel", "-o",           "out.txt",  "-a",     "-t", "7",  "--telnet=on",
                                  "--settle", "1.5",        "--socket-log", "s.log", "-nqw", "job.txt"};
    cmdline::RunOptions o;
    std::string error;
    ASSERT_TRUE(cmdline::ParseRunOptions(static_cast<int>(argv.size()), argv.data(), o, error)) << error;
    EXPECT_EQ(o.script, "job.txt");
    EXPECT_EQ(o.output, "out.txt");
    EXPECT_TRUE(o.append && o.check && o.quiet && o.window);
    EXPECT_EQ(o.timeout, 7);
    EXPECT_EQ(o.telnet, SessionOptions::Telnet::On);
    EXPECT_EQ(o.settle, 2);  // seconds, a fraction rounded up
    EXPECT_EQ(o.socketLog, "s.log");
    EXPECT_FALSE(o.help || o.version);
}

TEST(OptionForm, BadOptionsSayWhyInOneLineWithStatus2) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"--bogus", "job.txt"}, "varnel: unknown option --bogus (see varnel --help)\n"},
        {{"-x", "job.txt"}, "varnel: unknown option -x (see varnel --help)\n"},
        {{"job.txt", "-o"}, "varnel: option -o needs an argument\n"},
        {{"job.txt", "--output"}, "varnel: option --output needs an argument\n"},
        {{"-t", "soon", "job.txt"}, "varnel: --timeout is not a number of seconds: soon\n"},
        {{"--telnet", "yes", "job.txt"}, "varnel: --telnet takes on, off or auto, not: yes\n"},
        {{"--settle", "-1", "job.txt"}, "varnel: --settle is not a number of seconds: -1\n"},
        {{"-q"}, "varnel: no script given (see varnel --help)\n"},
        {{"a.txt", "b.txt"}, "varnel: one script only; also given: b.txt\n"},
        {{"-a", "job.txt"}, "varnel: --append needs --output\n"},
        {{"-o", "", "job.txt"}, "varnel: the output file name is empty\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{kVarnel};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = RunProcess(argv);
        EXPECT_EQ(r.exitStatus, 2) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST(OptionForm, HelpShowsTheOptionFormFirstAndVersion) {
    auto help = RunProcess({kVarnel, "-h"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out.rfind("Usage: varnel [OPTIONS] SCRIPT\n       varnel /r:SCRIPT", 0), 0u) << help.out;
    EXPECT_EQ(RunProcess({kVarnel, "--help"}).out, help.out);
    EXPECT_EQ(RunProcess({kVarnel, "-V"}).out, "varnel 0.1.0\n");
    EXPECT_EQ(RunProcess({kVarnel, "--version"}).out, "varnel 0.1.0\n");
}

// Without -o the transcript goes to standard output: the bytes the output
// file gets, line by line. Relative names are relative to the current folder.
TEST(OptionForm, TranscriptOnStandardOutputOrInTheOutputFile) {
    const std::string dir = testhost::MakeScratchDir("opt_transcript");
    WriteFileBytes(dir + "/job.txt", "ECHO \"Hello\"\r\n");
    auto toStdout = InFolder(dir, "exec \"$0\" job.txt");
    EXPECT_EQ(toStdout.exitStatus, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out, kEcho);
    EXPECT_EQ(toStdout.err, "");

    auto toFile = InFolder(dir, "exec \"$0\" -o out.txt job.txt");
    EXPECT_EQ(toFile.exitStatus, 0) << toFile.err;
    EXPECT_EQ(toFile.out, "");
    EXPECT_EQ(ReadFileBytes(dir + "/out.txt"), toStdout.out);

    auto appended = InFolder(dir, "exec \"$0\" --append --output=out.txt job.txt");
    EXPECT_EQ(appended.exitStatus, 0);
    EXPECT_EQ(ReadFileBytes(dir + "/out.txt"),
              kEcho + Transcript({"Checking script (keeping output file)", "Running script", "Hello",
                                  "End of script", "Closed connection."}));

    auto quiet = InFolder(dir, "exec \"$0\" -q job.txt");
    EXPECT_EQ(quiet.exitStatus, 0);
    EXPECT_EQ(quiet.out, "");

    auto absolute = RunProcess({kVarnel, dir + "/job.txt"});
    EXPECT_EQ(absolute.out, kEcho) << "an absolute path is the option form";

    // The output file is never the script, as with /o:.
    auto same = InFolder(dir, "exec \"$0\" -o job.txt job.txt");
    EXPECT_EQ(same.exitStatus, 2);
    EXPECT_EQ(same.err, "varnel: the output file is the script file: job.txt\n");
    EXPECT_EQ(ReadFileBytes(dir + "/job.txt"), "ECHO \"Hello\"\r\n");

    auto missing = InFolder(dir, "exec \"$0\" none.txt");
    EXPECT_EQ(missing.exitStatus, 2);
    EXPECT_EQ(missing.err, "varnel: script file not found: none.txt\n");
}

TEST(OptionForm, AScriptFromAHereDocument) {
    const std::string dir = testhost::MakeScratchDir("opt_stdin");
    auto r = InFolder(dir, "\"$0\" - <<'EOF'\nECHO \"Hello\"\nEOF\n");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, kEcho);
    auto empty = InFolder(dir, "\"$0\" - </dev/null");
    EXPECT_EQ(empty.exitStatus, 2);
    EXPECT_EQ(empty.err, "varnel: script file is empty: -\n");
}

// A transcript that cannot reach standard output is a lost transcript.
TEST(OptionForm, AStandardOutputThatFailsEndsWithStatus4) {
    const std::string dir = testhost::MakeScratchDir("opt_full");
    WriteFileBytes(dir + "/job.txt", "ECHO \"Hello\"\r\n");
    auto r = InFolder(dir, "exec \"$0\" job.txt >/dev/full");
    EXPECT_EQ(r.exitStatus, 4);
    EXPECT_EQ(r.err, "varnel: the output file could not be written: standard output: No space left on device\n");
}

// -t limits the waits of a script without TIMEOUT, over VARNEL_TIMEOUT.
TEST(OptionForm, TimeoutOption) {
    testhost::ScriptedHost host([](testhost::HostConnection& c) {
        c.Send("banner\r\n");
        c.ReadToEnd();
    });
    const std::string dir = testhost::MakeScratchDir("opt_timeout");
    WriteFileBytes(dir + "/job.txt", testhost::HostLine(host.Port()) + "WAIT \"never\"\r\n");
    auto r = InFolder(dir, "exec \"$0\" -t 1 job.txt", {"VARNEL_TIMEOUT=abc"});
    EXPECT_EQ(r.exitStatus, 3) << r.err;
    EXPECT_NE(r.out.find("\r\nTimed out after 1 seconds waiting for \"never\" on line 2\r\n"), std::string::npos)
        << r.out;
}

// --telnet sets the mode each run starts with; a TELNET line still wins.
TEST(OptionForm, TelnetOptionAndSocketLog) {
    testhost::ScriptedHost host([](testhost::HostConnection& c) {
        c.Send("\xff\xfb\x01hello\r\n");
        c.ReadToEnd();
    });
    const std::string dir = testhost::MakeScratchDir("opt_telnet");
    const std::string host_line = testhost::HostLine(host.Port());
    // The first block lets the run go on past HOST, to the end of the script.
    WriteFileBytes(dir + "/plain.txt", host_line);
    WriteFileBytes(dir + "/off.txt", "TELNET OFF\r\n" + host_line);
    struct Case {
        std::string command;
        bool negotiationInTranscript;
    };
    const Case cases[] = {
        {"exec \"$0\" plain.txt", true},
        {"exec \"$0\" --telnet=off plain.txt", true},
        {"exec \"$0\" --telnet on plain.txt", false},
        {"exec \"$0\" --telnet on off.txt", true},
    };
    for (const Case& c : cases) {
        auto r = InFolder(dir, c.command);
        EXPECT_EQ(r.exitStatus, 0) << c.command << r.err;
        EXPECT_NE(r.out.find("hello\r\n"), std::string::npos) << c.command;
        EXPECT_EQ(r.out.find("\xff\xfb\x01") != std::string::npos, c.negotiationInTranscript) << c.command;
    }
    auto logged = InFolder(dir, "exec \"$0\" -q --socket-log sock.log plain.txt");
    EXPECT_EQ(logged.exitStatus, 0);
    EXPECT_FALSE(ReadFileBytes(dir + "/sock.log").empty());
}

TEST(OptionForm, SettleIsASecondsNumber) {
    const std::string dir = testhost::MakeScratchDir("opt_settle");
    WriteFileBytes(dir + "/job.txt", "ECHO \"Hello\"\r\n");
    auto r = InFolder(dir, "exec \"$0\" --settle 0.2 job.txt");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, kEcho);
}

// --check reads every line, connects nowhere, and names each line the runner
// would refuse.
TEST(OptionForm, CheckReportsEveryBadLineWithoutConnecting) {
    testhost::ScriptedHost host([](testhost::HostConnection& c) { c.ReadToEnd(); });
    const std::string dir = testhost::MakeScratchDir("opt_check");
    const std::string host_line = testhost::HostLine(host.Port());
    WriteFileBytes(dir + "/good.txt", "# fine\r\n\r\n\t" + host_line + "TELNET auto\r\nTIMEOUT 5\r\n"
                                      "SEND \"x\\n\"\r\nWAIT \"$\"\r\nDELAY 1\r\nSSH a@b 22\r\necho \"done\"\r\n"
                                      "SETTLE 2\r\nWAIT \"a#\" OR \"b>\"\r\nON \"--More--\" SEND \" \"\r\nON \"--More--\"\r\n"
                                      "FAIL \"% Invalid\"\r\nCAPTURE \"c.txt\"\r\nCAPTURE OFF\r\n");
    WriteFileBytes(dir + "/bad.txt", host_line + "#no space\r\nECHO \"open\r\nDELAY 9999999\r\nTIMEOUT x\r\n"
                                     "TELNET maybe\r\nSSH nobody\r\nSNED \"x\"\r\nECHO \"fine\"\r\n"
                                     "FAIL \"\"\r\nCAPTURE\r\nON \"\" SEND \"y\"\r\n");
    auto good = InFolder(dir, "exec \"$0\" -n good.txt");
    EXPECT_EQ(good.exitStatus, 0);
    EXPECT_EQ(good.err, "");
    EXPECT_EQ(good.out, "");
    auto bad = InFolder(dir, "exec \"$0\" --check bad.txt");
    EXPECT_EQ(bad.exitStatus, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err,
              "bad.txt:2: Unrecognised command\n"
              "bad.txt:3: Error 5: Invalid procedure call or argument\n"
              "bad.txt:4: Error 6: Overflow\n"
              "bad.txt:5: Error 5: Invalid procedure call or argument\n"
              "bad.txt:6: Error 5: Invalid procedure call or argument\n"
              "bad.txt:7: Error 42008: SSH needs user@name\n"
              "bad.txt:8: Unrecognised command\n"
              "bad.txt:10: Error 5: Invalid procedure call or argument\n"
              "bad.txt:11: Error 5: Invalid procedure call or argument\n"
              "bad.txt:12: Error 5: Invalid procedure call or argument\n");
    auto piped = InFolder(dir, "\"$0\" -n - < bad.txt");
    EXPECT_EQ(piped.exitStatus, 1);
    EXPECT_EQ(piped.err.rfind("-:2: Unrecognised command\n", 0), 0u) << piped.err;
    auto missing = InFolder(dir, "exec \"$0\" -n none.txt");
    EXPECT_EQ(missing.exitStatus, 2);
    EXPECT_EQ(missing.err, "varnel: script file not found: none.txt\n");
    EXPECT_EQ(host.Accepted(), 0);
}

// The window runs only with -w; without a display that start fails as a
// windowed /r: start does.
TEST(OptionForm, WindowOnlyWhenAsked) {
    const std::string dir = testhost::MakeScratchDir("opt_window");
    WriteFileBytes(dir + "/job.txt", "ECHO \"Hello\"\r\n");
    const std::vector<std::string> noDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    auto hidden = InFolder(dir, "exec \"$0\" job.txt", noDisplay);
    EXPECT_EQ(hidden.exitStatus, 0);
    auto window = InFolder(dir, "exec \"$0\" -w job.txt", noDisplay);
    EXPECT_EQ(window.exitStatus, 2);
    EXPECT_EQ(window.err, "varnel: cannot open a window: no display (DISPLAY is not set)\n");
    auto shown = InFolder(dir, "exec \"$0\" --window job.txt", {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(shown.exitStatus, 0) << shown.err;
    EXPECT_EQ(shown.out, kEcho);
}
