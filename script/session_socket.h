// The session socket as the script runner uses it. The real one is a
// CSocketKit; tests drive the runner with a double of this interface.
// Every operation may throw VbError.
#pragma once

#include <cstdint>
#include <string>

class ISessionSocket {
public:
    virtual ~ISessionSocket() = default;
    // The socket state number (0 sckClosed ... 9 sckError).
    virtual int32_t State() const = 0;
    virtual void Connect(const std::string& remoteHost, const std::string& remotePort) = 0;
    virtual void SendData(const std::string& data) = 0;
    // Takes everything received so far into block, replacing its content, as
    // text (one char per byte). The block's storage may be exchanged for the
    // socket's own: a caller that keeps one block for every call gets large
    // blocks without a copy.
    virtual void GetData(std::string& block) = 0;
    virtual void CloseSck() = 0;
    // Bytes handed to SendData that have not gone to the host yet.
    virtual int32_t BytesWaitingToSend() const { return 0; }
};
