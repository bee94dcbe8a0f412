// A multi-line text box on a Win32 EDIT control. Bytes are shown as Latin-1
// (each byte is the character of the same number, through the control's
// UTF-16 text), and the control's lines end in CRLF: a lone LF becomes CRLF,
// a lone CR and NUL bytes show nothing. Text() returns the control's text,
// lines joined by CRLF, as a typed multi-line text reads.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "ui/text_box.h"

namespace varnel_win {

class EditBox : public ITextBox {
public:
    explicit EditBox(HWND edit);

    std::string Text() const override;
    void SetText(std::string_view text) override;
    // Appends at the end without moving the caret, the selection or the view.
    void AppendText(std::string_view text) override;
    void MoveCaretToEnd() override;
    // Posts EM_LINESCROLL to the control; the message loop handles it later.
    void PostLineScroll(int columns, int lines) override;
    bool Visible() const override;
    void SetVisible(bool visible) override;

    HWND Handle() const { return edit_; }

    // The control's form of bytes (see above).
    static std::wstring ToView(std::string_view bytes);

private:
    HWND edit_;
};

}  // namespace varnel_win
