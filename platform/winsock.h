// Non-blocking IPv4 sockets with the Windows Sockets calling conventions:
// failing calls return -1 (SOCKET_ERROR or INVALID_SOCKET) or 0 (handle
// returning calls) and leave a Windows Sockets error code for WSAGetLastError.
// Readiness is reported as messages to a message window (WSAAsyncSelect), and
// host lookups run on one worker thread (WSAAsyncGetHostByName).
//
// Socket handles are the file descriptors. Address records are the plain
// 16-byte IPv4 record: family 2, port in network order, address, 8 zeros.
#pragma once

#ifdef _WIN32
#include "platform/win32/real_api.h"  // first: the real headers' macros of the names below go
#endif

#include <cstdint>
#include <string>

#include "platform/message_window.h"

namespace win {

using SOCKET = int32_t;
using HANDLE = int32_t;

constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Windows Sockets constants whose values differ from the Linux ones carry a
// _WS suffix so they never meet the system's macros of the same name.
constexpr int AF_INET_WS = 2;
constexpr int SOCK_STREAM_WS = 1;
constexpr int SOCK_DGRAM_WS = 2;
constexpr int IPPROTO_TCP_WS = 6;
constexpr int IPPROTO_UDP_WS = 17;
constexpr int SOL_SOCKET_WS = 0xFFFF;
constexpr int SO_BROADCAST_WS = 0x0020;
constexpr int SO_SNDBUF_WS = 0x1001;
constexpr int SO_RCVBUF_WS = 0x1002;
constexpr int SO_MAX_MSG_SIZE_WS = 0x2003;   // answered with 65507 (largest IPv4 UDP payload)
constexpr int MSG_PEEK_WS = 2;
constexpr int32_t FIONREAD_WS = 0x4004667F;
// ioctlsocket: the bytes of a stream socket that the peer has not yet
// acknowledged (sent or still queued in the system). A command of this layer.
constexpr int32_t SIOCOUTQ_WS = 0x4004667D;

// Notification bits for WSAAsyncSelect and the low word of a notification's lParam.
constexpr int32_t FD_READ = 1;
constexpr int32_t FD_WRITE = 2;
constexpr int32_t FD_OOB = 4;
constexpr int32_t FD_ACCEPT = 8;
constexpr int32_t FD_CONNECT = 16;
constexpr int32_t FD_CLOSE = 32;

struct SOCKADDR_IN {
    int16_t sin_family;
    uint16_t sin_port;      // network byte order
    uint32_t sin_addr;      // network byte order
    char sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN) == 16);

struct WSADATA {
    uint16_t wVersion;
    uint16_t wHighVersion;
};

// Host entry as written into the caller's block by WSAAsyncGetHostByName and
// returned by gethostbyname. The references are byte offsets from the start
// of the record (0 = none), so the record fits in 16 bytes and can be copied.
// h_addr_list_offset points at a 0-terminated array of uint32_t offsets, each
// pointing at 4 address bytes in network order.
struct HOSTENT_REC {
    uint32_t h_name_offset;
    uint32_t h_aliases_offset;
    int16_t h_addrtype;
    int16_t h_length;
    uint32_t h_addr_list_offset;
};
static_assert(sizeof(HOSTENT_REC) == 16);
// The first IPv4 address of a host entry record, in network order; false if it has none.
bool FirstHostAddress(const void* record, uint32_t* address);

int WSAStartup(uint16_t versionRequested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int code);
// The Windows Sockets code for an errno value (the explicit table; EINTR is retried internally).
int WsaErrorFromErrno(int err);
int WsaErrorFromGai(int gaiError, int err);

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
// Ends one or both directions of a stream socket (SD_SEND: a FIN goes out
// after every byte already handed to send; reading goes on).
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;
int shutdown(SOCKET s, int how);
int bind(SOCKET s, const SOCKADDR_IN* name, int namelen);
int connect(SOCKET s, const SOCKADDR_IN* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, SOCKADDR_IN* addr, int* addrlen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR_IN* to, int tolen);
int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR_IN* from, int* fromlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockname(SOCKET s, SOCKADDR_IN* name, int* namelen);
int getpeername(SOCKET s, SOCKADDR_IN* name, int* namelen);
int ioctlsocket(SOCKET s, int32_t cmd, uint32_t* argp);
uint32_t inet_addr(const std::string& dotted);      // INADDR_NONE (0xFFFFFFFF) when not numeric
std::string inet_ntoa(uint32_t address);             // dotted text of a network-order address
// Byte order: use the system's htons/ntohs (platform/byte_order.h); they may be macros.
int gethostname(char* name, int namelen);
// Blocking lookup. Returns a record in thread-local storage, or nullptr with
// the error code set. The local host's own name answers with the addresses of
// the interfaces that are up, non-loopback IPv4 first (falling back to the
// resolver's answer, then 127.0.0.1).
const HOSTENT_REC* gethostbyname(const std::string& name);

// Selects notifications for s, posted to hwnd as msg with wParam = s and
// lParam = event | (error << 16). Replaces any earlier registration; events
// whose condition already holds are posted at once.
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, int32_t events);
// Starts a lookup on the worker thread; returns a nonzero request handle (never
// reused) or 0. The result is copied into buf on the program thread just before
// the reply (wParam = handle, lParam high word = error code) is dispatched.
HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const std::string& name, char* buf, int buflen);
// A cancelled request is never written to its buffer nor delivered.
int WSACancelAsyncRequest(HANDLE asyncTaskHandle);

}  // namespace win
