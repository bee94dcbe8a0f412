// varnel: runs a script against a host over a raw TCP connection.
#include <cstdio>
#include <string>

#include "app/command_line.h"
#include "app/event_loop.h"
#include "app/frm_main.h"
#include "app/placeholder_socket.h"
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

    // A hidden window's logs can never be seen: it keeps none of their text.
    std::string probe = commandLine;
    const bool hidden = cmdline::TakeHiddenSwitch(probe);
    HeadlessMainWindow window(/*retainLogs=*/!hidden);

    RunnerHooks hooks;
    hooks.DoEvents = apploop::DoEvents;
    hooks.Sleep = apploop::Sleep;
    hooks.EndProgram = [](int) { apploop::Quit(); };

    FrmMain frmMain(window, {commandLine, cmdline::ProgramFolder(), MakePlaceholderSessionSocket, hooks});
    frmMain.Form_Load();

    if (!frmMain.RunStarted()) {
        // Nothing ran, and in a process without a display nothing ever can.
        std::string reason = frmMain.NothingRanReason() + "\n";
        std::fputs(reason.c_str(), stderr);
        return 2;
    }
    if (!frmMain.Ended()) apploop::Run();
    return frmMain.Ended() ? frmMain.ExitStatus() : 1;
}
