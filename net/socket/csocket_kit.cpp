// The object model of CSocketKit: lifetime, properties and their assignment
// rules, the state lines, the error report of asynchronous failures and the
// entry point of notifications.
#include <iostream>

#include "net/socket/csocket_kit.h"
#include "platform/vb_error.h"

using modSocketKit::LogScroll;

namespace {

CSocketKit::MessageBoxHandler& MessageBoxHook() {
    static CSocketKit::MessageBoxHandler handler;
    return handler;
}

const char* StateName(SockState state) {
    switch (state) {
    case sckClosed: return "sckClosed";
    case sckOpen: return "sckOpen";
    case sckListening: return "sckListening";
    case sckResolvingHost: return "sckResolvingHost";
    case sckHostResolved: return "sckHostResolved";
    case sckConnecting: return "sckConnecting";
    case sckConnected: return "sckConnected";
    case sckClosing: return "sckClosing";
    case sckError: return "sckError";
    }
    return "";
}

}  // namespace

std::shared_ptr<CSocketKit> CSocketKit::Create() {
    return std::shared_ptr<CSocketKit>(new CSocketKit());
}

CSocketKit::CSocketKit() {
    modSocketKit::InitiateProcesses();
}

CSocketKit::~CSocketKit() {
    CancelPendingResolutions();
    if (!isAcceptHolder_) {
        // Nobody can be told about a failed close here; the teardown goes on.
        try {
            if (state_ == sckConnected || state_ == sckClosing) DrainBeforeClose();
            DestroySocket();
        } catch (const VbError&) {
            // The socket is gone either way: its registration and route go
            // too, so a later socket with the same number is not refused and
            // never reaches this object.
            modSocketKit::UnregisterSocket(socketHandle_);
            socketHandle_ = win::INVALID_SOCKET;
        }
    }
    try {
        modSocketKit::FinalizeProcesses();
    } catch (const VbError&) {
    }
}

void CSocketKit::SetMessageBoxHandler(MessageBoxHandler handler) {
    MessageBoxHook() = std::move(handler);
}

void CSocketKit::Log(const std::string& line, LogScroll scroll) {
    modSocketKit::WriteSocketLog(line, scroll);
}

void CSocketKit::SetState(SockState state, LogScroll scroll) {
    state_ = state;
    Log(std::string("STATE: ") + StateName(state), scroll);
}

void CSocketKit::Fail(int32_t number, const std::string& source, const std::string& description) {
    throw VbError(number, source, description);
}

void CSocketKit::FailWithCode(int32_t code, const std::string& source) {
    throw VbError(code, source, modSocketKit::GetErrorDescription(code));
}

// The error report for failures that no caller waits for. The calling step
// has already set sckError and written its lines.
void CSocketKit::ReportSocketError(int32_t code, const std::string& source) {
    reportedError_ = code;
    std::string description = modSocketKit::GetErrorDescription(code);
    bool cancelDisplay = true;
    if (events_) {
        events_->Error(static_cast<int16_t>(code), description, 0, source, "", 0, cancelDisplay);
    }
    if (!cancelDisplay) {
        if (MessageBoxHook()) {
            MessageBoxHook()(description, source);
        } else {
            std::cerr << source << ": " << description << '\n';
        }
    }
}

// ---- Properties -------------------------------------------------------------

void CSocketKit::SetRemotePort(int32_t lngPort) {
    if (!IsUDP() && state_ != sckClosed) Fail(ErrInvalidOperation, "CSocketKit.RemotePort", kDescInvalidOperation);
    if (lngPort < 0 || lngPort > 65535) Fail(ErrBadArgument, "CSocketKit.RemotePort", kDescBadArgument);
    remotePort_ = lngPort;
}

void CSocketKit::SetRemoteHost(const std::string& strHost) {
    if (!IsUDP() && state_ != sckClosed) Fail(ErrInvalidOperation, "CSocketKit.RemoteHost", kDescInvalidOperation);
    remoteHost_ = strHost;
}

void CSocketKit::SetLocalPort(int32_t lngPort) {
    if (state_ != sckClosed) Fail(ErrInvalidOperation, "CSocketKit.LocalPort", kDescInvalidOperation);
    if (lngPort < 0 || lngPort > 65535) Fail(ErrBadArgument, "CSocketKit.LocalPort", kDescBadArgument);
    localPort_ = lngPort;
}

void CSocketKit::SetProtocol(SockProtocol enmProtocol) {
    if (state_ != sckClosed) Fail(ErrInvalidOperation, "CSocketKit.Protocol", kDescInvalidOperation);
    protocol_ = enmProtocol;
}

std::string CSocketKit::LocalIP() const {
    if (state_ == sckOpen || state_ == sckListening) return localIP_;
    return GetLocalIP();
}

int32_t CSocketKit::BytesReceived() const {
    if (IsUDP()) return GetBytesPending();
    return static_cast<int32_t>(receiveBuffer_.Size());
}

// ---- Notifications ----------------------------------------------------------

win::LRESULT CSocketKit::WndProc(win::HWND /*hwnd*/, win::UINT uMsg, win::WPARAM wParam,
                                 win::LPARAM lParam) {
    // A handler may drop the last outside reference; the object lives until
    // this notification has been handled.
    std::shared_ptr<CSocketKit> keepAlive = weak_from_this().lock();
    try {
        if (uMsg == modSocketKit::RESOLVE_MESSAGE) {
            PostResolution(wParam, modSocketKit::HiWord(lParam));
        } else if (uMsg == modSocketKit::SOCKET_MESSAGE) {
            PostSocket(modSocketKit::LoWord(lParam), modSocketKit::HiWord(lParam));
        }
    } catch (const VbError& e) {
        // A failure ends the handling of this notification, silently.
        return e.Number;
    } catch (const std::exception&) {
        return ErrOutOfMemory;
    }
    return 0;
}
