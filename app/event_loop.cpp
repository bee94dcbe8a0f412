#include "app/event_loop.h"

#ifdef VARNEL_HAVE_PLATFORM
#include "platform/message_window.h"

namespace apploop {
void DoEvents() { win::DoEvents(); }
void Run() { win::RunMessageLoop(); }
void Quit() { win::QuitMessageLoop(); }
void Sleep(uint32_t milliseconds) { win::Sleep(milliseconds); }
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
void DoEvents() {}
void Run() {
    while (!g_quit) ::pause();
}
void Quit() { g_quit = true; }
void Sleep(uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
}  // namespace apploop
#endif
