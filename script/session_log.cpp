#include "script/session_log.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace sessionlog {

namespace {

// Extra open flags for clearing: a regular file is deleted first (a missing
// file is fine); a link to a regular file is emptied through the link.
int PrepareClear(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return 0;
    if (S_ISREG(st.st_mode)) {
        ::unlink(path.c_str());
        return 0;
    }
    if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return O_TRUNC;
    return 0;
}

// Writes every part; EAGAIN (a full pipe opened without blocking) waits
// until the reader has taken some. Returns 0 or the errno of the failure.
int WriteAll(int fd, iovec* next, int count) {
    while (count > 0) {
        ssize_t wrote = ::writev(fd, next, count);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, -1) < 0 && errno != EINTR) return errno;
                continue;
            }
            return errno;
        }
        if (wrote == 0) return EIO;
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
    return 0;
}

}  // namespace

namespace {

int AppendParts(const std::string& path, iovec* parts, int count, bool clear) {
    if (path.empty()) return 0;
    const int extra = clear ? PrepareClear(path) : 0;
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | extra, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    int err = WriteAll(fd, parts, count);
    if (::close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
    return err;
}

}  // namespace

int WriteLine(int fd, std::string_view text) {
    static const char kCrLf[2] = {'\r', '\n'};
    iovec parts[2] = {{const_cast<char*>(text.data()), text.size()},
                      {const_cast<char*>(kCrLf), sizeof kCrLf}};
    return WriteAll(fd, parts, 2);
}

int AppendOutputLine(const std::string& path, std::string_view text, bool clear) {
    static const char kCrLf[2] = {'\r', '\n'};
    iovec parts[2] = {{const_cast<char*>(text.data()), text.size()},
                      {const_cast<char*>(kCrLf), sizeof kCrLf}};
    return AppendParts(path, parts, 2, clear);
}

int AppendOutputBytes(const std::string& path, std::string_view bytes, bool clear) {
    iovec part{const_cast<char*>(bytes.data()), bytes.size()};
    return AppendParts(path, &part, bytes.empty() ? 0 : 1, clear);
}

}  // namespace sessionlog
