// Start-up: the load step and the command-line table, run through FrmMain
// with a headless window, a fake socket and a scratch program folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/command_line.h"
#include "app/frm_main.h"
#include "ui/socket_log_box.h"
#include "tests/runner_fakes.h"

namespace {

// A program folder holding a few scripts; each logs its own name when run.
class ProgramFolder {
public:
    ProgramFolder() {
        char name[] = "/tmp/varnel_app_XXXXXX";
        path_ = mkdtemp(name);
        for (const char* script : {"script.txt", "a.txt", "my script.txt"}) {
            std::ofstream(path_ + "/" + script) << "ECHO \"ran " << script << "\"\r\n";
        }
        std::ofstream(path_ + "/empty.txt").close();
        std::filesystem::create_directory(path_ + "/folder.txt");
    }
    ~ProgramFolder() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct FrmRig {
    explicit FrmRig(const std::string& commandLine, const std::string& folder) {
        FrmMainSetup setup;
        setup.commandLine = commandLine;
        setup.programFolder = folder;
        setup.socketFactory = [this](ISessionEvents& events) {
            auto* sink = dynamic_cast<SocketLogBox*>(modSocketKit::SocketLogSink());
            debugBoxSetBeforeSocket = sink != nullptr && &sink->Box() == &window.txtWinsock();
            eventSinkIsForm = &events == static_cast<ISessionEvents*>(frm.get());
            return std::make_unique<FakeSocket>(sock);
        };
        setup.hooks.EndProgram = [this](int status) { endStatus = status; };
        frm = std::make_unique<FrmMain>(window, setup);
        frm->Form_Load();
    }
    std::vector<std::string> Log() const { return SplitCrLf(window.DebugBox().Text()); }
    bool Ran(const std::string& script) const {
        auto log = Log();
        return std::find(log.begin(), log.end(), "ran " + script) != log.end();
    }

    HeadlessMainWindow window;
    SocketJournal sock;
    bool debugBoxSetBeforeSocket = false;
    bool eventSinkIsForm = false;
    int endStatus = -1;
    std::unique_ptr<FrmMain> frm;
};

using Outcome = FrmMain::ParseOutcome;

}  // namespace

TEST(FormLoad, PreparesTheWindowAndTheSocket) {
    ProgramFolder dir;
    FrmRig rig("/r:script.txt", dir.path());
    EXPECT_EQ(rig.window.HeightTwips(), 3165);
    EXPECT_EQ(rig.window.WinsockBox().Text(), "Winsock Debug Log");
    EXPECT_EQ(rig.window.WinsockBox().rect, rig.window.InputBox().rect);
    EXPECT_TRUE(rig.debugBoxSetBeforeSocket);
    EXPECT_TRUE(rig.eventSinkIsForm);
    EXPECT_EQ(rig.frm->strAppPath, dir.path() + "/");
    EXPECT_EQ(rig.frm->strQuote, "\"");
    EXPECT_FALSE(rig.frm->blnHidden);
    // The run ended inside the load step: the window was unloaded and the socket let go.
    EXPECT_TRUE(rig.Ran("script.txt"));
    EXPECT_EQ(rig.endStatus, 0);
    EXPECT_TRUE(rig.window.Unloaded());
    EXPECT_EQ(rig.frm->wsTelnet, nullptr);
    EXPECT_EQ(rig.sock.destroyed, 0);
    rig.frm.reset();
    EXPECT_EQ(rig.sock.destroyed, 1);
    EXPECT_EQ(modSocketKit::SocketLogSink(), nullptr);
}

TEST(CommandLine, TheTableOfCases) {
    ProgramFolder dir;
    const std::string app = dir.path() + "/";
    // Names with a separator resolve against the current folder: make that the scratch folder.
    struct CurrentFolder {
        std::filesystem::path saved = std::filesystem::current_path();
        explicit CurrentFolder(const std::string& to) { std::filesystem::current_path(to); }
        ~CurrentFolder() { std::filesystem::current_path(saved); }
    } cwd(dir.path());
    struct Case {
        std::string commandLine;
        Outcome outcome;
        bool hidden;
        std::string ran;         // the script whose ECHO line must appear ("" for none)
        std::string outputFile;  // expected strOutputFile
        bool keep;
    };
    const Case cases[] = {
        {"/hidden", Outcome::NoRunArgument, false, "", "", false},
        {"/r:script.txt /hidden", Outcome::Started, true, "script.txt", "", false},
        {"/R:script.txt", Outcome::EmptyScriptName, false, "", "", false},
        {"/r:my script.txt", Outcome::Started, false, "my script.txt", "", false},
        {"/r:my script.txt /o:out.txt", Outcome::ScriptMissing, false, "", app + "out.txt", false},
        {"/r:a.txt /o:out.txt /keep", Outcome::Started, false, "a.txt", app + "out.txt", true},
        {"/r:a.txt /o:out.txt", Outcome::Started, false, "a.txt", app + "out.txt", false},
        {"/r:a.txt /keep", Outcome::ScriptMissing, false, "", "", false},
        {"/r:a.txt /o:logs\\out.txt", Outcome::Started, false, "a.txt", "logs\\out.txt", false},
        {"/r:./a.txt", Outcome::Started, false, "a.txt", "", false},
        {"/r:a.txt /o:logs/out.txt /KEEP", Outcome::Started, false, "a.txt", "logs/out.txt", true},
        {"/o:out.txt /r:a.txt", Outcome::Started, false, "a.txt", "", false},
        {"/r:a.txt /O:out.txt", Outcome::Started, false, "a.txt", "", false},
        {"/r:a.txt /o: /hidden", Outcome::Started, true, "a.txt", "", false},
        // Not hidden (case-sensitive); the name "a.txt /HIDDEN" holds a "/", so it is not looked up here.
        {"/r:a.txt /HIDDEN", Outcome::ScriptMissing, false, "", "", false},
        {"  /r:a.txt   /hidden", Outcome::Started, true, "a.txt", "", false},
        {" /hidden", Outcome::Usage, true, "", "", false},
        {"", Outcome::Usage, false, "", "", false},
        {"just words", Outcome::NoRunArgument, false, "", "", false},
        {"/r:empty.txt", Outcome::EmptyScript, false, "", "", false},
        {"/r:folder.txt", Outcome::ScriptMissing, false, "", "", false},
        {"/r:sub\\a.txt", Outcome::ScriptMissing, false, "", "", false},
        {"/r:" + app + "a.txt", Outcome::Started, false, "a.txt", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("command line [" + c.commandLine + "]");
        FrmRig rig(c.commandLine, dir.path());
        EXPECT_EQ(rig.frm->LastParseOutcome(), c.outcome);
        EXPECT_EQ(rig.frm->blnHidden, c.hidden);
        EXPECT_EQ(rig.window.Visible(), !c.hidden && c.outcome != Outcome::Started) << "a run unloads the window";
        EXPECT_EQ(rig.frm->strOutputFile, c.outputFile);
        EXPECT_EQ(rig.frm->blnKeepOutput, c.keep);
        EXPECT_EQ(rig.frm->RunStarted(), !c.ran.empty());
        if (!c.ran.empty()) {
            EXPECT_TRUE(rig.Ran(c.ran));
            // An output file in a folder that does not exist is a write failure (status 4).
            EXPECT_EQ(rig.endStatus, rig.frm->WriteFailure().empty() ? 0 : 4);
        }
        const bool usageBox = c.outcome == Outcome::Usage && !c.hidden;
        EXPECT_EQ(rig.window.MessageBoxes().size(), usageBox ? 1u : 0u);
    }
}

TEST(CommandLine, UsageMessageTextAndCaption) {
    FrmRig rig("", "/nowhere");
    ASSERT_EQ(rig.window.MessageBoxes().size(), 1u);
    EXPECT_EQ(rig.window.MessageBoxes()[0].caption, "Varnel");
    EXPECT_EQ(rig.window.MessageBoxes()[0].text,
              "To run a script use the /r: argument at the command line:\r\n\r\nvarnel /r:script.txt\r\n"
              "(where script.txt is the name of the script file)\r\n\r\n"
              "Please see the ReadMe file for more information.");
    EXPECT_TRUE(rig.window.DebugBox().Text().empty());
    EXPECT_FALSE(rig.window.Unloaded()) << "the window stays open and idle";
    EXPECT_EQ(rig.frm->NothingRanReason(), cmdline::UsageText("\n"));
}

TEST(CommandLine, ASecondInterpretationKeepsEarlierOutputSettings) {
    ProgramFolder dir;
    FrmRig rig("/r:missing.txt /o:out.txt /keep", dir.path());
    EXPECT_EQ(rig.frm->LastParseOutcome(), Outcome::ScriptMissing);
    rig.frm->strCommandLine = "/r:a.txt /hidden";  // as typed into the debug box
    rig.frm->ParseCommandLine();
    EXPECT_EQ(rig.frm->LastParseOutcome(), Outcome::ScriptMissing) << "\"/hidden\" stays part of the name";
    EXPECT_FALSE(rig.frm->blnHidden);
    rig.frm->strCommandLine = "/r:a.txt";
    rig.frm->ParseCommandLine();
    EXPECT_TRUE(rig.Ran("a.txt"));
    EXPECT_EQ(rig.frm->strOutputFile, dir.path() + "/out.txt");
    EXPECT_TRUE(rig.frm->blnKeepOutput);
    EXPECT_EQ(rig.Log().front(), "Checking script (keeping output file)");
}

TEST(CommandLine, ReasonsWhenNothingRan) {
    ProgramFolder dir;
    EXPECT_EQ(FrmRig("x", dir.path()).frm->NothingRanReason(),
              "varnel: nothing to run: the command line has no /r: argument");
    EXPECT_EQ(FrmRig("/R:x", dir.path()).frm->NothingRanReason(),
              "varnel: nothing to run: no script file name after /r:");
    EXPECT_EQ(FrmRig("/r:nope.txt", dir.path()).frm->NothingRanReason(),
              "varnel: script file not found: " + dir.path() + "/nope.txt");
    EXPECT_EQ(FrmRig("/r:empty.txt", dir.path()).frm->NothingRanReason(),
              "varnel: script file is empty: " + dir.path() + "/empty.txt");
    if (geteuid() != 0) {  // root reads any file
        chmod((dir.path() + "/a.txt").c_str(), 0);
        FrmRig locked("/r:a.txt", dir.path());
        EXPECT_EQ(locked.frm->LastParseOutcome(), Outcome::ScriptUnreadable);
        EXPECT_EQ(locked.frm->NothingRanReason(),
                  "varnel: cannot read script file " + dir.path() + "/a.txt: Permission denied");
    }
}

TEST(CommandLineFunctions, JoinHiddenAndNames) {
    const char* argv[] = {"varnel", "/r:my", "script.txt", "/hidden"};
    EXPECT_EQ(cmdline::JoinArguments(4, argv), "/r:my script.txt /hidden");
    EXPECT_EQ(cmdline::JoinArguments(1, argv), "");
    std::string text = "  /r:x.txt  /hidden";
    EXPECT_TRUE(cmdline::TakeHiddenSwitch(text));
    EXPECT_EQ(text, "/r:x.txt");
    text = "/hidden";
    EXPECT_FALSE(cmdline::TakeHiddenSwitch(text));
    text = "/r:x /Hidden";
    EXPECT_FALSE(cmdline::TakeHiddenSwitch(text));
    EXPECT_TRUE(cmdline::IsBareName("out.txt"));
    EXPECT_FALSE(cmdline::IsBareName("./out.txt"));
    EXPECT_FALSE(cmdline::IsBareName("logs\\out.txt"));
    EXPECT_EQ(cmdline::ResolveName("/opt/v/", "a.txt"), "/opt/v/a.txt");
    EXPECT_EQ(cmdline::ResolveName("/opt/v/", "../a.txt"), "../a.txt");
    const std::string folder = cmdline::ProgramFolder();
    EXPECT_EQ(folder, std::filesystem::path(VARNEL_BUILD_DIR "/tests").string());
}
