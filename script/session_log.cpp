#include "script/session_log.h"

#include <unistd.h>

#include <cerrno>

#include "platform/os.h"

namespace sessionlog {

namespace {

// Opens path for appending (started afresh with clear), writes first and
// second, and closes it. Returns 0 or the errno of the failure.
int AppendParts(const std::string& path, std::string_view first, std::string_view second, bool clear) {
    if (path.empty()) return 0;
    const int fd = os::OpenForAppend(path, clear, /*blocking=*/false);
    if (fd < 0) return errno;
    int err = first.empty() && second.empty() ? 0 : os::WriteParts(fd, first, second);
    if (::close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
    return err;
}

}  // namespace

int WriteLine(int fd, std::string_view text) { return os::WriteParts(fd, text, "\r\n"); }

int AppendOutputLine(const std::string& path, std::string_view text, bool clear) {
    return AppendParts(path, text, "\r\n", clear);
}

int AppendOutputBytes(const std::string& path, std::string_view bytes, bool clear) {
    return AppendParts(path, bytes, std::string_view(), clear);
}

}  // namespace sessionlog
