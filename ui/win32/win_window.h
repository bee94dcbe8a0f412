// The Win32 window as the program sees it (IGuiWindow): frmMain (WinForm)
// on the program's own message loop. Window messages and socket messages
// share the loop's GetMessage, so Exec is the loop itself and Quit ends it;
// the loop hands the window's keyboard messages to the dialog manager (Tab,
// access keys). The window is linked into the program: there is no module to
// load on Windows.
#pragma once

#include <memory>
#include <string>

#include "ui/win32/win_form.h"
#include "ui/window_module.h"

namespace varnel_win {

class WinGuiWindow : public IGuiWindow {
public:
    explicit WinGuiWindow(IFormEvents* events);
    ~WinGuiWindow() override;

    // Makes the window (hidden); false with a one-line reason when it cannot.
    bool Create(std::string* error);

    ITextBox& txtDebug() override { return form_.txtDebug(); }
    ITextBox& txtInput() override { return form_.txtInput(); }
    ITextBox& txtWinsock() override { return form_.txtWinsock(); }

    bool Visible() const override;
    void SetVisible(bool visible) override;
    int HeightTwips() const override { return form_.HeightTwips(); }
    void SetHeightTwips(int twips) override { form_.SetHeightTwips(twips); }
    void PlaceWinsockOnInput() override { form_.PlaceWinsockOnInput(); }
    // MessageBox with the information icon, owned by the window when it shows.
    void MsgBoxInformation(const std::string& text, const std::string& caption) override;
    void OpenWithShell(const std::string& target) override;
    void Unload() override { form_.Unload(); }

    int Exec() override;
    void Quit(int status) override;
    // Only the shell is taken: the loop is the window's own already.
    void AttachPlatform(const GuiPlatform& platform) override;

    WinForm& Form() { return form_; }

private:
    WinForm form_;
    GuiPlatform platform_;
    bool running_ = false;
    bool quitRequested_ = false;
    int quitStatus_ = 0;
};

// The screen's logical DPI (LOGPIXELSY), for a process that has declared
// itself DPI-aware (see DeclareDpiAware).
int ScreenDpi();
// Declares the process DPI-aware, so that the system neither stretches its
// windows nor reports 96 DPI to it. Before the first window is made.
void DeclareDpiAware();

}  // namespace varnel_win
