// Socket options: the platform buffer sizes that the data path uses as chunk
// sizes, and broadcast for UDP. Runs once for every socket the object comes
// to own (created or accepted).
#include <string>

#include "net/socket/csocket_kit.h"
#include "platform/vb_error.h"

using modSocketKit::LogScroll;

namespace {

bool ReadIntOption(win::SOCKET s, int name, int32_t& value) {
    int32_t option = 0;
    int length = sizeof option;
    if (win::getsockopt(s, win::SOL_SOCKET_WS, name, reinterpret_cast<char*>(&option), &length) ==
        win::SOCKET_ERROR) {
        return false;
    }
    value = option;
    return true;
}

}  // namespace

void CSocketKit::ProcessOptions() {
    if (!IsUDP()) {
        if (!ReadIntOption(socketHandle_, win::SO_RCVBUF_WS, receiveBufferSize_) ||
            !ReadIntOption(socketHandle_, win::SO_SNDBUF_WS, sendBufferSize_)) {
            FailWithCode(win::WSAGetLastError(), "CSocketKit.ProcessOptions");
        }
    } else {
        int32_t on = 1;
        win::setsockopt(socketHandle_, win::SOL_SOCKET_WS, win::SO_BROADCAST_WS,
                        reinterpret_cast<const char*>(&on), sizeof on);
        int32_t largest = 0;
        if (!ReadIntOption(socketHandle_, win::SO_MAX_MSG_SIZE_WS, largest)) {
            FailWithCode(win::WSAGetLastError(), "CSocketKit.ProcessOptions");
        }
        sendBufferSize_ = largest;
        receiveBufferSize_ = largest;
    }
    Log("Winsock buffer size for sends: " + std::to_string(sendBufferSize_));
    Log("Winsock buffer size for receives: " + std::to_string(receiveBufferSize_), LogScroll::TwoLines);
}
