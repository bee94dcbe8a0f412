// The SSH module's entry point, and the platform calls of the SSH session
// made through the table the program hands over (ssh_module.h): the session's
// code calls win::CreateWindowExA and the rest as it does when linked with
// the platform layer itself, and here those calls reach the program's loop.
#include <exception>
#include <memory>

#include "app/ssh_module.h"
#include "app/ssh_socket.h"

namespace {

SshModulePlatform g_platform;  // size 0 until the first socket is made
bool g_attached = false;

}  // namespace

namespace win {

HWND CreateWindowExA(int32_t exStyle, const std::string& className, const std::string& windowName) {
    return g_platform.create_window(exStyle, className, windowName);
}
bool DestroyWindow(HWND hwnd) { return g_platform.destroy_window(hwnd); }
bool IsWindow(HWND hwnd) { return g_platform.is_window(hwnd); }
WNDPROC GetWindowLongA(HWND hwnd, int nIndex) { return g_platform.get_window_long(hwnd, nIndex); }
WNDPROC SetWindowLongA(HWND hwnd, int nIndex, WNDPROC proc) {
    return g_platform.set_window_long(hwnd, nIndex, proc);
}
LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return g_platform.call_window_proc(proc, hwnd, msg, wParam, lParam);
}
LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return g_platform.def_window_proc(hwnd, msg, wParam, lParam);
}
bool PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return g_platform.post_message(hwnd, msg, wParam, lParam);
}
bool SetTimer(HWND hwnd, uint32_t id, uint32_t milliseconds, TIMERPROC proc) {
    return g_platform.set_timer(hwnd, id, milliseconds, proc);
}
bool KillTimer(HWND hwnd, uint32_t id) { return g_platform.kill_timer(hwnd, id); }
int WatchDescriptor(int fd, HWND hwnd, UINT msg, int32_t events) {
    return g_platform.watch_descriptor(fd, hwnd, msg, events);
}
void UnwatchDescriptor(int fd) { g_platform.unwatch_descriptor(fd); }
int ioctlsocket(SOCKET s, int32_t cmd, uint32_t* argp) { return g_platform.ioctl_socket(s, cmd, argp); }

}  // namespace win

extern "C" __attribute__((visibility("default"))) ISessionSocket* varnel_create_ssh_socket(
    const SshModulePlatform* platform, ISessionEvents* events, const std::string* user,
    std::function<void(const std::string&)>* log, std::string* error) {
    if (!g_attached) {
        if (platform == nullptr || platform->size != sizeof(SshModulePlatform)) {
            if (error != nullptr) *error = "the module does not match the program";
            return nullptr;
        }
        g_platform = *platform;
        g_attached = true;
    }
    try {
        return MakeSshSocket(*events, *user, log != nullptr ? std::move(*log) : nullptr).release();
    } catch (const std::exception& e) {
        if (error != nullptr) *error = e.what();
        return nullptr;
    }
}

// The entry matches the type the loader looks it up as.
static_assert(std::is_same_v<decltype(&varnel_create_ssh_socket), VarnelCreateSshSocketFn>);
