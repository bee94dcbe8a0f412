// frmMain: the program's one window. The upper region holds the logo, the
// read-me button and the session log; the debug region below holds the debug
// box, the switch to the socket debug log and the Stop button. The window
// opens collapsed (the program sets the height at load); a right click on the
// read-me button expands or collapses it.
//
// The handlers that only change the window itself live here; the others go to
// the program through IFormEvents.
//
// The controls follow the window's size (see form_layout.h). Controls that lie
// wholly outside the client area, such as the debug region of the collapsed
// window, are out of reach: Tab skips them and they take no keys (access keys
// included) until the window shows them again. The tab order itself stays.
//
// Moved to a screen of another DPI (or when its screen's DPI changes), the
// window keeps its size in twips and redoes its layout at the new scale.
//
// Every control has an accessible name (its caption, or what the box is) and
// description.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "ui/qt/form_layout.h"
#include "ui/qt/log_view.h"
#include "ui/qt/qt_text_box.h"

class IFormEvents;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QScreen;

namespace varnel_qt {

class FrmMain : public QWidget {
    Q_OBJECT
public:
    explicit FrmMain(IFormEvents* events);
    ~FrmMain() override;

    LogView& txtDebug() { return *txtDebug_; }
    QtTextBox& txtInput() { return *input_box_; }
    LogView& txtWinsock() { return *txtWinsock_; }

    int HeightTwips() const;
    void SetHeightTwips(int twips);
    void PlaceWinsockOnInput();
    // Closes the window for good. The program has run its unload step
    // already; a close by the user runs Form_QueryUnload first.
    void Unload();
    bool Unloaded() const { return unloaded_; }
    // Called after the window has closed (by the user or by Unload).
    void SetOnClosed(std::function<void()> on_closed) { on_closed_ = std::move(on_closed); }

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void SetTabOrder();
    CaptionNeeds Needs() const;
    // Places the controls for the current size and puts out of reach those
    // the client area cuts off.
    void ApplyLayout();
    void ConnectHandlers();
    int HeightTwipsAt(const TwipScale& scale) const;
    void WatchScreenDpi(QScreen* screen);
    // Redoes the size and layout when the screen's DPI is not the one they
    // were made for.
    void FollowDpi();
    void FollowDpiLater();
    void cmdReadMe_MouseUp(Qt::MouseButton button);
    void chkWinsock_Click();

    IFormEvents* events_;
    QLabel* imgLogo_ = nullptr;
    QPushButton* cmdReadMe_ = nullptr;
    LogView* txtDebug_ = nullptr;
    QLabel* Label1_ = nullptr;
    QCheckBox* chkWinsock_ = nullptr;
    QPlainTextEdit* txtInput_ = nullptr;
    LogView* txtWinsock_ = nullptr;
    QPushButton* cmdComDbg_ = nullptr;
    QPushButton* cmdScrDbg_ = nullptr;
    QPushButton* cmdStop_ = nullptr;
    std::unique_ptr<QtTextBox> input_box_;

    double dpi_ = 0;  // the DPI the layout was made for
    // The client size in twips at that DPI (the height with the frame).
    int width_twips_ = kClientWidthTwips, height_twips_now_ = kExpandedTwips;
    bool watching_screens_ = false;
    bool dpi_follow_posted_ = false;
    QMetaObject::Connection screen_dpi_;
    int height_twips_ = kExpandedTwips;  // the height last set, in twips
    bool winsock_on_input_ = false;  // set by the load step
    bool unloaded_ = false;
    bool unloading_by_program_ = false;
    std::function<void()> on_closed_;
};

}  // namespace varnel_qt
