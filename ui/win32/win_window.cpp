// First: the real Windows headers in the order Windows Sockets needs them.
#include "platform/message_window.h"

#include "ui/win32/win_window.h"

#include <shellapi.h>

#include "platform/win32/dialog_window.h"
#include "ui/win32/edit_box.h"

namespace varnel_win {

WinGuiWindow::WinGuiWindow(IFormEvents* events) : form_(events, ScreenDpi()) {}

WinGuiWindow::~WinGuiWindow() { win::SetDialogWindow(nullptr); }

bool WinGuiWindow::Create(std::string* error) {
    if (!form_.Create(error)) return false;
    win::SetDialogWindow(form_.Handle());
    // Closing the window ends the program.
    form_.SetOnClosed([this] {
        if (!quitRequested_) Quit(0);
    });
    return true;
}

bool WinGuiWindow::Visible() const { return ::IsWindowVisible(form_.Handle()) != FALSE; }

void WinGuiWindow::SetVisible(bool visible) {
    ::ShowWindow(form_.Handle(), visible ? SW_SHOW : SW_HIDE);
    if (visible) ::UpdateWindow(form_.Handle());
}

void WinGuiWindow::MsgBoxInformation(const std::string& text, const std::string& caption) {
    HWND owner = Visible() ? form_.Handle() : nullptr;
    ::MessageBoxW(owner, EditBox::Widen(EditBox::ToView(text)).c_str(), EditBox::Widen(caption).c_str(),
                  MB_OK | MB_ICONINFORMATION);
}

void WinGuiWindow::OpenWithShell(const std::string& target) {
    if (platform_.shell_open) {
        platform_.shell_open(target);
        return;
    }
    if (!target.empty()) ::ShellExecuteA(nullptr, "open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

int WinGuiWindow::Exec() {
    if (quitRequested_) return quitStatus_;  // unloaded before the loop ever ran
    running_ = true;
    win::RunMessageLoop();
    running_ = false;
    return quitStatus_;
}

void WinGuiWindow::Quit(int status) {
    quitRequested_ = true;
    quitStatus_ = status;
    if (running_) win::QuitMessageLoop();
}

void WinGuiWindow::AttachPlatform(const GuiPlatform& platform) { platform_.shell_open = platform.shell_open; }

int ScreenDpi() {
    HDC screen = ::GetDC(nullptr);
    const int dpi = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen != nullptr) ::ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

void DeclareDpiAware() { ::SetProcessDPIAware(); }

}  // namespace varnel_win
