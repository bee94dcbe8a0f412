// Connecting and name resolution: getting a platform socket, turning a host
// and port into a TCP connect or a ready UDP socket, the asynchronous host
// lookup, and the bind that every connect does first.

#include <new>

#include "net/socket/csocket_kit.h"
#include "platform/byte_order.h"
#include "platform/vb_error.h"

using modSocketKit::LogScroll;
using std::to_string;

namespace {

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;   // what inet_addr gives for a name

// A port argument: numeric (a number, or text that reads as one), rounded to
// the nearest integer (halves to even), within low..65535.
int32_t PortArgument(const VbVariant& value, int32_t low, const char* source) {
    std::optional<double> number = value.NumericValue();
    if (!number) throw VbError(ErrUnsupportedType, source, kDescUnsupportedType);
    std::optional<int32_t> port = VbVariant::RoundToLong(*number);
    if (!port || *port < low || *port > 65535) throw VbError(ErrBadArgument, source, kDescBadArgument);
    return *port;
}

}  // namespace

// An IPv4 socket address record: family 2, the port in network order, the
// address as given (network order), 8 zero bytes.
win::SOCKADDR_IN CSocketKit::AddressRecord(uint32_t address, int32_t port) {
    win::SOCKADDR_IN record{};
    record.sin_family = win::AF_INET_WS;
    record.sin_port = htons(static_cast<uint16_t>(port));
    record.sin_addr = address;
    return record;
}

void CSocketKit::Connect(std::optional<VbVariant> remoteHost, std::optional<VbVariant> remotePort) {
    std::shared_ptr<CSocketKit> keepAlive = weak_from_this().lock();
    if (state_ != sckClosed) Fail(ErrInvalidOperation, "CSocketKit.Connect", kDescInvalidOperation);
    if (remoteHost) remoteHost_ = remoteHost->ToText();
    if (remotePort) remotePort_ = PortArgument(*remotePort, 1, "CSocketKit.Connect");

    if (!SocketExists()) return;
    if (IsUDP()) {
        if (BindInternal()) SetState(sckOpen);
        return;
    }
    std::optional<uint32_t> address = ResolveIfHostname(remoteHost_, ResolveForConnect);
    if (address) ConnectToIP(*address, 0);
}

bool CSocketKit::SocketExists() {
    if (socketHandle_ != win::INVALID_SOCKET) return true;
    win::SOCKET s = protocol_ == sckTCP
                        ? win::socket(win::AF_INET_WS, win::SOCK_STREAM_WS, win::IPPROTO_TCP_WS)
                        : win::socket(win::AF_INET_WS, win::SOCK_DGRAM_WS, win::IPPROTO_UDP_WS);
    if (s == win::INVALID_SOCKET) {
        int32_t code = win::WSAGetLastError();
        SetState(sckError);
        Log("ERROR trying to create socket");
        ReportSocketError(code, "CSocketKit.SocketExists");
        return false;
    }
    Log("OK Created socket: " + to_string(s));
    socketHandle_ = s;
    ProcessOptions();
    return modSocketKit::RegisterSocket(s, this, true);
}

// The address of a numeric host text, or nothing: then a lookup has been
// started (or has failed and been reported), and its result arrives later.
std::optional<uint32_t> CSocketKit::ResolveIfHostname(const std::string& host, int32_t purpose) {
    uint32_t address = win::inet_addr(host);
    if (address != kNoAddress) return address;

    SetState(sckResolvingHost);
    char* block = AllocateResolveBuffer();
    if (!block) {
        SetState(sckError);
        Log("Error trying to allocate memory");
        Fail(ErrOutOfMemory, "CSocketKit.ResolveIfHostname", kDescOutOfMemory);
    }
    win::HANDLE handle = modSocketKit::ResolveHostAsync(host, block, this);
    if (handle != 0) {
        pendingResolutions_["R" + to_string(handle)] = purpose;
        Log("Resolving host " + host + " with handle " + to_string(handle));
    } else {
        int32_t code = win::WSAGetLastError();
        FreeResolveBuffer();
        SetState(sckError);
        ReportSocketError(code, "CSocketKit.ResolveIfHostname");
    }
    return std::nullopt;
}

// Binds, then starts the connect. A nonzero error code is a failed lookup.
void CSocketKit::ConnectToIP(uint32_t address, int32_t errorCode) {
    if (errorCode != 0) {
        SetState(sckError);
        ReportSocketError(errorCode, "CSocketKit.ConnectToIP");
        return;
    }
    if (!BindInternal()) return;
    Log("OK Connecting to: " + remoteHost_ + " " + remoteHostIP_, LogScroll::TwoLines);
    SetState(sckConnecting, LogScroll::TwoLines);

    win::SOCKADDR_IN record = AddressRecord(address, remotePort_);
    if (win::connect(socketHandle_, &record, sizeof record) != win::SOCKET_ERROR) return;
    int32_t code = win::WSAGetLastError();
    if (code == 10035) return;   // under way; the outcome arrives as FD_CONNECT
    if (code == 10049) FailWithCode(code, "CSocketKit.ConnectToIP");
    SetState(sckError);
    ReportSocketError(code, "CSocketKit.ConnectToIP");
}

bool CSocketKit::BindInternal(std::optional<VbVariant> localPort, std::optional<VbVariant> localAddress) {
    if (state_ == sckOpen) return true;
    int32_t port = localPort ? PortArgument(*localPort, 0, "CSocketKit.BindInternal") : localPort_;

    std::string addressText = localAddress ? localAddress->ToText() : std::string();
    if (addressText.empty()) addressText = GetLocalIP();
    std::string dotted;
    int32_t code = 0;
    std::optional<uint32_t> address = ResolveHostAddress(addressText, dotted, code);
    if (code != 0 || !address) Fail(ErrBadArgument, "CSocketKit.BindInternal", kDescInvalidArgument);

    if (!SocketExists()) return false;
    win::SOCKADDR_IN record = AddressRecord(*address, port);
    if (win::bind(socketHandle_, &record, sizeof record) == win::SOCKET_ERROR) {
        FailWithCode(win::WSAGetLastError(), "CSocketKit.BindInternal");
    }
    localIP_ = dotted;
    if (port != 0) {
        Log("OK Bind HOST: " + addressText + " PORT: " + to_string(port));
        localPort_ = port;
        return true;
    }
    int32_t chosen = GetBoundLocalPort(socketHandle_);
    if (chosen == -1) FailWithCode(win::WSAGetLastError(), "CSocketKit.BindInternal");
    Log("OK Bind HOST: " + addressText + " PORT: " + to_string(chosen));
    boundLocalPort_ = chosen;
    return true;
}

char* CSocketKit::AllocateResolveBuffer() {
    resolveBuffer_.reset(new (std::nothrow) char[ResolveBufferSize]());
    return resolveBuffer_.get();
}

void CSocketKit::FreeResolveBuffer() {
    resolveBuffer_.reset();
}

// Synchronous resolution (blocks during a name lookup).
std::optional<uint32_t> CSocketKit::ResolveHostAddress(const std::string& host, std::string& dotted,
                                                       int32_t& errorCode) {
    if (host.empty()) {
        dotted.clear();
        errorCode = 10047;
        return std::nullopt;
    }
    uint32_t address = win::inet_addr(host);
    if (address != kNoAddress) {
        dotted = host;
        errorCode = 0;
        return address;
    }
    const win::HOSTENT_REC* record = win::gethostbyname(host);
    if (!record) {
        dotted.clear();
        errorCode = win::WSAGetLastError();
        return std::nullopt;
    }
    if (!win::FirstHostAddress(record, &address)) {
        dotted.clear();
        errorCode = 11004;   // a name without an IPv4 address
        return std::nullopt;
    }
    dotted += win::inet_ntoa(address);
    errorCode = 0;
    return address;
}

int32_t CSocketKit::GetBoundLocalPort(win::SOCKET s) {
    win::SOCKADDR_IN record{};
    int length = sizeof record;
    if (win::getsockname(s, &record, &length) == win::SOCKET_ERROR) return -1;
    return ntohs(record.sin_port);
}
