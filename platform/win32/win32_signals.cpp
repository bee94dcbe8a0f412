// Stop signals on Windows are console control events. The handler runs on a
// thread of its own: it posts the stop message (wParam = the signal number)
// and sets an event that SleepUnlessStopSignal waits on. Ctrl+C is SIGINT,
// Ctrl+Break SIGTERM, and the console's closing, a log-off or a shut-down
// SIGHUP; the same event a second time ends the process with 128 + N.
#include "platform/win32/win32_internal.h"

#include <atomic>
#include <csignal>
#include <set>

#include "platform/stop_signals.h"

namespace win {

namespace {

std::atomic<HWND> g_window{0};
std::atomic<UINT> g_message{0};
std::set<int> g_watched;            // written before the handler is installed
std::atomic<bool> g_arrived[65];
::HANDLE g_pending = nullptr;        // manual-reset: a stop signal waits for the loop

int SignalOf(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT: return SIGINT;
        case CTRL_BREAK_EVENT: return SIGTERM;
        default: return SIGHUP;
    }
}

// Hands a watched signal to the loop; false when signo is not watched.
bool Deliver(int signo) {
    if (g_watched.count(signo) == 0) return false;
    if (g_arrived[signo].exchange(true)) ::ExitProcess(128 + signo);
    ::SetEvent(g_pending);
    ::PostMessageA(w32::RealWindow(g_window.load()), g_message.load(), static_cast<::WPARAM>(signo), 0);
    return true;
}

BOOL WINAPI OnControlEvent(DWORD type) {
    if (!Deliver(SignalOf(type))) return FALSE;
    // After a closing console the process ends when the handler returns:
    // give the program time to stop and write its last lines first.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) ::Sleep(4500);
    return TRUE;
}

}  // namespace

bool WatchStopSignals(HWND hwnd, UINT msg, std::initializer_list<int> signals, std::string* error) {
    if (g_pending == nullptr) g_pending = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_pending == nullptr) {
        if (error != nullptr) *error = "the stop event could not be created: error " + std::to_string(::GetLastError());
        return false;
    }
    g_window = hwnd;
    g_message = msg;
    for (int signo : signals)
        if (signo > 0 && signo <= 64) g_watched.insert(signo);
    if (!::SetConsoleCtrlHandler(&OnControlEvent, TRUE)) {
        if (error != nullptr)
            *error = "the console control handler could not be installed: error " + std::to_string(::GetLastError());
        return false;
    }
    return true;
}

// The parent's end is waited for on a thread of the system's pool.
void StopWithParent(long parent, int signo) {
    ::HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(parent));
    ::HANDLE wait = nullptr;
    const auto onEnd = [](void* context, BOOLEAN) { Deliver(static_cast<int>(reinterpret_cast<intptr_t>(context))); };
    if (process == nullptr || !::RegisterWaitForSingleObject(&wait, process, onEnd, reinterpret_cast<void*>(
                                                                 static_cast<intptr_t>(signo)),
                                                             INFINITE, WT_EXECUTEONLYONCE))
        Deliver(signo);
}

bool SleepUnlessStopSignal(uint32_t milliseconds) {
    if (g_pending == nullptr) {
        ::Sleep(milliseconds);
        return false;
    }
    return ::WaitForSingleObject(g_pending, milliseconds) == WAIT_OBJECT_0;
}

namespace w32 {

void OnStopMessage(HWND hwnd, UINT msg) {
    if (g_pending != nullptr && hwnd == g_window.load() && msg == g_message.load()) ::ResetEvent(g_pending);
}

}  // namespace w32

}  // namespace win
