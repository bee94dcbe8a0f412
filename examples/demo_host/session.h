// One client connection of the demo host. The session owns its CSocketKit,
// cuts the input into lines for its Dialogue, and turns each Answer into
// output, paced by the send buffer: a listing is produced piece by piece
// whenever the previous piece has gone out, and the next line is read only
// once the answer before it is complete.
//
// Limits, so that no client costs more than a bounded amount of memory: a
// line longer than kMaxLine is answered with an error and not read; input
// waiting behind an unfinished answer is limited to kMaxWaitingInput, and
// output not yet taken by the client to kMaxWaitingOutput; beyond either, the
// session is closed with a log line. The host also ends sessions that stay
// idle or keep a line unfinished too long (LastActivity, LineStarted).
//
// A telnet session (--telnet) first sends TelnetAnswers::Offer() and waits
// for the client's answers (and its terminal type, when it agrees to give
// one) before the greeting; lines the client sends meanwhile wait for it.
// A client that has answered nothing after kNegotiationSeconds gets the note
// "% no telnet answers; going on raw" before the greeting, and its session
// goes on without telnet. The answers, or their absence, are logged. In
// telnet mode the client's telnet commands never reach the dialogue, and
// each 255 byte sent is doubled.
//
// The session ends when the dialogue hangs up, when the client resets
// (Error), or when the client has closed its side (CloseSck) and every line
// it sent before has been answered in full. The owner is told once (Release) and
// deletes the session later, outside its event handlers.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "dialogue.h"
#include "config_text.h"
#include "telnet_answers.h"
#include "net/socket/csocket_kit.h"

class Session;

// What a session needs from the host that owns it.
class SessionOwner {
public:
    virtual ~SessionOwner() = default;
    virtual void StartWait(Session& session, uint32_t milliseconds) = 0;   // then call WaitOver
    virtual void Release(Session& session) = 0;                  // the session is over
    virtual void LogLine(const std::string& line) = 0;
};

class Session : public CSocketKitEvents {
public:
    static constexpr size_t kMaxLine = 4096;
    static constexpr size_t kMaxWaitingInput = 64 * 1024;
    static constexpr size_t kMaxWaitingOutput = 1024 * 1024;
    static constexpr size_t kPiece = 64 * 1024;   // listing bytes produced at a time
    static constexpr int kNegotiationSeconds = 2;

    // With splitPromptMs, the shell prompt goes out in two pieces with a pause
    // of that many milliseconds between them, as some devices write it.
    Session(SessionOwner& owner, int32_t id, Dialogue dialogue, bool telnet = false, uint32_t splitPromptMs = 0);
    ~Session() override;

    // Takes the connection over and sends the greeting (in telnet mode, the
    // offer first); with hangUp, closes it once the greeting has gone out (a
    // refusal, never negotiated). VbError if the connection cannot be taken.
    void Start(int32_t requestID, const std::string& greeting, bool hangUp);
    void WaitOver();
    int32_t Id() const { return id_; }

    using Clock = std::chrono::steady_clock;
    // When the client last sent something or took output; a running "wait"
    // counts as activity (the client asked for the pause).
    Clock::time_point LastActivity() const { return waiting_ ? Clock::now() : lastActivity_; }
    // When the line the client has not finished yet began (none while no line
    // is unfinished, or once the client has closed its side).
    std::optional<Clock::time_point> LineStarted() const {
        return peerClosed_ ? std::nullopt : lineStarted_;
    }
    // Ends the session at once with a log line: one of the host's limits.
    void Expire(const std::string& why) { Finish(why); }

    void DataArrival(int32_t bytesTotal) override;
    void CloseSck() override;
    void Error(int16_t number, std::string& description, int32_t sCode, const std::string& source,
               const std::string& helpFile, int32_t helpContext, bool& cancelDisplay) override;
    void SendComplete() override {
        lastActivity_ = Clock::now();
        Advance();
    }

private:
    bool Busy() const { return listing_ != nullptr || waiting_ || hangUp_ || negotiating_ || splitting_; }
    bool Drained() const { return socket_->BytesWaitingToSend() == 0; }
    // Connected, or closing after the client's half-close: sending goes on.
    bool CanSend() const { return socket_->State() == sckConnected || socket_->State() == sckClosing; }
    void Advance();
    bool NextLine(std::string& line);
    void NoteInput(std::string_view fresh);
    void Perform(const Answer& answer);
    void Send(const std::string& text);
    std::string Wire(const std::string& text) const { return telnet_ ? TelnetAnswers::Escape(text) : text; }
    void Negotiate();
    void EndNegotiation(bool timedOut);
    void Finish(const std::string& why = "");
    void CloseSocket();

    SessionOwner& owner_;
    int32_t id_;
    Dialogue dialogue_;
    std::shared_ptr<CSocketKit> socket_;
    std::string input_;                    // received, not yet read as lines
    bool started_ = false;                 // the greeting has been sent
    bool skipping_ = false;                // inside a line that was too long
    std::unique_ptr<ConfigText> listing_;  // the listing being sent
    bool waiting_ = false;                 // a "wait" is running
    std::string then_;                     // sent after the listing or the wait
    bool hangUp_ = false;                  // close once everything has gone out
    bool peerClosed_ = false;
    bool finished_ = false;
    bool advancing_ = false;
    bool again_ = false;
    bool telnet_;                          // telnet mode (off again for a raw client)
    bool negotiating_ = false;             // the greeting waits for the client's answers
    std::string greeting_;                 // the greeting held back meanwhile
    TelnetAnswers telnetIn_;
    Clock::time_point lastActivity_ = Clock::now();
    std::optional<Clock::time_point> lineStarted_;   // the unfinished line's first byte
    uint32_t splitPromptMs_;
    bool splitting_ = false;               // the prompt's second piece waits for its pause
    std::string promptRest_;               // that piece
};
