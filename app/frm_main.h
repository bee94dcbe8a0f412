// frmMain: the main window's start-up (the load step and the command-line
// interpreter) on top of the script runner it owns.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "script/script_runner.h"
#include "script/session_events.h"
#include "script/session_socket.h"
#include "ui/form_events.h"
#include "ui/main_window.h"
#include "ui/socket_log_box.h"

// Creates the session socket, handing it the sink for its events.
using SessionSocketFactory = std::function<std::unique_ptr<ISessionSocket>(ISessionEvents& events)>;

// A run given by the option form of the command line instead of a command-line text.
struct DirectRun {
    std::string script;       // the script's path as given, or "-" (the text is then in scriptText)
    std::string scriptText;   // the script read from standard input
    std::string outputFile;   // the output file's path; empty: none
    bool keep = false;        // append to the output file instead of clearing it
    bool hidden = true;       // no window
};

struct FrmMainSetup {
    std::string commandLine;     // the command-line text after the program name
    std::string programFolder;   // the folder of the executable
    SessionSocketFactory socketFactory;
    RunnerHooks hooks;
    std::optional<DirectRun> direct = std::nullopt;  // set: the run to start instead of reading commandLine
};

class FrmMain : public ScriptRunner, public IFormEvents {
public:
    FrmMain(IMainWindow& window, FrmMainSetup setup);
    ~FrmMain() override;

    // --- Window variables of the start-up code (strScript, strOutputFile and
    // blnKeepOutput belong to the runner) ---
    std::string strCommandLine;
    std::string strAppPath;   // the program's folder, ending in "/"
    std::string strQuote;     // one double quote
    std::string strScriptFile;
    std::string strOutputName;

    // The load step: prepares the window, decides hidden mode, installs
    // txtWinsock as the socket debug log's sink, creates the session socket
    // and interprets the command line (which may run the script's first lines).
    void Form_Load();
    // Interprets strCommandLine; may read the script file and start the run.
    void ParseCommandLine();
    // The unload step: closes the session socket unless it is closed, then releases it.
    void Form_QueryUnload() override;

    // The window's handlers that reach the program.
    // Closes the session socket; a waiting run is not told, but an ending
    // that waits for queued data to go out ends at once (StopDrain).
    void cmdStop_Click() override;
    void cmdScrDbg_Click() override;   // runs the debug box's text as a script
    void cmdComDbg_Click() override;   // interprets the debug box's text as a command line
    void cmdReadMe_Click() override;   // opens Readme.txt (beside the program, or installed)
    void imgLogo_Click() override;     // opens the maker's web site

    // What the last ParseCommandLine did.
    enum class ParseOutcome { NotRun, Usage, NoRunArgument, EmptyScriptName, ScriptMissing,
                              ScriptUnreadable, EmptyScript, OutputIsScript, Started };
    ParseOutcome LastParseOutcome() const { return outcome_; }
    // Why nothing ran, for standard error: the usage text (LF-separated) or one line.
    std::string NothingRanReason() const;

protected:
    void UnloadWindow() override;

private:
    void ShowUsage();
    // Starts the run setup_.direct names (the load step's option-form path).
    void StartDirectRun();
    // Reads the script at scriptPath_ and starts it, unless the output file is that script.
    void LoadScriptAndStart();

    IMainWindow& window_;
    FrmMainSetup setup_;
    ParseOutcome outcome_ = ParseOutcome::NotRun;
    std::string scriptPath_;
    std::string readError_;
    SocketLogBox winsockLog_;   // the socket debug log's sink: txtWinsock
};

// The window is made before frmMain (which needs it), so the window is given
// this forwarder, which reaches frmMain's handlers once form is set.
struct FrmMainEvents : IFormEvents {
    FrmMain* form = nullptr;
    void cmdStop_Click() override { form->cmdStop_Click(); }
    void cmdScrDbg_Click() override { form->cmdScrDbg_Click(); }
    void cmdComDbg_Click() override { form->cmdComDbg_Click(); }
    void cmdReadMe_Click() override { form->cmdReadMe_Click(); }
    void imgLogo_Click() override { form->imgLogo_Click(); }
    void Form_QueryUnload() override { form->Form_QueryUnload(); }
};
