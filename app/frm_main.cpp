#include "app/frm_main.h"

#include "app/command_line.h"
#include "app/install_layout.h"
#include "net/service/socket_log_sink.h"
#include "script/mod_misc.h"

namespace {
constexpr int kCollapsedHeightTwips = 3165;
}

FrmMain::FrmMain(IMainWindow& window, FrmMainSetup setup)
    : ScriptRunner(window.txtDebug(), setup.hooks),
      window_(window),
      setup_(std::move(setup)),
      winsockLog_(window.txtWinsock()) {}

FrmMain::~FrmMain() {
    DestroySockets();
    if (modSocketKit::SocketLogSink() == &winsockLog_) modSocketKit::SetSocketLogSink(nullptr);
}

void FrmMain::Form_Load() {
    strCommandLine = setup_.commandLine;
    strQuote = std::string(1, '"');
    window_.SetHeightTwips(kCollapsedHeightTwips);
    strAppPath = modMisc::AddBackslash(setup_.programFolder);
    window_.PlaceWinsockOnInput();
    window_.txtWinsock().SetText("Winsock Debug Log");
    if (setup_.direct ? setup_.direct->hidden : cmdline::TakeHiddenSwitch(strCommandLine)) {
        blnHidden = true;
        window_.SetVisible(false);
    }
    // The socket code writes debug lines from the moment the socket is
    // created, so the box is installed as the log's sink first.
    modSocketKit::SetSocketLogSink(&winsockLog_);
    if (setup_.socketFactory) wsTelnet = setup_.socketFactory(*this);
    if (setup_.direct) {
        strCommandLine.clear();
        StartDirectRun();
    } else {
        ParseCommandLine();
    }
}

void FrmMain::StartDirectRun() {
    const DirectRun& run = *setup_.direct;
    strScriptFile = run.script;
    strOutputName = run.outputFile;
    strOutputFile = run.outputFile;
    blnKeepOutput = run.keep;
    scriptPath_ = run.script;
    if (run.script != "-") {
        LoadScriptAndStart();
        return;
    }
    strScript = run.scriptText;
    outcome_ = strScript.empty() ? ParseOutcome::EmptyScript : ParseOutcome::Started;
    StartScript();
}

void FrmMain::ParseCommandLine() {
    if (strCommandLine.empty()) {
        ShowUsage();
        return;
    }
    if (!modMisc::ContainsText(strCommandLine, "/r:")) {
        outcome_ = ParseOutcome::NoRunArgument;
        return;
    }
    // Only a lower-case "/r:" separates: with "/R:" the name comes out empty.
    strScriptFile = modMisc::GetWord(strCommandLine, "/r:", 2);
    if (modMisc::ContainsText(strCommandLine, " /o:")) {
        strOutputName = modMisc::GetWord(strScriptFile, "/o:", 2);
        strScriptFile = modMisc::GetWord(strScriptFile, " ", 1);
        if (modMisc::ContainsText(strOutputName, " /keep")) {
            blnKeepOutput = true;
            strOutputName.resize(strOutputName.size() - 6);  // " /keep" is at least 6 long
        } else {
            blnKeepOutput = false;
        }
        strOutputFile = strOutputName.empty() ? std::string() : cmdline::ResolveName(strAppPath, strOutputName);
    }
    if (strScriptFile.empty()) {
        outcome_ = ParseOutcome::EmptyScriptName;
        return;
    }
    scriptPath_ = cmdline::ResolveName(strAppPath, strScriptFile);
    LoadScriptAndStart();
}

void FrmMain::LoadScriptAndStart() {
    if (!cmdline::IsOrdinaryFile(scriptPath_)) {
        outcome_ = ParseOutcome::ScriptMissing;
        return;
    }
    try {
        strScript = modMisc::ReadWholeFile(scriptPath_);
    } catch (const VbError& e) {
        // A file that exists but cannot be read: nothing happens, as for a missing one.
        outcome_ = ParseOutcome::ScriptUnreadable;
        readError_ = e.Description;
        return;
    }
    if (!strOutputFile.empty() && cmdline::SameFile(strOutputFile, scriptPath_)) {
        // Clearing the output file would delete the script: nothing runs.
        outcome_ = ParseOutcome::OutputIsScript;
        return;
    }
    outcome_ = strScript.empty() ? ParseOutcome::EmptyScript : ParseOutcome::Started;
    StartScript();
}

void FrmMain::ShowUsage() {
    outcome_ = ParseOutcome::Usage;
    // A hidden window never shows anything; the caller reports the usage instead.
    if (blnHidden) return;
    window_.MsgBoxInformation(cmdline::UsageText("\r\n"), "Varnel");
}

void FrmMain::Form_QueryUnload() { ReleaseSocket(); }

namespace {
// The address the logo opens.
const char* const kMakerWebSite = "https://varnel.example.org/";
}  // namespace

void FrmMain::cmdStop_Click() {
    // An ending that waits for its queued data would wait on a closed
    // connection until its time limit: it ends now instead.
    if (StopDrain()) return;
    try {
        if (wsTelnet) wsTelnet->CloseSck();
    } catch (const VbError&) {
        // Closing reports nothing here: the stop button has no error report.
    }
}

void FrmMain::cmdScrDbg_Click() {
    strScript = window_.txtInput().Text();
    StartScript();
}

void FrmMain::cmdComDbg_Click() {
    strCommandLine = window_.txtInput().Text();
    ParseCommandLine();
}

// The read-me file lies beside the program in a build folder and in
// PREFIX/share/doc/varnel/ when installed.
void FrmMain::cmdReadMe_Click() {
    window_.OpenWithShell(layout::CompanionFile(strAppPath, "Readme.txt", layout::kDocFolder));
}

void FrmMain::imgLogo_Click() { window_.OpenWithShell(kMakerWebSite); }

// The unload step runs first, then the window closes for good. A window that
// the user closes calls Form_QueryUnload itself; running it twice is harmless.
void FrmMain::UnloadWindow() {
    Form_QueryUnload();
    window_.Unload();
}

std::string FrmMain::NothingRanReason() const {
    switch (outcome_) {
    case ParseOutcome::Usage: return cmdline::UsageText("\n");
    case ParseOutcome::NoRunArgument: return "varnel: nothing to run: the command line has no /r: argument";
    case ParseOutcome::EmptyScriptName: return "varnel: nothing to run: no script file name after /r:";
    case ParseOutcome::ScriptMissing: return "varnel: script file not found: " + scriptPath_;
    case ParseOutcome::ScriptUnreadable: return "varnel: cannot read script file " + scriptPath_ + ": " + readError_;
    case ParseOutcome::EmptyScript: return "varnel: script file is empty: " + scriptPath_;
    case ParseOutcome::OutputIsScript: return "varnel: the output file is the script file: " + strOutputFile;
    case ParseOutcome::NotRun:
    case ParseOutcome::Started: break;
    }
    return "varnel: nothing ran";
}
