#include "script/script_text.h"

#include <cmath>
#include <cstdlib>

#include "platform/vb_error.h"
#include "script/mod_misc.h"

namespace scripttext {

std::string CleanLine(std::string_view line) {
    std::string out(line);
    for (char& c : out) {
        if (c == '\t') c = ' ';
    }
    size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    size_t last = out.find_last_not_of(' ');
    return out.substr(first, last - first + 1);
}

std::string GetQuotedText(std::string_view line, std::string_view quote) {
    int32_t start = 1;
    std::string t = modMisc::GetBetween(quote, quote, line, start, false, true);
    if (t.find('\\') == std::string::npos) return t;
    t = modMisc::ReplaceText(t, "\\n", "\r\n", false);
    return modMisc::ReplaceText(t, "\\\"", "\"", true);
}

uint32_t DelayMilliseconds(std::string_view word) {
    // The leading number: optional sign, digits, optional point and digits.
    size_t i = 0;
    std::string number;
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) number += word[i++];
    bool digits = false;
    while (i < word.size() && word[i] >= '0' && word[i] <= '9') {
        number += word[i++];
        digits = true;
    }
    if (i < word.size() && word[i] == '.') {
        number += word[i++];
        while (i < word.size() && word[i] >= '0' && word[i] <= '9') {
            number += word[i++];
            digits = true;
        }
    }
    double value = digits ? std::strtod(number.c_str(), nullptr) : 0.0;
    // std::nearbyint rounds in the default mode: to nearest, ties to even.
    double rounded = std::nearbyint(value);
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) {
        throw VbError(6, "frmMain.RunNextLine", "Overflow");
    }
    int64_t product = static_cast<int64_t>(rounded) * 1000;
    if (product < INT32_MIN || product > INT32_MAX) throw VbError(6, "frmMain.RunNextLine", "Overflow");
    return product < 0 ? 0u : static_cast<uint32_t>(product);
}

void ScriptLines::Assign(std::string text) {
    text_ = std::move(text);
    lastLine_ = -1;
    if (!text_.empty()) {
        int64_t breaks = 0;
        for (char c : text_) breaks += (c == '\n');
        lastLine_ = static_cast<int32_t>(breaks > INT32_MAX - 1 ? INT32_MAX - 1 : breaks);
    }
    cachedIndex_ = -1;
    cachedStart_ = cachedEnd_ = nextStart_ = 0;
}

void ScriptLines::Clear() { Assign(std::string()); }

std::string_view ScriptLines::Line(int32_t index) {
    if (index < 0 || index > lastLine_) return std::string_view();
    if (index < cachedIndex_) {
        cachedIndex_ = -1;
        nextStart_ = 0;
    }
    while (cachedIndex_ < index) {
        size_t start = nextStart_;
        size_t lf = text_.find('\n', start);
        size_t end = (lf == std::string::npos) ? text_.size() : lf;
        nextStart_ = (lf == std::string::npos) ? text_.size() : lf + 1;
        if (lf != std::string::npos && end > start && text_[end - 1] == '\r') --end;
        cachedStart_ = start;
        cachedEnd_ = end;
        ++cachedIndex_;
    }
    return std::string_view(text_).substr(cachedStart_, cachedEnd_ - cachedStart_);
}

}  // namespace scripttext

namespace scripttext {

int32_t LimitSeconds(std::string_view word) {
    const size_t point = word.find('.');
    const std::string_view whole = word.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : word.substr(point + 1);
    const auto digitsOnly = [](std::string_view s) { return s.find_first_not_of("0123456789") == std::string_view::npos; };
    if ((whole.empty() && fraction.empty()) || !digitsOnly(whole) || !digitsOnly(fraction))
        throw VbError(5, "frmMain.RunNextLine", "Invalid procedure call or argument");
    // Read digit by digit, so any length is exact and nothing can wrap.
    int64_t seconds = 0;
    for (char c : whole) {
        seconds = seconds * 10 + (c - '0');
        if (seconds > kMaxLimitSeconds) throw VbError(6, "frmMain.RunNextLine", "Overflow");
    }
    if (fraction.find_first_not_of('0') != std::string_view::npos) ++seconds;  // never shorter than asked
    if (seconds > kMaxLimitSeconds) throw VbError(6, "frmMain.RunNextLine", "Overflow");
    return static_cast<int32_t>(seconds);
}

}  // namespace scripttext
