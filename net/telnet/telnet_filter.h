// The telnet protocol on a byte stream, with no socket and no script in
// sight: a TelnetFilter is fed the bytes received from the host, block by
// block as they come, and gives back the data bytes they carry and the bytes
// to send back to answer the host's option negotiation. Commands may be split
// anywhere between blocks; the filter keeps what it needs across calls.
//
// Received: IAC IAC is one 255 data byte; CR NUL is a bare CR; DO, DONT,
// WILL and WONT are answered by the options table below; a subnegotiation
// (IAC SB ... IAC SE, any length) is taken out, and TERMINAL-TYPE SEND is
// answered with IS "VT100"; every other command (NOP, GA, AYT, ...) is
// dropped.
//
// Options, one state per side (ours and the host's), answered so that a
// request that would not change the state gets no answer (so no loops):
//   host WILL ECHO, WILL SGA       -> DO     (the host echoes, no go-aheads)
//   host WILL anything else        -> DONT
//   host DO SGA, DO TERMINAL-TYPE  -> WILL
//   host DO anything else          -> WONT
//   host WONT / DONT of an enabled option -> DONT / WONT, option off.
// An option refused once stays refused: asking for it again gets no answer,
// so a host that repeats a request it cannot have costs us nothing.
// We never ask for an option first.
//
// TelnetEncode prepares outgoing data: each 255 byte is doubled, nothing else
// is changed.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace telnet {

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t OPT_ECHO = 1, OPT_SGA = 3, OPT_TTYPE = 24;
constexpr uint8_t TTYPE_IS = 0, TTYPE_SEND = 1;
// The terminal type we report.
inline constexpr std::string_view kTerminalType = "VT100";

// At most this many bytes of answers may wait for a host that does not read
// them; a host that asks for more is ended with this error.
constexpr size_t kMaxQueuedAnswers = 64 * 1024;
constexpr int32_t ErrTelnetAnswersNotRead = 41001;
inline constexpr const char* kDescAnswersNotRead = "Telnet negotiation answers not read by the host";

class TelnetFilter {
public:
    // Parses one received block: appends its data bytes to data and the
    // bytes to send back (if any) to replies.
    void Receive(std::string_view block, std::string& data, std::string& replies);

    // The negotiated state: true when the host has agreed to perform the
    // option (its WILL accepted), or when we perform it (our WILL accepted).
    bool HostEnabled(uint8_t option) const { return host_[option]; }
    bool LocalEnabled(uint8_t option) const { return local_[option]; }

private:
    enum class State { Data, Iac, Option, Sub, SubIac };

    void Negotiate(uint8_t verb, uint8_t option, std::string& replies);
    void EndSubnegotiation(std::string& replies);

    State state_ = State::Data;
    uint8_t verb_ = 0;         // the DO/DONT/WILL/WONT awaiting its option byte
    bool afterCr_ = false;     // the last data byte was a CR
    std::string sub_;          // the start of the current subnegotiation's body
    std::array<bool, 256> host_{};
    std::array<bool, 256> local_{};
    std::array<bool, 256> hostRefused_{};   // the host's WILL was answered with DONT
    std::array<bool, 256> localRefused_{};  // the host's DO was answered with WONT
};

// Outgoing data with each 255 byte doubled.
std::string TelnetEncode(std::string_view data);

}  // namespace telnet
