// varnel: runs a script against a host over a raw TCP connection.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/run_options.h"
#include "app/event_loop.h"
#include "app/frm_main.h"
#include "app/ssh_loader.h"
#include "app/telnet_session.h"
#include "app/telnet_socket.h"
#include "app/window_loader.h"
#include "platform/os.h"
#include "platform/vb_error.h"
#include "script/mod_misc.h"
#include "script/script_check.h"
#include "script/script_text.h"
#include "ui/headless_window.h"

namespace {

int Run(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) {
    // A broken pipe or a file-size limit is a write failure the program
    // reports, never a reason to die.
    os::IgnoreWriteSignals();
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("varnel: cannot start: out of memory\n", stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "varnel: cannot start: %s\n", e.what());
    }
    return 2;
}

namespace {

// How the program starts a run, from either form of the command line.
struct Launch {
    std::string commandLine;          // the /r: form's text (empty for the option form)
    std::optional<DirectRun> direct;  // the option form's run
    bool hidden = false;
    int32_t defaultTimeout = 0;       // limit of every wait for scripts without TIMEOUT
    int32_t defaultSettleMs = 1000;   // settle period of scripts without SETTLE (0: none)
    SessionOptions defaults;          // the session options each run starts with
    int transcriptFd = -1;            // standard output, when the transcript goes there
};

int Execute(int argc, char** argv, Launch launch);

// VARNEL_TIMEOUT, read into timeout; false (after saying so) when it is no number of seconds.
bool ReadTimeoutVariable(int32_t& timeout) {
    const char* limit = std::getenv("VARNEL_TIMEOUT");
    if (limit == nullptr || *limit == '\0') return true;
    try {
        timeout = scripttext::LimitSeconds(limit);
        return true;
    } catch (const VbError&) {
        std::fprintf(stderr, "varnel: VARNEL_TIMEOUT is not a number of seconds: %s\n", limit);
        return false;
    }
}

// VARNEL_SETTLE, read as VARNEL_TIMEOUT is, into milliseconds; false (after
// saying so) when it is no number of seconds.
bool ReadSettleVariable(int32_t& settleMs) {
    const char* settle = std::getenv("VARNEL_SETTLE");
    if (settle == nullptr || *settle == '\0') return true;
    try {
        settleMs = scripttext::LimitSeconds(settle) * 1000;
        return true;
    } catch (const VbError&) {
        std::fprintf(stderr, "varnel: VARNEL_SETTLE is not a number of seconds: %s\n", settle);
        return false;
    }
}

// The whole of standard input; false with the reason when it cannot be read.
bool ReadStandardInput(std::string& text, std::string& error) {
    const int failure = os::ReadToEnd(0, text);
    if (failure != 0) error = std::strerror(failure);
    return failure == 0;
}

// --check: every line the runner would not run, as SCRIPT:LINE: message.
int CheckOnly(const std::string& name, const std::string& text) {
    const std::vector<scriptcheck::Finding> findings = scriptcheck::CheckScript(text);
    for (const scriptcheck::Finding& f : findings)
        std::fprintf(stderr, "%s:%d: %s\n", name.c_str(), static_cast<int>(f.line), f.message.c_str());
    return findings.empty() ? 0 : 1;
}

// varnel [OPTIONS] SCRIPT
int RunOptionForm(int argc, char** argv) {
    cmdline::RunOptions options;
    std::string error;
    if (!cmdline::ParseRunOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(cmdline::HelpText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs(cmdline::VersionText().c_str(), stdout);
        return 0;
    }
    // The socket log is opened where the program reads VARNEL_SOCKET_LOG: the
    // option sets that variable before anything starts.
    if (options.socketLog) os::SetVariable("VARNEL_SOCKET_LOG", *options.socketLog);

    Launch launch;
    if (options.timeout) {
        launch.defaultTimeout = *options.timeout;
    } else if (!ReadTimeoutVariable(launch.defaultTimeout)) {
        return 2;
    }
    if (options.settle) {
        launch.defaultSettleMs = *options.settle * 1000;
    } else if (!ReadSettleVariable(launch.defaultSettleMs)) {
        return 2;
    }
    if (options.telnet) launch.defaults.telnet = *options.telnet;
    DirectRun run;
    run.script = options.script;
    run.outputFile = options.output;
    run.keep = options.append;
    run.hidden = !options.window;
    if (options.script == "-" && !ReadStandardInput(run.scriptText, error)) {
        std::fprintf(stderr, "varnel: cannot read the script from standard input: %s\n", error.c_str());
        return 2;
    }
    if (options.check) {
        std::string text = run.scriptText;
        if (options.script != "-") {
            if (!cmdline::IsOrdinaryFile(options.script)) {
                std::fprintf(stderr, "varnel: script file not found: %s\n", options.script.c_str());
                return 2;
            }
            try {
                text = modMisc::ReadWholeFile(options.script);
            } catch (const VbError& e) {
                std::fprintf(stderr, "varnel: cannot read script file %s: %s\n", options.script.c_str(),
                             e.Description.c_str());
                return 2;
            }
        }
        return CheckOnly(options.script, text);
    }
    launch.hidden = run.hidden;
    if (options.output.empty() && !options.quiet) launch.transcriptFd = STDOUT_FILENO;
    launch.direct = std::move(run);
    // The window gets no arguments of ours to read.
    return Execute(1, argv, std::move(launch));
}

// varnel /r:SCRIPT [/o:OUTPUT [/keep]] [/hidden]
int RunSeedForm(int argc, char** argv) {
    Launch launch;
    launch.commandLine = cmdline::JoinArguments(argc, argv);
    if (!ReadTimeoutVariable(launch.defaultTimeout)) return 2;
    if (!ReadSettleVariable(launch.defaultSettleMs)) return 2;
    std::string probe = launch.commandLine;
    launch.hidden = cmdline::TakeHiddenSwitch(probe);
    return Execute(argc, argv, std::move(launch));
}

int Run(int argc, char** argv) {
    return cmdline::IsOptionForm(argc, argv) ? RunOptionForm(argc, argv) : RunSeedForm(argc, argv);
}

int Execute(int argc, char** argv, Launch launch) {
    FrmMain* form = nullptr;
    std::string loopError;
    if (!apploop::Init([&form](int signo) { if (form != nullptr) form->StopBySignal(signo); }, &loopError)) {
        std::fprintf(stderr, "varnel: cannot start: %s\n", loopError.c_str());
        return 2;
    }

    // A hidden run never loads the window module: it needs neither Qt nor a
    // display, and a hidden window's logs, which nobody sees, keep no text.
    const bool hidden = launch.hidden;
    FrmMainEvents events;
    std::unique_ptr<IGuiWindow> gui;
    std::unique_ptr<HeadlessMainWindow> headless;
    if (hidden) {
        headless = std::make_unique<HeadlessMainWindow>(/*retainLogs=*/false);
    } else {
        std::string error;
        gui = LoadGuiWindow(&argc, argv, &events, &error);
        if (gui == nullptr) {
            std::fprintf(stderr, "varnel: %s\n", error.c_str());
            return 2;
        }
    }
    IMainWindow& window = gui ? static_cast<IMainWindow&>(*gui) : *headless;

    RunnerHooks hooks;
    hooks.DoEvents = apploop::DoEvents;
    hooks.Sleep = [](uint32_t milliseconds) { apploop::Sleep(milliseconds); };
    hooks.SleepUnlessStopped = apploop::Sleep;
    IGuiWindow* guiWindow = gui.get();
    hooks.EndProgram = [guiWindow](int status) {
        if (guiWindow != nullptr)
            guiWindow->Quit(status);
        else
            apploop::Quit();
    };
    hooks.StartTimer = [](uint32_t milliseconds) { apploop::StartTimer(milliseconds); };
    hooks.StopTimer = apploop::StopTimer;

    // Each HOST or SSH line gets a session socket of its own: an SSH session
    // for an SSH line (its notices go to the session log), otherwise the raw
    // or telnet socket its options ask for.
    hooks.OpenSession = [&form](ISessionEvents& sink, const SessionOptions& options) {
        if (options.sshUser.empty()) return OpenSessionSocket(sink, options);
        return OpenSshSocket(sink, options.sshUser, [&form](const std::string& line) {
            if (form != nullptr) form->LogLine(line, false);
        });
    };

    FrmMain frmMain(window, {launch.commandLine, cmdline::ProgramFolder(), MakeTelnetSocket, hooks,
                             std::move(launch.direct)});
    events.form = &frmMain;
    form = &frmMain;
    frmMain.lngDefaultTimeout = launch.defaultTimeout;
    frmMain.lngDefaultSettleMs = launch.defaultSettleMs;
    frmMain.defaultSessionOptions = launch.defaults;
    frmMain.intTranscriptFd = launch.transcriptFd;
    apploop::SetTimerTarget([&frmMain] { frmMain.TimerElapsed(); });
    frmMain.Form_Load();

    if (gui) {
        // The window shows after the load step, which may already have ended the run.
        if (!frmMain.Ended()) gui->SetVisible(true);
        const int status = gui->Exec();
        return frmMain.Ended() ? frmMain.ExitStatus() : status;
    }
    if (!frmMain.RunStarted()) {
        // Nothing ran, and in a process without a display nothing ever can.
        std::string reason = frmMain.NothingRanReason() + "\n";
        std::fputs(reason.c_str(), stderr);
        return 2;
    }
    if (!frmMain.Ended()) apploop::Run();
    if (!frmMain.WriteFailure().empty())
        std::fprintf(stderr, "varnel: the output file could not be written: %s\n", frmMain.WriteFailure().c_str());
    if (!frmMain.CaptureFailure().empty())
        std::fprintf(stderr, "varnel: the capture file could not be written: %s\n", frmMain.CaptureFailure().c_str());
    return frmMain.Ended() ? frmMain.ExitStatus() : 1;
}

}  // namespace
