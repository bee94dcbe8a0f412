// The debug input box: a multi-line text box on QPlainTextEdit that the user
// types into. Its text comes from the view, lines joined by CRLF as a typed
// multi-line text reads; bytes are shown as Latin-1. (The logs are LogViews.)
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "ui/text_box.h"

class QPlainTextEdit;

namespace varnel_qt {

class QtTextBox : public ITextBox {
public:
    explicit QtTextBox(QPlainTextEdit* edit);

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
};

}  // namespace varnel_qt
