// The real Windows headers, for the Windows implementation of the platform
// layer and for code that meets them through a library's headers (libssh).
//
// The layer declares its own constants with the names that these headers
// define as macros (FD_READ, WM_TIMER, INVALID_SOCKET, ...), with the same
// values. The macros are removed after every inclusion of this file, so the
// layer's declarations and the real headers can share a translation unit in
// either order.
#ifndef VARNEL_REAL_API_INCLUDED
#define VARNEL_REAL_API_INCLUDED
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#endif

#undef INVALID_SOCKET
#undef SOCKET_ERROR
#undef FD_READ
#undef FD_WRITE
#undef FD_OOB
#undef FD_ACCEPT
#undef FD_CONNECT
#undef FD_CLOSE
#undef WM_TIMER
#undef GWL_WNDPROC
#undef FindWindow
#undef CreateWindow
#undef PostMessage
#undef SendMessage
#undef DELETE
#undef ERROR
#undef SD_RECEIVE
#undef SD_SEND
#undef SD_BOTH
