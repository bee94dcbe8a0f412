// The session socket of a build without the network code: always closed, so
// SEND and WAIT report a closed connection, and HOST fails at once with
// "Network is down." instead of waiting for good.
#pragma once

#include <memory>

#include "script/session_events.h"
#include "script/session_socket.h"

class PlaceholderSessionSocket : public ISessionSocket {
public:
    int32_t State() const override { return 0; }
    void Connect(const std::string& remoteHost, const std::string& remotePort) override;
    void SendData(const std::string& data) override;
    std::string GetData() override { return std::string(); }
    void CloseSck() override {}
};

std::unique_ptr<ISessionSocket> MakePlaceholderSessionSocket(ISessionEvents& events);
