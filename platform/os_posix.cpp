// The operating-system services of os.h on Linux.
#include "platform/os.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>

namespace os {

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

}  // namespace

std::string ExecutablePath() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::string();
    return std::string(path, static_cast<size_t>(length));
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    // Without HOME (cron, service managers), the password database knows it.
    const passwd* entry = ::getpwuid(::getuid());
    if (entry != nullptr && entry->pw_dir != nullptr) return entry->pw_dir;
    return std::string();
}

int OpenForAppend(const std::string& path, bool clear, bool blocking, int permissions) {
    const int extra = clear ? PrepareClear(path) : 0;
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | extra,
                    permissions);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && blocking) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int OpenForReading(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int OpenToInspect(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int ReadToEnd(int fd, std::string& text) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

// Writes every part; EAGAIN (a full pipe opened without blocking) waits
// until the reader has taken some.
int WriteParts(int fd, std::string_view first, std::string_view second) {
    iovec parts[2] = {{const_cast<char*>(first.data()), first.size()},
                      {const_cast<char*>(second.data()), second.size()}};
    iovec* next = parts;
    int count = 2;
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

std::string WindowUnavailableReason() { return std::string(); }

std::string ModuleFileName(const std::string& name) { return "lib" + name + ".so"; }

void* LoadModule(const std::string& path, std::string* error) {
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr && error != nullptr) {
        const char* why = ::dlerror();
        *error = why != nullptr ? why : path + " cannot be loaded";
    }
    return module;
}

void* ModuleEntry(void* module, const char* name) { return ::dlsym(module, name); }

void SetVariable(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

void IgnoreWriteSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace os
