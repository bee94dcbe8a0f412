#include "tests/support/scripted_host.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testhost {

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits until fd is readable or the deadline passes; false on timeout.
bool WaitReadable(int fd, int64_t deadlineMs) {
    for (;;) {
        int64_t left = deadlineMs - NowMs();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

}  // namespace

HostConnection::~HostConnection() { Close(); }

bool HostConnection::Send(std::string_view bytes) {
    while (!bytes.empty() && fd_ >= 0) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return fd_ >= 0;
}

bool HostConnection::ReadUntil(std::string_view text, std::chrono::milliseconds timeout) {
    int64_t deadline = NowMs() + timeout.count();
    size_t searchFrom = 0;
    for (;;) {
        if (received_.find(text, searchFrom) != std::string::npos) return true;
        searchFrom = received_.size() > text.size() ? received_.size() - text.size() : 0;
        if (fd_ < 0 || !WaitReadable(fd_, deadline)) return false;
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return received_.find(text, searchFrom) != std::string::npos;
        received_.append(buf, static_cast<size_t>(n));
    }
}

bool HostConnection::ReadUntilCount(std::string_view text, size_t count,
                                    std::chrono::milliseconds timeout) {
    int64_t deadline = NowMs() + timeout.count();
    size_t found = 0, scanFrom = 0;
    for (;;) {
        size_t at;
        while (found < count && (at = received_.find(text, scanFrom)) != std::string::npos) {
            ++found;
            scanFrom = at + text.size();
        }
        if (found >= count) return true;
        // A match not yet seen can only start within the last text.size() - 1 bytes.
        if (received_.size() >= text.size()) scanFrom = std::max(scanFrom, received_.size() - text.size() + 1);
        if (fd_ < 0 || !WaitReadable(fd_, deadline)) return false;
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        received_.append(buf, static_cast<size_t>(n));
    }
}

bool HostConnection::ReadToEnd(std::chrono::milliseconds timeout) {
    int64_t deadline = NowMs() + timeout.count();
    for (;;) {
        if (fd_ < 0 || !WaitReadable(fd_, deadline)) return false;
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        received_.append(buf, static_cast<size_t>(n));
    }
}

std::string HostConnection::Received() const { return received_; }

void HostConnection::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void HostConnection::Reset() {
    if (fd_ < 0) return;
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
}

ScriptedHost::ScriptedHost(Dialogue dialogue) : dialogue_(std::move(dialogue)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd_, 64) != 0)
        throw std::runtime_error("bind/listen failed");
    socklen_t len = sizeof a;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void ScriptedHost::AcceptLoop() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++accepted_;
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.emplace_back([this, fd] {
            HostConnection c(fd);
            dialogue_(c);
        });
    }
}

void ScriptedHost::Join() {
    std::vector<std::thread> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done.swap(sessions_);
    }
    for (auto& t : done) t.join();
}

ScriptedHost::~ScriptedHost() {
    stopping_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    Join();
    if (listenFd_ >= 0) ::close(listenFd_);
}

int ConnectLoopback(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

namespace {

// Drains both pipes while the child runs so it never blocks on a full pipe.
void Drain(int fd, std::string& into, bool& open) {
    char buf[65536];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) into.append(buf, static_cast<size_t>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN)) open = false;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv,
                         std::chrono::milliseconds timeout) {
    ProcessResult result;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

    std::vector<std::string> env;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool changed = false;
        for (const auto& x : extraEnv) changed = changed || nameOf(x) == nameOf(entry);
        if (!changed) env.push_back(entry);
    }
    for (const auto& e : extraEnv)
        if (e.find('=') != std::string::npos) env.push_back(e);
    std::vector<char*> envp, args;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvCopy = argv;
    for (auto& a : argvCopy) args.push_back(a.data());
    args.push_back(nullptr);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (rc != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    int64_t deadline = NowMs() + timeout.count();
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        int64_t left = deadline - NowMs();
        if (left <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd p[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        if (::poll(p, 2, static_cast<int>(left)) <= 0) continue;
        if (p[0].revents) Drain(outPipe[0], result.out, outOpen);
        if (p[1].revents) Drain(errPipe[0], result.err, errOpen);
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) result.exitStatus = 128 + WTERMSIG(status);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     std::chrono::milliseconds firstLineTimeout) {
    int outPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (auto& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    if (rc != 0) {
        ::close(outPipe[0]);
        throw std::runtime_error("cannot start " + argv[0]);
    }
    pid_ = pid;
    outFd_ = outPipe[0];
    int64_t deadline = NowMs() + firstLineTimeout.count();
    char ch;
    while (WaitReadable(outFd_, deadline) && ::read(outFd_, &ch, 1) == 1 && ch != '\n') firstLine_ += ch;
}

bool BackgroundProcess::Running() { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

BackgroundProcess::~BackgroundProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) ::close(outFd_);
}

ScriptRun RunHiddenScript(const std::string& name, const std::string& script, const std::string& out,
                          const std::vector<std::string>& env) {
    std::string dir = MakeScratchDir(name);
    WriteFileBytes(dir + "/script.txt", script);
    std::string outPath = out.empty() ? dir + "/out.txt" : out;
    ScriptRun r;
    r.process = RunProcess({std::string(VARNEL_BUILD_DIR) + "/varnel", "/r:" + dir + "/script.txt", "/o:" + outPath,
                            "/hidden"},
                           env, 120s);
    r.transcript = ReadFileBytes(outPath);
    return r;
}

std::string HostLine(uint16_t port) { return "HOST 127.0.0.1 " + std::to_string(port) + "\r\n"; }

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFileBytes(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string MakeScratchDir(const std::string& name) {
    namespace fs = std::filesystem;
    fs::path dir = fs::path(VARNEL_BUILD_DIR) / "test-scratch" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

}  // namespace testhost
