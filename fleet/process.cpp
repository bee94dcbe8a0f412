#include "fleet/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

extern char** environ;

namespace fleet {

ProcessOutput RunProgram(const std::vector<std::string>& argv, const std::string& input) {
    bool given = false;
    return RunProgram(argv, [&](std::string& more) {
        if (given) return false;
        more = input;
        given = true;
        return !input.empty();
    });
}

ProcessOutput RunProgram(const std::vector<std::string>& argv, const std::function<bool(std::string&)>& feed) {
    ProcessOutput result;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return result;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return result;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int error = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (error != 0) {
        ::close(in[1]);
        ::close(out[0]);
        return result;
    }
    // Input and output at once: a program that answers while it reads must
    // never find both pipes full. The input comes piece by piece from feed,
    // asked for the next piece only once the last one is written.
    int writeFd = in[1];
    std::string piece;
    size_t written = 0;
    bool more = true;
    const auto nextPiece = [&] {
        piece.clear();
        written = 0;
        if (more) more = feed(piece);
        if (!more && piece.empty()) {
            ::close(writeFd);
            writeFd = -1;
        }
    };
    ::fcntl(writeFd, F_SETFL, O_NONBLOCK);
    nextPiece();
    char buffer[65536];
    for (;;) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {writeFd, POLLOUT, 0}};
        if (::poll(fds, writeFd >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (writeFd >= 0 && fds[1].revents != 0) {
            ssize_t n = piece.empty() ? 0 : ::write(writeFd, piece.data() + written, piece.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                ::close(writeFd);
                writeFd = -1;
            } else if (written == piece.size()) {
                nextPiece();
            }
        }
        if (fds[0].revents != 0) {
            ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) break;
            result.output.append(buffer, static_cast<size_t>(n));
        }
    }
    if (writeFd >= 0) ::close(writeFd);
    ::close(out[0]);
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return result;
}

}  // namespace fleet
