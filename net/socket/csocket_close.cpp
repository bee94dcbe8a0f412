// Closing and destruction: CloseSck returns any object to sckClosed; the
// socket and any lookups in flight are given up. Object destruction (in
// csocket_kit.cpp) runs the same steps. A connection is never ended with a
// reset by us: what it still holds is read first, and ShutdownSend
// half-closes it behind the bytes still queued.
#include <cstdint>
#include <string>

#include "net/socket/csocket_kit.h"
#include "platform/vb_error.h"

using modSocketKit::LogScroll;

void CSocketKit::CloseSck() {
    if (socketHandle_ == win::INVALID_SOCKET) return;
    const bool connection = state_ == sckConnected || state_ == sckClosing;
    SetState(sckClosing, LogScroll::TwoLines);
    CancelPendingResolutions();
    if (connection) DrainBeforeClose();
    DestroySocket();
    boundLocalPort_ = 0;
    remoteHostIP_.clear();
    receiveBuffer_.Clear();
    sendBuffer_.Clear();
    sendBufferSize_ = 0;
    receiveBufferSize_ = 0;
    sendShutdown_ = false;
    shutdownPending_ = false;
    SetState(sckClosed, LogScroll::TwoLines);
}

void CSocketKit::ShutdownSend() {
    if (IsUDP() || (state_ != sckConnected && state_ != sckClosing)) {
        Fail(ErrWrongState, "CSocketKit.ShutdownSend", kDescWrongState);
    }
    if (sendShutdown_) return;
    sendShutdown_ = true;
    if (!sendBuffer_.Empty()) {
        shutdownPending_ = true;  // SendBufferedData half-closes once it has sent the rest
        return;
    }
    FinishShutdown();
}

void CSocketKit::FinishShutdown() {
    shutdownPending_ = false;
    if (win::shutdown(socketHandle_, win::SD_SEND) == win::SOCKET_ERROR) {
        // A connection that is already gone: its own notification tells.
        Log("Buffer Status: Half-close failed: " + std::to_string(win::WSAGetLastError()));
        return;
    }
    Log("OK Half-closed socket " + std::to_string(socketHandle_));
}

// Closing a TCP socket whose receive queue holds unread bytes makes the
// system answer with a reset, which also throws away the bytes still queued
// for sending. Reading them first lets the close end the connection with a
// FIN behind every byte sent. A peer that keeps sending is read only up to
// a bound: the close must not wait for it.
void CSocketKit::DrainBeforeClose() {
    if (IsUDP() || socketHandle_ == win::INVALID_SOCKET) return;
    constexpr int kChunk = 65536;
    constexpr int kMaxChunks = 256;
    static char scratch[kChunk];
    for (int i = 0; i < kMaxChunks; ++i) {
        if (win::recv(socketHandle_, scratch, kChunk, 0) <= 0) break;
    }
}

int32_t CSocketKit::BytesUnacknowledged() const {
    if (IsUDP() || socketHandle_ == win::INVALID_SOCKET) return 0;
    uint32_t count = 0;
    if (win::ioctlsocket(socketHandle_, win::SIOCOUTQ_WS, &count) == win::SOCKET_ERROR) return 0;
    return static_cast<int32_t>(count > INT32_MAX ? INT32_MAX : count);
}

int32_t CSocketKit::BytesInFlight() const {
    const int64_t total = int64_t{BytesWaitingToSend()} + BytesUnacknowledged();
    return static_cast<int32_t>(total > INT32_MAX ? INT32_MAX : total);
}

void CSocketKit::DestroySocket() {
    if (socketHandle_ == win::INVALID_SOCKET) return;
    ForgetAcceptPause(socketHandle_);
    if (win::closesocket(socketHandle_) == win::SOCKET_ERROR) {
        int32_t code = win::WSAGetLastError();
        SetState(sckError);
        FailWithCode(code, "CSocketKit.DestroySocket");
    }
    Log("OK Destroyed socket " + std::to_string(socketHandle_));
    modSocketKit::UnregisterSocket(socketHandle_);
    socketHandle_ = win::INVALID_SOCKET;
    // A descriptor is free again: listeners that ran out of them try again.
    ResumePausedListeners();
}

// Stops every lookup in flight. Each entry leaves PendingResolutions once it
// has been cancelled, so a later cancel can never reach a request that
// received the same handle value.
void CSocketKit::CancelPendingResolutions() {
    std::map<std::string, int32_t> pending;
    pending.swap(pendingResolutions_);
    for (const auto& entry : pending) {
        win::HANDLE handle = static_cast<win::HANDLE>(std::stol(entry.first.substr(1)));
        win::WSACancelAsyncRequest(handle);
        modSocketKit::UnregisterResolution(handle);
    }
    FreeResolveBuffer();
}
