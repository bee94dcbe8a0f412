// Plain sockets for the tests' loopback peers, with one set of calls on Linux
// and on Windows: the system's socket headers, the descriptor type, and the
// few calls whose names or flags differ there (closing, non-blocking mode, a
// send that must not raise SIGPIPE, a read that must not wait, the
// half-close, short sleeps). The Berkeley calls that both systems share
// (socket, bind, listen, accept, connect, getsockname, sendto, recv...) are
// used as they are.
#pragma once

#include <cstddef>
#include <string>

#ifdef _WIN32

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

#else

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testsock {

using Socket = int;
inline constexpr Socket kNoSocket = -1;
inline constexpr int kShutSend = SHUT_WR;

inline void Close(Socket s) { ::close(s); }

inline void SetNonBlocking(Socket s) { ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK); }

// MSG_NOSIGNAL: a send on a connection the program has closed fails instead of raising SIGPIPE.
inline ssize_t Send(Socket s, const char* data, size_t length) { return ::send(s, data, length, MSG_NOSIGNAL); }

inline ssize_t ReceiveNow(Socket s, char* buffer, size_t length) {
    return ::recv(s, buffer, length, MSG_DONTWAIT);
}

// Whether the last failed call of this thread failed only because it would have waited.
inline bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

inline std::string LastErrorText() { return std::strerror(errno); }

inline void SleepMicroseconds(unsigned microseconds) { ::usleep(microseconds); }

inline bool UnderWine() { return false; }

}  // namespace testsock

#endif
