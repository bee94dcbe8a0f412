// Reading a script's arguments without running it. The runner reads the
// arguments of its lines through the same functions, so a script that
// passes the check meets no "bad argument" ending (connections and hosts
// aside), and one rule never lives in two places.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "script/session_socket.h"

namespace scriptcheck {

// The command word of a cleaned line (its first space-separated word), in
// ASCII upper case.
std::string CommandWord(std::string_view line);

// An SSH line's second word, user@name (split at the last "@"). Throws
// VbError 42008 "SSH needs user@name" when either part is empty.
struct SshTarget {
    std::string user;
    std::string host;
};
SshTarget ParseSshTarget(std::string_view word);

// A TELNET line's mode: exactly one more word, ON, OFF or AUTO (any case).
// Throws VbError 5 otherwise.
SessionOptions::Telnet ParseTelnetMode(std::string_view line);

// One line the runner would not run: the 1-based line number and the message.
struct Finding {
    int32_t line = 0;
    std::string message;
};

// Every line of the script text that would end a run as "Unrecognised
// command" or with an error about its arguments ("Error N: description").
std::vector<Finding> CheckScript(std::string text);

}  // namespace scriptcheck
