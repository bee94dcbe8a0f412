// The Windows twin of window_loader.cpp: the window is made of Win32
// controls linked into the program, so nothing is loaded; it runs on the
// program's own message loop and opens files with the shell.
#include "app/window_loader.h"

#include "platform/message_window.h"
#include "platform/os.h"
#include "ui/win32/win_window.h"

GuiPlatform ProgramGuiPlatform() {
    GuiPlatform platform;
    platform.shell_open = [](const std::string& target) { win::ShellExecuteA(0, "open", target); };
    return platform;
}

std::unique_ptr<IGuiWindow> LoadGuiWindow(int*, char**, IFormEvents* events, std::string* error) {
    if (const std::string why = os::WindowUnavailableReason(); !why.empty()) {
        if (error != nullptr) *error = "cannot open a window: " + why;
        return nullptr;
    }
    varnel_win::DeclareDpiAware();
    auto window = std::make_unique<varnel_win::WinGuiWindow>(events);
    std::string why;
    if (!window->Create(&why)) {
        if (error != nullptr) *error = "cannot open a window: " + why;
        return nullptr;
    }
    window->AttachPlatform(ProgramGuiPlatform());
    return window;
}
