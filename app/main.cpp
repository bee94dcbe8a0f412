// varnel: runs a script against a host over a raw TCP connection.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "app/command_line.h"
#include "app/event_loop.h"
#include "app/frm_main.h"
#include "app/ssh_socket.h"
#include "app/telnet_session.h"
#include "app/telnet_socket.h"
#include "app/window_loader.h"
#include "platform/os.h"
#include "platform/vb_error.h"
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

int Run(int argc, char** argv) {
    const std::string commandLine = cmdline::JoinArguments(argc, argv);
    if (commandLine == "--help") {
        std::fputs(cmdline::HelpText().c_str(), stdout);
        return 0;
    }
    if (commandLine == "--version") {
        std::fputs(cmdline::VersionText().c_str(), stdout);
        return 0;
    }

    int32_t defaultTimeout = 0;
    if (const char* limit = std::getenv("VARNEL_TIMEOUT"); limit != nullptr && *limit != '\0') {
        try {
            defaultTimeout = scripttext::LimitSeconds(limit, /*whole=*/true);
        } catch (const VbError&) {
            std::fprintf(stderr, "varnel: VARNEL_TIMEOUT is not a number of seconds: %s\n", limit);
            return 2;
        }
    }
    FrmMain* form = nullptr;
    std::string loopError;
    if (!apploop::Init([&form](int signo) { if (form != nullptr) form->StopBySignal(signo); }, &loopError)) {
        std::fprintf(stderr, "varnel: cannot start: %s\n", loopError.c_str());
        return 2;
    }

    // A hidden run never loads the window module: it needs neither Qt nor a
    // display, and a hidden window's logs, which nobody sees, keep no text.
    std::string probe = commandLine;
    const bool hidden = cmdline::TakeHiddenSwitch(probe);
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
        return MakeSshSocket(sink, options.sshUser, [&form](const std::string& line) {
            if (form != nullptr) form->LogLine(line, false);
        });
    };

    FrmMain frmMain(window, {commandLine, cmdline::ProgramFolder(), MakeTelnetSocket, hooks});
    events.form = &frmMain;
    form = &frmMain;
    frmMain.lngDefaultTimeout = defaultTimeout;
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
    return frmMain.Ended() ? frmMain.ExitStatus() : 1;
}

}  // namespace
