// The log boxes for every user: keyboard selection and copy, the accessible
// text read straight from the store, word wrap, and the layout redone on a
// screen of another DPI. Runs offscreen with two screens, 96 DPI (the first)
// and 144 DPI, unscaled by Qt.
#include <gtest/gtest.h>

#include "tests/qt_support.h"

#include <sys/resource.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QWindow>
#include <string>
#include <vector>

#include "ui/qt/form_layout.h"
#include "ui/qt/qt_window.h"
#include "ui/qt/twips.h"

using namespace std::string_literals;
using varnel_qt::LogView;

namespace {

// Qt leaves the second screen's DPI as it is instead of scaling its pixels
// (set before the application object is made, when the tests start).
[[maybe_unused]] const bool kUnscaled = qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");

class QtLogViewTest : public testing::Test {
protected:
    QtLogViewTest() : window(nullptr, &events), form(window.Form()) {
        window.SetHeightTwips(varnel_qt::kExpandedTwips);
        view = form.findChild<LogView*>("txtDebug");
    }
    // Narrows the session log until its rows hold exactly `columns` columns.
    void SetColumns(size_t columns) {
        for (int width = 20; width < 2000 && view->WrapColumns() != columns; ++width) view->resize(width, 300);
        ASSERT_EQ(view->WrapColumns(), columns);
    }
    // Handles the events a screen change posts, and those they post.
    static void Settle() {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
        }
    }
    void Keys(const std::vector<QKeyCombination>& keys) {
        for (QKeyCombination key : keys) QTest::keyClick(view, key.key(), key.keyboardModifiers());
    }
    qttest::RecordingEvents events;
    varnel_qt::QtGuiWindow window;
    varnel_qt::FrmMain& form;
    LogView* view = nullptr;
};

TEST_F(QtLogViewTest, KeysMoveTheCaretAndSelectAsInAReadOnlyEditor) {
    window.SetVisible(true);
    view->SetText("alpha beta gamma\r\nsecond line\r\nx");
    const size_t end = view->Store().Size();
    struct Case {
        size_t caret;                        // where the caret starts
        std::vector<QKeyCombination> keys;
        size_t anchor, moved;                // the selection after the keys
    };
    const Case cases[] = {
        {0, {Qt::Key_Right}, 1, 1},
        {1, {Qt::Key_Left}, 0, 0},
        {0, {Qt::ControlModifier | Qt::Key_Right}, 6, 6},  // the next word
        {8, {Qt::ControlModifier | Qt::Key_Left}, 6, 6},
        {3, {Qt::Key_End}, 17, 17},                        // the line end, after the CR
        {16, {Qt::Key_Right}, 18, 18},                     // over CR LF at once
        {18, {Qt::Key_Left}, 16, 16},
        {21, {Qt::Key_Home}, 18, 18},
        {3, {Qt::Key_Down}, 21, 21},                       // same column, next line
        {14, {Qt::Key_Down, Qt::Key_Down, Qt::Key_Up}, 30, 30},  // the column survives a short line
        {3, {Qt::ShiftModifier | Qt::Key_Right, Qt::ShiftModifier | Qt::Key_Right}, 3, 5},
        {3, {Qt::ShiftModifier | Qt::Key_Down}, 3, 21},
        {5, {Qt::ShiftModifier | Qt::Key_PageDown}, 5, end},
        {20, {Qt::ShiftModifier | Qt::Key_PageUp}, 20, 0},
        {20, {Qt::ShiftModifier | Qt::ControlModifier | Qt::Key_End}, 20, end},
        {20, {Qt::ShiftModifier | Qt::ControlModifier | Qt::Key_Home}, 20, 0},
        {20, {Qt::ShiftModifier | Qt::Key_Home, Qt::Key_Right}, 19, 19},  // a plain move drops the selection
    };
    for (const Case& c : cases) {
        view->Select(c.caret, c.caret);
        Keys(c.keys);
        EXPECT_EQ(view->Anchor(), c.anchor) << "from " << c.caret;
        EXPECT_EQ(view->Caret(), c.moved) << "from " << c.caret;
    }
    view->Select(3, 3);
    Keys({Qt::ShiftModifier | Qt::Key_Down, Qt::ShiftModifier | Qt::ControlModifier | Qt::Key_Right});
    EXPECT_EQ(view->SelectedText(), "ha beta gamma\nsecond ");
}

TEST_F(QtLogViewTest, KeysSelectAcrossABlockBoundaryAndTheSelectionSurvivesAppending) {
    window.SetVisible(true);
    view->resize(900, 300);
    std::string log;
    for (int i = 0; log.size() < (size_t{1} << 20) + 4096; ++i) log += "entry " + std::to_string(i) + " of the log\r\n";
    for (size_t at = 0; at < log.size(); at += 65536) view->AppendText(std::string_view(log).substr(at, 65536));
    // Two lines before the line that crosses the first 1 MiB block's end.
    const size_t crossing = view->Store().LineOf(size_t{1} << 20);
    const size_t start = view->Store().LineStart(crossing - 2) + 2;
    view->Select(start, start);
    view->setFocus();
    Keys({Qt::ShiftModifier | Qt::Key_Down, Qt::ShiftModifier | Qt::Key_Down, Qt::ShiftModifier | Qt::Key_Down,
          Qt::ShiftModifier | Qt::Key_End, Qt::ShiftModifier | Qt::Key_Right});
    const size_t to = view->Store().LineStart(crossing + 2);
    ASSERT_GT(to, size_t{1} << 20);
    EXPECT_EQ(view->Anchor(), start);
    EXPECT_EQ(view->Caret(), to);
    QString expected = QString::fromLatin1(log.substr(start, to - start));
    expected.remove(QChar('\r'));
    EXPECT_EQ(view->SelectedText(), expected);
    // The view scrolled to the caret.
    const int top = view->verticalScrollBar()->value();
    EXPECT_GT(top, 0);
    QApplication::clipboard()->clear();
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), expected);

    view->AppendText("more lines\r\nand more\r\n");
    EXPECT_EQ(view->Anchor(), start);
    EXPECT_EQ(view->Caret(), to);
    EXPECT_EQ(view->SelectedText(), expected);
    EXPECT_EQ(view->verticalScrollBar()->value(), top);
}

long PeakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST_F(QtLogViewTest, AccessibleTextReadsA10MBLogFromTheStoreWithoutCopyingIt) {
    window.SetVisible(true);
    // Appended in pieces, so the test itself never holds the whole log.
    const std::string line = "interface Gi0/1 description uplink\r\n";
    const size_t lines = 10 * 1000 * 1000 / line.size();
    for (size_t i = 0; i < lines; i += 1000) {
        std::string piece;
        for (size_t j = i; j < i + 1000 && j < lines; ++j) piece += line;
        view->AppendText(piece);
    }
    view->AppendText("last \xe9");
    const size_t size = view->Store().Size();
    ASSERT_GT(size, 10u * 1000 * 1000 - line.size());

    const long peak_before = PeakResidentKiB();
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(view);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->role(), QAccessible::EditableText);
    EXPECT_TRUE(accessible->state().readOnly);
    EXPECT_TRUE(accessible->state().multiLine);
    EXPECT_EQ(accessible->text(QAccessible::Name), "Session log");
    EXPECT_FALSE(accessible->text(QAccessible::Description).isEmpty());
    QAccessibleTextInterface* text = accessible->textInterface();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->characterCount(), static_cast<int>(size));
    const int middle = static_cast<int>(line.size() * (lines / 2) + 10);
    EXPECT_EQ(text->text(middle - 10, middle + 26), QString::fromLatin1(line));
    EXPECT_EQ(text->text(static_cast<int>(size) - 6, static_cast<int>(size)), QString::fromLatin1("last \xe9"));

    // Lines are the log's lines, with their line ends.
    int start = -1, end = -1;
    EXPECT_EQ(text->textAtOffset(middle, QAccessible::LineBoundary, &start, &end), QString::fromLatin1(line));
    EXPECT_EQ(start, middle - 10);
    EXPECT_EQ(end, middle - 10 + static_cast<int>(line.size()));
    EXPECT_EQ(text->textBeforeOffset(middle, QAccessible::LineBoundary, &start, &end), QString::fromLatin1(line));
    EXPECT_EQ(end, middle - 10);
    EXPECT_EQ(text->textAfterOffset(static_cast<int>(size) - 40, QAccessible::LineBoundary, &start, &end),
              QString::fromLatin1("last \xe9"));
    EXPECT_EQ(end, static_cast<int>(size));
    EXPECT_EQ(text->textAtOffset(middle + 2, QAccessible::WordBoundary, &start, &end), "Gi0");
    EXPECT_EQ(text->textAtOffset(1, QAccessible::CharBoundary, &start, &end), "n");

    // The caret and the selection are the view's.
    text->setSelection(0, middle - 10, middle - 1);
    EXPECT_EQ(view->SelectedText(), "interface");
    EXPECT_EQ(text->selectionCount(), 1);
    text->setCursorPosition(5);
    EXPECT_EQ(text->selectionCount(), 0);
    EXPECT_EQ(text->cursorPosition(), 5);
    EXPECT_EQ(view->Caret(), 5u);
    // A whole copy would take 20 MB (two bytes a character) at least.
    EXPECT_LT(PeakResidentKiB() - peak_before, 8 * 1024);
}

TEST_F(QtLogViewTest, LinesWrapAtWordsOnNarrowWidths) {
    window.SetVisible(true);
    struct Case {
        size_t columns;
        std::string text;
        QStringList rows;
    };
    const Case cases[] = {
        {37, "Checking script (clearing output file)\r\n", {"Checking script (clearing output ", "file)", ""}},
        {20, "Checking script (clearing output file)", {"Checking script ", "(clearing output ", "file)"}},
        {12, "Checking script (clearing output file)", {"Checking ", "script ", "(clearing ", "output file)"}},
        {5, "abcdefghijkl mn", {"abcde", "fghij", "kl mn"}},  // a word longer than a row is broken
        {3, "ab    cd", {"ab    ", "cd"}},                      // spaces hang at the row's end
        {10, "\tTAB word\r\nshort", {"        ", "TAB word", "short"}},
    };
    for (const Case& c : cases) {
        SetColumns(c.columns);
        view->SetText(c.text);
        EXPECT_EQ(view->RowTexts(0, 100), c.rows) << c.columns;
        EXPECT_EQ(view->RowCount(), static_cast<size_t>(c.rows.size())) << c.columns;
        // Appended a byte at a time, the last line's wrap goes on to the same rows.
        view->SetText("");
        for (char byte : c.text) view->AppendText(std::string(1, byte));
        EXPECT_EQ(view->RowTexts(0, 100), c.rows) << c.columns << " appended";
        EXPECT_EQ(view->RowCount(), static_cast<size_t>(c.rows.size())) << c.columns << " appended";
    }
    // Down moves by rows within a wrapped line.
    SetColumns(20);
    view->SetText("Checking script (clearing output file)");
    view->Select(2, 2);
    Keys({Qt::Key_Down});
    EXPECT_EQ(view->Caret(), 18u);
    Keys({Qt::Key_End});
    EXPECT_EQ(view->Caret(), 32u);  // before the space the row wraps after
}

TEST_F(QtLogViewTest, MovingToA144DpiScreenRedoesTheLayoutInTwips) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    ASSERT_EQ(screens.size(), 2);
    ASSERT_EQ(varnel_qt::TwipScale::ForWidget(&form).Dpi(), 96);
    window.SetVisible(true);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const int height_twips = window.HeightTwips();
    const int width_twips = varnel_qt::TwipScale(96).ToTwips(form.width());
    const size_t columns = view->WrapColumns();

    form.windowHandle()->setScreen(screens[1]);
    Settle();
    const varnel_qt::TwipScale scale = varnel_qt::TwipScale::ForWidget(&form);
    ASSERT_EQ(scale.Dpi(), 144);
    EXPECT_EQ(window.HeightTwips(), height_twips);
    EXPECT_EQ(form.height(), scale.ToPixels(height_twips - varnel_qt::kFrameTwips));
    EXPECT_NEAR(scale.ToTwips(form.width()), width_twips, 15);
    // Every control where the layout puts it at 144 DPI, for the captions'
    // needs in the fonts of the new screen.
    auto hint = [this](const char* name) { return form.findChild<QWidget*>(name)->sizeHint(); };
    const varnel_qt::CaptionNeeds needs{hint("cmdReadMe"), hint("Label1"),    hint("chkWinsock"),
                                       hint("cmdComDbg"), hint("cmdScrDbg"), hint("cmdStop")};
    const varnel_qt::FormPlaces p = varnel_qt::PlaceControls(scale, form.size(), needs);
    EXPECT_EQ(form.findChild<QWidget*>("txtDebug")->geometry(), p.debugLog);
    EXPECT_EQ(form.findChild<QWidget*>("cmdReadMe")->geometry(), p.readMe);
    EXPECT_EQ(form.findChild<QWidget*>("cmdStop")->geometry(), p.stop);
    EXPECT_EQ(form.findChild<QWidget*>("txtInput")->geometry(), p.input);
    EXPECT_EQ(form.minimumSize(), varnel_qt::MinimumClientSize(scale, needs));
    // The log's font and width grew alike: about as many columns as before.
    EXPECT_NEAR(static_cast<double>(view->WrapColumns()), static_cast<double>(columns), columns / 10.0 + 2);

    form.windowHandle()->setScreen(screens[0]);
    Settle();
    EXPECT_EQ(window.HeightTwips(), height_twips);
    EXPECT_NEAR(varnel_qt::TwipScale(96).ToTwips(form.width()), width_twips, 15);
}

// A log box with assistive technology listening: what it announces.
class ListenedLogView : public LogView {
public:
    std::vector<std::string> heard;

protected:
    bool AssistiveTechnologyListens() const override { return true; }
    void Announce(QAccessibleEvent* event) override {
        if (event->type() == QAccessible::TextInserted) {
            const auto* inserted = static_cast<QAccessibleTextInsertEvent*>(event);
            heard.push_back("inserted at " + std::to_string(inserted->changePosition()) + ": " +
                            inserted->textInserted().toStdString());
        } else if (event->type() == QAccessible::TextCaretMoved) {
            heard.push_back("caret " + std::to_string(static_cast<QAccessibleTextCursorEvent*>(event)->cursorPosition()));
        } else if (event->type() == QAccessible::TextSelectionChanged) {
            const auto* selected = static_cast<QAccessibleTextSelectionEvent*>(event);
            heard.push_back("selected " + std::to_string(selected->selectionStart()) + "-" +
                            std::to_string(selected->selectionEnd()));
        }
    }
};

TEST(QtLogViewAnnounceTest, AppendedTextCaretAndSelectionAreAnnounced) {
    ListenedLogView log;
    log.resize(400, 200);
    log.SetText("first line\r\n");
    log.heard.clear();
    log.AppendText("second\r\n");
    log.AppendText("third");
    QTest::keyClick(&log, Qt::Key_Right, Qt::ShiftModifier);
    const std::vector<std::string> expected = {"inserted at 12: second\r\n", "inserted at 20: third", "caret 1",
                                               "selected 0-1"};
    EXPECT_EQ(log.heard, expected);
}

TEST_F(QtLogViewTest, EveryControlHasAnAccessibleNameAndDescription) {
    for (const char* name : {"imgLogo", "cmdReadMe", "txtDebug", "Label1", "chkWinsock", "txtInput", "txtWinsock",
                             "cmdComDbg", "cmdScrDbg", "cmdStop"}) {
        QAccessibleInterface* control = QAccessible::queryAccessibleInterface(form.findChild<QWidget*>(name));
        ASSERT_NE(control, nullptr) << name;
        EXPECT_FALSE(control->text(QAccessible::Name).isEmpty()) << name;
        EXPECT_FALSE(control->text(QAccessible::Description).isEmpty()) << name;
    }
    EXPECT_EQ(QAccessible::queryAccessibleInterface(form.findChild<QWidget*>("cmdComDbg"))->text(QAccessible::Name),
              "As Commands");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(view)->text(QAccessible::Name), "Session log");
}

}  // namespace
