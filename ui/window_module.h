// The desktop window lives in a separately built module (libvarnel-qt.so)
// that the program loads only when it shows a window, so hidden runs never
// load the toolkit and never need a display.
#pragma once

#include <functional>
#include <string>

#include "ui/form_events.h"
#include "ui/main_window.h"

// What the window needs from the program's platform layer. The module does not
// link that layer itself (it would get a second copy of the one event loop);
// the loader hands over the program's own functions right after creating it.
struct GuiPlatform {
    std::function<int()> event_loop_fd;                           // win::EventLoopFd
    std::function<void()> pump_event_loop;                        // win::PumpEventLoop
    std::function<void(std::function<void()>)> set_toolkit_pump;  // win::SetToolkitPump
    std::function<void(const std::string&)> shell_open;           // win::ShellExecuteA(0, "open", target)
};

// A window with its own event loop, which also serves the program's one
// event loop (it watches win::EventLoopFd() and calls win::PumpEventLoop()).
class IGuiWindow : public IMainWindow {
public:
    // Shows nothing by itself; runs the toolkit's loop until Quit, returns the status given to Quit.
    virtual int Exec() = 0;
    virtual void Quit(int status) = 0;
    // Connects the window to the program's event loop and shell (see GuiPlatform).
    // Until then the toolkit's loop runs alone and OpenWithShell uses the desktop services.
    virtual void AttachPlatform(const GuiPlatform& platform) = 0;
};

// The module's one entry point, looked up with dlsym. Returns nullptr and
// fills *error with a one-line reason when no display can be opened.
// argc/argv are handed to the toolkit and must outlive the window.
extern "C" {
typedef IGuiWindow* (*VarnelCreateWindowFn)(int* argc, char** argv, IFormEvents* events,
                                           std::string* error);
}
#define VARNEL_CREATE_WINDOW_SYMBOL "varnel_create_window"
