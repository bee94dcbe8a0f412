// The events of the session socket that reach the main window. Whatever
// creates the session socket is handed this sink and raises its events on it,
// on the program thread.
#pragma once

#include <cstdint>
#include <string>

class ISessionEvents {
public:
    virtual ~ISessionEvents() = default;
    // Data has arrived (bytesTotal is not used by the window).
    virtual void wsTelnet_DataArrival(int32_t bytesTotal) = 0;
    // Everything handed to SendData has gone out. May be raised from inside SendData.
    virtual void wsTelnet_SendComplete() = 0;
    // An asynchronous failure (refused connection, failed lookup, ...).
    virtual void wsTelnet_Error(int32_t number, const std::string& description) = 0;
    // The host closed the connection.
    virtual void wsTelnet_CloseSck() = 0;
};
