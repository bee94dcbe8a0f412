// Binding, listening and accepting: the server side of the object, and the
// small address routines it shares with the notification handling.
#include <arpa/inet.h>

#include <string>

#include "net/socket/csocket_kit.h"
#include "platform/vb_error.h"

using modSocketKit::LogScroll;

void CSocketKit::Bind(std::optional<VbVariant> localPort, std::optional<VbVariant> localIP) {
    std::shared_ptr<CSocketKit> keepAlive = weak_from_this().lock();
    if (state_ != sckClosed) Fail(ErrInvalidOperation, "CSocketKit.Bind", kDescInvalidOperation);
    if (BindInternal(std::move(localPort), std::move(localIP))) SetState(sckOpen);
}

void CSocketKit::Listen() {
    std::shared_ptr<CSocketKit> keepAlive = weak_from_this().lock();
    if (state_ != sckClosed && state_ != sckOpen) {
        Fail(ErrInvalidOperation, "CSocketKit.Listen", kDescInvalidOperation);
    }
    if (!SocketExists()) return;
    if (!BindInternal()) return;
    if (win::listen(socketHandle_, 5) == win::SOCKET_ERROR) {
        FailWithCode(win::WSAGetLastError(), "CSocketKit.Listen");
    }
    SetState(sckListening);
}

// Takes the waiting connection requestID. Called by the service on a new
// accept holder (the socket is neither parked nor registered yet), and by a
// user object, normally inside ConnectionRequest, to adopt a parked socket.
void CSocketKit::Accept(int32_t requestID) {
    std::shared_ptr<CSocketKit> keepAlive = weak_from_this().lock();
    if (state_ != sckClosed) Fail(ErrInvalidOperation, "CSocketKit.Accept", kDescInvalidOperation);
    protocol_ = sckTCP;
    socketHandle_ = requestID;
    win::SOCKADDR_IN local{};
    try {
        ProcessOptions();
        if (!modSocketKit::IsAcceptRegistered(requestID)) {
            if (!modSocketKit::IsSocketRegistered(requestID)) {
                isAcceptHolder_ = true;
                SetState(sckConnected);
                modSocketKit::RegisterSocket(requestID, this, false);
                return;
            }
            Fail(ErrWrongState, "CSocketKit.Accept", kDescWrongState);
        }
        // Read the local address before the holder is taken off the accept
        // collection: if this fails, the connection stays parked and the
        // service closes it as unaccepted.
        int length = sizeof local;
        if (win::getsockname(requestID, &local, &length) == win::SOCKET_ERROR) {
            FailWithCode(win::WSAGetLastError(), "CSocketKit.Accept");
        }
    } catch (const VbError&) {
        // A refused accept leaves this object without a socket: a later
        // CloseSck must never close a socket that belongs to someone else.
        if (!isAcceptHolder_) {
            socketHandle_ = win::INVALID_SOCKET;
            sendBufferSize_ = 0;
            receiveBufferSize_ = 0;
        }
        throw;
    }

    std::shared_ptr<CSocketKit> holder = modSocketKit::GetAcceptHolder(requestID);
    modSocketKit::UnregisterAccept(requestID);
    boundLocalPort_ = ntohs(local.sin_port);
    localIP_ = win::inet_ntoa(local.sin_addr);
    GetRemoteInfo(requestID, remotePort_, remoteHostIP_, remoteHost_);
    SetState(sckConnected, LogScroll::TwoLines);
    if (holder->BytesReceived() > 0) {
        VbVariant received = VbVariant::ByteArray(std::string());
        holder->GetData(received);
        receiveBuffer_.Assign(received.TakeBytes());
    }
    modSocketKit::ChangeSocketOwner(requestID, this);
    if (!receiveBuffer_.Empty() && events_) {
        events_->DataArrival(static_cast<int32_t>(receiveBuffer_.Size()));
    }
    // The peer closed while the socket was parked. (Not when a DataArrival
    // handler has already closed or re-used this object.)
    if (holder->State() == sckClosing && socketHandle_ == requestID && state_ == sckConnected) {
        SetState(sckClosing);
        if (events_) events_->CloseSck();
    }
}

bool CSocketKit::GetRemoteInfo(win::SOCKET s, int32_t& port, std::string& address, std::string& host) {
    win::SOCKADDR_IN record{};
    int length = sizeof record;
    if (win::getpeername(s, &record, &length) == win::SOCKET_ERROR) {
        port = 0;
        address.clear();
        host.clear();
        return false;
    }
    ReadSocketAddress(record, port, address);
    host.clear();
    return true;
}

void CSocketKit::ReadSocketAddress(const win::SOCKADDR_IN& record, int32_t& port, std::string& address) {
    port = ntohs(record.sin_port);
    address = win::inet_ntoa(record.sin_addr);
    remoteHost_.clear();
}

int32_t CSocketKit::GetBytesPending() const {
    uint32_t count = 0;
    if (win::ioctlsocket(socketHandle_, win::FIONREAD_WS, &count) == win::SOCKET_ERROR) return 0;
    return static_cast<int32_t>(count);
}
