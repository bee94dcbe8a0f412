#include "script/session_log.h"

#include <unistd.h>

#include <cerrno>

#include "platform/os.h"

namespace sessionlog {

int AppendOutputLine(const std::string& path, std::string_view text, bool clear) {
    if (path.empty()) return 0;
    const int fd = os::OpenForAppend(path, clear, /*blocking=*/false);
    if (fd < 0) return errno;
    int err = os::WriteParts(fd, text, "\r\n");
    if (::close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
    return err;
}

}  // namespace sessionlog
