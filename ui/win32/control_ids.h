// The control identifiers of the window's controls (GetDlgItem), and the
// window's class and caption: how other programs, the tests among them, find
// the window and its controls.
#pragma once

namespace varnel_win {

constexpr const wchar_t* kWindowClass = L"VarnelMainWindow";
constexpr const wchar_t* kWindowCaption = L"Varnel by Tamsk";

// Above IDOK and IDCANCEL, which the dialog manager sends for Enter and Escape.
enum ControlId : int {
    kIdLogo = 100,
    kIdReadMe,
    kIdDebugLog,
    kIdLabel,
    kIdShowWinsock,
    kIdInput,
    kIdWinsockLog,
    kIdComDbg,
    kIdScrDbg,
    kIdStop,
};

}  // namespace varnel_win
