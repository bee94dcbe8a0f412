// Message windows, the message loop and window timers on the real window
// system. Every layer window is a real message-only window of one class; its
// real procedure hands WM_TIMER and the program's own messages (WM_USER and
// above) to the layer's procedure and everything else to DefWindowProcA.
#include "platform/win32/win32_internal.h"

#include <shellapi.h>

#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/platform_testing.h"
#include "platform/win32/dialog_window.h"
#include "platform/stop_signals.h"

namespace win {

namespace {

constexpr const char* kClassName = "VarnelMessageWindow";
constexpr UINT kRealTimerMessage = 0x0113;
// HWND_MESSAGE, spelled out: the real macro's cast would name the layer's HWND here.
const ::HWND kMessageOnlyParent = reinterpret_cast<::HWND>(static_cast<intptr_t>(-3));

struct Window {
    std::string className;
    WNDPROC proc;
};

struct State {
    bool registered = false;
    std::unordered_map<HWND, Window> windows;
    std::map<std::pair<HWND, uint32_t>, TIMERPROC> timers;
    HWND internal = 0;
    bool quit = false;
    uint64_t markersPosted = 0;
    uint64_t markersSeen = 0;
    bool failCreate = false;
    bool failDestroy = false;
    WNDPROC initialProc = nullptr;
    std::function<void()> toolkitPump;
    ::HWND dialog = nullptr;  // see dialog_window.h
};

State& S() {
    static State* s = new State;  // never destroyed: windows may outlive static destruction order
    return *s;
}

Window* Find(HWND hwnd) {
    auto it = S().windows.find(hwnd);
    return it == S().windows.end() ? nullptr : &it->second;
}

::LRESULT CALLBACK RealProc(::HWND real, ::UINT msg, ::WPARAM wp, ::LPARAM lp) {
    if (msg != kRealTimerMessage && msg < WM_USER) return ::DefWindowProcA(real, msg, wp, lp);
    const HWND hwnd = w32::LayerWindow(real);
    const WPARAM wParam = static_cast<WPARAM>(wp);
    LPARAM lParam = static_cast<LPARAM>(lp);
    State& s = S();
    if (hwnd == s.internal && hwnd != 0) {
        if (msg == w32::kMarkerMessage) {
            const uint64_t seq = static_cast<uint64_t>(lp);
            if (seq > s.markersSeen) s.markersSeen = seq;
        } else if (msg == w32::kWatchMessage) {
            w32::OnWatchReport(wParam, lParam);
        }
        return 0;
    }
    if (msg == kRealTimerMessage) {
        auto it = s.timers.find({hwnd, static_cast<uint32_t>(wp)});
        if (it == s.timers.end()) return 0;  // killed meanwhile: dropped
        if (it->second != nullptr) {
            it->second(hwnd, WM_TIMER, static_cast<uint32_t>(wp), static_cast<uint32_t>(::GetTickCount()));
            return 0;
        }
        return w32::CallLayerProc(hwnd, WM_TIMER, wParam, lParam);
    }
    if (!w32::TakeLookupReply(hwnd, msg, wParam, &lParam)) return 0;
    w32::OnStopMessage(hwnd, msg);
    return w32::CallLayerProc(hwnd, msg, wParam, lParam);
}

bool RegisterOnce() {
    State& s = S();
    if (s.registered) return true;
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &RealProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = kClassName;
    if (::RegisterClassExA(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    s.registered = true;
    return true;
}

::HWND CreateReal(const std::string& name) {
    if (!RegisterOnce()) return nullptr;
    return ::CreateWindowExA(0, kClassName, name.c_str(), 0, 0, 0, 0, 0, kMessageOnlyParent, nullptr,
                             ::GetModuleHandleA(nullptr), nullptr);
}

void DispatchOne(MSG& m) {
    ::HWND dialog = S().dialog;
    if (dialog != nullptr && ::IsDialogMessageA(dialog, &m)) return;
    ::TranslateMessage(&m);
    ::DispatchMessageA(&m);
}

}  // namespace

namespace w32 {

HWND InternalWindow() {
    State& s = S();
    if (s.internal == 0) s.internal = LayerWindow(CreateReal("VarnelLayer"));
    return s.internal;
}

LRESULT CallLayerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Window* w = Find(hwnd);
    if (w == nullptr || w->proc == nullptr) return 0;
    WNDPROC proc = w->proc;  // the procedure may destroy its window
    return proc(hwnd, msg, wParam, lParam);
}

}  // namespace w32

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

HWND CreateWindowExA(int32_t, const std::string& className, const std::string& windowName) {
    State& s = S();
    if (s.failCreate) {
        s.failCreate = false;
        return 0;
    }
    w32::InternalWindow();
    ::HWND real = CreateReal(windowName);
    if (real == nullptr) return 0;
    const HWND hwnd = w32::LayerWindow(real);
    s.windows[hwnd] = Window{className, s.initialProc != nullptr ? s.initialProc : &DefWindowProcA};
    return hwnd;
}

bool DestroyWindow(HWND hwnd) {
    State& s = S();
    if (Find(hwnd) == nullptr) return false;
    if (s.failDestroy) {
        s.failDestroy = false;
        return false;
    }
    s.windows.erase(hwnd);
    for (auto it = s.timers.begin(); it != s.timers.end();) {
        if (it->first.first == hwnd) {
            ::KillTimer(w32::RealWindow(hwnd), it->first.second);
            it = s.timers.erase(it);
        } else {
            ++it;
        }
    }
    ::DestroyWindow(w32::RealWindow(hwnd));
    return true;
}

bool IsWindow(HWND hwnd) { return Find(hwnd) != nullptr; }

std::string GetWindowName(HWND hwnd) {
    if (Find(hwnd) == nullptr) return std::string();
    char name[512] = {};
    ::GetWindowTextA(w32::RealWindow(hwnd), name, sizeof name);
    return name;
}

WNDPROC GetWindowLongA(HWND hwnd, int nIndex) {
    Window* w = Find(hwnd);
    return w == nullptr || nIndex != GWL_WNDPROC ? nullptr : w->proc;
}

WNDPROC SetWindowLongA(HWND hwnd, int nIndex, WNDPROC proc) {
    Window* w = Find(hwnd);
    if (w == nullptr || nIndex != GWL_WNDPROC) return nullptr;
    WNDPROC previous = w->proc;
    w->proc = proc;
    return previous;
}

LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return proc != nullptr ? proc(hwnd, msg, wParam, lParam) : 0;
}

bool PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageA(w32::RealWindow(hwnd), msg, static_cast<::WPARAM>(static_cast<intptr_t>(wParam)),
                          static_cast<::LPARAM>(lParam)) != 0;
}

// The quit request is checked before every dispatch, like GetMessage meeting WM_QUIT.
void RunMessageLoop() {
    State& s = S();
    for (;;) {
        if (s.quit) {
            s.quit = false;
            return;
        }
        MSG m;
        if (::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message != WM_QUIT) DispatchOne(m);
            continue;
        }
        ::MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

void QuitMessageLoop() { S().quit = true; }

bool QuitRequested() { return S().quit; }

namespace {

// Dispatches what is queued now: a marker goes to the back of the queue and
// everything before it is dispatched (nested calls may take the marker),
// then the timers that are due.
void DispatchPending(bool stopOnQuit) {
    State& s = S();
    const uint64_t seq = ++s.markersPosted;
    if (!::PostMessageA(w32::RealWindow(w32::InternalWindow()), w32::kMarkerMessage, 0,
                        static_cast<::LPARAM>(seq)))
        return;
    while (s.markersSeen < seq) {
        if (stopOnQuit && s.quit) return;
        MSG m;
        if (!::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) break;
        if (m.message != WM_QUIT) DispatchOne(m);
    }
    // WM_TIMER is made only when no posted message waits, so the due timers
    // come after the marker: one round of them (bounded: a timer of period 0
    // is due again at once).
    MSG m;
    for (int i = 0; i < 64 && !(stopOnQuit && s.quit); ++i) {
        if (!::PeekMessageA(&m, nullptr, kRealTimerMessage, kRealTimerMessage, PM_REMOVE)) break;
        DispatchOne(m);
    }
}

}  // namespace

void DoEvents() {
    DispatchPending(false);
    if (S().toolkitPump) S().toolkitPump();
}

// The real message loop needs no descriptor: a window toolkit shares the loop itself.
int EventLoopFd() { return -1; }

void PumpEventLoop() { DispatchPending(true); }

void SetToolkitPump(std::function<void()> pump) { S().toolkitPump = std::move(pump); }

void WaitMessageTimeout(uint32_t milliseconds) {
    ::MsgWaitForMultipleObjectsEx(0, nullptr, milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

bool SetTimer(HWND hwnd, uint32_t id, uint32_t milliseconds, TIMERPROC proc) {
    if (Find(hwnd) == nullptr) return false;
    if (::SetTimer(w32::RealWindow(hwnd), id, milliseconds, nullptr) == 0) return false;
    S().timers[{hwnd, id}] = proc;
    return true;
}

bool KillTimer(HWND hwnd, uint32_t id) {
    if (S().timers.erase({hwnd, id}) == 0) return false;
    ::KillTimer(w32::RealWindow(hwnd), id);
    return true;
}

void Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

void ShellExecuteA(HWND, const std::string& operation, const std::string& file) {
    if (file.empty()) return;
    ::ShellExecuteA(nullptr, operation.c_str(), file.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void SetDialogWindow(void* window) { S().dialog = static_cast<::HWND>(window); }

bool InitEventLoop(std::string* error) {
    if (w32::InternalWindow() != 0) return true;
    if (error != nullptr)
        *error = "the event loop could not be created: error " + std::to_string(::GetLastError());
    return false;
}

namespace testing {

void FailNextCreateWindow() { S().failCreate = true; }
void FailNextDestroyWindow() { S().failDestroy = true; }
void SetInitialWindowProc(WNDPROC proc) { S().initialProc = proc; }
void ClearQuitRequest() { S().quit = false; }
int QueuedMessageCount() {
    MSG m;
    return ::PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE) ? 1 : 0;
}

}  // namespace testing

}  // namespace win
