// The session socket as the script runner uses it. The real one is a
// CSocketKit; tests drive the runner with a double of this interface.
// Every operation may throw VbError.
#pragma once

#include <cstdint>
#include <string>

// How the connection that the next HOST (or SSH) line opens speaks. Set by
// script lines; the program turns it into the session socket for that
// connection.
struct SessionOptions {
    enum class Telnet { Auto, On, Off };
    Telnet telnet = Telnet::Auto;   // set by the TELNET line; Auto = on for port 23 only
    std::string sshUser;            // non-empty: the connection is an SSH session (set by the SSH line)
};

class ISessionSocket {
public:
    virtual ~ISessionSocket() = default;
    // The socket state number (0 sckClosed ... 9 sckError).
    virtual int32_t State() const = 0;
    virtual void Connect(const std::string& remoteHost, const std::string& remotePort) = 0;
    virtual void SendData(const std::string& data) = 0;
    // Takes everything received so far, as text (one char per byte).
    virtual std::string GetData() = 0;
    // The same into block, replacing its content. The block's storage may be
    // exchanged for the socket's own, so a caller that keeps one block for
    // every call gets large blocks without a copy where the socket allows it.
    virtual void TakeData(std::string& block) { block = GetData(); }
    virtual void CloseSck() = 0;
    // Bytes handed to SendData that have not gone to the host yet.
    virtual int32_t BytesWaitingToSend() const { return 0; }
    // Ends our sending behind every byte already handed to SendData (a TCP
    // half-close, an SSH channel EOF); what the host sends still arrives.
    // True when the host's own close will follow as an event and is worth
    // waiting for; false when there is nothing to wait for.
    virtual bool HalfClose() { return false; }
    // Bytes on their way that the host has not taken yet: queued here, or
    // sent and not yet acknowledged by the host's system (0 when unknown).
    virtual int32_t BytesInFlight() const { return BytesWaitingToSend(); }
};
