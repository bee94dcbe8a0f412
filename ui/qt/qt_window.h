// The Qt window as the program sees it (IGuiWindow): frmMain plus the
// toolkit's application object and the bridge to the program's event loop.
//
// The program's one event loop keeps running inside Qt's: a socket notifier
// on the loop's pollable descriptor calls its non-blocking pump, and the
// program's DoEvents lets Qt handle its own pending events through the pump
// registered with set_toolkit_pump.
#pragma once

#include <memory>

#include "ui/qt/frm_main.h"
#include "ui/window_module.h"

class QApplication;
class QSocketNotifier;

namespace varnel_qt {

class QtGuiWindow : public IGuiWindow {
public:
    // app: the application object this window owns and outlives; nullptr when
    // one exists already (tests).
    QtGuiWindow(std::unique_ptr<QApplication> app, IFormEvents* events);
    ~QtGuiWindow() override;

    ITextBox& txtDebug() override { return form_->txtDebug(); }
    ITextBox& txtInput() override { return form_->txtInput(); }
    ITextBox& txtWinsock() override { return form_->txtWinsock(); }

    bool Visible() const override;
    void SetVisible(bool visible) override;
    int HeightTwips() const override { return form_->HeightTwips(); }
    void SetHeightTwips(int twips) override { form_->SetHeightTwips(twips); }
    void PlaceWinsockOnInput() override { form_->PlaceWinsockOnInput(); }
    void MsgBoxInformation(const std::string& text, const std::string& caption) override;
    void OpenWithShell(const std::string& target) override;
    void Unload() override { form_->Unload(); }

    int Exec() override;
    void Quit(int status) override;
    void AttachPlatform(const GuiPlatform& platform) override;

    FrmMain& Form() { return *form_; }

private:
    void PumpProgramLoop();
    void ProcessToolkitEvents();

    std::unique_ptr<QApplication> app_;
    std::unique_ptr<FrmMain> form_;
    GuiPlatform platform_;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool running_ = false;
    bool quit_requested_ = false;
    int quit_status_ = 0;
};

}  // namespace varnel_qt
