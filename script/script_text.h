// The script-side text operations of the main window: how a script text is
// cut into lines, how a line is cleaned, how its quoted argument is taken out
// and how a DELAY value is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace scripttext {

// Tabs become spaces, then spaces are trimmed at both ends. CR, LF and other
// control characters stay.
std::string CleanLine(std::string_view line);

// The text between the first and the last quote of the line (case-insensitive
// search, which makes no difference for a quote), with "\n" (either case)
// turned into CRLF, then backslash-quote into a quote. Throws VbError 5 when
// the line holds exactly one quote.
std::string GetQuotedText(std::string_view line, std::string_view quote = "\"");

// A DELAY word as milliseconds: the leading decimal number (optional sign and
// fraction, 0 if there is none), rounded to a signed 32-bit integer with ties
// to even, times 1000. Throws VbError 6 "Overflow" when the rounded value or
// the product does not fit in 32 bits. A negative result pauses 0 ms.
uint32_t DelayMilliseconds(std::string_view word);

// A time limit (TIMEOUT, VARNEL_TIMEOUT) as whole seconds. The word must be a
// plain decimal number: digits with an optional point and fraction, no sign,
// no exponent, nothing after it; anything else, a negative value included, is
// VbError 5 "Invalid procedure call or argument". A fraction rounds up, so a
// limit is never shorter than asked (0.4 is 1 second, 1.2 is 2); only a value
// of exactly 0 means no limit. Above kMaxLimitSeconds (after rounding up) it is
// VbError 6 "Overflow".
constexpr int32_t kMaxLimitSeconds = 2147483;
int32_t LimitSeconds(std::string_view word);

// A script text cut into lines. CRLF or a lone LF ends a line (a CR right
// before the LF belongs to the ending; a lone CR stays in the line). A break
// at the very end yields a last, empty line; an empty text has no lines.
// The lines are found on demand, so a script costs no memory per line; the
// runner reads them in order, which makes each access constant time.
class ScriptLines {
public:
    void Assign(std::string text);
    void Clear();
    // The highest line index: number of lines minus 1 (-1 for an empty text).
    int32_t LastLine() const { return lastLine_; }
    // Line number index (0-based, 0..LastLine()) without its line break. The
    // view stays valid until the next Assign or Clear.
    std::string_view Line(int32_t index);

private:
    std::string text_;
    int32_t lastLine_ = -1;
    // The line found last: its index, where it starts and ends, and where the next one starts.
    int32_t cachedIndex_ = -1;
    size_t cachedStart_ = 0;
    size_t cachedEnd_ = 0;
    size_t nextStart_ = 0;
};

}  // namespace scripttext
