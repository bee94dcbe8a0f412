// Notification handling of the socket object: how the socket service's
// messages become state changes and events. PostSocket handles socket
// notifications, PostResolution the results of asynchronous host lookups.
// Both run inside CSocketKit::WndProc, which ends the handling silently when
// a step fails.

#include <string>

#include "net/socket/csocket_kit.h"
#include "platform/byte_order.h"
#include "platform/vb_error.h"

using std::to_string;

void CSocketKit::PostSocket(int32_t notification, int32_t errorCode) {
    if (errorCode != 0) {
        // The error report, with the notification's code; the notification
        // itself is not handled.
        SetState(sckError);
        ReportSocketError(errorCode, "CSocketKit.PostSocket");
        return;
    }
    const std::string handle = to_string(socketHandle_);
    switch (notification) {
    case win::FD_READ:
        Log("FD_READ " + handle);
        if (!IsUDP() && state_ == sckConnected) {
            if (RecvDataToBuffer() <= 0) return;
            if (events_) events_->DataArrival(static_cast<int32_t>(receiveBuffer_.Size()));
        } else if (IsUDP() && state_ == sckOpen) {
            // The datagram announced is dropped unless the handler took one:
            // a datagram queued behind the one it read is never thrown away.
            const uint64_t takenBefore = datagramsTaken_;
            int32_t pending = GetBytesPending();
            if (pending > 0 && events_) events_->DataArrival(pending);
            if (datagramsTaken_ == takenBefore) DiscardDatagram();
        } else {
            Log("Buffer Status: Omitting FD_READ");
        }
        break;
    case win::FD_WRITE:
        Log("FD_WRITE " + handle);
        // Bytes queued before the peer closed its side still go out.
        if (state_ == sckConnected || state_ == sckClosing) {
            if (!sendBuffer_.Empty()) FlushSendBuffer();
        } else {
            Log("Buffer Status: Omitting FD_WRITE");
        }
        break;
    case win::FD_ACCEPT: {
        Log("FD_ACCEPT " + handle);
        if (state_ != sckListening) {
            Log("Buffer Status: Omitting FD_ACCEPT");
            break;
        }
        AcceptIncoming();
        break;
    }
    case win::FD_CONNECT:
        Log("FD_CONNECT " + handle);
        if (state_ == sckConnecting) {
            win::SOCKADDR_IN peer{};
            int length = sizeof peer;
            if (win::getpeername(socketHandle_, &peer, &length) != win::SOCKET_ERROR) {
                remotePort_ = modSocketKit::IntegerToUnsigned(static_cast<int16_t>(ntohs(peer.sin_port)));
                remoteHostIP_ = modSocketKit::StringFromPointer(win::inet_ntoa(peer.sin_addr).c_str());
            }
            SetState(sckConnected);
            if (events_) events_->Connect();
        } else {
            Log("Buffer Status: Omitting FD_CONNECT");
        }
        break;
    case win::FD_CLOSE:
        Log("FD_CLOSE " + handle);
        if (state_ == sckConnected) {
            SetState(sckClosing);
            if (events_) events_->CloseSck();
        } else {
            Log("Buffer Status: Omitting FD_CLOSE");
        }
        break;
    default:
        break;
    }
}

void CSocketKit::PostResolution(int32_t handle, int32_t errorCode) {
    if (state_ != sckResolvingHost) return;
    auto entry = pendingResolutions_.find("R" + to_string(handle));
    if (entry == pendingResolutions_.end()) {
        throw VbError(5, "CSocketKit.PostResolution", "Invalid procedure call or argument");
    }
    const int32_t purpose = entry->second;
    pendingResolutions_.erase(entry);
    // The result has been delivered: its route goes, so nothing of this
    // lookup can reach the object again. A result posted by someone else can
    // come before the lookup's own: the lookup is stopped as well, since the
    // block it would write into is freed below (no effect once it has ended).
    modSocketKit::UnregisterResolution(handle);
    win::WSACancelAsyncRequest(handle);

    if (errorCode != 0) {
        FreeResolveBuffer();
        if (purpose == ResolveForConnect) ConnectToIP(0, errorCode);
        return;
    }
    SetState(sckHostResolved);
    uint32_t address = 0;
    bool found = resolveBuffer_ && win::FirstHostAddress(resolveBuffer_.get(), &address);
    FreeResolveBuffer();
    if (purpose != ResolveForConnect) return;
    if (!found) {
        // A successful answer without an IPv4 address: reported as a name
        // without data rather than connecting to a made-up address.
        ConnectToIP(0, 11004);
        return;
    }
    ConnectToIP(address, 0);
}
