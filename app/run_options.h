// The option form of the command line: varnel [OPTIONS] SCRIPT, read with
// getopt_long. It is chosen when there is at least one argument and none of
// them starts with /r:, /o:, /keep or /hidden (ASCII case-insensitive, after
// any spaces); otherwise the /r: form runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "script/session_socket.h"

namespace cmdline {

// The arguments (argv[1..]) pick the option form.
bool IsOptionForm(int argc, const char* const* argv);

struct RunOptions {
    std::string script;           // the script's path as given; "-": standard input
    std::string output;           // -o FILE; empty: the transcript goes to standard output
    bool append = false;          // -a: keep the output file and append to it
    bool window = false;          // -w: run in the window
    bool check = false;           // -n: check the script, connect nowhere
    bool quiet = false;           // -q: no transcript on standard output
    bool help = false;            // -h
    bool version = false;         // -V
    std::optional<int32_t> timeout;                   // -t S, whole seconds
    std::optional<SessionOptions::Telnet> telnet;     // --telnet on|off|auto
    std::optional<int32_t> settle;                    // --settle S, whole seconds
    std::optional<std::string> socketLog;             // --socket-log FILE
};

// Reads the arguments into options. False on a bad option or argument, with
// the one-line message for standard error in error (without a line break).
bool ParseRunOptions(int argc, const char* const* argv, RunOptions& options, std::string& error);

}  // namespace cmdline
