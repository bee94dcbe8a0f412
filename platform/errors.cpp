// The explicit errno (and getaddrinfo) to Windows Sockets code tables, and
// the thread's last error.
#include <netdb.h>

#include <cerrno>

#include "platform/winsock.h"

namespace win {

namespace {
thread_local int t_lastError = 0;
}

int WSAGetLastError() { return t_lastError; }

void WSASetLastError(int code) { t_lastError = code; }

int WsaErrorFromErrno(int err) {
    switch (err) {
        case EINTR: return 10004;  // retried internally; only reported if asked directly
        case EACCES:
        case EPERM: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE:
        case ENFILE: return 10024;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINPROGRESS: return 10035;
        case EALREADY: return 10037;
        case EBADF:
        case ENOTSOCK: return 10038;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return 10040;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return 10053;
        case ECONNRESET:
        case EPIPE: return 10054;
        case ENOBUFS:
        case ENOMEM: return 10055;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        case ESHUTDOWN: return 10058;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        default: return 10022;  // anything the table does not name: invalid argument
    }
}

int WsaErrorFromGai(int gaiError, int err) {
    switch (gaiError) {
        case 0: return 0;
        case EAI_NONAME: return 11001;
        case EAI_AGAIN: return 11002;
        case EAI_FAIL: return 11003;
#ifdef EAI_NODATA
        case EAI_NODATA: return 11004;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return 11004;
#endif
        case EAI_MEMORY: return 10055;
        case EAI_SYSTEM: return WsaErrorFromErrno(err);
        case EAI_FAMILY: return 10047;
        default: return 11003;
    }
}

}  // namespace win
