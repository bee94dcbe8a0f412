// Binding, listening and accepting: the server side of the object, and the
// small address routines it shares with the notification handling.

#include <set>
#include <string>

#include "net/socket/csocket_kit.h"
#include "platform/byte_order.h"
#include "platform/vb_error.h"

using modSocketKit::LogScroll;
using std::to_string;

namespace {

// How long a listener that ran out of descriptors waits before it tries again
// (unless a connection closes first).
constexpr uint32_t kAcceptPauseMs = 500;

// The listening sockets that wait for a free descriptor; each has a timer on
// the service window, with the socket number as its id.
std::set<win::SOCKET>& PausedListeners() {
    static std::set<win::SOCKET> paused;
    return paused;
}

}  // namespace

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
    // The peer closed or reset while the socket was parked. (Not when a
    // DataArrival handler has already closed or re-used this object.)
    if (socketHandle_ != requestID || state_ != sckConnected) return;
    if (holder->State() == sckClosing) {
        SetState(sckClosing);
        if (events_) events_->CloseSck();
    } else if (holder->State() == sckError) {
        SetState(sckError);
        ReportSocketError(holder->reportedError_, "CSocketKit.PostSocket");
    }
}

// FD_ACCEPT on a listening object: takes the connection, parks it in a holder
// and raises ConnectionRequest; a connection nobody took, also when the
// handler fails, is closed.
void CSocketKit::AcceptIncoming() {
    win::SOCKADDR_IN peer{};
    int length = sizeof peer;
    win::SOCKET n = win::accept(socketHandle_, &peer, &length);
    if (n == win::INVALID_SOCKET) {
        int32_t code = win::WSAGetLastError();
        if (code == 10024 || code == 10055) {
            PauseAccepting(code);
            return;
        }
        FailWithCode(code, "CSocketKit.PostSocket");
    }
    acceptFailing_ = false;
    modSocketKit::RegisterAccept(n);
    const int32_t savedPort = remotePort_;
    const std::string savedHostIP = remoteHostIP_;
    const std::string savedHost = remoteHost_;
    GetRemoteInfo(n, remotePort_, remoteHostIP_, remoteHost_);
    Log("OK Accepted socket: " + to_string(n));
    auto finish = [&] {
        if (state_ == sckListening) {
            remotePort_ = savedPort;
            remoteHostIP_ = savedHostIP;
            remoteHost_ = savedHost;
        }
        if (modSocketKit::IsAcceptRegistered(n)) {
            // Nobody took the connection.
            win::closesocket(n);
            modSocketKit::UnregisterSocket(n);
            modSocketKit::UnregisterAccept(n);
            Log("OK Closed accepted socket: " + to_string(n));
        }
    };
    try {
        if (events_) events_->ConnectionRequest(n);
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

// accept failed for want of descriptors or memory. The listener stops
// accepting (its registration leaves FD_ACCEPT out, since every accept, even
// a failing one, re-arms it), reports the failure once, and tries again after
// a pause or as soon as one of the objects closes a socket, whichever comes
// first. It stays sckListening.
void CSocketKit::PauseAccepting(int32_t code) {
    win::WSAAsyncSelect(socketHandle_, modSocketKit::MessageWindowHandle(), modSocketKit::SOCKET_MESSAGE,
                        modSocketKit::SELECTED_EVENTS & ~win::FD_ACCEPT);
    PausedListeners().insert(socketHandle_);
    win::SetTimer(modSocketKit::MessageWindowHandle(), static_cast<uint32_t>(socketHandle_), kAcceptPauseMs,
                  &CSocketKit::AcceptPauseOver);
    if (acceptFailing_) return;
    acceptFailing_ = true;
    ReportSocketError(code, "CSocketKit.PostSocket");
}

// Registering the listener's events again re-arms FD_ACCEPT and posts it at
// once if a connection is waiting.
void CSocketKit::AcceptPauseOver(win::HWND hwnd, win::UINT, uint32_t id, uint32_t) {
    win::SOCKET listener = static_cast<win::SOCKET>(id);
    ForgetAcceptPause(listener);
    win::WSAAsyncSelect(listener, hwnd, modSocketKit::SOCKET_MESSAGE, modSocketKit::SELECTED_EVENTS);
}

void CSocketKit::ForgetAcceptPause(win::SOCKET listener) {
    if (PausedListeners().erase(listener) == 0) return;
    win::KillTimer(modSocketKit::MessageWindowHandle(), static_cast<uint32_t>(listener));
}

void CSocketKit::ResumePausedListeners() {
    while (!PausedListeners().empty()) {
        AcceptPauseOver(modSocketKit::MessageWindowHandle(), win::WM_TIMER,
                        static_cast<uint32_t>(*PausedListeners().begin()), 0);
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
