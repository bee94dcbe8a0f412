// The window's layout on the offscreen platform: the first show, growing and
// shrinking, the captions' fit in the desktop's fonts, and the controls the
// collapsed window cuts off. The test program runs at 96 DPI and on 144 DPI
// screens (scaled by Qt, and unscaled).
#include <gtest/gtest.h>

#include "tests/qt_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <string>
#include <vector>

#include "ui/form_events.h"
#include "ui/qt/qt_window.h"
#include "ui/qt/twips.h"

using varnel_qt::FrmMain;
using varnel_qt::QtGuiWindow;
using varnel_qt::TwipScale;

namespace {

using qttest::RecordingEvents;

const char* const kCaptioned[] = {"cmdReadMe", "Label1", "chkWinsock", "cmdComDbg", "cmdScrDbg", "cmdStop"};
const char* const kControls[] = {"imgLogo",  "cmdReadMe", "txtDebug",  "Label1",    "chkWinsock",
                                 "txtInput", "txtWinsock", "cmdComDbg", "cmdScrDbg", "cmdStop"};

class QtLayoutTest : public testing::Test {
protected:
    QtLayoutTest() : window(nullptr, &events), form(window.Form()), scale(TwipScale::ForWidget(&form)) {}
    QWidget* Control(const char* name) {
        QWidget* control = form.findChild<QWidget*>(name);
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    QRect Place(const char* name) { return Control(name)->geometry(); }
    // What the load step does to the window, then shown as the program shows it.
    void LoadAndShow() {
        window.SetHeightTwips(3165);
        window.PlaceWinsockOnInput();
        window.SetVisible(true);
        QApplication::setActiveWindow(&form);
        form.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    }
    void RightClickReadMe() { QTest::mouseClick(Control("cmdReadMe"), Qt::RightButton); }
    // Every caption fits its control, controls do not overlap, the visible
    // ones lie inside the client area side by side.
    void ExpectTidy(const std::string& where) {
        for (const char* name : kCaptioned) {
            const QWidget* control = Control(name);
            EXPECT_GE(control->width(), control->sizeHint().width()) << name << ' ' << where;
            EXPECT_GE(control->height(), control->fontMetrics().height()) << name << ' ' << where;
        }
        for (size_t i = 0; i < std::size(kControls); ++i) {
            EXPECT_LE(Place(kControls[i]).right(), form.width() - 1) << kControls[i] << ' ' << where;
            for (size_t j = i + 1; j < std::size(kControls); ++j) {
                const std::string a = kControls[i], b = kControls[j];
                if ((a == "txtInput" && b == "txtWinsock")) continue;  // one place, one shown
                EXPECT_FALSE(Place(kControls[i]).intersects(Place(kControls[j]))) << a << '/' << b << ' ' << where;
            }
        }
        EXPECT_LT(Place("cmdComDbg").right(), Place("cmdScrDbg").left()) << where;
        EXPECT_LT(Place("cmdScrDbg").right(), Place("cmdStop").left()) << where;
    }
    std::vector<QString> TabCycleFrom(const char* name) {
        std::vector<QString> seen;
        Control(name)->setFocus(Qt::OtherFocusReason);
        for (int i = 0; i < 12; ++i) {
            seen.push_back(QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : "");
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        return seen;
    }

    void WaitForCalls(size_t count) {
        for (int i = 0; i < 600 && events.calls.size() < count; ++i) QTest::qWait(50);
    }

    RecordingEvents events;
    QtGuiWindow window;
    FrmMain& form;
    TwipScale scale;
};

TEST_F(QtLayoutTest, FirstShowKeepsTheTwoHeightsAndFitsEveryCaption) {
    EXPECT_EQ(form.height(), scale.ToPixels(5415));
    EXPECT_GE(form.width(), scale.ToPixels(4245));
    ExpectTidy("expanded");
    // The controls in the application's font, the boxes in the desktop's fixed one.
    const QString fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    for (const char* name : kCaptioned) EXPECT_EQ(Control(name)->font(), QApplication::font()) << name;
    for (const char* name : {"txtDebug", "txtInput", "txtWinsock"}) EXPECT_EQ(Control(name)->font().family(), fixed);
    LoadAndShow();
    EXPECT_EQ(form.height(), scale.ToPixels(3165 - 360));
    EXPECT_EQ(form.minimumHeight(), form.height());
    // Collapsed at the designed places: the debug region below the client area.
    EXPECT_EQ(Place("Label1").top(), scale.ToPixels(3045));
    EXPECT_GE(Place("Label1").top(), form.height());
    EXPECT_LE(Place("txtDebug").bottom(), form.height());
}

TEST_F(QtLayoutTest, ExtraRoomGoesToTheLogsAndShrinkingStopsAtTheMinimum) {
    LoadAndShow();
    RightClickReadMe();
    const QRect log = Place("txtDebug"), input = Place("txtInput"), stop = Place("cmdStop");
    const QRect readMe = Place("cmdReadMe"), logo = Place("imgLogo");
    const QSize expanded = form.size();
    form.resize(expanded + QSize(200, 300));
    EXPECT_EQ(Place("txtDebug").height() + Place("txtInput").height(), log.height() + input.height() + 300);
    EXPECT_GT(Place("txtDebug").height(), log.height() + 100);
    EXPECT_GT(Place("txtInput").height(), input.height() + 100);
    EXPECT_EQ(Place("txtDebug").width(), log.width() + 200);
    EXPECT_EQ(Place("txtWinsock"), Place("txtInput"));
    EXPECT_EQ(Place("cmdStop").bottom(), stop.bottom() + 300);
    EXPECT_EQ(Place("cmdStop").right(), stop.right() + 200);
    EXPECT_EQ(Place("cmdReadMe").topRight(), readMe.topRight() + QPoint(200, 0));
    EXPECT_EQ(Place("imgLogo"), logo);
    ExpectTidy("grown");
    // The next right click collapses a window of any other height.
    RightClickReadMe();
    EXPECT_EQ(window.HeightTwips(), 3165);

    form.resize(1, 1);
    EXPECT_EQ(form.size(), form.minimumSize());
    EXPECT_EQ(form.height(), scale.ToPixels(3165 - 360));
    ExpectTidy("smallest");
    RightClickReadMe();
    EXPECT_EQ(window.HeightTwips(), 5775);
    ExpectTidy("smallest width, expanded");
    form.resize(expanded);
    EXPECT_EQ(Place("txtDebug"), log);
    EXPECT_EQ(Place("cmdStop"), stop);
}

TEST_F(QtLayoutTest, CollapsedWindowKeepsTheKeyboardOffTheCutOffControls) {
    LoadAndShow();
    // Tab goes round the two controls that can be seen.
    const std::vector<QString> collapsed = TabCycleFrom("txtDebug");
    for (const QString& name : collapsed) EXPECT_TRUE(name == "txtDebug" || name == "cmdReadMe") << name.toStdString();
    EXPECT_NE(std::find(collapsed.begin(), collapsed.end(), "cmdReadMe"), collapsed.end());
    // Access keys of the hidden buttons and Space do nothing; the visible
    // button's access key works.
    Control("txtDebug")->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(form.windowHandle(), Qt::Key_C, Qt::AltModifier);
    QTest::keyClick(form.windowHandle(), Qt::Key_S, Qt::AltModifier);
    QTest::keyClick(form.windowHandle(), Qt::Key_Space);
    EXPECT_TRUE(events.calls.empty());
    QTest::keyClick(form.windowHandle(), Qt::Key_V, Qt::AltModifier);
    // An access key clicks its button a moment later (the button shows the
    // press); the hidden buttons' keys came first and would have clicked by then.
    WaitForCalls(1);
    EXPECT_EQ(events.calls, std::vector<std::string>{"cmdReadMe_Click"});

    // Expanded, every control is reached again, in the designed order.
    events.calls.clear();
    RightClickReadMe();
    const std::vector<QString> expanded = TabCycleFrom("txtDebug");
    const std::vector<QString> order = {"txtDebug", "cmdReadMe", "txtInput", "cmdComDbg", "cmdScrDbg",
                                        "cmdStop",  "chkWinsock", "txtDebug"};
    EXPECT_EQ(std::vector<QString>(expanded.begin(), expanded.begin() + order.size()), order);
    QTest::keyClick(form.windowHandle(), Qt::Key_C, Qt::AltModifier);
    QTest::keyClick(form.windowHandle(), Qt::Key_S, Qt::AltModifier);
    WaitForCalls(2);
    EXPECT_EQ(events.calls, (std::vector<std::string>{"cmdComDbg_Click", "cmdScrDbg_Click"}));
    // Collapsing again moves the focus out of the debug region.
    Control("cmdStop")->setFocus(Qt::OtherFocusReason);
    RightClickReadMe();
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    const QString focus = QApplication::focusWidget()->objectName();
    EXPECT_TRUE(focus == "txtDebug" || focus == "cmdReadMe") << focus.toStdString();
}

}  // namespace
