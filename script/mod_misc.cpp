#include "script/mod_misc.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/os.h"
#include "platform/vb_error.h"
#include "script/text_search.h"

namespace modMisc {

namespace {

// Case folding of the comparisons that ignore case: ASCII letters only, so
// every other byte compares exactly.
char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool HasLetter(std::string_view text) {
    for (char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
    }
    return false;
}

bool EqualAt(std::string_view text, size_t pos, std::string_view find, bool exact) {
    if (exact) return text.compare(pos, find.size(), find) == 0;
    for (size_t i = 0; i < find.size(); ++i) {
        if (Fold(text[pos + i]) != Fold(find[i])) return false;
    }
    return true;
}

// The file errors ReadWholeFile raises, numbered as the file statements of
// the original runtime number them.
[[noreturn]] void ThrowFileError(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR: throw VbError(53, "modMisc.ReadWholeFile", "File not found");
    case EACCES:
    case EPERM: throw VbError(70, "modMisc.ReadWholeFile", "Permission denied");
    case EISDIR: throw VbError(75, "modMisc.ReadWholeFile", "Path/File access error");
    case ENOMEM: throw VbError(7, "modMisc.ReadWholeFile", "Out of memory");
    default: throw VbError(57, "modMisc.ReadWholeFile", std::string("Device I/O error: ") + std::strerror(err));
    }
}

}  // namespace

size_t FindText(std::string_view text, std::string_view find, size_t from, bool exact) {
    if (from > text.size()) return std::string_view::npos;
    if (find.empty()) return from;
    if (exact || !HasLetter(find)) return text.find(find, from);
    if (find.size() > text.size()) return std::string_view::npos;
    for (size_t pos = from; pos + find.size() <= text.size(); ++pos) {
        if (EqualAt(text, pos, find, false)) return pos;
    }
    return std::string_view::npos;
}

size_t FindTextReverse(std::string_view text, std::string_view find, bool exact) {
    if (find.size() > text.size()) return std::string_view::npos;
    if (find.empty()) return text.size();
    if (exact || !HasLetter(find)) return text.rfind(find);
    for (size_t pos = text.size() - find.size() + 1; pos-- > 0;) {
        if (EqualAt(text, pos, find, exact)) return pos;
    }
    return std::string_view::npos;
}

std::string ReplaceText(std::string_view text, std::string_view find, std::string_view with, bool exact) {
    if (find.empty()) return std::string(text);
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (;;) {
        size_t hit = FindText(text, find, pos, exact);
        if (hit == std::string_view::npos) break;
        out.append(text.substr(pos, hit - pos));
        out.append(with);
        pos = hit + find.size();
    }
    out.append(text.substr(pos));
    return out;
}

std::string ReadWholeFile(const std::string& path) {
    const int fd = os::OpenForReading(path);
    if (fd < 0) ThrowFileError(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        ThrowFileError(err);
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        ThrowFileError(EISDIR);
    }
    std::string text;
    try {
        if (st.st_size > 0) text.reserve(static_cast<size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        ::close(fd);
        ThrowFileError(ENOMEM);
    }
    // Read to the end rather than trusting the size: files that report no
    // size (pipes, /proc) are read whole as well.
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int err = errno;
            ::close(fd);
            ThrowFileError(err);
        }
        if (got == 0) break;
        text.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return text;
}

std::string AddBackslash(const std::string& path) {
    if (!path.empty() && path.back() == '/') return path;
    return path + "/";
}

int32_t CountOccurrences(std::string_view text, std::string_view separator) {
    if (separator.empty()) return 0;
    int32_t count = 0;
    size_t pos = 0;
    for (;;) {
        size_t hit = text.find(separator, pos);
        if (hit == std::string_view::npos) break;
        pos = hit + 1;  // one past the hit: overlapping occurrences count
        ++count;
    }
    return count;
}

std::string GetWord(std::string_view text, std::string_view separator, int16_t n) {
    if (n < 1) return std::string();
    if (separator.empty()) return n == 1 ? std::string(text) : std::string();
    if (CountOccurrences(text, separator) < n - 1) return std::string();
    // The fields are searched in the text with one separator appended, so the
    // last field always finds its end.
    std::string padded;
    padded.reserve(text.size() + separator.size());
    padded.append(text);
    padded.append(separator);
    size_t searchPos = 0;
    size_t fieldStart = 0;
    size_t found = 0;
    for (int i = 0; i < n; ++i) {
        fieldStart = (i == 0) ? 0 : searchPos;
        found = padded.find(separator, searchPos);
        searchPos = found + separator.size();
    }
    return padded.substr(fieldStart, found - fieldStart);
}

bool ContainsText(std::string_view text, std::string_view find) {
    if (text.empty()) return false;
    return textsearch::ContainsFolded(text, find);
}

std::string GetBetween(std::string_view open, std::string_view close, std::string_view text,
                       int32_t& start, bool exact, bool fromEnd) {
    if (start == 0) start = 1;
    if (start < 0) throw VbError(5, "modMisc.GetBetween", "Invalid procedure call or argument");
    size_t openPos = FindText(text, open, static_cast<size_t>(start) - 1, exact);
    if (openPos == std::string_view::npos) return std::string();
    size_t c = openPos + open.size();
    size_t closePos = fromEnd ? FindTextReverse(text, close, exact) : FindText(text, close, c, exact);
    if (closePos == std::string_view::npos) return std::string();
    if (closePos < c) throw VbError(5, "modMisc.GetBetween", "Invalid procedure call or argument");
    return std::string(text.substr(c, closePos - c));
}

}  // namespace modMisc
