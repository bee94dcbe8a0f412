// Drives the window of a running varnel.exe from outside, through the
// window's own messages, as an accessibility tool or a test robot would:
// finds it by class and caption, reads control texts with WM_GETTEXT and
// places with GetWindowRect, clicks with BM_CLICK, right-clicks the read-me
// button, closes the window, and reads and confirms a message box.
//
//   window_probe COMMAND [ARGS]     exit status 0: done or as expected
//     wait SECONDS                  the window shows
//     rect                          prints the window's screen rectangle as WxH+X+Y
//     places DPI expanded|collapsed every control at its designed place for DPI, captions exact
//     right-click-readme            a right click on the read-me button
//     click ID                      BM_CLICK on a control
//     visible ID 0|1                the control's visibility is as given
//     wait-text ID TEXT SECONDS     the control's text comes to contain TEXT
//     close                         closes the window as its close box does
//     box CAPTION SECONDS           a message box with CAPTION shows: prints its text, presses OK
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const wchar_t* kClass = L"VarnelMainWindow";
constexpr const wchar_t* kCaption = L"Varnel by Tamsk";

// The designed form in twips (left, top, width, height within the client
// area) and the captions, as the Qt window has them.
struct Control {
    int id;
    const wchar_t* name;
    const wchar_t* caption;  // nullptr: a box, its text is not compared
    int left, top, width, height;
};
constexpr Control kControls[] = {
    {100, L"imgLogo", nullptr, 120, 120, 1815, 735},
    {101, L"cmdReadMe", L"&View Readme", 2280, 240, 1845, 495},
    {102, L"txtDebug", nullptr, 120, 960, 4005, 1725},
    {103, L"Label1", L"Debug box:", 120, 3045, 1815, 255},
    {104, L"chkWinsock", L"Show Winsock Log", 2040, 3015, 2085, 285},
    {105, L"txtInput", nullptr, 120, 3375, 4005, 1380},
    {106, L"txtWinsock", nullptr, 120, 3375, 4005, 1380},  // on the input box
    {107, L"cmdComDbg", L"As &Commands", 120, 4875, 1305, 420},
    {108, L"cmdScrDbg", L"As &Script", 1470, 4875, 1305, 420},
    {109, L"cmdStop", L"Stop", 2820, 4875, 1305, 420},
};
constexpr int kClientWidth = 4245, kExpandedClient = 5415, kCollapsedClient = 2805;

HWND FindForm() { return ::FindWindowW(kClass, kCaption); }

HWND WaitFor(const wchar_t* cls, const wchar_t* caption, double seconds, bool mustShow) {
    for (int i = 0; i < static_cast<int>(seconds * 20); ++i) {
        HWND w = ::FindWindowW(cls, caption);
        if (w != nullptr && (!mustShow || ::IsWindowVisible(w))) return w;
        ::Sleep(50);
    }
    return nullptr;
}

std::wstring TextOf(HWND w) {
    const LRESULT length = ::SendMessageW(w, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(::SendMessageW(w, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
    return text;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

int Px(int twips, int dpi) { return ::MulDiv(twips, dpi, 1440); }

// Within a pixel: the edges are rounded one by one here and as sizes there.
bool Near(int a, int b) { return a - b <= 1 && b - a <= 1; }

int CheckPlaces(HWND form, int dpi, bool expanded) {
    int failures = 0;
    RECT client{};
    ::GetClientRect(form, &client);
    const int wantHeight = Px(expanded ? kExpandedClient : kCollapsedClient, dpi);
    if (!Near(client.right, Px(kClientWidth, dpi)) || !Near(client.bottom, wantHeight)) {
        std::printf("client area %ldx%ld, designed %dx%d\n", client.right, client.bottom, Px(kClientWidth, dpi),
                    wantHeight);
        ++failures;
    }
    for (const Control& c : kControls) {
        HWND w = ::GetDlgItem(form, c.id);
        RECT r{};
        ::GetWindowRect(w, &r);
        ::MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&r), 2);
        const int want[4] = {Px(c.left, dpi), Px(c.top, dpi), Px(c.left + c.width, dpi), Px(c.top + c.height, dpi)};
        const long got[4] = {r.left, r.top, r.right, r.bottom};
        bool placed = w != nullptr;
        for (int i = 0; i < 4; ++i) placed = placed && Near(static_cast<int>(got[i]), want[i]);
        if (!placed) {
            std::printf("%ls at (%ld,%ld)-(%ld,%ld), designed (%d,%d)-(%d,%d)\n", c.name, got[0], got[1], got[2],
                        got[3], want[0], want[1], want[2], want[3]);
            ++failures;
        }
        if (c.caption != nullptr && TextOf(w) != c.caption) {
            std::printf("%ls reads \"%s\"\n", c.name, Narrow(TextOf(w)).c_str());
            ++failures;
        }
        // What the client area cuts off is out of reach.
        const bool reachable = want[1] < client.bottom;
        if ((::IsWindowEnabled(w) != FALSE) != reachable) {
            std::printf("%ls is %s\n", c.name, reachable ? "disabled" : "enabled below the client area");
            ++failures;
        }
    }
    if (TextOf(form) != kCaption) {
        std::printf("the caption reads \"%s\"\n", Narrow(TextOf(form)).c_str());
        ++failures;
    }
    std::printf("%s at %d DPI: %s\n", expanded ? "expanded" : "collapsed", dpi, failures == 0 ? "as designed" : "FAILED");
    return failures == 0 ? 0 : 1;
}

int Box(const wchar_t* caption, double seconds) {
    HWND box = WaitFor(L"#32770", caption, seconds, true);
    if (box == nullptr) {
        std::printf("no message box \"%ls\"\n", caption);
        return 1;
    }
    // The message text is the static control of id 0xFFFF (the icon has no text).
    for (HWND child = ::GetWindow(box, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[32] = {};
        ::GetClassNameW(child, cls, 32);
        if (std::wstring(cls) == L"Static" && ::GetDlgCtrlID(child) == 0xFFFF && !TextOf(child).empty())
            std::fputs(Narrow(TextOf(child)).c_str(), stdout);
    }
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    // Texts are printed as the window holds them, CRLF included.
    ::_setmode(::_fileno(stdout), _O_BINARY);
    const std::string command = argv[1];
    const auto arg = [argc, argv](int i) { return i < argc ? std::string(argv[i]) : std::string(); };
    const auto wide = [](const std::string& s) { return std::wstring(s.begin(), s.end()); };
    if (command == "box") return Box(wide(arg(2)).c_str(), std::atof(arg(3).c_str()));
    if (command == "wait") return WaitFor(kClass, kCaption, std::atof(arg(2).c_str()), true) != nullptr ? 0 : 1;
    HWND form = FindForm();
    if (form == nullptr) {
        std::printf("no window \"%ls\"\n", kCaption);
        return 1;
    }
    HWND control = ::GetDlgItem(form, std::atoi(arg(2).c_str()));
    if (command == "rect") {
        RECT r{};
        ::GetWindowRect(form, &r);
        std::printf("%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
        return 0;
    }
    if (command == "places") return CheckPlaces(form, std::atoi(arg(2).c_str()), arg(3) == "expanded");
    if (command == "right-click-readme") {
        HWND button = ::GetDlgItem(form, 101);
        ::SendMessageW(button, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
        ::SendMessageW(button, WM_RBUTTONUP, 0, MAKELPARAM(5, 5));
        return 0;
    }
    if (command == "click") return ::SendMessageW(control, BM_CLICK, 0, 0), 0;
    if (command == "visible") return (::IsWindowVisible(control) != FALSE) == (arg(3) == "1") ? 0 : 1;
    if (command == "wait-text") {
        const std::wstring want = wide(arg(3));
        for (int i = 0; i < static_cast<int>(std::atof(arg(4).c_str()) * 20); ++i, ::Sleep(50))
            if (TextOf(control).find(want) != std::wstring::npos) return 0;
        std::printf("control %s never read \"%s\"; it reads:\n%s\n", arg(2).c_str(), arg(3).c_str(),
                    Narrow(TextOf(control)).c_str());
        return 1;
    }
    if (command == "close") return ::PostMessageW(form, WM_CLOSE, 0, 0) != FALSE ? 0 : 1;
    std::printf("unknown command %s\n", command.c_str());
    return 2;
}
