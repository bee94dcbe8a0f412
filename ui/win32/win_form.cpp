#include "ui/win32/win_form.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

#include "ui/form_events.h"
#include "ui/win32/control_ids.h"
#include "ui/win32/logo_paint.h"

namespace varnel_win {

namespace {

constexpr DWORD kWindowStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;
constexpr DWORD kBoxStyle = ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL | WS_BORDER | WS_TABSTOP;

// The size of a caption in the control's font, the access key's '&' left out.
PxSize TextSize(HWND control) {
    wchar_t text[128] = {};
    const int length = ::GetWindowTextW(control, text, 128);
    std::wstring shown;
    for (int i = 0; i < length; ++i)
        if (text[i] != L'&') shown.push_back(text[i]);
    HDC dc = ::GetDC(control);
    HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE size{};
    ::GetTextExtentPoint32W(dc, shown.c_str(), static_cast<int>(shown.size()), &size);
    ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
    return {size.cx, size.cy};
}

bool Intersects(const PxRect& r, PxSize client) {
    return r.width > 0 && r.height > 0 && r.left < client.width && r.Right() > 0 && r.top < client.height &&
           r.Bottom() > 0;
}

}  // namespace

WinForm::WinForm(IFormEvents* events, int dpi) : events_(events), dpi_(dpi > 0 ? dpi : 96) {}

WinForm::~WinForm() {
    txtDebug_.reset();
    txtInput_.reset();
    txtWinsock_.reset();
    if (window_ != nullptr) ::DestroyWindow(window_);
    if (controlFont_ != nullptr) ::DeleteObject(controlFont_);
    if (fixedFont_ != nullptr) ::DeleteObject(fixedFont_);
}

bool WinForm::Create(std::string* error) {
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kWindowClass;
    if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        if (error != nullptr) *error = "the window class cannot be registered (error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    window_ = ::CreateWindowExW(kWindowExStyle, kWindowClass, kWindowCaption, kWindowStyle, CW_USEDEFAULT,
                                CW_USEDEFAULT, 100, 100, nullptr, nullptr, instance, this);
    if (window_ == nullptr) {
        if (error != nullptr) *error = "the window cannot be created (error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    CreateControls();
    ResizeClient(DesignedClientSize(dpi_, Needs()));
    heightTwips_ = kExpandedTwips;
    ApplyLayout();
    return true;
}

HWND WinForm::AddControl(const wchar_t* kind, const wchar_t* text, DWORD style, int id) {
    HWND control = ::CreateWindowExW(0, kind, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, window_,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr),
                                     nullptr);
    const bool box = std::wstring(kind) == L"EDIT";
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(box ? fixedFont_ : controlFont_), FALSE);
    return control;
}

void WinForm::CreateControls() {
    // The controls keep the desktop's message font; the boxes take a fixed
    // font, so logs and scripts line up in columns.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    controlFont_ = ::CreateFontIndirectW(&metrics.lfMessageFont);
    fixedFont_ = ::CreateFontW(-::MulDiv(9, dpi_, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                               OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN,
                               L"Courier New");

    // Creation order is tab order.
    debugLog_ = AddControl(L"EDIT", L"", kBoxStyle | ES_READONLY, kIdDebugLog);
    readMe_ = AddControl(L"BUTTON", L"&View Readme", BS_PUSHBUTTON | WS_TABSTOP, kIdReadMe);
    input_ = AddControl(L"EDIT", L"", kBoxStyle | ES_WANTRETURN, kIdInput);
    label_ = AddControl(L"STATIC", L"Debug box:", SS_LEFT, kIdLabel);
    comDbg_ = AddControl(L"BUTTON", L"As &Commands", BS_PUSHBUTTON | WS_TABSTOP, kIdComDbg);
    scrDbg_ = AddControl(L"BUTTON", L"As &Script", BS_PUSHBUTTON | WS_TABSTOP, kIdScrDbg);
    stop_ = AddControl(L"BUTTON", L"Stop", BS_PUSHBUTTON | WS_TABSTOP, kIdStop);
    winsock_ = AddControl(L"EDIT", L"", kBoxStyle | ES_READONLY, kIdWinsockLog);
    check_ = AddControl(L"BUTTON", L"Show Winsock Log", BS_AUTOCHECKBOX | WS_TABSTOP, kIdShowWinsock);
    logo_ = AddControl(L"STATIC", L"", SS_OWNERDRAW | SS_NOTIFY, kIdLogo);
    ::ShowWindow(winsock_, SW_HIDE);

    txtDebug_ = std::make_unique<EditBox>(debugLog_, true);
    txtInput_ = std::make_unique<EditBox>(input_, false);
    txtWinsock_ = std::make_unique<EditBox>(winsock_, true);
    // A right click on the read-me button reaches only the button itself.
    ::SetWindowLongPtrW(readMe_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    buttonProc_ = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(readMe_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ReadMeProc)));
}

CaptionNeeds WinForm::Needs() const {
    // A button's caption needs its text inside the button's 3-D frame; a
    // check box's needs the box and a gap before the text.
    const int pad = ::MulDiv(2, dpi_, 96), lift = ::MulDiv(8, dpi_, 96);
    const auto button = [pad, lift](HWND b) {
        const PxSize t = TextSize(b);
        return PxSize{t.width + 2 * pad, t.height + lift};
    };
    const PxSize label = TextSize(label_);
    const PxSize check = TextSize(check_);
    const int box = ::GetSystemMetrics(SM_CXMENUCHECK) + ::MulDiv(6, dpi_, 96);
    return {button(readMe_), label, {check.width + box, check.height}, button(comDbg_), button(scrDbg_), button(stop_)};
}

PxSize WinForm::ClientSize() const {
    RECT r{};
    ::GetClientRect(window_, &r);
    return {r.right, r.bottom};
}

void WinForm::ResizeClient(PxSize client) {
    RECT r{0, 0, client.width, client.height};
    ::AdjustWindowRectEx(&r, kWindowStyle, FALSE, kWindowExStyle);
    ::SetWindowPos(window_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void WinForm::ApplyLayout() {
    const PxSize client = ClientSize();
    const FormPlaces p = PlaceControls(dpi_, client, Needs());
    const std::pair<HWND, PxRect> places[] = {
        {logo_, p.logo},     {readMe_, p.readMe}, {debugLog_, p.debugLog},
        {label_, p.label},   {check_, p.check},   {input_, p.input},
        {winsock_, winsockOnInput_ ? p.input : p.winsockParked},
        {comDbg_, p.comDbg}, {scrDbg_, p.scrDbg}, {stop_, p.stop}};
    HDWP batch = ::BeginDeferWindowPos(static_cast<int>(std::size(places)));
    for (const auto& [control, r] : places) {
        if (batch != nullptr)
            batch = ::DeferWindowPos(batch, control, nullptr, r.left, r.top, r.width, r.height,
                                     SWP_NOZORDER | SWP_NOACTIVATE);
        // A control the client area cuts off cannot be seen, so it must not be
        // reached either; one the window shows again is enabled again.
        ::EnableWindow(control, Intersects(r, client));
    }
    if (batch != nullptr) ::EndDeferWindowPos(batch);
}

int WinForm::HeightTwips() const {
    // The height last set reads back unchanged even where the pixel rounding
    // does not return the same twips; any other height is converted.
    const int height = ClientSize().height;
    if (height == TwipsToPixels(heightTwips_ - kFrameTwips, dpi_)) return heightTwips_;
    return PixelsToTwips(height, dpi_) + kFrameTwips;
}

void WinForm::SetHeightTwips(int twips) {
    heightTwips_ = twips;
    ResizeClient({ClientSize().width, std::max(0, TwipsToPixels(twips - kFrameTwips, dpi_))});
}

void WinForm::PlaceWinsockOnInput() {
    winsockOnInput_ = true;
    ApplyLayout();
}

void WinForm::Unload() { Close(true); }

void WinForm::Close(bool byProgram) {
    if (unloaded_) return;
    unloaded_ = true;
    ::ShowWindow(window_, SW_HIDE);
    if (events_ != nullptr && !byProgram) events_->Form_QueryUnload();
    if (onClosed_) onClosed_();
}

void WinForm::OnCommand(int id, int code) {
    if (id == kIdShowWinsock && code == BN_CLICKED) {
        const bool showLog = ::SendMessageW(check_, BM_GETCHECK, 0, 0) == BST_CHECKED;
        ::ShowWindow(input_, showLog ? SW_HIDE : SW_SHOW);
        ::ShowWindow(winsock_, showLog ? SW_SHOW : SW_HIDE);
        return;
    }
    if (events_ == nullptr) return;
    if (id == kIdLogo && code == STN_CLICKED) events_->imgLogo_Click();
    if (code != BN_CLICKED) return;
    if (id == kIdReadMe) events_->cmdReadMe_Click();
    if (id == kIdStop) events_->cmdStop_Click();
    if (id == kIdScrDbg) events_->cmdScrDbg_Click();
    if (id == kIdComDbg) events_->cmdComDbg_Click();
}

void WinForm::FollowFocus(WPARAM wParam, LPARAM lParam) {
    // WM_NEXTDLGCTL, sent by the dialog manager for Tab and Shift+Tab: the
    // next (or previous) control that is visible, enabled and a tab stop.
    HWND next = LOWORD(lParam) != 0 ? reinterpret_cast<HWND>(wParam)
                                    : ::GetNextDlgTabItem(window_, ::GetFocus(), wParam != 0);
    if (next != nullptr) ::SetFocus(next);
}

LRESULT CALLBACK WinForm::ReadMeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* form = reinterpret_cast<WinForm*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_RBUTTONUP && form != nullptr)
        form->SetHeightTwips(form->HeightTwips() == kCollapsedTwips ? kExpandedTwips : kCollapsedTwips);
    if (form == nullptr) return ::DefWindowProcW(hwnd, msg, wParam, lParam);
    return ::CallWindowProcW(form->buttonProc_, hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK WinForm::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* form = static_cast<WinForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        form->window_ = hwnd;
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto* form = reinterpret_cast<WinForm*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (form == nullptr || form->debugLog_ == nullptr) return ::DefWindowProcW(hwnd, msg, wParam, lParam);
    return form->OnMessage(msg, wParam, lParam);
}

LRESULT WinForm::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_SIZE:
        ApplyLayout();
        return 0;
    case WM_GETMINMAXINFO: {
        const PxSize minimum = MinimumClientSize(dpi_, Needs());
        RECT r{0, 0, minimum.width, minimum.height};
        ::AdjustWindowRectEx(&r, kWindowStyle, FALSE, kWindowExStyle);
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {r.right - r.left, r.bottom - r.top};
        return 0;
    }
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_NEXTDLGCTL:
        FollowFocus(wParam, lParam);
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) focus_ = ::GetFocus();
        return 0;
    case WM_SETFOCUS: {
        HWND target = focus_ != nullptr && ::IsWindowEnabled(focus_) && ::IsWindowVisible(focus_)
                          ? focus_ : ::GetNextDlgTabItem(window_, nullptr, FALSE);
        if (target != nullptr) ::SetFocus(target);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
        // The read-only logs keep the white of a text box, as the editable one has.
        if (reinterpret_cast<HWND>(lParam) == debugLog_ || reinterpret_cast<HWND>(lParam) == winsock_) {
            ::SetBkColor(reinterpret_cast<HDC>(wParam), ::GetSysColor(COLOR_WINDOW));
            ::SetTextColor(reinterpret_cast<HDC>(wParam), ::GetSysColor(COLOR_WINDOWTEXT));
            return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
        }
        break;
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item->CtlID != kIdLogo) break;
        ::FillRect(item->hDC, &item->rcItem, ::GetSysColorBrush(COLOR_BTNFACE));
        PaintLogo(item->hDC, item->rcItem);
        return TRUE;
    }
    case WM_SETCURSOR:
        // The logo is a link.
        if (reinterpret_cast<HWND>(wParam) == logo_) {
            ::SetCursor(::LoadCursorA(nullptr, IDC_HAND));
            return TRUE;
        }
        break;
    case WM_CLOSE:
        // Closing always proceeds; the program closes its connection first.
        Close(false);
        return 0;
    default:
        break;
    }
    return ::DefWindowProcW(window_, msg, wParam, lParam);
}

}  // namespace varnel_win
