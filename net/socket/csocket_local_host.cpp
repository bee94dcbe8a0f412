// The local host's name and its first address, asked of the platform each
// time (blocking); the first address is the default address of every bind.
#include <string>

#include "net/socket/csocket_kit.h"
#include "platform/vb_error.h"

std::string CSocketKit::GetLocalHostName() const {
    char name[256] = {};
    if (win::gethostname(name, sizeof name) == win::SOCKET_ERROR) {
        FailWithCode(win::WSAGetLastError(), "CSocketKit.GetLocalHostName");
    }
    name[sizeof name - 1] = '\0';
    return std::string(name);
}

std::string CSocketKit::GetLocalIP() const {
    std::string name = GetLocalHostName();
    const win::HOSTENT_REC* record = win::gethostbyname(name);
    if (!record) FailWithCode(win::WSAGetLastError(), "CSocketKit.GetLocalIP");
    uint32_t address = 0;
    if (!win::FirstHostAddress(record, &address)) FailWithCode(11004, "CSocketKit.GetLocalIP");
    return win::inet_ntoa(address);
}
