// The text boxes of the Qt window: bytes in and out, Latin-1 in the view,
// appending without rebuilding, the caret and the posted line scroll.
#include <gtest/gtest.h>

#include "tests/qt_support.h"

#include <QApplication>
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


}  // namespace
