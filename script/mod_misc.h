// modMisc: the small text and file operations behind scripts. Text is bytes:
// one char per byte, positions 1-based where an operation takes a position.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace modMisc {

// The whole file as text. Throws VbError when the file cannot be opened or read.
std::string ReadWholeFile(const std::string& path);
// The path with a "/" appended unless it already ends in one ("" gives "/").
std::string AddBackslash(const std::string& path);
// How many times separator occurs in text (exact, overlapping occurrences count).
int32_t CountOccurrences(std::string_view text, std::string_view separator);
// The n-th field (from 1) of text split by separator (exact); empty if there are fewer.
std::string GetWord(std::string_view text, std::string_view separator, int16_t n);
// True if find occurs in text, case-insensitively; an empty find is in any non-empty text.
bool ContainsText(std::string_view text, std::string_view find);
// The text between the delimiters (see the implementation for the exact rules).
// start is 1-based, in/out. Throws VbError 5 when the closing delimiter lies
// before the end of the opening one.
std::string GetBetween(std::string_view open, std::string_view close, std::string_view text,
                       int32_t& start, bool exact, bool fromEnd);
// Search functions shared by the operations above and the runner. Positions are
// 0-based here; npos when not found. An empty find is found at 'from'.
size_t FindText(std::string_view text, std::string_view find, size_t from, bool exact);
// The last occurrence of find anywhere in text.
size_t FindTextReverse(std::string_view text, std::string_view find, bool exact);
// Every non-overlapping occurrence of find, left to right, replaced by with.
std::string ReplaceText(std::string_view text, std::string_view find, std::string_view with, bool exact);

}  // namespace modMisc
