// Start-up, options, addresses and names of the sockets interface.
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/loop_internal.h"
#include "platform/platform_testing.h"
#include "platform/socket_table.h"
#include "platform/winsock.h"

namespace win {

namespace {

using detail::Fail;
using detail::FailErrno;
using detail::FromSockaddr;
using detail::CheckAddressOut;
using detail::Sock;

int g_startups = 0;
int g_failStartup = 0;
int g_failCleanup = 0;

}  // namespace

// ---- start-up ----

int WSAStartup(uint16_t versionRequested, WSADATA* data) {
    detail::LoopEpollFd();  // the loop belongs to the thread that starts the sockets interface
    if (g_failStartup != 0) {
        int code = g_failStartup;
        g_failStartup = 0;
        return code;
    }
    if ((versionRequested & 0xFF) == 0) return 10092;
    if (data == nullptr) return 10014;
    uint8_t major = versionRequested & 0xFF;
    uint8_t minor = versionRequested >> 8;
    data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? 0x0202 : versionRequested;
    data->wHighVersion = 0x0202;
    ++g_startups;
    return 0;
}

int WSACleanup() {
    if (g_failCleanup != 0) {
        int code = g_failCleanup;
        g_failCleanup = 0;
        return Fail(code);
    }
    if (g_startups == 0) return Fail(10093);
    --g_startups;
    return 0;
}


int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    if (optval == nullptr || optlen == nullptr || *optlen < 4) return Fail(10014);
    if (level != SOL_SOCKET_WS) return Fail(10042);
    int value = 0;
    socklen_t len = sizeof value;
    int name;
    switch (optname) {
        case SO_SNDBUF_WS: name = SO_SNDBUF; break;
        case SO_RCVBUF_WS: name = SO_RCVBUF; break;
        case SO_BROADCAST_WS: name = SO_BROADCAST; break;
        case SO_MAX_MSG_SIZE_WS: {
            int type;
            socklen_t tl = sizeof type;
            if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &tl) < 0) return FailErrno(errno);
            value = 65507;  // the largest UDP payload over IPv4
            std::memcpy(optval, &value, 4);
            *optlen = 4;
            return 0;
        }
        default: return Fail(10042);
    }
    if (::getsockopt(s, SOL_SOCKET, name, &value, &len) < 0) return FailErrno(errno);
    std::memcpy(optval, &value, 4);
    *optlen = 4;
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    if (optval == nullptr || optlen < 4) return Fail(10014);
    if (level != SOL_SOCKET_WS) return Fail(10042);
    int name;
    switch (optname) {
        case SO_SNDBUF_WS: name = SO_SNDBUF; break;
        case SO_RCVBUF_WS: name = SO_RCVBUF; break;
        case SO_BROADCAST_WS: name = SO_BROADCAST; break;
        default: return Fail(10042);
    }
    int value;
    std::memcpy(&value, optval, 4);
    if (name == SO_BROADCAST) value = value != 0 ? 1 : 0;
    if (::setsockopt(s, SOL_SOCKET, name, &value, sizeof value) < 0) return FailErrno(errno);
    return 0;
}

int getsockname(SOCKET s, SOCKADDR_IN* name, int* namelen) {
    if (name == nullptr || !CheckAddressOut(name, namelen)) return Fail(10014);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) < 0) return FailErrno(errno);
    if (a.sin_port == 0 && a.sin_addr.s_addr == 0) return Fail(10022);  // not bound
    FromSockaddr(a, name);
    *namelen = sizeof(SOCKADDR_IN);
    return 0;
}

int getpeername(SOCKET s, SOCKADDR_IN* name, int* namelen) {
    if (name == nullptr || !CheckAddressOut(name, namelen)) return Fail(10014);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&a), &len) < 0) return FailErrno(errno);
    FromSockaddr(a, name);
    *namelen = sizeof(SOCKADDR_IN);
    return 0;
}

int ioctlsocket(SOCKET s, int32_t cmd, uint32_t* argp) {
    if (argp == nullptr) return Fail(10014);
    if (cmd == FIONREAD_WS) {
        int count = 0;
        if (::ioctl(s, FIONREAD, &count) < 0) return FailErrno(errno);
        *argp = static_cast<uint32_t>(count);
        return 0;
    }
    if (cmd == SIOCOUTQ_WS) {
        int count = 0;
        if (::ioctl(s, SIOCOUTQ, &count) < 0) return FailErrno(errno);
        *argp = static_cast<uint32_t>(count < 0 ? 0 : count);
        return 0;
    }
    if (cmd == static_cast<int32_t>(0x8004667E)) {  // FIONBIO: sockets of this layer are always non-blocking
        Sock* k = detail::FindSocket(s);
        if (k == nullptr) return Fail(10038);
        if (*argp == 0 && detail::Registered(*k)) return Fail(10022);
        return 0;
    }
    return Fail(10022);
}

uint32_t inet_addr(const std::string& dotted) { return ::inet_addr(dotted.c_str()); }

std::string inet_ntoa(uint32_t address) {
    const auto* b = reinterpret_cast<const unsigned char*>(&address);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

int gethostname(char* name, int namelen) {
    if (name == nullptr || namelen <= 0) return Fail(10014);
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) < 0) return FailErrno(errno);
    size_t n = std::strlen(buf);
    if (static_cast<int>(n) + 1 > namelen) return Fail(10014);
    std::memcpy(name, buf, n + 1);
    return 0;
}

namespace testing {

void FailNextWSAStartup(int code) { g_failStartup = code; }
void FailNextWSACleanup(int code) { g_failCleanup = code; }

}  // namespace testing

}  // namespace win
