#include "app/event_loop.h"

#include <csignal>
#include <cstdlib>

#ifdef VARNEL_HAVE_PLATFORM
#include "platform/message_window.h"
#include "platform/stop_signals.h"

namespace apploop {
namespace {

constexpr win::UINT kStopSignalMessage = 0x8001;  // WM_APP + 1
constexpr win::UINT kRunTimer = 1;

win::HWND g_window = 0;
std::function<void(int)> g_onStopSignal;
std::function<void()> g_onElapsed;
bool g_timerRunning = false;

win::LRESULT ControlProc(win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM) {
    if (msg == win::WM_TIMER && static_cast<win::UINT>(wParam) == kRunTimer && g_timerRunning) {
        StopTimer();
        if (g_onElapsed) g_onElapsed();
    } else if (msg == kStopSignalMessage && g_onStopSignal) {
        g_onStopSignal(static_cast<int>(wParam));
    }
    return 0;
}

}  // namespace

bool Init(std::function<void(int)> onStopSignal, std::string* error) {
    if (!win::InitEventLoop(error)) return false;
    g_window = win::CreateWindowExA(0, "VarnelRunControl", "");
    if (g_window == 0) {
        *error = "the event loop's control window could not be created";
        return false;
    }
    win::SetWindowLongA(g_window, win::GWL_WNDPROC, &ControlProc);
    g_onStopSignal = std::move(onStopSignal);
    if (!win::WatchStopSignals(g_window, kStopSignalMessage, {SIGINT, SIGTERM, SIGHUP}, error)) return false;
    // A run started by varnel-fleet ends when the fleet does, however it ended
    // (SIGKILL included): as if its terminal had hung up.
    if (const char* parent = std::getenv("VARNEL_END_WITH_PARENT"); parent != nullptr && *parent != '\0')
        win::StopWithParent(std::strtol(parent, nullptr, 10), SIGHUP);
    return true;
}
void DoEvents() { win::DoEvents(); }
void Run() { win::RunMessageLoop(); }
void Quit() { win::QuitMessageLoop(); }
bool Sleep(uint32_t milliseconds) { return win::SleepUnlessStopSignal(milliseconds); }

void SetTimerTarget(std::function<void()> onElapsed) { g_onElapsed = std::move(onElapsed); }

bool StartTimer(uint32_t milliseconds) {
    g_timerRunning = win::SetTimer(g_window, kRunTimer, milliseconds);
    return g_timerRunning;
}

void StopTimer() {
    if (!g_timerRunning) return;
    g_timerRunning = false;
    win::KillTimer(g_window, kRunTimer);
}

}  // namespace apploop

#else
#include <cerrno>
#include <ctime>
#include <unistd.h>

// Without the platform layer nothing can raise an event: the loop only waits
// for the quit request (or a signal that ends the process).
namespace apploop {
namespace {
bool g_quit = false;
}
bool Init(std::function<void(int)>, std::string*) { return true; }
void DoEvents() {}
void Run() {
    while (!g_quit) ::pause();
}
void Quit() { g_quit = true; }
bool Sleep(uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return false;
}
void SetTimerTarget(std::function<void()>) {}
bool StartTimer(uint32_t) { return false; }
void StopTimer() {}
}  // namespace apploop
#endif
