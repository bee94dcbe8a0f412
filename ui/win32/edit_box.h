// A multi-line text box on a Win32 EDIT control. Bytes are shown as Latin-1
// (each byte is the character of the same number, through the control's
// UTF-16 text), and the control's lines end in CRLF: a lone LF becomes CRLF,
// a lone CR and NUL bytes show nothing. Text() returns the text in that
// form, lines joined by CRLF, as a typed multi-line text reads.
//
// A log box (the session and socket logs) keeps its whole text itself and
// shows its last part: the EDIT control lays out every line it holds, which
// makes a box of megabytes slow to append to and to scroll (under Wine about
// a second per megabyte). The control holds at most kShownMax characters; past
// that it is refilled with the last kShownKeep, cut at a line start. Appends
// are gathered and reach the control at most every kFlushMs milliseconds,
// from the message loop, or at once when the box is scrolled or its caret moved.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "ui/text_box.h"

namespace varnel_win {

class EditBox : public ITextBox {
public:
    static constexpr size_t kShownMax = 128 * 1024;
    static constexpr size_t kShownKeep = 64 * 1024;
    static constexpr UINT kFlushMs = 50;

    // log: a read-only log box (see above); otherwise the text is the control's.
    EditBox(HWND edit, bool log);
    ~EditBox() override;
    EditBox(const EditBox&) = delete;
    EditBox& operator=(const EditBox&) = delete;

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
    // Hands what was appended to the control now.
    void Flush();

    // The control's form of bytes (see above), as bytes and as its text.
    static std::string ToView(std::string_view bytes);
    static std::wstring Widen(std::string_view latin1);

private:
    static void CALLBACK OnFlushTimer(HWND edit, UINT msg, UINT_PTR id, DWORD time);
    void InsertAtEnd(const std::wstring& text);
    size_t TailStart() const;
    // Replaces the control's text with the tail of the whole text.
    void Refill();

    HWND edit_;
    bool log_;
    std::string text_;      // a log box's whole text, in the view's form
    size_t shownFrom_ = 0;  // where the control's text starts in text_
    size_t pendingFrom_ = 0;  // text_ from here on has not reached the control yet
    bool timerSet_ = false;
};

}  // namespace varnel_win
