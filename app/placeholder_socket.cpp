#include "app/placeholder_socket.h"

#include "platform/vb_error.h"

void PlaceholderSessionSocket::Connect(const std::string&, const std::string&) {
    throw VbError(10050, "CSocketKit.Connect", "Network is down.");
}

void PlaceholderSessionSocket::SendData(const std::string&) {
    throw VbError(40006, "CSocketKit.SendData",
                  "Wrong protocol or connection state for the requested transaction or request");
}

std::unique_ptr<ISessionSocket> MakePlaceholderSessionSocket(ISessionEvents&) {
    return std::make_unique<PlaceholderSessionSocket>();
}
