// Plain sockets for the tests' loopback peers on Linux (the build puts
// this folder on the include path; tests/support/win32/ has the same calls
// on Windows): the system's socket headers, the descriptor type, and the few
// calls whose names or flags differ between the two (closing, non-blocking
// mode, a send that must not raise SIGPIPE, a read that must not wait, the
// half-close, short sleeps). The Berkeley calls that both systems share
// (socket, bind, listen, accept, connect, getsockname, sendto, recv...) are
// used as they are.
#pragma once

#include <cstddef>
#include <string>

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
