// Plain sockets for the tests' loopback peers on Windows (the build puts
// this folder on the include path; tests/support/posix/ has the same calls
// on Linux): the system's socket headers, the descriptor type, and the few
// calls whose names or flags differ between the two (closing, non-blocking
// mode, a send that must not raise SIGPIPE, a read that must not wait, the
// half-close, short sleeps). The Berkeley calls that both systems share
// (socket, bind, listen, accept, connect, getsockname, sendto, recv...) are
// used as they are.
#pragma once

#include <cstddef>
#include <string>

#include <sys/types.h>  // ssize_t

#include "platform/win32/real_api.h"

namespace testsock {

using Socket = ::SOCKET;
inline constexpr Socket kNoSocket = ~static_cast<::SOCKET>(0);  // INVALID_SOCKET
inline constexpr int kShutSend = 1;                             // SD_SEND

// Winsock serves a program only after WSAStartup; the peers may open their
// sockets before the program under test starts Winsock for itself.
inline const bool kWinsockStarted = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

inline void Close(Socket s) { ::closesocket(s); }

inline void SetNonBlocking(Socket s) {
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
}

// Windows raises no signal for a send on a closed connection.
inline ssize_t Send(Socket s, const char* data, size_t length) {
    return ::send(s, data, static_cast<int>(length), 0);
}

// Winsock has no per-call "don't wait" flag: a read happens only if the
// socket is readable now (data, the end of the stream or an error), else it
// fails as a non-blocking read would.
inline ssize_t ReceiveNow(Socket s, char* buffer, size_t length) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval now{0, 0};
    if (::select(0, &readable, nullptr, nullptr, &now) != 1) {
        ::WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    return ::recv(s, buffer, static_cast<int>(length), 0);
}

// Whether the last failed call of this thread failed only because it would have waited.
inline bool WouldBlock() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }

inline std::string LastErrorText() { return "Winsock error " + std::to_string(::WSAGetLastError()); }

// Sleep() counts milliseconds: a short wait is at least one.
inline void SleepMicroseconds(unsigned microseconds) { ::Sleep((microseconds + 999) / 1000); }

// Wine's ntdll exports wine_get_version; Windows' does not.
inline bool UnderWine() {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace testsock
