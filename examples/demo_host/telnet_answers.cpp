#include "telnet_answers.h"

namespace {

constexpr size_t kMaxSub = 64;   // longer subnegotiations are read but not kept

std::string Bytes(std::initializer_list<unsigned char> bytes) { return std::string(bytes.begin(), bytes.end()); }

const char* VerbName(unsigned char verb) {
    switch (verb) {
    case TelnetAnswers::DO: return "DO";
    case TelnetAnswers::DONT: return "DONT";
    case TelnetAnswers::WILL: return "WILL";
    default: return "WONT";
    }
}

}  // namespace

std::string TelnetAnswers::Offer() {
    return Bytes({IAC, WILL, ECHO, IAC, WILL, SGA, IAC, DO, TTYPE, IAC, DO, NAWS});
}

std::string TelnetAnswers::TerminalTypeSend() { return Bytes({IAC, SB, TTYPE, 1, IAC, SE}); }

std::string TelnetAnswers::Escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (static_cast<unsigned char>(c) == IAC) out += c;
    }
    return out;
}

std::string TelnetAnswers::Feed(const std::string& bytes) {
    std::string data;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        switch (state_) {
        case State::Data:
            if (b == IAC) state_ = State::Command;
            else data += c;
            break;
        case State::Command:   // after IAC
            heard_ = true;
            state_ = State::Data;
            if (b == IAC) {
                data += c;
            } else if (b >= WILL && b <= DONT) {
                verb_ = b;
                state_ = State::Option;
            } else if (b == SB) {
                sub_.clear();
                state_ = State::Sub;
            }
            break;   // any other command (NOP, GA, ...) is dropped
        case State::Option:
            answers_[b] = verb_;
            state_ = State::Data;
            break;
        case State::Sub:
            if (b == IAC) state_ = State::SubCommand;
            else if (sub_.size() < kMaxSub) sub_ += c;
            break;
        case State::SubCommand:   // after IAC inside a subnegotiation
            if (b == SE) {
                SubnegotiationOver();
                state_ = State::Data;
            } else {
                if (b == IAC && sub_.size() < kMaxSub) sub_ += c;   // IAC IAC: a 255 byte
                state_ = State::Sub;
            }
            break;
        }
    }
    return data;
}

// The one subnegotiation the host asks for: TTYPE IS name.
void TelnetAnswers::SubnegotiationOver() {
    if (sub_.size() >= 2 && static_cast<unsigned char>(sub_[0]) == TTYPE && sub_[1] == 0) {
        terminal_ = sub_.substr(2);
        haveTerminal_ = true;
    }
}

bool TelnetAnswers::TerminalTypeToAsk() const {
    auto it = answers_.find(TTYPE);
    return !ttypeAsked_ && it != answers_.end() && it->second == WILL;
}

bool TelnetAnswers::Complete() const {
    for (unsigned char option : {ECHO, SGA, TTYPE, NAWS}) {
        if (answers_.count(option) == 0) return false;
    }
    return answers_.at(TTYPE) != WILL || haveTerminal_;
}

std::string TelnetAnswers::Summary() const {
    const std::pair<unsigned char, const char*> offered[] = {{ECHO, "ECHO"}, {SGA, "SGA"}, {TTYPE, "TTYPE"},
                                                             {NAWS, "NAWS"}};
    std::string text;
    for (const auto& [option, name] : offered) {
        auto it = answers_.find(option);
        text += std::string(text.empty() ? "" : ", ") + (it == answers_.end() ? "no answer to" : VerbName(it->second)) +
                " " + name;
    }
    return text + "; terminal " + (haveTerminal_ ? terminal_ : "unknown");
}
