// Environment placeholders in script texts: %env:NAME% stands for the value
// of the environment variable NAME when the line runs, so a password or a
// host name need not be written into the script file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace envtext {

// The error of a placeholder whose variable is not set.
constexpr int32_t kErrUnset = 43001;

// text with every %env:NAME% (NAME: a letter or underscore, then letters,
// digits and underscores) replaced by the variable's value. Anything else,
// a lone % or an unfinished placeholder included, stays as it is; a value is
// never read again for placeholders. Throws VbError kErrUnset "Environment
// variable NAME is not set" for a variable that is not set (an empty value
// is a value).
std::string Expand(std::string_view text);

// True when text holds at least one placeholder Expand would replace.
bool HasPlaceholder(std::string_view text);

}  // namespace envtext
