// Sending: SendData turns a tagged value into bytes and queues them; the
// queued bytes go to the platform at once, and whatever it refuses for lack
// of room goes out when FD_WRITE comes (FlushSendBuffer again).
#include <string>
#include <string_view>

#include "net/socket/csocket_kit.h"
#include "net/socket/wire_format.h"
#include "platform/vb_error.h"

using std::to_string;

void CSocketKit::SendData(const VbVariant& data) {
    std::shared_ptr<CSocketKit> keepAlive = weak_from_this().lock();
    if (!IsUDP()) {
        // The peer's half-close ends only its own sending: until we half-close
        // too, what we send still reaches it.
        if ((state_ != sckConnected && state_ != sckClosing) || sendShutdown_) {
            Fail(ErrWrongState, "CSocketKit.SendData", kDescWrongState);
        }
    } else {
        if (!SocketExists()) return;
        if (!BindInternal()) return;
        SetState(sckOpen);
    }

    std::string fixed;
    std::string_view bytes;
    if (data.VarType() == VbVariant::vbString || data.VarType() == VbVariant::vbByteArray) {
        bytes = data.Bytes();
    } else if (wire::EncodeFixed(data, fixed)) {
        bytes = fixed;
    } else {
        Fail(ErrUnsupportedType, "CSocketKit.SendData", kDescUnsupportedType);
    }
    if (bytes.empty()) return;

    bool sendInProgress = !sendBuffer_.Empty();
    sendBuffer_.Append(bytes);
    if (!sendInProgress) FlushSendBuffer();
}

void CSocketKit::FlushSendBuffer() {
    if (IsUDP()) {
        SendBufferedDataUDP();
    } else {
        SendBufferedData();
    }
}

void CSocketKit::SendBufferedData() {
    // A reported size of 0 is never used as the chunk size.
    const size_t chunkSize = sendBufferSize_ > 0 ? static_cast<size_t>(sendBufferSize_) : 8192;
    int32_t sentThisCall = 0;
    int result = 0;
    while (!sendBuffer_.Empty() && result != win::SOCKET_ERROR) {
        std::string_view chunk = sendBuffer_.Front(chunkSize);
        result = win::send(socketHandle_, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (result != win::SOCKET_ERROR) {
            Log("OK Bytes sent: " + to_string(result));
            sentThisCall += result;
            if (static_cast<size_t>(result) >= sendBuffer_.Size()) {
                Log("OK Finished SENDING");
                sendBuffer_.Clear();
                if (shutdownPending_) FinishShutdown();
                int32_t sent = sentThisCall;
                sentThisCall = 0;
                if (events_) events_->SendProgress(sent, 0);
                if (events_) events_->SendComplete();
            } else {
                sendBuffer_.Drop(static_cast<size_t>(result));
            }
            continue;
        }
        int32_t code = win::WSAGetLastError();
        if (code == 10035) {
            Log("Buffer Status: Send buffer full, waiting...");
            if (sentThisCall >= 1 && events_) {
                events_->SendProgress(sentThisCall, static_cast<int32_t>(sendBuffer_.Size()));
            }
            return;
        }
        SetState(sckError);
        ReportSocketError(code, "CSocketKit.SendBufferedData");
        return;
    }
}

// One datagram of everything queued, to RemoteHost:RemotePort.
void CSocketKit::SendBufferedDataUDP() {
    std::string dotted;
    int32_t code = 0;
    std::optional<uint32_t> address = ResolveHostAddress(remoteHost_, dotted, code);
    if (code != 0 || !address) {
        sendBuffer_.Clear();
        if (code == 10047) FailWithCode(code, "CSocketKit.SendBufferedDataUDP");
        Fail(ErrBadArgument, "CSocketKit.SendBufferedDataUDP", kDescInvalidArgument);
    }
    win::SOCKADDR_IN destination = AddressRecord(*address, remotePort_);
    std::string datagram;
    sendBuffer_.TakeInto(sendBuffer_.Size(), datagram);
    if (win::sendto(socketHandle_, datagram.data(), static_cast<int>(datagram.size()), 0, &destination,
                    sizeof destination) == win::SOCKET_ERROR) {
        // Only this datagram failed: the object stays open for the next send
        // and for what arrives.
        code = win::WSAGetLastError();
        ReportSocketError(code, "CSocketKit.SendBufferedDataUDP");
    }
}
