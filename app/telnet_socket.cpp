#include "app/telnet_socket.h"

#include <cstdint>

#include "net/socket/csocket_kit.h"

namespace {

// Passes the socket's events on to the window. The window handles data,
// send completion, errors and the host's close; the other events are ignored.
class EventRelay : public CSocketKitEvents {
public:
    explicit EventRelay(ISessionEvents& events) : events_(events) {}
    void DataArrival(int32_t bytesTotal) override { events_.wsTelnet_DataArrival(bytesTotal); }
    void SendComplete() override { events_.wsTelnet_SendComplete(); }
    void CloseSck() override { events_.wsTelnet_CloseSck(); }
    void Error(int16_t Number, std::string& Description, int32_t, const std::string&, const std::string&,
               int32_t, bool&) override {
        events_.wsTelnet_Error(Number, Description);
    }

private:
    ISessionEvents& events_;
};

class TelnetSocket : public ISessionSocket {
public:
    explicit TelnetSocket(ISessionEvents& events) : relay_(events), socket_(CSocketKit::Create()) {
        socket_->SetEventReceiver(&relay_);
    }
    ~TelnetSocket() override { socket_->SetEventReceiver(nullptr); }

    int32_t State() const override { return socket_->State(); }
    void Connect(const std::string& remoteHost, const std::string& remotePort) override {
        socket_->Connect(VbVariant(remoteHost), VbVariant(remotePort));
    }
    void SendData(const std::string& data) override { socket_->SendData(VbVariant(data)); }
    std::string GetData() override {
        std::string block;
        TakeData(block);
        return block;
    }
    void TakeData(std::string& block) override {
        // A text variable (the data comes as text) holding block's storage.
        VbVariant data = VbVariant::String(std::move(block));
        socket_->GetData(data);
        block = data.TakeBytes();
    }
    void CloseSck() override { socket_->CloseSck(); }
    int32_t BytesWaitingToSend() const override { return socket_->BytesWaitingToSend(); }
    // A FIN behind the queued bytes; the host's close follows as CloseSck.
    int32_t BytesInFlight() const override { return socket_->BytesInFlight(); }
    bool HalfClose() override {
        socket_->ShutdownSend();
        return true;
    }

private:
    EventRelay relay_;
    std::shared_ptr<CSocketKit> socket_;
};

}  // namespace

std::unique_ptr<ISessionSocket> MakeTelnetSocket(ISessionEvents& events) {
    return std::make_unique<TelnetSocket>(events);
}
