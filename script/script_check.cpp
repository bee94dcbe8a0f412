#include "script/script_check.h"

#include "platform/vb_error.h"
#include "script/dialogue_lines.h"
#include "script/mod_misc.h"
#include "script/script_text.h"

namespace scriptcheck {

namespace {

// An SSH line whose second word is not user@name (the SSH numbers are 42001-42099).
constexpr int32_t kErrSshTarget = 42008;

std::string Word(std::string_view line, int16_t n) { return modMisc::GetWord(line, " ", n); }

// The argument checks, one per command; each throws the VbError the runner
// would end with. A command without arguments to read has none.
using ArgumentCheck = void (*)(std::string_view line);

void QuotedText(std::string_view line) { scripttext::GetQuotedText(line); }
void DelayValue(std::string_view line) { scripttext::DelayMilliseconds(Word(line, 2)); }
void TimeoutValue(std::string_view line) { scripttext::LimitSeconds(Word(line, 2)); }
void SshLine(std::string_view line) { ParseSshTarget(Word(line, 2)); }
void TelnetLine(std::string_view line) { ParseTelnetMode(line); }
void WaitLine(std::string_view line) { dialogue::ParseWait(line); }
void OnLine(std::string_view line) { dialogue::ParseOn(line); }
void FailLine(std::string_view line) { dialogue::ParseFail(line); }
void CaptureLine(std::string_view line) { dialogue::ParseCapture(line); }

struct Command {
    std::string_view word;   // the command word, upper case
    ArgumentCheck check;     // nullptr: nothing to check
};

// Every command the runner knows. A new command is one more entry.
constexpr Command kCommands[] = {
    {"HOST", nullptr},       {"SSH", SshLine},          {"SEND", QuotedText},   {"WAIT", WaitLine},
    {"ECHO", QuotedText},    {"DELAY", DelayValue},     {"TIMEOUT", TimeoutValue}, {"SETTLE", DelayValue},
    {"TELNET", TelnetLine},  {"ON", OnLine},            {"FAIL", FailLine},     {"CAPTURE", CaptureLine},
    {"#", nullptr},          {"", nullptr},  // a comment and an empty line
};

}  // namespace

std::string CommandWord(std::string_view line) {
    std::string word = Word(line, 1);
    for (char& c : word) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return word;
}

SshTarget ParseSshTarget(std::string_view word) {
    const size_t at = word.rfind('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == word.size())
        throw VbError(kErrSshTarget, "frmMain.RunNextLine", "SSH needs user@name");
    return {std::string(word.substr(0, at)), std::string(word.substr(at + 1))};
}

SessionOptions::Telnet ParseTelnetMode(std::string_view line) {
    const std::string mode = CommandWord(Word(line, 2));
    if (Word(line, 3).empty()) {
        if (mode == "ON") return SessionOptions::Telnet::On;
        if (mode == "OFF") return SessionOptions::Telnet::Off;
        if (mode == "AUTO") return SessionOptions::Telnet::Auto;
    }
    throw VbError(5, "frmMain.RunNextLine", "Invalid procedure call or argument");
}

std::vector<Finding> CheckScript(std::string text) {
    std::vector<Finding> findings;
    scripttext::ScriptLines lines;
    lines.Assign(std::move(text));
    for (int32_t i = 0; i <= lines.LastLine(); ++i) {
        const std::string line = scripttext::CleanLine(lines.Line(i));
        const std::string command = CommandWord(line);
        const Command* known = nullptr;
        for (const Command& c : kCommands) {
            if (c.word == command) known = &c;
        }
        if (known == nullptr) {
            findings.push_back({i + 1, "Unrecognised command"});
            continue;
        }
        if (known->check == nullptr) continue;
        try {
            known->check(line);
        } catch (const VbError& e) {
            findings.push_back({i + 1, "Error " + std::to_string(e.Number) + ": " + e.Description});
        }
    }
    return findings;
}

}  // namespace scriptcheck
