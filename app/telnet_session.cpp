#include "app/telnet_session.h"

#include <optional>

#include "app/telnet_socket.h"
#include "net/service/mod_socket_kit.h"
#include "net/socket/csocket_kit.h"
#include "net/telnet/telnet_filter.h"
#include "platform/vb_error.h"

namespace {

constexpr int32_t kTelnetPort = 23;

class TelnetSession : public ISessionSocket {
public:
    TelnetSession(ISessionEvents& events, SessionOptions::Telnet mode)
        : events_(events), mode_(mode), relay_(*this), socket_(CSocketKit::Create()) {
        socket_->SetEventReceiver(&relay_);
    }
    ~TelnetSession() override { socket_->SetEventReceiver(nullptr); }

    int32_t State() const override { return socket_->State(); }

    void Connect(const std::string& remoteHost, const std::string& remotePort) override {
        socket_->Connect(VbVariant(remoteHost), VbVariant(remotePort));
        // Decided once the socket has taken the port, so a refused Connect
        // changes nothing.
        filtering_ = TelnetOnForPort(mode_, remotePort);
        filter_ = telnet::TelnetFilter();
        data_.clear();
        answersQueued_ = 0;
        answersRefused_ = false;
    }

    void SendData(const std::string& data) override {
        if (!filtering_) {
            socket_->SendData(VbVariant(data));
            return;
        }
        // Nothing to send raises no SendComplete, as on the raw socket.
        std::string wire = telnet::TelnetEncode(data);
        scriptSendPending_ = !wire.empty();
        try {
            socket_->SendData(VbVariant(std::move(wire)));
        } catch (...) {
            scriptSendPending_ = false;
            throw;
        }
    }

    std::string GetData() override {
        if (!filtering_) return ReadRaw();
        if (readError_) {
            VbError e = *readError_;
            readError_.reset();
            throw e;
        }
        std::string block;
        block.swap(data_);
        return block;
    }

    void TakeData(std::string& block) override {
        if (!filtering_) {
            // Straight from the socket, into block's storage (see TelnetSocket).
            VbVariant data = VbVariant::String(std::move(block));
            socket_->GetData(data);
            block = data.TakeBytes();
            return;
        }
        block = GetData();
    }

    void CloseSck() override { socket_->CloseSck(); }
    // A FIN behind the queued bytes; the host's close follows as CloseSck.
    int32_t BytesInFlight() const override { return socket_->BytesInFlight(); }
    bool HalfClose() override {
        socket_->ShutdownSend();
        return true;
    }

    // Answers queued on their own are not the script's: with none of its
    // text waiting, nothing is reported (and no SendComplete will come).
    int32_t BytesWaitingToSend() const override {
        if (filtering_ && !scriptSendPending_) return 0;
        return socket_->BytesWaitingToSend();
    }

private:
    // The socket's events, handed to the session's handlers below.
    class Relay : public CSocketKitEvents {
    public:
        explicit Relay(TelnetSession& session) : session_(session) {}
        void DataArrival(int32_t bytesTotal) override { session_.OnDataArrival(bytesTotal); }
        void SendComplete() override { session_.OnSendComplete(); }
        void CloseSck() override { session_.events_.wsTelnet_CloseSck(); }
        void Error(int16_t Number, std::string& Description, int32_t, const std::string&, const std::string&,
                   int32_t, bool&) override {
            session_.events_.wsTelnet_Error(Number, Description);
        }

    private:
        TelnetSession& session_;
    };

    std::string ReadRaw() {
        VbVariant block{std::string()};  // a text variable: the data comes as text
        socket_->GetData(block);
        return block.TakeBytes();
    }

    void OnDataArrival(int32_t bytesTotal) {
        if (!filtering_) {
            events_.wsTelnet_DataArrival(bytesTotal);
            return;
        }
        std::string replies;
        try {
            filter_.Receive(ReadRaw(), data_, replies);
        } catch (const VbError& e) {
            // The runner gets the failure from its GetData, as from the raw socket.
            readError_ = e;
            events_.wsTelnet_DataArrival(0);
            return;
        }
        const bool flooded = !replies.empty() && !SendReplies(replies);
        if (!data_.empty()) {
            modSocketKit::WriteSocketLog("OK Telnet data: " + std::to_string(data_.size()) + " bytes");
            events_.wsTelnet_DataArrival(static_cast<int32_t>(data_.size()));
        }
        // The block's data is the runner's first; then the session ends.
        if (flooded) events_.wsTelnet_Error(telnet::ErrTelnetAnswersNotRead, telnet::kDescAnswersNotRead);
    }

    // Queues answers; false (once) when the host has left more than
    // kMaxQueuedAnswers bytes of them untaken. From then on answers are
    // dropped, so a host that floods us with requests and reads nothing
    // cannot make the queue grow.
    bool SendReplies(const std::string& replies) {
        if (answersRefused_) return true;
        // Answers queued since the send queue was last empty: an upper bound
        // of the answer bytes still waiting.
        if (socket_->BytesWaitingToSend() == 0) answersQueued_ = 0;
        answersQueued_ += replies.size();
        if (answersQueued_ > telnet::kMaxQueuedAnswers) {
            answersRefused_ = true;
            modSocketKit::WriteSocketLog("ERR Telnet negotiation answers not read by the host: " +
                                         std::to_string(answersQueued_ - replies.size()) + " bytes waiting");
            return false;
        }
        modSocketKit::WriteSocketLog("OK Telnet negotiation answered: " + std::to_string(replies.size()) +
                                     " bytes");
        try {
            socket_->SendData(VbVariant(replies));
        } catch (const VbError&) {
            // A socket that cannot send any more is closing or failed; its own
            // events tell the runner.
        }
        return true;
    }

    void OnSendComplete() {
        if (filtering_) {
            // Only the script's own text completes a SEND; answers sent on
            // their own are not the runner's business.
            if (!scriptSendPending_) return;
            scriptSendPending_ = false;
        }
        events_.wsTelnet_SendComplete();
    }

    ISessionEvents& events_;
    const SessionOptions::Telnet mode_;
    Relay relay_;
    std::shared_ptr<CSocketKit> socket_;
    bool filtering_ = false;
    bool scriptSendPending_ = false;
    telnet::TelnetFilter filter_;
    std::string data_;  // filtered data not yet taken by GetData
    size_t answersQueued_ = 0;     // answer bytes queued since the send queue was last empty
    bool answersRefused_ = false;  // the host took too few of them: no more are sent
    std::optional<VbError> readError_;  // a failed read, for the next GetData
};

}  // namespace

bool TelnetOnForPort(SessionOptions::Telnet mode, const std::string& port) {
    if (mode != SessionOptions::Telnet::Auto) return mode == SessionOptions::Telnet::On;
    // Port 23 read the way Connect reads a port.
    std::optional<double> number = VbVariant(port).NumericValue();
    if (!number) return false;
    std::optional<int32_t> rounded = VbVariant::RoundToLong(*number);
    return rounded && *rounded == kTelnetPort;
}

std::unique_ptr<ISessionSocket> MakeTelnetSession(ISessionEvents& events, SessionOptions::Telnet mode) {
    return std::make_unique<TelnetSession>(events, mode);
}

std::unique_ptr<ISessionSocket> OpenSessionSocket(ISessionEvents& events, const SessionOptions& options) {
    if (options.telnet == SessionOptions::Telnet::Off) return MakeTelnetSocket(events);
    return MakeTelnetSession(events, options.telnet);
}
