// The Qt main window, driven on the offscreen platform: controls, the two
// heights, the socket-log swap, the handlers, the information box and the
// bridge to the program's event loop.
#include <gtest/gtest.h>

#include "tests/qt_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "platform/message_window.h"
#include "ui/form_events.h"
#include "ui/qt/display_check.h"
#include "ui/qt/qt_window.h"
#include "ui/qt/twips.h"

using varnel_qt::FrmMain;
using varnel_qt::QtGuiWindow;
using varnel_qt::TwipScale;

namespace {

using qttest::RecordingEvents;

class QtWindowTest : public testing::Test {
protected:
    QtWindowTest() : window(nullptr, &events) {}
    template <typename T = QWidget>
    T* Control(const char* name) {
        T* control = window.Form().findChild<T*>(name);
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    // What the load step does to the window.
    void Load() {
        window.SetHeightTwips(3165);
        window.PlaceWinsockOnInput();
        window.txtWinsock().SetText("Winsock Debug Log");
    }
    RecordingEvents events;
    QtGuiWindow window;
};

TEST_F(QtWindowTest, ControlsHaveTheirCaptionsTipsAndInitialState) {
    EXPECT_EQ(window.Form().windowTitle(), "Varnel by Tamsk");
    struct Expected { const char* name; const char* caption; const char* tip; bool shown; };
    const Expected expected[] = {{"imgLogo", "", "", true},
                                 {"cmdReadMe", "&View Readme", "", true},
                                 {"txtDebug", "", "Session log", true},
                                 {"Label1", "Debug box:", "", true},
                                 {"chkWinsock", "Show Winsock Log", "", true},
                                 {"txtInput", "", "Debug input", true},
                                 {"txtWinsock", "", "Winsock debug output", false},
                                 {"cmdComDbg", "As &Commands", "Interpret as commands", true},
                                 {"cmdScrDbg", "As &Script", "Interpret as script", true},
                                 {"cmdStop", "Stop", "", true}};
    for (const Expected& e : expected) {
        QWidget* control = Control(e.name);
        ASSERT_NE(control, nullptr);
        QString caption;
        if (auto* button = qobject_cast<QAbstractButton*>(control)) caption = button->text();
        if (auto* label = qobject_cast<QLabel*>(control)) caption = label->text();
        if (auto* box = qobject_cast<QPlainTextEdit*>(control)) caption = box->toPlainText();
        if (auto* log = qobject_cast<varnel_qt::LogView*>(control)) caption = log->ViewText();
        EXPECT_EQ(caption, e.caption) << e.name;
        EXPECT_EQ(control->toolTip(), e.tip) << e.name;
        EXPECT_EQ(!control->isHidden(), e.shown) << e.name;
    }
    EXPECT_FALSE(Control<QCheckBox>("chkWinsock")->isChecked());
    EXPECT_FALSE(Control<QLabel>("imgLogo")->pixmap().isNull());
    // The logs are views the user cannot type into; the debug input box is edited.
    EXPECT_NE(Control<varnel_qt::LogView>("txtDebug"), nullptr);
    EXPECT_NE(Control<varnel_qt::LogView>("txtWinsock"), nullptr);
    EXPECT_FALSE(Control<QPlainTextEdit>("txtInput")->isReadOnly());
}

TEST_F(QtWindowTest, TabOrderFollowsTheDesign) {
    const std::vector<QString> order = {"txtDebug",  "cmdReadMe", "txtInput",   "Label1",    "cmdComDbg",
                                        "cmdScrDbg", "cmdStop",   "txtWinsock", "chkWinsock"};
    std::vector<QString> seen;
    QWidget* widget = Control("txtDebug");
    for (int i = 0; i < 100 && seen.size() < order.size(); ++i, widget = widget->nextInFocusChain()) {
        if (std::find(order.begin(), order.end(), widget->objectName()) != order.end())
            seen.push_back(widget->objectName());
    }
    EXPECT_EQ(seen, order);
}

TEST_F(QtWindowTest, RightClickOnReadMeTogglesTheDebugRegion) {
    FrmMain& form = window.Form();
    const TwipScale scale = TwipScale::ForWidget(&form);
    EXPECT_EQ(window.HeightTwips(), 5775);
    // The designed height; the width is the designed one or what the captions need.
    EXPECT_EQ(form.height(), scale.ToPixels(5415));
    EXPECT_GE(form.width(), scale.ToPixels(4245));
    Load();
    EXPECT_EQ(window.HeightTwips(), 3165);
    EXPECT_EQ(form.height(), scale.ToPixels(3165 - 360));
    // Collapsed: the debug region lies below the client area; expanded: inside it.
    EXPECT_GE(Control("Label1")->y(), form.height());
    EXPECT_LE(Control("txtDebug")->geometry().bottom(), form.height());

    QPushButton* readMe = Control<QPushButton>("cmdReadMe");
    QTest::mouseClick(readMe, Qt::RightButton);
    EXPECT_EQ(window.HeightTwips(), 5775);
    EXPECT_LE(Control("cmdStop")->geometry().bottom(), form.height());
    QTest::mouseClick(readMe, Qt::RightButton);
    EXPECT_EQ(window.HeightTwips(), 3165);
    QTest::mouseClick(readMe, Qt::MiddleButton);
    EXPECT_EQ(window.HeightTwips(), 3165);
    EXPECT_TRUE(events.calls.empty());

    // A height the user set: the next right click collapses.
    form.resize(form.width(), scale.ToPixels(4000));
    EXPECT_NE(window.HeightTwips(), 3165);
    EXPECT_NE(window.HeightTwips(), 5775);
    QTest::mouseClick(readMe, Qt::RightButton);
    EXPECT_EQ(window.HeightTwips(), 3165);
}

TEST(TwipScaleTest, ConvertsFromTheLogicalDpi) {
    EXPECT_EQ(TwipScale(96).ToPixels(5415), 361);
    EXPECT_EQ(TwipScale(96).ToPixels(2805), 187);
    EXPECT_EQ(TwipScale(120).ToPixels(5415), 451);
    EXPECT_EQ(TwipScale(120).ToTwips(451), 5412);
    EXPECT_EQ(TwipScale(144).ToPixels(1440), 144);
}

TEST_F(QtWindowTest, ShowWinsockLogSwapsTheBoxesInOnePlace) {
    QWidget* input = Control("txtInput");
    QWidget* log = Control("txtWinsock");
    EXPECT_NE(log->geometry(), input->geometry());
    Load();
    EXPECT_EQ(log->geometry(), input->geometry());
    window.txtInput().SetText("HOST 127.0.0.1\r\nECHO hi");
    QCheckBox* check = Control<QCheckBox>("chkWinsock");
    QTest::mouseClick(check, Qt::LeftButton);
    EXPECT_TRUE(check->isChecked());
    EXPECT_TRUE(input->isHidden());
    EXPECT_FALSE(log->isHidden());
    EXPECT_FALSE(window.txtInput().Visible());
    EXPECT_TRUE(window.txtWinsock().Visible());
    QTest::mouseClick(check, Qt::LeftButton);
    EXPECT_FALSE(input->isHidden());
    EXPECT_TRUE(log->isHidden());
    EXPECT_EQ(window.txtInput().Text(), "HOST 127.0.0.1\r\nECHO hi");
    EXPECT_EQ(window.txtWinsock().Text(), "Winsock Debug Log");
}

TEST_F(QtWindowTest, ProgramHandlersReachTheFormEvents) {
    window.SetVisible(true);
    QTest::mouseClick(Control("cmdStop"), Qt::LeftButton);
    QTest::mouseClick(Control("cmdScrDbg"), Qt::LeftButton);
    QTest::mouseClick(Control("cmdComDbg"), Qt::LeftButton);
    QTest::mouseClick(Control("cmdReadMe"), Qt::LeftButton);
    QTest::mouseClick(Control("imgLogo"), Qt::LeftButton);
    QTest::mouseClick(Control("imgLogo"), Qt::RightButton);
    EXPECT_EQ(events.calls, (std::vector<std::string>{"cmdStop_Click", "cmdScrDbg_Click", "cmdComDbg_Click",
                                                      "cmdReadMe_Click", "imgLogo_Click"}));
    events.calls.clear();
    window.Form().close();  // the user closes the window
    window.Unload();        // and the program unloads it as well
    EXPECT_EQ(events.calls, std::vector<std::string>{"Form_QueryUnload"});
    EXPECT_FALSE(window.Visible());
    EXPECT_EQ(window.Exec(), 0);  // closing ended the loop
}

TEST_F(QtWindowTest, UnloadBeforeTheLoopRunsEndsItWithTheGivenStatus) {
    window.SetVisible(true);
    window.Quit(3);
    window.Unload();  // the program ran its unload step itself
    window.Form().close();
    EXPECT_TRUE(events.calls.empty());
    EXPECT_FALSE(window.Visible());
    EXPECT_EQ(window.Exec(), 3);
}

TEST_F(QtWindowTest, InformationBoxIsModalWithOnlyOk) {
    window.SetVisible(true);
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    bool modal = false;
    QFont font;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        text = box->text(), title = box->windowTitle(), icon = box->icon();
        buttons = box->standardButtons(), modal = box->isModal();
        font = box->font();
        box->button(QMessageBox::Ok)->click();
    });
    window.MsgBoxInformation("To run a script\r\n\r\n<b>x</b>", "Varnel");
    EXPECT_EQ(text, "To run a script\n\n<b>x</b>");
    EXPECT_EQ(title, "Varnel");
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_EQ(buttons, QMessageBox::Ok);
    EXPECT_TRUE(modal);
    EXPECT_EQ(font, window.Form().font());  // the usage box speaks in the window's font
}

QtGuiWindow* g_window = nullptr;
std::vector<int> g_messages;
// A message window's procedure: records the message; 0x402 lets pending
// events run once (as SEND does) and then ends the loop.
win::LRESULT RecordMessage(win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM) {
    g_messages.push_back(static_cast<int>(wParam));
    if (msg == 0x402) {
        win::DoEvents();
        g_window->Quit(static_cast<int>(wParam));
    }
    return 0;
}

TEST_F(QtWindowTest, ProgramLoopRunsInsideQtsLoopAndDoEventsRunsQts) {
    std::string opened;
    GuiPlatform platform{win::EventLoopFd, win::PumpEventLoop, win::SetToolkitPump,
                         [&](const std::string& target) { opened = target; }};
    window.AttachPlatform(platform);
    g_window = &window;
    g_messages.clear();
    const win::HWND hwnd = win::CreateWindowExA(0, "STATIC", "QT_WINDOW_TEST");
    ASSERT_NE(hwnd, 0);
    win::SetWindowLongA(hwnd, win::GWL_WNDPROC, RecordMessage);
    ASSERT_TRUE(win::PostMessageA(hwnd, 0x401, 1, 0));
    ASSERT_TRUE(win::PostMessageA(hwnd, 0x401, 2, 0));
    ASSERT_TRUE(win::PostMessageA(hwnd, 0x402, 7, 0));
    QTimer::singleShot(30000, [&] { window.Quit(-1); });  // only if the bridge is broken
    EXPECT_EQ(window.Exec(), 7);
    EXPECT_EQ(g_messages, (std::vector<int>{1, 2, 7}));
    win::DestroyWindow(hwnd);

    // The program's DoEvents lets Qt handle its pending events (a posted line scroll).
    auto* view = Control<varnel_qt::LogView>("txtWinsock");
    view->show();
    for (int i = 0; i < 100; ++i) window.txtWinsock().AppendText("\r\nline");
    QCoreApplication::processEvents();
    const int before = view->verticalScrollBar()->value();
    window.txtWinsock().PostLineScroll(0, 2);
    EXPECT_EQ(view->verticalScrollBar()->value(), before);
    win::DoEvents();
    EXPECT_EQ(view->verticalScrollBar()->value(), before + 2);

    window.OpenWithShell("/opt/varnel/Readme.txt");
    EXPECT_EQ(opened, "/opt/varnel/Readme.txt");
}

TEST_F(QtWindowTest, ToolkitPumpIsWithdrawnWithTheWindow) {
    bool registered = false;
    GuiPlatform platform;
    platform.set_toolkit_pump = [&](std::function<void()> pump) { registered = static_cast<bool>(pump); };
    {
        QtGuiWindow other(nullptr, &events);
        other.AttachPlatform(platform);
        EXPECT_TRUE(registered);
    }
    EXPECT_FALSE(registered);
}

class DisplayCheckTest : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : kNames) saved_.push_back(qgetenv(name));
        for (const char* name : kNames) qunsetenv(name);
    }
    void TearDown() override {
        for (size_t i = 0; i < std::size(kNames); ++i) {
            if (saved_[i].isNull()) qunsetenv(kNames[i]); else qputenv(kNames[i], saved_[i]);
        }
    }
    static constexpr const char* kNames[] = {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"};
    std::vector<QByteArray> saved_;
};

TEST_F(DisplayCheckTest, SaysWhyNoWindowCanOpen) {
    std::string reason;
    EXPECT_FALSE(varnel_qt::PrepareDisplay(&reason));
    EXPECT_EQ(reason, "cannot open a window: no display (DISPLAY is not set)");
    qputenv("DISPLAY", ":4711");
    EXPECT_FALSE(varnel_qt::PrepareDisplay(&reason));
    EXPECT_EQ(reason, "cannot open a window: no display answers at DISPLAY=:4711");
    qputenv("QT_QPA_PLATFORM", "nosuchplatform");
    EXPECT_FALSE(varnel_qt::PrepareDisplay(&reason));
    EXPECT_EQ(reason, "cannot open a window: Qt's platform \"nosuchplatform\" is not installed");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    EXPECT_TRUE(varnel_qt::PrepareDisplay(&reason));
}

}  // namespace
