#include "ui/win32/edit_box.h"

#include <algorithm>

namespace varnel_win {

namespace {
constexpr UINT_PTR kFlushTimer = 0x5641;  // "VA": the control's own timers are small numbers
constexpr const wchar_t* kBoxProperty = L"VarnelEditBox";
}  // namespace

EditBox::EditBox(HWND edit, bool log) : edit_(edit), log_(log) {
    // No limit but memory: the control's default is 32K characters.
    ::SendMessageW(edit_, EM_SETLIMITTEXT, 0, 0);
    ::SetPropW(edit_, kBoxProperty, this);
}

EditBox::~EditBox() {
    if (timerSet_) ::KillTimer(edit_, kFlushTimer);
    ::RemovePropW(edit_, kBoxProperty);
}

std::string EditBox::ToView(std::string_view bytes) {
    std::string view;
    view.reserve(bytes.size() + bytes.size() / 16);
    for (char c : bytes) {
        if (c == '\r' || c == '\0') continue;
        if (c == '\n') view.push_back('\r');
        view.push_back(c);
    }
    return view;
}

std::wstring EditBox::Widen(std::string_view latin1) {
    std::wstring wide(latin1.size(), L'\0');
    std::transform(latin1.begin(), latin1.end(), wide.begin(),
                   [](char c) { return static_cast<wchar_t>(static_cast<unsigned char>(c)); });
    return wide;
}

std::string EditBox::Text() const {
    if (log_) return text_;
    const int length = ::GetWindowTextLengthW(edit_);
    std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
    wide.resize(static_cast<size_t>(::GetWindowTextW(edit_, wide.data(), length + 1)));
    std::string text;
    text.reserve(wide.size());
    // Typed characters beyond Latin-1 have no byte of their own.
    for (wchar_t c : wide) text.push_back(c < 256 ? static_cast<char>(c) : '?');
    return text;
}

void EditBox::SetText(std::string_view text) {
    if (!log_) {
        ::SetWindowTextW(edit_, Widen(ToView(text)).c_str());
        return;
    }
    if (timerSet_) ::KillTimer(edit_, kFlushTimer);
    timerSet_ = false;
    text_ = ToView(text);
    shownFrom_ = TailStart();
    pendingFrom_ = text_.size();
    ::SetWindowTextW(edit_, Widen(std::string_view(text_).substr(shownFrom_)).c_str());
}

void EditBox::AppendText(std::string_view text) {
    if (!log_) {
        InsertAtEnd(Widen(ToView(text)));
        return;
    }
    text_ += ToView(text);
    if (!timerSet_ && pendingFrom_ < text_.size())
        timerSet_ = ::SetTimer(edit_, kFlushTimer, kFlushMs, &OnFlushTimer) != 0;
    if (!timerSet_) Flush();  // no timer: at once
}

void CALLBACK EditBox::OnFlushTimer(HWND edit, UINT, UINT_PTR, DWORD) {
    if (auto* box = static_cast<EditBox*>(::GetPropW(edit, kBoxProperty))) box->Flush();
}

void EditBox::Flush() {
    if (timerSet_) {
        ::KillTimer(edit_, kFlushTimer);
        timerSet_ = false;
    }
    if (!log_ || pendingFrom_ >= text_.size()) return;
    if (text_.size() - shownFrom_ > kShownMax) {
        Refill();
        return;
    }
    const std::string_view pending = std::string_view(text_).substr(pendingFrom_);
    pendingFrom_ = text_.size();
    InsertAtEnd(Widen(pending));
}

void EditBox::InsertAtEnd(const std::wstring& text) {
    if (text.empty()) return;
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
    ::SendMessageW(edit_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    if (!caretAtEnd) ::SendMessageW(edit_, EM_SETSEL, selStart, selEnd);
    const LRESULT nowFirst = ::SendMessageW(edit_, EM_GETFIRSTVISIBLELINE, 0, 0);
    if (nowFirst != firstLine) ::SendMessageW(edit_, EM_LINESCROLL, 0, firstLine - nowFirst);
    ::SendMessageW(edit_, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(edit_, nullptr, FALSE);
}

size_t EditBox::TailStart() const {
    // The last kShownKeep characters, from the start of a line.
    if (text_.size() <= kShownKeep) return 0;
    const size_t lineStart = text_.find('\n', text_.size() - kShownKeep);
    return lineStart == std::string::npos ? text_.size() : lineStart + 1;
}

void EditBox::Refill() {
    const size_t from = std::max(TailStart(), shownFrom_);
    // The lines cut off leave the view; the caret at the end stays there.
    const auto cut = std::count(text_.begin() + static_cast<std::ptrdiff_t>(shownFrom_),
                                text_.begin() + static_cast<std::ptrdiff_t>(from), '\n');
    DWORD selStart = 0, selEnd = 0;
    ::SendMessageW(edit_, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
    const bool caretAtEnd = selStart == selEnd && static_cast<int>(selEnd) == ::GetWindowTextLengthW(edit_);
    const LRESULT firstLine = ::SendMessageW(edit_, EM_GETFIRSTVISIBLELINE, 0, 0);
    shownFrom_ = from;
    pendingFrom_ = text_.size();
    ::SendMessageW(edit_, WM_SETREDRAW, FALSE, 0);
    ::SetWindowTextW(edit_, Widen(std::string_view(text_).substr(from)).c_str());
    if (caretAtEnd) MoveCaretToEnd();
    else ::SendMessageW(edit_, EM_LINESCROLL, 0, std::max<LRESULT>(0, firstLine - cut));
    ::SendMessageW(edit_, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(edit_, nullptr, TRUE);
}

void EditBox::MoveCaretToEnd() {
    Flush();
    const int length = ::GetWindowTextLengthW(edit_);
    ::SendMessageW(edit_, EM_SETSEL, length, length);
    ::SendMessageW(edit_, EM_SCROLLCARET, 0, 0);
}

void EditBox::PostLineScroll(int columns, int lines) {
    Flush();
    ::PostMessageW(edit_, EM_LINESCROLL, static_cast<WPARAM>(columns), static_cast<LPARAM>(lines));
}

bool EditBox::Visible() const { return (::GetWindowLongW(edit_, GWL_STYLE) & WS_VISIBLE) != 0; }

void EditBox::SetVisible(bool visible) { ::ShowWindow(edit_, visible ? SW_SHOW : SW_HIDE); }

}  // namespace varnel_win
