// Windows Sockets passed through to the real interface, with the layer's
// conventions kept: 32-bit socket and request handles, the layer's own
// host-entry record (offsets, not pointers), and test hooks.
//
// Lookups run in a block of the layer's own, never in the caller's buffer:
// Wine's WSACancelAsyncRequest does not stop a lookup, which still writes its
// buffer afterwards. The block therefore lives until the reply arrives; the
// record is copied into the caller's buffer just before the reply is
// dispatched, and a cancelled request's reply is dropped there.
// Descriptor watches are in win32_watch.cpp.
#include "platform/win32/win32_internal.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform_testing.h"
#include "platform/winsock.h"

namespace win {

namespace {

struct Registration {
    HWND hwnd = 0;
    UINT msg = 0;
    int32_t events = 0;
};

struct Lookup {
    HWND hwnd = 0;
    UINT msg = 0;
    char* buffer = nullptr;  // the caller's; nullptr once cancelled
    int length = 0;
    std::unique_ptr<char[]> block;  // the real call's, written by the lookup
};

struct Sockets {
    std::set<SOCKET> tracked;
    std::unordered_map<SOCKET, Registration> registrations;
    std::unordered_map<HANDLE, Lookup> lookups;
    std::set<HANDLE> handedOut;  // every request handle given out: a cancel tells ended from unknown
    bool loopbackOnly = false;
    int failStartup = 0;
    int failCleanup = 0;
};

Sockets& K() {
    static Sockets* k = new Sockets;
    return *k;
}

int Fail(int code) {
    ::WSASetLastError(code);
    return SOCKET_ERROR;
}

bool Guarded(const SOCKADDR_IN* a) {
    return K().loopbackOnly && a != nullptr && (ntohl(a->sin_addr) >> 24) != 127;
}

const sockaddr* Real(const SOCKADDR_IN* a) { return reinterpret_cast<const sockaddr*>(a); }
sockaddr* Real(SOCKADDR_IN* a) { return reinterpret_cast<sockaddr*>(a); }

SOCKET Layer(::SOCKET s) { return s == static_cast<::SOCKET>(~0ull) ? INVALID_SOCKET : static_cast<SOCKET>(s); }

uint32_t Align4(uint32_t v) { return (v + 3u) & ~3u; }

// Lays out the layer's record from a real host entry: HOSTENT_REC, the name,
// the (empty) alias list, the address list and the addresses. 0 or 10055.
int BuildRecord(const ::hostent* h, char* out, int length) {
    const uint32_t size = static_cast<uint32_t>(length);
    const uint32_t header = sizeof(HOSTENT_REC);
    if (size < header + 4 + 4 + 8 + 4) return 10055;
    std::string name = h->h_name != nullptr ? h->h_name : "";
    const uint32_t maxName = size - (header + 4 + 4 + 8 + 4) - 4;
    if (name.size() > maxName) name.resize(maxName);
    std::vector<uint32_t> addresses;
    if (h->h_addrtype == AF_INET && h->h_length == 4)
        for (char** a = h->h_addr_list; a != nullptr && *a != nullptr; ++a) {
            uint32_t v;
            std::memcpy(&v, *a, 4);
            addresses.push_back(v);
        }
    if (addresses.empty()) return 11004;
    const uint32_t nameOffset = header;
    const uint32_t aliasOffset = Align4(nameOffset + static_cast<uint32_t>(name.size()) + 1);
    const uint32_t listOffset = aliasOffset + 4;
    const uint32_t room = size - listOffset - 4;
    const uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(addresses.size()), room / 8);
    const uint32_t dataOffset = listOffset + 4 * (count + 1);
    std::memset(out, 0, size);
    HOSTENT_REC rec{nameOffset, aliasOffset, AF_INET_WS, 4, listOffset};
    std::memcpy(out, &rec, sizeof rec);
    std::memcpy(out + nameOffset, name.data(), name.size());
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t at = dataOffset + 4 * i;
        std::memcpy(out + listOffset + 4 * i, &at, 4);
        std::memcpy(out + at, &addresses[i], 4);
    }
    return 0;
}

}  // namespace

bool FirstHostAddress(const void* record, uint32_t* address) {
    if (record == nullptr || address == nullptr) return false;
    const char* base = static_cast<const char*>(record);
    HOSTENT_REC rec;
    std::memcpy(&rec, base, sizeof rec);
    if (rec.h_addr_list_offset == 0 || rec.h_length != 4) return false;
    uint32_t first;
    std::memcpy(&first, base + rec.h_addr_list_offset, 4);
    if (first == 0) return false;
    std::memcpy(address, base + first, 4);
    return true;
}

int WSAStartup(uint16_t versionRequested, WSADATA* data) {
    if (int code = K().failStartup; code != 0) {
        K().failStartup = 0;
        return code;
    }
    if (data == nullptr) return 10014;
    ::WSADATA real{};
    const int r = ::WSAStartup(versionRequested, &real);
    if (r != 0) return r;
    data->wVersion = real.wVersion;
    data->wHighVersion = real.wHighVersion;
    return 0;
}

int WSACleanup() {
    if (int code = K().failCleanup; code != 0) {
        K().failCleanup = 0;
        return Fail(code);
    }
    return ::WSACleanup();
}

int WSAGetLastError() { return ::WSAGetLastError(); }
void WSASetLastError(int code) { ::WSASetLastError(code); }

// The C library's errno values here are the few the program can meet from
// its own calls; the socket calls report Windows Sockets codes themselves.
int WsaErrorFromErrno(int err) {
    switch (err) {
        case EINTR: return 10004;
        case EACCES:
        case EPERM: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE:
        case ENFILE: return 10024;
        case EAGAIN: return 10035;
        case EBADF: return 10038;
        case EPIPE: return 10054;
        case ENOMEM: return 10055;
        default: return 10022;
    }
}

// getaddrinfo's codes on Windows are Windows Sockets codes already.
int WsaErrorFromGai(int gaiError, int) { return gaiError; }

SOCKET socket(int af, int type, int protocol) {
    if (af != AF_INET_WS) return Fail(10047);
    if (type != SOCK_STREAM_WS && type != SOCK_DGRAM_WS) return Fail(10044);
    if (protocol != 0 && protocol != IPPROTO_TCP_WS && protocol != IPPROTO_UDP_WS) return Fail(10043);
    const SOCKET s = Layer(::socket(AF_INET, type, protocol));
    if (s != INVALID_SOCKET) K().tracked.insert(s);
    return s;
}

int closesocket(SOCKET s) {
    K().tracked.erase(s);
    K().registrations.erase(s);
    return ::closesocket(w32::RealSocket(s));
}

int shutdown(SOCKET s, int how) { return ::shutdown(w32::RealSocket(s), how); }

int bind(SOCKET s, const SOCKADDR_IN* name, int namelen) {
    return ::bind(w32::RealSocket(s), Real(name), namelen);
}

int connect(SOCKET s, const SOCKADDR_IN* name, int namelen) {
    if (Guarded(name)) {
        // Looks like a connect under way that fails as unreachable.
        auto it = K().registrations.find(s);
        if (it == K().registrations.end() || (it->second.events & FD_CONNECT) == 0) return Fail(10051);
        PostMessageA(it->second.hwnd, it->second.msg, s, FD_CONNECT | (10051 << 16));
        return Fail(10035);
    }
    return ::connect(w32::RealSocket(s), Real(name), namelen);
}

int listen(SOCKET s, int backlog) { return ::listen(w32::RealSocket(s), backlog); }

SOCKET accept(SOCKET s, SOCKADDR_IN* addr, int* addrlen) {
    const SOCKET n = Layer(::accept(w32::RealSocket(s), Real(addr), addrlen));
    if (n != INVALID_SOCKET) {
        K().tracked.insert(n);
        if (auto it = K().registrations.find(s); it != K().registrations.end()) K().registrations[n] = it->second;
    }
    return n;
}

int send(SOCKET s, const char* buf, int len, int flags) { return ::send(w32::RealSocket(s), buf, len, flags); }
int recv(SOCKET s, char* buf, int len, int flags) { return ::recv(w32::RealSocket(s), buf, len, flags); }

int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR_IN* to, int tolen) {
    if (Guarded(to)) return Fail(10051);
    return ::sendto(w32::RealSocket(s), buf, len, flags, Real(to), tolen);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR_IN* from, int* fromlen) {
    return ::recvfrom(w32::RealSocket(s), buf, len, flags, Real(from), fromlen);
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    return ::getsockopt(w32::RealSocket(s), level, optname, optval, optlen);
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    return ::setsockopt(w32::RealSocket(s), level, optname, optval, optlen);
}

int getsockname(SOCKET s, SOCKADDR_IN* name, int* namelen) {
    return ::getsockname(w32::RealSocket(s), Real(name), namelen);
}

int getpeername(SOCKET s, SOCKADDR_IN* name, int* namelen) {
    return ::getpeername(w32::RealSocket(s), Real(name), namelen);
}

int ioctlsocket(SOCKET s, int32_t cmd, uint32_t* argp) {
    if (cmd == SIOCOUTQ_WS) {
        // Windows does not tell what the peer has not acknowledged yet: the
        // ending then waits for the host's silence alone.
        if (argp != nullptr) *argp = 0;
        return 0;
    }
    ::u_long value = argp != nullptr ? *argp : 0;
    const int r = ::ioctlsocket(w32::RealSocket(s), cmd, &value);
    if (r == 0 && argp != nullptr) *argp = value;
    return r;
}

uint32_t inet_addr(const std::string& dotted) { return ::inet_addr(dotted.c_str()); }

std::string inet_ntoa(uint32_t address) {
    ::in_addr a{};
    a.s_addr = address;
    const char* text = ::inet_ntoa(a);
    return text != nullptr ? text : "";
}

int gethostname(char* name, int namelen) { return ::gethostname(name, namelen); }

const HOSTENT_REC* gethostbyname(const std::string& name) {
    thread_local std::vector<char> storage(1024);
    const ::hostent* h = ::gethostbyname(name.c_str());
    if (h == nullptr) return nullptr;
    if (int error = BuildRecord(h, storage.data(), static_cast<int>(storage.size())); error != 0) {
        ::WSASetLastError(error);
        return nullptr;
    }
    return reinterpret_cast<const HOSTENT_REC*>(storage.data());
}

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, int32_t events) {
    const int r = ::WSAAsyncSelect(w32::RealSocket(s), w32::RealWindow(hwnd), msg, events);
    if (r == 0) K().registrations[s] = Registration{hwnd, msg, events};
    return r;
}

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const std::string& name, char* buf, int buflen) {
    if (buf == nullptr || buflen < static_cast<int>(sizeof(HOSTENT_REC))) {
        ::WSASetLastError(10014);
        return 0;
    }
    if (!IsWindow(hwnd)) {
        ::WSASetLastError(10022);
        return 0;
    }
    Lookup lookup{hwnd, msg, buf, buflen, std::make_unique<char[]>(MAXGETHOSTSTRUCT)};
    ::HANDLE real = ::WSAAsyncGetHostByName(w32::RealWindow(hwnd), msg, name.c_str(), lookup.block.get(),
                                            MAXGETHOSTSTRUCT);
    if (real == nullptr) return 0;
    const HANDLE handle = static_cast<HANDLE>(reinterpret_cast<intptr_t>(real));
    K().lookups[handle] = std::move(lookup);
    K().handedOut.insert(handle);
    return handle;
}

int WSACancelAsyncRequest(HANDLE asyncTaskHandle) {
    // WSAEALREADY for a request that has ended (delivered or cancelled),
    // WSAEINVAL for a handle that was never a request.
    auto it = K().lookups.find(asyncTaskHandle);
    if (it == K().lookups.end()) return Fail(K().handedOut.count(asyncTaskHandle) != 0 ? 10037 : 10022);
    if (it->second.buffer == nullptr) return Fail(10037);
    ::WSACancelAsyncRequest(reinterpret_cast<::HANDLE>(static_cast<intptr_t>(asyncTaskHandle)));
    it->second.buffer = nullptr;  // the block stays until a late reply has written it
    return 0;
}

namespace w32 {

bool TakeLookupReply(HWND hwnd, UINT msg, WPARAM wParam, LPARAM* lParam) {
    auto& lookups = K().lookups;
    auto it = lookups.find(static_cast<HANDLE>(wParam));
    if (it == lookups.end() || it->second.hwnd != hwnd || it->second.msg != msg) return true;
    Lookup lookup = std::move(it->second);
    lookups.erase(it);
    if (lookup.buffer == nullptr) return false;  // cancelled: the late reply is dropped
    int error = static_cast<int>((static_cast<uint32_t>(*lParam) >> 16) & 0xFFFF);
    if (error == 0) {
        error = BuildRecord(reinterpret_cast<const ::hostent*>(lookup.block.get()), lookup.buffer, lookup.length);
    }
    *lParam = static_cast<LPARAM>(static_cast<uint32_t>(error & 0xFFFF) << 16);
    return true;
}

}  // namespace w32

namespace testing {

void FailNextWSAStartup(int code) { K().failStartup = code; }
void FailNextWSACleanup(int code) { K().failCleanup = code; }
void KeepTrafficOnLoopback(bool on) { K().loopbackOnly = on; }
int TrackedSocketCount() { return static_cast<int>(K().tracked.size()); }
int SocketReportCount() { return 0; }
int InterestChangeCount() { return 0; }

}  // namespace testing

}  // namespace win
