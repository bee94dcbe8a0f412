// The demo host's own small telnet reader, for --telnet sessions. It takes
// the telnet commands out of what a client sends and keeps the client's
// answers to the options the host offered, so the session can tell when the
// negotiation is over. It only listens: what to send is the session's
// business (session.cpp).
#pragma once

#include <map>
#include <string>

class TelnetAnswers {
public:
    static constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
    static constexpr unsigned char ECHO = 1, SGA = 3, TTYPE = 24, NAWS = 31;

    // What the host sends first, as a router does: it will echo and suppress
    // go-ahead, and asks for the terminal type and the window size.
    static std::string Offer();
    // Asks for the terminal type (after the client's WILL TTYPE).
    static std::string TerminalTypeSend();
    // The text with each 255 byte doubled, as telnet data.
    static std::string Escape(const std::string& text);

    // Takes the next received bytes (a command may be split anywhere) and
    // returns their data bytes: IAC IAC is one 255 byte, every other command
    // is taken out and noted.
    std::string Feed(const std::string& bytes);

    bool HeardAnything() const { return heard_; }
    // Whether the client said WILL TTYPE and the host has not asked yet.
    bool TerminalTypeToAsk() const;
    void TerminalTypeAsked() { ttypeAsked_ = true; }
    // Every offered option has its answer, and the terminal type is known
    // unless the client refused to give one.
    bool Complete() const;
    // The answers in the order of the offer, e.g.
    // "DO ECHO, DO SGA, WILL TTYPE, WONT NAWS; terminal VT100".
    std::string Summary() const;

private:
    enum class State { Data, Command, Option, Sub, SubCommand };
    void SubnegotiationOver();

    State state_ = State::Data;
    unsigned char verb_ = 0;
    std::string sub_;                              // the subnegotiation being read (bounded)
    std::map<unsigned char, unsigned char> answers_;   // option -> the client's last DO/DONT/WILL/WONT
    std::string terminal_;
    bool haveTerminal_ = false;
    bool ttypeAsked_ = false;
    bool heard_ = false;
};
