// The dialogue lines of a script: WAIT with alternatives, ON, FAIL and
// CAPTURE. Each parse function reads one cleaned line, validates it and
// returns what it asks for, without running anything; it throws the same
// VbError that running the line would, so a checker can report bad lines
// without connecting. %env:NAME% placeholders are replaced here (an unset
// variable is an error of the line).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dialogue {

// At most this many responders (ON lines) are active at a time.
constexpr size_t kMaxResponders = 32;
// The error of an ON line that would make one responder too many.
constexpr int32_t kErrTooManyResponders = 43002;

// WAIT "a" [OR "b" ...]: the texts, at least one. A line that is not exactly
// quoted texts joined by OR words keeps the one text between its first and
// last quote, as it always has (so OR inside quotes stays text).
std::vector<std::string> ParseWait(std::string_view line);

// ON "text" SEND "reply" sets a responder; ON "text" alone removes it
// (remove is set, reply empty). An empty text or anything else after the
// text is error 5.
struct OnLine {
    std::string text;
    std::string reply;
    bool remove = false;
};
OnLine ParseOn(std::string_view line);

// FAIL "text": the text (not empty, else error 5).
std::string ParseFail(std::string_view line);

// CAPTURE "file" gives the path; CAPTURE OFF gives an empty text. A missing
// or empty path is error 5.
std::string ParseCapture(std::string_view line);

}  // namespace dialogue
