#include "app/ssh_socket.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "net/ssh/ssh_errors.h"
#include "net/ssh/ssh_session.h"
#include "platform/vb_error.h"

namespace {

// The socket state numbers the runner reads.
constexpr int32_t kClosed = 0, kConnecting = 6, kConnected = 7, kClosing = 8, kError = 9;

class SshSocket : public ISessionSocket, private sshnet::ISshSessionEvents {
public:
    SshSocket(ISessionEvents& events, std::string user, std::function<void(const std::string&)> log)
        : events_(events), user_(std::move(user)), log_(std::move(log)), session_(*this) {}

    int32_t State() const override {
        using Phase = sshnet::SshSession::Phase;
        if (closedByUs_) return kClosed;
        switch (session_.phase()) {
            case Phase::Idle: return kClosed;
            case Phase::Open: return kConnected;
            case Phase::Closed: return kClosing;
            case Phase::Failed: return kError;
            default: return kConnecting;
        }
    }

    void Connect(const std::string& remoteHost, const std::string& remotePort) override {
        if (session_.phase() != sshnet::SshSession::Phase::Idle || closedByUs_)
            throw VbError(40020, "CSocketKit.Connect", "Invalid operation at current state");
        char* end = nullptr;
        long port = std::strtol(remotePort.c_str(), &end, 10);
        if (remotePort.empty() || *end != '\0' || port < 1 || port > 65535)
            throw VbError(40014, "CSocketKit.Connect", "Invalid argument");
        session_.Start(sshnet::TargetFromEnvironment(remoteHost, static_cast<uint16_t>(port), user_));
        if (session_.phase() == sshnet::SshSession::Phase::Failed)
            throw VbError(sshnet::ErrSshConnect, "SSH.Connect", sshnet::SshErrorText(sshnet::ErrSshConnect));
    }

    void SendData(const std::string& data) override {
        using Phase = sshnet::SshSession::Phase;
        const Phase phase = session_.phase();
        if (closedByUs_ || phase == Phase::Idle || phase == Phase::Closed || phase == Phase::Failed)
            throw VbError(40006, "CSocketKit.SendData",
                          "Wrong protocol or connection state for the requested transaction or request");
        if (phase == Phase::Prompting) {
            std::string answer = data;
            if (answer.size() >= 2 && answer.compare(answer.size() - 2, 2, "\r\n") == 0) {
                answer.resize(answer.size() - 2);
            } else if (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) {
                answer.pop_back();
            }
            session_.Answer(answer);
            std::fill(answer.begin(), answer.end(), '\0');
            events_.wsTelnet_SendComplete();   // the answer is on its way
            return;
        }
        session_.Write(data);
    }

    int32_t BytesWaitingToSend() const override {
        return static_cast<int32_t>(std::min<size_t>(session_.Pending(), INT32_MAX));
    }
    int32_t BytesInFlight() const override {
        return static_cast<int32_t>(std::min<size_t>(session_.Unsent(), INT32_MAX));
    }

    // The channel's EOF behind the queued bytes; the server's close of the
    // channel (after the shell's exit) follows as CloseSck.
    bool HalfClose() override {
        if (closedByUs_ || session_.phase() != sshnet::SshSession::Phase::Open) return false;
        session_.SendEof();
        return true;
    }

    std::string GetData() override {
        std::string block;
        block.swap(received_);
        return block;
    }

    void CloseSck() override {
        if (session_.phase() != sshnet::SshSession::Phase::Idle) closedByUs_ = true;
        session_.Close();
        received_.clear();
    }

private:
    void SshNotice(const std::string& line) override {
        if (log_) log_(line);
    }
    void SshPrompt(const std::string& prompt) override { Arrived(prompt); }
    void SshOpened() override {}
    void SshData(std::string data) override {
        if (received_.empty()) {
            received_.swap(data);
            Arrived({});
        } else {
            Arrived(data);
        }
    }
    void SshSent() override { events_.wsTelnet_SendComplete(); }
    void SshFailed(int32_t number, const std::string& description) override {
        events_.wsTelnet_Error(number, description);
    }
    void SshClosed() override { events_.wsTelnet_CloseSck(); }

    void Arrived(const std::string& bytes) {
        received_ += bytes;
        events_.wsTelnet_DataArrival(static_cast<int32_t>(received_.size()));
    }

    ISessionEvents& events_;
    std::string user_;
    std::function<void(const std::string&)> log_;
    sshnet::SshSession session_;
    std::string received_;
    bool closedByUs_ = false;
};

}  // namespace

std::unique_ptr<ISessionSocket> MakeSshSocket(ISessionEvents& events, const std::string& user,
                                              std::function<void(const std::string&)> log) {
    return std::make_unique<SshSocket>(events, user, std::move(log));
}
