// A multi-line text box on QPlainTextEdit. Bytes are shown as Latin-1.
//
// A log box (read-only for the user) keeps a byte copy of its text beside the
// view, so Text() gives back exactly what was set and appended (CRLF and all)
// while the view shows each line ending as one line break. Appending touches
// only the end of the document and the end of the copy: its cost is the length
// of the appended text. An input box has no copy; its text comes from the view,
// lines joined by CRLF as a typed multi-line text reads.
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "ui/text_box.h"

class QPlainTextEdit;

namespace varnel_qt {

class QtTextBox : public ITextBox {
public:
    enum class Kind { Log, Input };
    QtTextBox(QPlainTextEdit* edit, Kind kind);

    std::string Text() const override;
    void SetText(std::string_view text) override;
    void AppendText(std::string_view text) override;
    void MoveCaretToEnd() override;
    void PostLineScroll(int columns, int lines) override;
    bool Visible() const override;
    void SetVisible(bool visible) override;

    QPlainTextEdit* Edit() const { return edit_; }

    // The view's form of bytes: Latin-1, a CR dropped (CRLF and a lone LF end a
    // line; a lone CR shows nothing), NUL bytes dropped.
    static QString ToView(std::string_view bytes);

private:
    QPlainTextEdit* edit_;
    Kind kind_;
    std::string bytes_;  // the text of a log box
};

}  // namespace varnel_qt
