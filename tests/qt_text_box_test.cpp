// The text boxes of the Qt window: bytes in and out, Latin-1 in the view,
// appending without rebuilding, the caret and the posted line scroll.
#include <gtest/gtest.h>

#include "tests/qt_support.h"

#include <QApplication>
#include <QClipboard>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <memory>
#include <string>

#include "ui/qt/qt_window.h"

using namespace std::string_literals;

namespace {


class QtTextBoxTest : public testing::Test {
protected:
    QtTextBoxTest() : window(nullptr, nullptr) {}
    template <typename T = QWidget>
    T* Control(const char* name) {
        T* control = window.Form().findChild<T*>(name);
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    varnel_qt::QtGuiWindow window;
};

TEST_F(QtTextBoxTest, LogBoxesKeepTheBytesAndShowLatin1Lines) {
    ITextBox& log = window.txtWinsock();
    auto* view = Control<varnel_qt::LogView>("txtWinsock");
    log.SetText("Winsock Debug Log");
    log.AppendText("\r\nOK caf\xe9");
    log.AppendText("\r\nsplit line\r");  // the LF of this CRLF comes with the next text
    log.AppendText("\nlone\rCR and NUL\0!"s);
    const std::string expected =
        "Winsock Debug Log\r\nOK caf\xe9\r\nsplit line\r\nlone\rCR and NUL\0!"s;
    EXPECT_EQ(log.Text(), expected);
    EXPECT_EQ(view->ViewText(), QString::fromUtf8("Winsock Debug Log\nOK café\nsplit line\nloneCR and NUL!"));
    EXPECT_EQ(view->Store().LineCount(), 4u);

    // The input box reads back its lines joined by CRLF, whatever was typed.
    auto* input = Control<QPlainTextEdit>("txtInput");
    QTest::keyClicks(input, "ECHO a");
    QTest::keyClick(input, Qt::Key_Return);
    QTest::keyClicks(input, "ECHO ");
    input->insertPlainText(QString::fromLatin1("\xe9"));
    EXPECT_EQ(window.txtInput().Text(), "ECHO a\r\nECHO \xe9");
}

TEST_F(QtTextBoxTest, SessionLogGrowsByAppendingAndIsNeverScrolled) {
    window.SetVisible(true);
    ITextBox& log = window.txtDebug();
    auto* view = Control<varnel_qt::LogView>("txtDebug");
    std::string expected;
    for (int i = 0; i < 100000; ++i) {
        const std::string line = "line " + std::to_string(i) + "\r\n";
        log.AppendText(line);
        expected += line;
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(log.Text(), expected);
    EXPECT_EQ(view->Store().LineCount(), 100001u);
    EXPECT_EQ(view->Store().ViewText(view->Store().LineStart(99999), view->Store().LineEnd(99999)), "line 99999");
    EXPECT_GT(view->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(view->verticalScrollBar()->value(), 0);
}

TEST_F(QtTextBoxTest, CaretToEndScrollsAndLineScrollWaitsForTheLoop) {
    window.SetVisible(true);
    ITextBox& log = window.txtWinsock();
    auto* view = Control<varnel_qt::LogView>("txtWinsock");
    view->show();
    log.SetText("Winsock Debug Log");
    for (int i = 0; i < 200; ++i) log.AppendText("\r\nFD_READ " + std::to_string(i));
    QCoreApplication::processEvents();
    QScrollBar* bar = view->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 10);
    EXPECT_EQ(bar->value(), 0);
    bar->setValue(5);
    log.PostLineScroll(0, 2);
    EXPECT_EQ(bar->value(), 5);  // posted, not done inside the call
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->value(), 7);
    log.MoveCaretToEnd();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(view->Caret(), log.Text().size());
}



TEST_F(QtTextBoxTest, LogLinesWrapAtTheBoxWidthAndFollowIt) {
    window.SetVisible(true);
    auto* view = Control<varnel_qt::LogView>("txtDebug");
    ITextBox& log = window.txtDebug();
    const size_t width = view->WrapColumns();
    ASSERT_GT(width, 10u);
    log.SetText(std::string(3 * width + 1, 'x') + "\r\nshort\r\n\tTAB\r\n");
    EXPECT_EQ(view->RowCount(), 4u + 1 + 1 + 1);  // the long line, two short ones, the empty last one
    // A tab reaches the next multiple of eight columns, shown as spaces.
    const varnel_qt::LogStore& store = view->Store();
    EXPECT_EQ(store.LineColumns(2), 11u);
    EXPECT_EQ(store.ViewText(store.LineStart(2), store.LineEnd(2)), "        TAB");
    // A wider box takes fewer rows.
    window.Form().resize(window.Form().width() + 400, window.Form().height());
    EXPECT_GT(view->WrapColumns(), width);
    const size_t wider = view->WrapColumns();
    EXPECT_EQ(view->RowCount(), (3 * width + 1 + wider - 1) / wider + 1 + 1 + 1);
}

TEST_F(QtTextBoxTest, LogTextIsSelectedWithTheMouseOrAllAndCopied) {
    window.SetVisible(true);
    window.SetHeightTwips(5775);
    auto* view = Control<varnel_qt::LogView>("txtWinsock");
    view->show();
    window.txtWinsock().SetText("Winsock Debug Log\r\nOK caf\xe9\r\nthird");
    QWidget* area = view->viewport();
    const int row = view->fontMetrics().lineSpacing();
    // From the start of the first row to the middle of the second.
    QTest::mousePress(area, Qt::LeftButton, {}, QPoint(1, row / 2));
    QTest::mouseMove(area, QPoint(static_cast<int>(4 + 3.5 * view->fontMetrics().horizontalAdvance('M')), row + row / 2 + 4));
    QTest::mouseRelease(area, Qt::LeftButton, {}, QPoint(0, 0));
    EXPECT_EQ(view->SelectedText(), "Winsock Debug Log\nOK ");
    view->setFocus();
    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(view->SelectedText(), QString::fromUtf8("Winsock Debug Log\nOK café\nthird"));
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromUtf8("Winsock Debug Log\nOK café\nthird"));
    EXPECT_EQ(window.txtWinsock().Text(), "Winsock Debug Log\r\nOK caf\xe9\r\nthird");  // selecting changes nothing
}

TEST(LogStoreTest, HoldsTheBytesOnceWithASmallLineIndex) {
    varnel_qt::LogStore store;
    std::string line = "interface GigabitEthernet0/1 description uplink to core\r\n";
    size_t logged = 0;
    for (int i = 0; i < 200000; ++i) {  // about 11 MB in blocks as a host sends them
        store.Append(line);
        logged += line.size();
    }
    EXPECT_EQ(store.Size(), logged);
    EXPECT_EQ(store.LineCount(), 200001u);
    EXPECT_EQ(store.Bytes(logged - line.size(), logged), line);
    EXPECT_LT(store.MemoryBytes(), logged * 3 / 2);
    // Lines across the storage's block borders read back whole.
    const size_t middle = store.LineOf(size_t{1} << 20);
    EXPECT_EQ(store.Bytes(store.LineStart(middle), store.LineEnd(middle) + 1), line);
    EXPECT_EQ(store.LineOf(store.Size()), 200000u);
}

}  // namespace
