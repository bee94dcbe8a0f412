#include "session.h"

#include <string_view>

#include "platform/vb_error.h"

Session::Session(SessionOwner& owner, int32_t id, Dialogue dialogue, bool telnet, uint32_t splitPromptMs)
    : owner_(owner), id_(id), dialogue_(std::move(dialogue)), socket_(CSocketKit::Create()), telnet_(telnet),
      splitPromptMs_(splitPromptMs) {
    socket_->SetEventReceiver(this);
}

Session::~Session() {
    socket_->SetEventReceiver(nullptr);
    CloseSocket();
}

// A close that fails still leaves the object without its socket.
void Session::CloseSocket() {
    try {
        socket_->CloseSck();
    } catch (const VbError& e) {
        owner_.LogLine("session " + std::to_string(id_) + ": close failed: " + e.Description);
    }
}

void Session::Start(int32_t requestID, const std::string& greeting, bool hangUp) {
    socket_->Accept(requestID);   // may raise DataArrival, CloseSck or Error at once
    if (finished_) return;
    started_ = true;
    if (telnet_ && !hangUp) {
        negotiating_ = true;
        greeting_ = greeting;
        socket_->SendData(VbVariant(TelnetAnswers::Offer()));
        owner_.StartWait(*this, kNegotiationSeconds * 1000u);
        Negotiate();
        return;
    }
    Send(greeting);
    hangUp_ = hangUp;
    Advance();
}

// Moves the opening negotiation on with what the client has answered so far.
void Session::Negotiate() {
    if (finished_ || socket_->State() != sckConnected) return;
    if (telnetIn_.TerminalTypeToAsk()) {
        telnetIn_.TerminalTypeAsked();
        socket_->SendData(VbVariant(TelnetAnswers::TerminalTypeSend()));
    }
    if (telnetIn_.Complete()) EndNegotiation(false);
}

// The answers are in, or the time for them is over: the greeting goes out.
void Session::EndNegotiation(bool timedOut) {
    negotiating_ = false;
    std::string note;
    if (timedOut && !telnetIn_.HeardAnything()) {
        telnet_ = false;   // a raw client: whatever it sends is data
        note = "% no telnet answers; going on raw\r\n";
        owner_.LogLine("session " + std::to_string(id_) + ": no telnet answers; going on raw");
    } else {
        owner_.LogLine("session " + std::to_string(id_) + ": telnet answers: " + telnetIn_.Summary());
    }
    Send(note + greeting_);
    greeting_.clear();
    Advance();
}

void Session::WaitOver() {
    if (negotiating_) {
        EndNegotiation(true);
        return;
    }
    if (splitting_) {
        splitting_ = false;
        Send(promptRest_);
        promptRest_.clear();
        Advance();
        return;
    }
    if (!waiting_) return;
    waiting_ = false;
    Send(then_);
    then_.clear();
    Advance();
}

void Session::DataArrival(int32_t) {
    VbVariant data{std::string()};
    socket_->GetData(data);
    std::string filtered;
    std::string_view fresh = data.Bytes();
    if (telnet_) fresh = filtered = telnetIn_.Feed(data.Bytes());
    input_ += fresh;
    NoteInput(fresh);
    if (!started_ || finished_) return;
    if (negotiating_) Negotiate();
    if (Busy() && input_.size() > kMaxWaitingInput) {
        Finish("closed: more than " + std::to_string(kMaxWaitingInput) + " bytes of input waiting");
        return;
    }
    Advance();
}

// Keeps the times the host's limits look at: any input is activity, and an
// unfinished line (input after the last line break, or a too-long line still
// being skipped) keeps the time of its first byte until it ends.
void Session::NoteInput(std::string_view fresh) {
    lastActivity_ = Clock::now();
    if (fresh.find('\n') != std::string_view::npos) lineStarted_.reset();
    const bool unfinished = (!input_.empty() && input_.back() != '\n') ||
                            (skipping_ && input_.find('\n') == std::string::npos);
    if (!unfinished) {
        lineStarted_.reset();
    } else if (!lineStarted_) {
        lineStarted_ = lastActivity_;
    }
}

// The client closed its side (a half-close, as `nc -N` does): it says
// nothing more, but every line it sent before is still answered in full, and
// the session ends once the last answer has gone out. A client that has gone
// altogether makes the next send fail (Error).
void Session::CloseSck() {
    peerClosed_ = true;
    Advance();
}

void Session::Error(int16_t, std::string&, int32_t, const std::string&, const std::string&, int32_t, bool&) {
    Finish();   // the connection is broken: nothing more can go out
}

// Moves the session on as far as it can: the listing in progress while the
// send buffer is empty, the end of the session once everything has gone out,
// the next lines while no answer is in progress. Events raised meanwhile
// (SendComplete inside SendData) come back here and only ask for another round.
void Session::Advance() {
    if (advancing_) {
        again_ = true;
        return;
    }
    advancing_ = true;
    do {
        again_ = false;
        while (!finished_ && listing_ && CanSend() && Drained()) {
            std::string piece = listing_->Next(kPiece);
            if (listing_->Done()) {   // the last piece goes out together with what follows it
                piece += then_;
                then_.clear();
                listing_.reset();
            }
            Send(piece);
        }
        std::string line;
        const bool keyWanted = !finished_ && !Busy() && dialogue_.WantsKey();
        if (keyWanted && !input_.empty()) {
            const char key = input_.front();
            input_.erase(0, 1);
            Perform(dialogue_.Key(key));
            again_ = true;
        } else if (!finished_ && !Busy() && !keyWanted && NextLine(line)) {
            Perform(dialogue_.Line(line));
            again_ = true;
        } else if (!finished_ && (hangUp_ || peerClosed_) && !listing_ && !waiting_ && !splitting_ && Drained()) {
            Finish();
        }
    } while (again_ && !finished_);
    advancing_ = false;
}

// The next whole line of input, without its line ending. A line longer than
// kMaxLine is answered at once and skipped up to its end.
bool Session::NextLine(std::string& line) {
    for (;;) {
        const size_t end = input_.find('\n');
        const size_t length = end == std::string::npos ? input_.size() : end;
        if (skipping_) {
            input_.erase(0, end == std::string::npos ? input_.size() : end + 1);
            if (end == std::string::npos) return false;
            skipping_ = false;
            continue;
        }
        // Measured without its line ending; an unfinished line may still end in CR.
        const bool endsInCR = end != std::string::npos && end > 0 && input_[end - 1] == '\r';
        const size_t allowed = end == std::string::npos ? kMaxLine + 1 : kMaxLine;
        if (length - (endsInCR ? 1 : 0) > allowed) {
            skipping_ = true;
            Perform(dialogue_.LineTooLong(kMaxLine));
            if (finished_ || Busy()) return false;
            continue;
        }
        if (end == std::string::npos) return false;
        line.assign(input_, 0, end);
        input_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }
}

void Session::Perform(const Answer& answer) {
    Send(answer.text);
    then_ = answer.then;
    if (answer.listing >= 0) {
        listing_ = std::make_unique<ConfigText>(answer.listing);
    } else if (answer.waitSeconds >= 0) {
        waiting_ = true;
        owner_.StartWait(*this, static_cast<uint32_t>(answer.waitSeconds) * 1000u);
    }
    hangUp_ = hangUp_ || answer.hangUp;
}

void Session::Send(const std::string& text) {
    if (finished_ || text.empty() || !CanSend()) return;
    if (static_cast<size_t>(socket_->BytesWaitingToSend()) + text.size() > kMaxWaitingOutput) {
        Finish("closed: more than " + std::to_string(kMaxWaitingOutput) + " bytes of output waiting");
        return;
    }
    const std::string_view prompt = Dialogue::kShellPrompt;
    if (splitPromptMs_ > 0 && !splitting_ && text.size() >= prompt.size() &&
        text.compare(text.size() - prompt.size(), prompt.size(), prompt) == 0) {
        // The prompt's second half follows after the pause (WaitOver).
        const size_t cut = text.size() - prompt.size() / 2;
        socket_->SendData(VbVariant(Wire(text.substr(0, cut))));
        promptRest_ = text.substr(cut);
        splitting_ = true;
        owner_.StartWait(*this, splitPromptMs_);
        return;
    }
    socket_->SendData(VbVariant(Wire(text)));
}

void Session::Finish(const std::string& why) {
    if (finished_) return;
    finished_ = true;
    if (!why.empty()) owner_.LogLine("session " + std::to_string(id_) + ": " + why);
    CloseSocket();
    owner_.Release(*this);
}
