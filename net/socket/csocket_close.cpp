// Closing and destruction: CloseSck returns any object to sckClosed; the
// socket and any lookups in flight are given up. Object destruction (in
// csocket_kit.cpp) runs the same steps.
#include <string>

#include "net/socket/csocket_kit.h"
#include "platform/vb_error.h"

using modSocketKit::LogScroll;

void CSocketKit::CloseSck() {
    if (socketHandle_ == win::INVALID_SOCKET) return;
    SetState(sckClosing, LogScroll::TwoLines);
    CancelPendingResolutions();
    DestroySocket();
    boundLocalPort_ = 0;
    remoteHostIP_.clear();
    receiveBuffer_.Clear();
    sendBuffer_.Clear();
    sendBufferSize_ = 0;
    receiveBufferSize_ = 0;
    SetState(sckClosed, LogScroll::TwoLines);
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
