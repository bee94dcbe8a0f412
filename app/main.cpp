// varnel: runs a script against a host over a raw TCP connection.
#include <cstdio>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "app/event_loop.h"
#include "app/frm_main.h"
#include "app/ssh_socket.h"
#include "app/telnet_socket.h"
#include "app/window_loader.h"
#include "ui/headless_window.h"

int main(int argc, char** argv) {
    const std::string commandLine = cmdline::JoinArguments(argc, argv);
    if (commandLine == "--help") {
        std::fputs(cmdline::HelpText().c_str(), stdout);
        return 0;
    }
    if (commandLine == "--version") {
        std::fputs(cmdline::VersionText().c_str(), stdout);
        return 0;
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
    hooks.Sleep = apploop::Sleep;
    IGuiWindow* guiWindow = gui.get();
    hooks.EndProgram = [guiWindow](int status) {
        if (guiWindow != nullptr)
            guiWindow->Quit(status);
        else
            apploop::Quit();
    };

    // Each HOST or SSH line gets a session socket of its own: an SSH session
    // for an SSH line (its notices go to the session log), a telnet socket otherwise.
    FrmMain* form = nullptr;
    hooks.OpenSession = [&form](ISessionEvents& sink, const SessionOptions& options) {
        if (options.sshUser.empty()) return MakeTelnetSocket(sink);
        return MakeSshSocket(sink, options.sshUser, [&form](const std::string& line) {
            if (form != nullptr) form->LogLine(line, false);
        });
    };

    FrmMain frmMain(window, {commandLine, cmdline::ProgramFolder(), MakeTelnetSocket, hooks});
    form = &frmMain;
    events.form = &frmMain;
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
    return frmMain.Ended() ? frmMain.ExitStatus() : 1;
}
