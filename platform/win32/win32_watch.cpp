// Descriptor watches (a protocol library's own socket, libssh's) on the
// real WSAAsyncSelect: the socket reports to the layer's internal window,
// and one report per arming is handed to the watching window's procedure.
// Registering again makes Windows Sockets report the conditions that hold
// then, so a watch armed again sees what is still there.
#include "platform/win32/win32_internal.h"

#include <unordered_map>

#include "platform/fd_watch.h"
#include "platform/winsock.h"

namespace win {

namespace {

struct Watch {
    HWND hwnd = 0;
    UINT msg = 0;
    bool armed = false;
};

std::unordered_map<int, Watch>& Watches() {
    static auto* watches = new std::unordered_map<int, Watch>;
    return *watches;
}

}  // namespace

int WatchDescriptor(int fd, HWND hwnd, UINT msg, int32_t events) {
    if (fd < 0) return -1;
    int32_t real = 0;
    if (events & FD_READ) real |= FD_READ | FD_OOB | FD_CLOSE;
    if (events & FD_WRITE) real |= FD_WRITE | FD_CONNECT;
    Watch& w = Watches()[fd];
    w.hwnd = hwnd;
    w.msg = msg;
    w.armed = real != 0;
    // Registering again reports the conditions that hold now.
    const HWND target = real != 0 ? w32::InternalWindow() : 0;
    if (::WSAAsyncSelect(w32::RealSocket(fd), w32::RealWindow(target), real != 0 ? w32::kWatchMessage : 0, real) != 0)
        return real != 0 ? -1 : 0;
    return 0;
}

void UnwatchDescriptor(int fd) {
    auto it = Watches().find(fd);
    if (it == Watches().end()) return;
    ::WSAAsyncSelect(w32::RealSocket(fd), nullptr, 0, 0);
    Watches().erase(it);
}

namespace w32 {

void OnWatchReport(WPARAM fd, LPARAM lParam) {
    auto it = Watches().find(fd);
    if (it == Watches().end() || !it->second.armed) return;
    const int32_t event = lParam & 0xFFFF;
    const int32_t error = (static_cast<uint32_t>(lParam) >> 16) & 0xFFFF;
    int32_t bits = 0;
    if (event & (FD_READ | FD_OOB | FD_CLOSE)) bits |= FD_READ;
    if (event & (FD_WRITE | FD_CONNECT)) bits |= FD_WRITE;
    if (event == FD_CONNECT && error != 0) bits |= FD_READ;
    it->second.armed = false;
    CallLayerProc(it->second.hwnd, it->second.msg, fd, bits);
}

}  // namespace w32

}  // namespace win
