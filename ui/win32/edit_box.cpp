#include "ui/win32/edit_box.h"

namespace varnel_win {

EditBox::EditBox(HWND edit) : edit_(edit) {
    // No limit but memory: a long session log must not stop growing at the
    // control's default of 32K characters.
    ::SendMessageW(edit_, EM_SETLIMITTEXT, 0, 0);
}

std::wstring EditBox::ToView(std::string_view bytes) {
    std::wstring view;
    view.reserve(bytes.size() + bytes.size() / 16);
    for (char c : bytes) {
        if (c == '\r' || c == '\0') continue;
        if (c == '\n') view.push_back(L'\r');
        view.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return view;
}

std::string EditBox::Text() const {
    const int length = ::GetWindowTextLengthW(edit_);
    std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
    wide.resize(static_cast<size_t>(::GetWindowTextW(edit_, wide.data(), length + 1)));
    std::string text;
    text.reserve(wide.size());
    // Typed characters beyond Latin-1 have no byte of their own.
    for (wchar_t c : wide) text.push_back(c < 256 ? static_cast<char>(c) : '?');
    return text;
}

void EditBox::SetText(std::string_view text) { ::SetWindowTextW(edit_, ToView(text).c_str()); }

void EditBox::AppendText(std::string_view text) {
    const std::wstring view = ToView(text);
    if (view.empty()) return;
    // The insertion moves the caret and scrolls to it: the caret, the
    // selection and the first visible line are put back afterwards, with
    // drawing off meanwhile so the box never shows the detour.
    DWORD selStart = 0, selEnd = 0;
    ::SendMessageW(edit_, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
    const LRESULT firstLine = ::SendMessageW(edit_, EM_GETFIRSTVISIBLELINE, 0, 0);
    const int length = ::GetWindowTextLengthW(edit_);
    const bool caretAtEnd = selStart == selEnd && static_cast<int>(selEnd) == length;
    ::SendMessageW(edit_, WM_SETREDRAW, FALSE, 0);
    ::SendMessageW(edit_, EM_SETSEL, length, length);
    ::SendMessageW(edit_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(view.c_str()));
    if (!caretAtEnd) ::SendMessageW(edit_, EM_SETSEL, selStart, selEnd);
    const LRESULT nowFirst = ::SendMessageW(edit_, EM_GETFIRSTVISIBLELINE, 0, 0);
    if (nowFirst != firstLine) ::SendMessageW(edit_, EM_LINESCROLL, 0, firstLine - nowFirst);
    ::SendMessageW(edit_, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(edit_, nullptr, FALSE);
}

void EditBox::MoveCaretToEnd() {
    const int length = ::GetWindowTextLengthW(edit_);
    ::SendMessageW(edit_, EM_SETSEL, length, length);
    ::SendMessageW(edit_, EM_SCROLLCARET, 0, 0);
}

void EditBox::PostLineScroll(int columns, int lines) {
    ::PostMessageW(edit_, EM_LINESCROLL, static_cast<WPARAM>(columns), static_cast<LPARAM>(lines));
}

bool EditBox::Visible() const { return (::GetWindowLongW(edit_, GWL_STYLE) & WS_VISIBLE) != 0; }

void EditBox::SetVisible(bool visible) { ::ShowWindow(edit_, visible ? SW_SHOW : SW_HIDE); }

}  // namespace varnel_win
