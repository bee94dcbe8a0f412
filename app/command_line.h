// Functions of the start-up code: the command-line text, hidden-mode
// detection, the program's folder and the resolution of bare names.
#pragma once

#include <string>
#include <string_view>

namespace cmdline {

// The command-line text: the program's arguments joined by single spaces.
std::string JoinArguments(int argc, const char* const* argv);

// Hidden mode: the text is longer than "/hidden" and ends with it exactly
// (case-sensitive). The word is then cut off and spaces are trimmed from
// both ends of what remains.
bool TakeHiddenSwitch(std::string& commandLine);

// The folder of the running executable (from /proc/self/exe), without a
// trailing "/"; "." if it cannot be found.
std::string ProgramFolder();

// A bare name holds neither "/" nor "\"; it resolves against the program's
// folder. Any other name is used as written (relative to the current folder).
bool IsBareName(std::string_view name);
std::string ResolveName(const std::string& appPath, const std::string& name);

// An ordinary file exists at path (a regular file, or a link to one).
bool IsOrdinaryFile(const std::string& path);

// Both paths name the same existing file (after following links).
bool SameFile(const std::string& a, const std::string& b);

// The six lines of the usage message joined by separator.
std::string UsageText(std::string_view separator);

// The text printed for --help (the option form first, then the /r: form) and --version.
std::string HelpText();
std::string VersionText();

}  // namespace cmdline
