// CSocketKit: one asynchronous IPv4 socket (TCP or UDP) with properties,
// operations and events. Every operation returns at once; the outcome of a
// connect, a host lookup, a send or an incoming connection arrives later as a
// notification that the socket service routes to WndProc, and the object
// turns it into state changes and events.
//
// Objects are shared-owned (Create): a notification keeps its object alive
// while it is handled, and the service can let go of a temporary accept
// holder at the end of an accept. Failing operations throw VbError.
//
// The implementation is split by concern: csocket_kit.cpp (object model,
// properties, error report, WndProc), csocket_connect.cpp, csocket_close.cpp,
// csocket_server.cpp, csocket_local_host.cpp, csocket_send.cpp,
// csocket_receive.cpp, csocket_options.cpp, and the notification handling in
// csocket_notifications.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "net/service/mod_socket_kit.h"
#include "net/socket/byte_queue.h"
#include "net/socket/vb_variant.h"
#include "platform/winsock.h"

enum SockState : int32_t {
    sckClosed = 0,
    sckOpen = 1,
    sckListening = 2,
    sckResolvingHost = 4,
    sckHostResolved = 5,
    sckConnecting = 6,
    sckConnected = 7,
    sckClosing = 8,
    sckError = 9,
};

enum SockProtocol : int32_t { sckTCP = 0, sckUDP = 1 };

// The object's error numbers and their descriptions.
constexpr int32_t ErrOutOfMemory = 7;
constexpr int32_t ErrWrongState = 40006;
constexpr int32_t ErrBadArgument = 40014;
constexpr int32_t ErrUnsupportedType = 40018;
constexpr int32_t ErrInvalidOperation = 40020;
inline constexpr const char* kDescOutOfMemory = "Out of memory";
inline constexpr const char* kDescWrongState =
    "Wrong protocol or connection state for the requested transaction or request";
inline constexpr const char* kDescBadArgument =
    "The argument passed to a function was not in the correct format or in the specified range.";
inline constexpr const char* kDescInvalidArgument = "Invalid argument";
inline constexpr const char* kDescUnsupportedType = "Unsupported variant type.";
inline constexpr const char* kDescInvalidOperation = "Invalid operation at current state";

// The events of a CSocketKit, one method each; the defaults do nothing.
// Handlers run inside the step that raised the event and may call the object.
class CSocketKitEvents {
public:
    virtual ~CSocketKitEvents() = default;
    virtual void CloseSck() {}
    virtual void Connect() {}
    virtual void ConnectionRequest(int32_t /*requestID*/) {}
    virtual void DataArrival(int32_t /*bytesTotal*/) {}
    // Description and CancelDisplay may be changed by the handler; with
    // CancelDisplay set to false a message box shows the description.
    virtual void Error(int16_t /*Number*/, std::string& /*Description*/, int32_t /*sCode*/,
                       const std::string& /*Source*/, const std::string& /*HelpFile*/,
                       int32_t /*HelpContext*/, bool& /*CancelDisplay*/) {}
    virtual void SendComplete() {}
    virtual void SendProgress(int32_t /*bytesSent*/, int32_t /*bytesRemaining*/) {}
};

class CSocketKit : public ISocketOwner, public std::enable_shared_from_this<CSocketKit> {
public:
    using MessageBoxHandler = std::function<void(const std::string& text, const std::string& title)>;
    static constexpr int32_t ResolveForConnect = 0;
    static constexpr int32_t ResolveBufferSize = 1024;

    // Creates an object; it counts as a user of the socket service until destroyed.
    static std::shared_ptr<CSocketKit> Create();
    ~CSocketKit() override;
    CSocketKit(const CSocketKit&) = delete;
    CSocketKit& operator=(const CSocketKit&) = delete;

    // The receiver of this object's events (not owned; nullptr: none).
    void SetEventReceiver(CSocketKitEvents* receiver) { events_ = receiver; }
    // How error reports show their message box, for the whole process
    // (default: one line on stderr). An empty function restores the default.
    static void SetMessageBoxHandler(MessageBoxHandler handler);

    // Properties.
    int32_t RemotePort() const { return remotePort_; }
    void SetRemotePort(int32_t lngPort);
    std::string RemoteHost() const { return remoteHost_; }
    void SetRemoteHost(const std::string& strHost);
    std::string RemoteHostIP() const { return remoteHostIP_; }
    int32_t LocalPort() const { return boundLocalPort_ != 0 ? boundLocalPort_ : localPort_; }
    void SetLocalPort(int32_t lngPort);
    SockState State() const { return state_; }
    std::string LocalHostName() const { return GetLocalHostName(); }
    std::string LocalIP() const;
    int32_t BytesReceived() const;
    int32_t SocketHandle() const { return socketHandle_; }
    std::string Tag() const { return tag_; }
    void SetTag(const std::string& strTag) { tag_ = strTag; }
    SockProtocol protocol() const { return protocol_; }
    void SetProtocol(SockProtocol enmProtocol);

    // Operations.
    win::LRESULT WndProc(win::HWND hwnd, win::UINT uMsg, win::WPARAM wParam,
                         win::LPARAM lParam) override;
    void CloseSck();
    void Connect(std::optional<VbVariant> RemoteHost = std::nullopt,
                 std::optional<VbVariant> RemotePort = std::nullopt);
    void Bind(std::optional<VbVariant> LocalPort = std::nullopt,
              std::optional<VbVariant> LocalIP = std::nullopt);
    void SendData(const VbVariant& data);
    // data receives the value; if it already holds a value, its type decides
    // the result type. maxLen limits text and byte arrays. After the peer
    // closed (sckClosing), what arrived before stays readable until taken.
    // A listener whose accept fails for want of descriptors or memory raises
    // Error once and pauses accepting until a socket of this process closes
    // or a short pause has passed; it stays sckListening.
    void GetData(VbVariant& data, std::optional<int32_t> varType = std::nullopt,
                 std::optional<VbVariant> maxLen = std::nullopt);
    void PeekData(VbVariant& data, std::optional<int32_t> varType = std::nullopt,
                  std::optional<VbVariant> maxLen = std::nullopt);
    void Listen();
    void Accept(int32_t requestID);
    // Half-closes a TCP connection (connected, or closing after the peer's
    // own half-close): once every queued byte has gone to the platform, a
    // FIN follows them; what the peer still sends keeps arriving as before.
    // SendData is refused from then on. Does nothing when already done.
    void ShutdownSend();
    // ShutdownSend has been called on this connection.
    bool SendShutdown() const { return sendShutdown_; }

    // Inspection (tests, diagnostics): lookups in flight keyed "R" + handle,
    // the holder flag, the two platform buffer sizes and the unsent bytes.
    const std::map<std::string, int32_t>& PendingResolutions() const { return pendingResolutions_; }
    bool IsAcceptHolder() const { return isAcceptHolder_; }
    int32_t SendBufferSize() const { return sendBufferSize_; }
    int32_t ReceiveBufferSize() const { return receiveBufferSize_; }
    int32_t BytesWaitingToSend() const { return static_cast<int32_t>(sendBuffer_.Size()); }
    // Bytes handed to the platform that the peer has not acknowledged yet (0
    // when unknown or not a TCP connection).
    int32_t BytesUnacknowledged() const;
    // Bytes handed to SendData that the peer has not acknowledged yet: still
    // queued here, or handed to the platform (at most INT32_MAX).
    int32_t BytesInFlight() const;

private:
    CSocketKit();

    bool IsUDP() const { return protocol_ == sckUDP; }
    void SetState(SockState state, modSocketKit::LogScroll scroll = modSocketKit::LogScroll::Caret);
    static void Log(const std::string& line,
                    modSocketKit::LogScroll scroll = modSocketKit::LogScroll::Caret);
    void ReportSocketError(int32_t code, const std::string& source);
    [[noreturn]] static void Fail(int32_t number, const std::string& source, const std::string& description);
    [[noreturn]] static void FailWithCode(int32_t code, const std::string& source);

    // Connecting and name resolution.
    bool SocketExists();
    std::optional<uint32_t> ResolveIfHostname(const std::string& host, int32_t purpose);
    void ConnectToIP(uint32_t address, int32_t errorCode);
    bool BindInternal(std::optional<VbVariant> localPort = std::nullopt,
                      std::optional<VbVariant> localAddress = std::nullopt);
    char* AllocateResolveBuffer();
    void FreeResolveBuffer();
    static std::optional<uint32_t> ResolveHostAddress(const std::string& host, std::string& dotted,
                                                      int32_t& errorCode);
    static int32_t GetBoundLocalPort(win::SOCKET s);
    static win::SOCKADDR_IN AddressRecord(uint32_t address, int32_t port);

    // Closing and destruction.
    void DestroySocket();
    // Reads and drops what the platform still holds for a TCP connection, so
    // that closing it sends a FIN behind the queued bytes instead of a reset.
    void DrainBeforeClose();
    // The half-close itself, once nothing waits to be sent.
    void FinishShutdown();
    void CancelPendingResolutions();

    // Binding, listening and accepting.
    void AcceptIncoming();
    void PauseAccepting(int32_t code);
    static void ForgetAcceptPause(win::SOCKET listener);
    static void ResumePausedListeners();
    static void AcceptPauseOver(win::HWND hwnd, win::UINT msg, uint32_t id, uint32_t tickCount);
    bool GetRemoteInfo(win::SOCKET s, int32_t& port, std::string& address, std::string& host);
    void ReadSocketAddress(const win::SOCKADDR_IN& record, int32_t& port, std::string& address);
    int32_t GetBytesPending() const;

    // Local host name and address.
    std::string GetLocalHostName() const;
    std::string GetLocalIP() const;

    // Sending.
    void FlushSendBuffer();
    void SendBufferedData();
    void SendBufferedDataUDP();

    // Receiving.
    void ReadData(VbVariant& data, std::optional<int32_t> varType, std::optional<VbVariant> maxLen,
                  bool peek, const std::string& source);
    int32_t RecvData(VbVariant& data, bool peek, std::optional<int32_t> varType,
                     std::optional<VbVariant> maxLen);
    void TakeReceivedBytes(int32_t count, bool peek, int32_t& errorCode, std::string& out);
    int32_t RecvDataToBuffer();
    void DiscardDatagram();

    // Options.
    void ProcessOptions();

    // Notifications (csocket_notifications.cpp).
    void PostSocket(int32_t notification, int32_t errorCode);
    void PostResolution(int32_t handle, int32_t errorCode);

    win::SOCKET socketHandle_ = win::INVALID_SOCKET;
    SockState state_ = sckClosed;
    std::string tag_;
    std::string remoteHost_;
    int32_t remotePort_ = 0;
    std::string remoteHostIP_;
    int32_t localPort_ = 0;
    int32_t boundLocalPort_ = 0;
    std::string localIP_;
    SockProtocol protocol_ = sckTCP;
    std::unique_ptr<char[]> resolveBuffer_;   // the lookup result block; null when none
    int32_t sendBufferSize_ = 0;
    int32_t receiveBufferSize_ = 0;
    ByteQueue sendBuffer_;
    ByteQueue receiveBuffer_;
    bool isAcceptHolder_ = false;
    bool sendShutdown_ = false;               // ShutdownSend called: no more sending
    bool shutdownPending_ = false;            // the FIN goes out once the send buffer is empty
    bool acceptFailing_ = false;              // accept failed for want of resources; told once
    int32_t reportedError_ = 0;               // the code of the last error report
    uint64_t datagramsTaken_ = 0;             // UDP reads that consumed a datagram
    std::map<std::string, int32_t> pendingResolutions_;
    CSocketKitEvents* events_ = nullptr;
};
