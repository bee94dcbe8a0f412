#include "ui/qt/qt_text_box.h"

#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>

namespace varnel_qt {

QtTextBox::QtTextBox(QPlainTextEdit* edit) : edit_(edit) {
    edit_->setTabChangesFocus(true);
    edit_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    edit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

QString QtTextBox::ToView(std::string_view bytes) {
    QString view;
    view.reserve(static_cast<qsizetype>(bytes.size()));
    for (char c : bytes) {
        if (c == '\r' || c == '\0') continue;
        view.append(QChar(static_cast<unsigned char>(c)));
    }
    return view;
}

std::string QtTextBox::Text() const {
    const QByteArray latin1 = edit_->toPlainText().toLatin1();
    std::string text;
    text.reserve(static_cast<size_t>(latin1.size()));
    for (char c : latin1) {
        if (c == '\n') text.push_back('\r');
        text.push_back(c);
    }
    return text;
}

void QtTextBox::SetText(std::string_view text) {
    edit_->setPlainText(ToView(text));
}

void QtTextBox::AppendText(std::string_view text) {
    // A cursor of our own at the end: the view's caret and scroll position stay
    // where they are, so appending never scrolls the box by itself.
    QTextCursor end(edit_->document());
    end.movePosition(QTextCursor::End);
    end.insertText(ToView(text));
}

void QtTextBox::MoveCaretToEnd() {
    QTextCursor caret = edit_->textCursor();
    caret.movePosition(QTextCursor::End);
    edit_->setTextCursor(caret);
    // The caret is on the last line: show the box's end, last line in full.
    edit_->ensureCursorVisible();
    QScrollBar* vertical = edit_->verticalScrollBar();
    vertical->setValue(vertical->maximum());
}

void QtTextBox::PostLineScroll(int columns, int lines) {
    QPointer<QPlainTextEdit> target(edit_);
    QMetaObject::invokeMethod(
        edit_,
        [target, columns, lines] {
            if (target == nullptr) return;
            // The vertical bar of a plain text view counts lines; the horizontal
            // one counts pixels, so a column is one average character.
            QScrollBar* vertical = target->verticalScrollBar();
            vertical->setValue(vertical->value() + lines);
            QScrollBar* horizontal = target->horizontalScrollBar();
            horizontal->setValue(horizontal->value() +
                                 columns * target->fontMetrics().averageCharWidth());
        },
        Qt::QueuedConnection);
}

bool QtTextBox::Visible() const { return !edit_->isHidden(); }

void QtTextBox::SetVisible(bool visible) { edit_->setVisible(visible); }

}  // namespace varnel_qt
