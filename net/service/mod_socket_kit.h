// modSocketKit: the process-wide socket service shared by every CSocketKit.
// It starts and stops the sockets interface (counting its users), owns the
// hidden message window "SOCKET_WINDOW" and the dispatcher installed on it,
// keeps the registry that routes notifications and lookup results to their
// owners, parks incoming connections in accept holders, and writes the
// socket debug log. Program thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/service/socket_log_sink.h"
#include "platform/message_window.h"
#include "platform/winsock.h"

class CSocketKit;

// What the route tables point at. References in the tables are plain pointers:
// they never keep their objects alive, and an owner removes its routes before
// it is destroyed.
class ISocketOwner {
public:
    virtual ~ISocketOwner() = default;
    virtual win::LRESULT WndProc(win::HWND hwnd, win::UINT uMsg, win::WPARAM wParam,
                                 win::LPARAM lParam) = 0;
};

namespace modSocketKit {

constexpr win::UINT RESOLVE_MESSAGE = 0x800;
constexpr win::UINT SOCKET_MESSAGE = 0x801;
constexpr int32_t SELECTED_EVENTS = 0x3B;   // FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE

// Lifetime (the sockets interface is started by the first user, stopped by the last).
int32_t InitiateProcesses();
int32_t FinalizeProcesses();
int32_t CreateWinsockMessageWindow();
int32_t DestroyWinsockMessageWindow();

// The socket debug log: the line goes to the VARNEL_SOCKET_LOG file and to the
// installed sink (see socket_log_sink.h), which the scroll form is passed on to.
void WriteSocketLog(const std::string& line, LogScroll scroll = LogScroll::Caret);

// Registry and routing. Failures throw VbError.
bool RegisterSocket(win::SOCKET s, ISocketOwner* owner, bool selectEvents);
void UnregisterSocket(win::SOCKET s);
bool IsSocketRegistered(win::SOCKET s);
void RegisterAccept(win::SOCKET s);
bool IsAcceptRegistered(win::SOCKET s);
void UnregisterAccept(win::SOCKET s);
std::shared_ptr<CSocketKit> GetAcceptHolder(win::SOCKET s);
win::HANDLE ResolveHostAsync(const std::string& host, char* block, ISocketOwner* owner);
void UnregisterResolution(win::HANDLE handle);
void ChangeSocketOwner(win::SOCKET s, ISocketOwner* owner);
win::LRESULT RouteMessage(win::HWND hwnd, win::UINT uMsg, win::WPARAM wParam, win::LPARAM lParam);

// The error descriptions of the sockets interface codes ("Unknown error." for any other).
std::string GetErrorDescription(int32_t code);

// Shared conversions.
int32_t HiWord(int32_t value);             // high 16 bits as 0..65535
int32_t LoWord(int32_t value);             // low 16 bits as 0..65535
int32_t IntegerToUnsigned(int32_t value);  // signed 16-bit value as 0..65535
int16_t UnsignedToInteger(int32_t value);  // 0..65535 as signed 16-bit; otherwise VbError 6 "Overflow"
std::string StringFromPointer(const char* address);  // "" for nullptr

// For tests and diagnostics: the current message window (0 when none), the
// entry counts of the two route tables, and the service user count.
win::HWND MessageWindowHandle();
int32_t SocketRouteCount();
int32_t ResolutionRouteCount();
int32_t ServiceUserCount();

}  // namespace modSocketKit
