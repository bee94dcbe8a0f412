#include "script/session_log.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace sessionlog {

void AppendOutputLine(const std::string& path, std::string_view text, bool clear) {
    if (path.empty()) return;
    if (clear) ::unlink(path.c_str());  // a missing file is not an error
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return;
    static const char kCrLf[2] = {'\r', '\n'};
    iovec parts[2] = {{const_cast<char*>(text.data()), text.size()},
                      {const_cast<char*>(kCrLf), sizeof kCrLf}};
    iovec* next = parts;
    int count = 2;
    while (count > 0) {
        ssize_t wrote = ::writev(fd, next, count);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) break;  // disk full or another failure: the line is lost
        size_t left = static_cast<size_t>(wrote);
        while (count > 0 && left >= next->iov_len) {
            left -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
    ::close(fd);
}

}  // namespace sessionlog
