// The SSH session lives in a separately built module (libvarnel-ssh.so, on
// Windows libvarnel-ssh.dll: net/ssh and the SSH session socket) that the
// program loads only when a script opens an SSH session. libssh, libcrypto and the libraries they pull in take most
// of a start-up to load and relocate; runs without an SSH line never load them.
// The module lies next to the executable in a build folder and in
// PREFIX/lib/varnel/ when installed (install_layout.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/fd_watch.h"
#include "platform/message_window.h"
#include "platform/os.h"
#include "platform/winsock.h"
#include "script/session_events.h"
#include "script/session_socket.h"

inline const std::string kSshModuleName = os::ModuleFileName("varnel-ssh");

// What the SSH session needs from the program's platform layer: message
// windows, their timers and descriptor watches, all of the one event loop,
// and the socket query that tells what the peer has not taken yet.
// The module does not link that layer (a second copy would be a second event
// loop that nothing runs); the program hands over its own functions.
struct SshModulePlatform {
    uint32_t size = sizeof(SshModulePlatform);  // a module built for another table refuses this one
    decltype(&win::CreateWindowExA) create_window = nullptr;
    decltype(&win::DestroyWindow) destroy_window = nullptr;
    decltype(&win::IsWindow) is_window = nullptr;
    decltype(&win::GetWindowLongA) get_window_long = nullptr;
    decltype(&win::SetWindowLongA) set_window_long = nullptr;
    decltype(&win::CallWindowProcA) call_window_proc = nullptr;
    decltype(&win::DefWindowProcA) def_window_proc = nullptr;
    decltype(&win::PostMessageA) post_message = nullptr;
    decltype(&win::SetTimer) set_timer = nullptr;
    decltype(&win::KillTimer) kill_timer = nullptr;
    decltype(&win::WatchDescriptor) watch_descriptor = nullptr;
    decltype(&win::UnwatchDescriptor) unwatch_descriptor = nullptr;
    decltype(&win::ioctlsocket) ioctl_socket = nullptr;  // what the server has not taken yet
};

// The module's one entry point, looked up with dlsym: the session socket of
// an SSH line for user (see ssh_socket.h; log receives lines for the session
// log). The first call copies the table, later calls use that copy.
// Returns nullptr and fills *error with a one-line reason on failure.
extern "C" {
typedef ISessionSocket* (*VarnelCreateSshSocketFn)(const SshModulePlatform* platform, ISessionEvents* events,
                                                   const std::string* user,
                                                   std::function<void(const std::string&)>* log,
                                                   std::string* error);
}
#define VARNEL_CREATE_SSH_SOCKET_SYMBOL "varnel_create_ssh_socket"
