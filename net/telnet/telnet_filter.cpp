#include "net/telnet/telnet_filter.h"

namespace telnet {

namespace {

constexpr uint8_t CR = 13;
// Only the first bytes of a subnegotiation matter to us (option, command);
// the rest is skipped, so a host cannot make us store an endless one.
constexpr size_t kSubKept = 64;

bool HostMayEnable(uint8_t option) { return option == OPT_ECHO || option == OPT_SGA; }
bool WeMayEnable(uint8_t option) { return option == OPT_SGA || option == OPT_TTYPE; }

void Command(std::string& out, uint8_t verb, uint8_t option) {
    out += static_cast<char>(IAC);
    out += static_cast<char>(verb);
    out += static_cast<char>(option);
}

}  // namespace

void TelnetFilter::Receive(std::string_view block, std::string& data, std::string& replies) {
    for (char ch : block) {
        const auto c = static_cast<uint8_t>(ch);
        switch (state_) {
        case State::Data:
            if (c == IAC) {
                state_ = State::Iac;
            } else if (!(c == 0 && afterCr_)) {
                data += ch;
            }
            afterCr_ = c == CR;
            break;
        case State::Iac:
            state_ = State::Data;
            if (c == IAC) {
                data += ch;
            } else if (c >= WILL && c <= DONT) {
                verb_ = c;
                state_ = State::Option;
            } else if (c == SB) {
                sub_.clear();
                state_ = State::Sub;
            }  // any other command is dropped
            break;
        case State::Option:
            Negotiate(verb_, c, replies);
            state_ = State::Data;
            break;
        case State::Sub:
            if (c == IAC) {
                state_ = State::SubIac;
            } else if (sub_.size() < kSubKept) {
                sub_ += ch;
            }
            break;
        case State::SubIac:
            if (c == IAC) {  // a doubled 255 inside the subnegotiation
                if (sub_.size() < kSubKept) sub_ += ch;
                state_ = State::Sub;
            } else {
                // SE ends it; any other command ends a subnegotiation whose
                // SE never came and is then taken as that command.
                EndSubnegotiation(replies);
                state_ = State::Data;
                if (c != SE) {
                    state_ = State::Iac;
                    Receive(std::string_view(&ch, 1), data, replies);
                }
            }
            break;
        }
    }
}

void TelnetFilter::Negotiate(uint8_t verb, uint8_t option, std::string& replies) {
    switch (verb) {
    case WILL:
        if (host_[option] || hostRefused_[option]) return;  // already on, or refused: no answer
        host_[option] = HostMayEnable(option);
        hostRefused_[option] = !host_[option];
        Command(replies, host_[option] ? DO : DONT, option);
        return;
    case WONT:
        if (!host_[option]) return;  // already off
        host_[option] = false;
        Command(replies, DONT, option);
        return;
    case DO:
        if (local_[option] || localRefused_[option]) return;
        local_[option] = WeMayEnable(option);
        localRefused_[option] = !local_[option];
        Command(replies, local_[option] ? WILL : WONT, option);
        return;
    case DONT:
        if (!local_[option]) return;
        local_[option] = false;
        Command(replies, WONT, option);
        return;
    }
}

void TelnetFilter::EndSubnegotiation(std::string& replies) {
    if (sub_.size() >= 2 && static_cast<uint8_t>(sub_[0]) == OPT_TTYPE &&
        static_cast<uint8_t>(sub_[1]) == TTYPE_SEND && local_[OPT_TTYPE]) {
        replies += static_cast<char>(IAC);
        replies += static_cast<char>(SB);
        replies += static_cast<char>(OPT_TTYPE);
        replies += static_cast<char>(TTYPE_IS);
        replies += kTerminalType;
        replies += static_cast<char>(IAC);
        replies += static_cast<char>(SE);
    }
    sub_.clear();
}

std::string TelnetEncode(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    for (char ch : data) {
        out += ch;
        if (static_cast<uint8_t>(ch) == IAC) out += ch;
    }
    return out;
}

}  // namespace telnet
