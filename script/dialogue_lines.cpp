#include "script/dialogue_lines.h"

#include "platform/vb_error.h"
#include "script/env_text.h"
#include "script/mod_misc.h"
#include "script/script_text.h"

namespace dialogue {

namespace {

[[noreturn]] void BadArgument() { throw VbError(5, "frmMain.RunNextLine", "Invalid procedure call or argument"); }

bool StartsWithWord(std::string_view text, std::string_view word) {
    return text.size() > word.size() && text[word.size()] == ' ' &&
           modMisc::FindText(text.substr(0, word.size()), word, 0, false) == 0;
}

std::string_view SkipSpaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    return text;
}

// The quoted text at the start of text ("...", where \" does not close it):
// its raw inside, with text advanced past the closing quote. False when text
// does not start with a quote or the quote is not closed.
bool TakeQuoted(std::string_view& text, std::string_view& inside) {
    if (text.empty() || text.front() != '"') return false;
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
            continue;
        }
        if (text[i] == '"') {
            inside = text.substr(1, i - 1);
            text.remove_prefix(i + 1);
            return true;
        }
    }
    return false;
}

// A raw quoted inside with the usual escapes applied, then placeholders.
std::string Unquote(std::string_view inside) {
    return envtext::Expand(scripttext::GetQuotedText("\"" + std::string(inside) + "\""));
}

// The text after the first word of the line.
std::string_view Arguments(std::string_view line) {
    const size_t space = line.find(' ');
    return space == std::string_view::npos ? std::string_view() : SkipSpaces(line.substr(space + 1));
}

}  // namespace

std::vector<std::string> ParseWait(std::string_view line) {
    std::string_view rest = Arguments(line);
    std::vector<std::string_view> pieces;
    std::string_view inside;
    bool alternatives = false;
    while (TakeQuoted(rest, inside)) {
        pieces.push_back(inside);
        rest = SkipSpaces(rest);
        if (rest.empty()) {
            alternatives = pieces.size() > 1;
            break;
        }
        if (!StartsWithWord(rest, "OR")) break;
        rest = SkipSpaces(rest.substr(2));
    }
    std::vector<std::string> texts;
    if (alternatives) {
        for (std::string_view piece : pieces) texts.push_back(Unquote(piece));
    } else {
        texts.push_back(envtext::Expand(scripttext::GetQuotedText(line)));
    }
    return texts;
}

OnLine ParseOn(std::string_view line) {
    std::string_view rest = Arguments(line);
    std::string_view inside;
    if (!TakeQuoted(rest, inside)) BadArgument();
    OnLine on;
    on.text = Unquote(inside);
    if (on.text.empty()) BadArgument();
    rest = SkipSpaces(rest);
    if (rest.empty()) {
        on.remove = true;
        return on;
    }
    if (!StartsWithWord(rest, "SEND")) BadArgument();
    rest = SkipSpaces(rest.substr(4));
    if (rest.empty() || rest.front() != '"' || rest.back() != '"' || rest.size() < 2) BadArgument();
    on.reply = envtext::Expand(scripttext::GetQuotedText(rest));
    return on;
}

std::string ParseFail(std::string_view line) {
    std::string text = envtext::Expand(scripttext::GetQuotedText(line));
    if (text.empty()) BadArgument();
    return text;
}

std::string ParseCapture(std::string_view line) {
    std::string_view rest = Arguments(line);
    if (rest.size() == 3 && modMisc::FindText(rest, "OFF", 0, false) == 0) return std::string();
    if (rest.empty() || rest.front() != '"') BadArgument();
    std::string path = envtext::Expand(scripttext::GetQuotedText(rest));
    if (path.empty()) BadArgument();
    return path;
}

}  // namespace dialogue
