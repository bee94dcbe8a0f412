#include "script/env_text.h"

#include <cstdlib>

#include "platform/vb_error.h"

namespace envtext {

namespace {

constexpr std::string_view kOpen = "%env:";

bool NameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool NameChar(char c) { return NameStart(c) || (c >= '0' && c <= '9'); }

// The placeholder at pos (text[pos..] starts with %env:): the length of the
// whole placeholder, 0 when it is not one; name receives NAME.
size_t PlaceholderAt(std::string_view text, size_t pos, std::string_view& name) {
    size_t i = pos + kOpen.size();
    if (i >= text.size() || !NameStart(text[i])) return 0;
    while (i < text.size() && NameChar(text[i])) ++i;
    if (i >= text.size() || text[i] != '%') return 0;
    name = text.substr(pos + kOpen.size(), i - pos - kOpen.size());
    return i + 1 - pos;
}

}  // namespace

std::string Expand(std::string_view text) {
    size_t pos = text.find(kOpen);
    if (pos == std::string_view::npos) return std::string(text);
    std::string out;
    size_t done = 0;
    for (; pos != std::string_view::npos; pos = text.find(kOpen, pos)) {
        std::string_view name;
        const size_t length = PlaceholderAt(text, pos, name);
        if (length == 0) {
            ++pos;
            continue;
        }
        const char* value = std::getenv(std::string(name).c_str());
        if (value == nullptr)
            throw VbError(kErrUnset, "frmMain.RunNextLine", "Environment variable " + std::string(name) + " is not set");
        out.append(text.substr(done, pos - done));
        out.append(value);
        pos += length;
        done = pos;
    }
    out.append(text.substr(done));
    return out;
}

bool HasPlaceholder(std::string_view text) {
    for (size_t pos = text.find(kOpen); pos != std::string_view::npos; pos = text.find(kOpen, pos + 1)) {
        std::string_view name;
        if (PlaceholderAt(text, pos, name) != 0) return true;
    }
    return false;
}

}  // namespace envtext
