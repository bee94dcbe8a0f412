#include "fleet/launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <unordered_map>

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;

// The descriptor a run reads its script from (as /dev/fd/3).
constexpr int kScriptFd = 3;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The script in a file that lives in memory only, never in a folder: the
// expanded script holds credentials. A descriptor above the standard ones,
// closed on exec (the child gets its copy through dup2); -1 on failure.
int ScriptInMemory(const std::string& text) {
    int fd = ::memfd_create("varnel-script", MFD_CLOEXEC);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    int high = done == text.size() ? ::fcntl(fd, F_DUPFD_CLOEXEC, kScriptFd + 1) : -1;
    ::close(fd);
    return high;
}

// At most the last limit bytes of an open file ("" when it cannot be read).
std::string TailOf(int fd, size_t limit) {
    struct stat st {};
    std::string out;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        off_t from = st.st_size > static_cast<off_t>(limit) ? st.st_size - static_cast<off_t>(limit) : 0;
        out.resize(static_cast<size_t>(st.st_size - from));
        ssize_t n = ::pread(fd, out.data(), out.size(), from);
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    return out;
}

std::string FileTail(const std::string& path, size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    std::string out = TailOf(fd, limit);
    ::close(fd);
    return out;
}

class Fleet {
public:
    Fleet(std::vector<HostResult>& results, const std::function<std::string(size_t)>& script, const LaunchOptions& o)
        : results_(results), script_(script), options_(o) {
        for (size_t i = 0; i < results_.size(); ++i) pending_.push_back(i);
        for (const std::string& e : options_.env) envp_.push_back(const_cast<char*>(e.c_str()));
        envp_.push_back(nullptr);
        // One standard error file per run at once, kept open and used over
        // and over: a file created and deleted for every run costs more.
        const size_t slots = std::min(results_.size(), static_cast<size_t>(options_.jobs));
        for (size_t k = 0; k < slots; ++k) {
            slots_.push_back({options_.privateDir + "/errors-" + std::to_string(k), -1});
            freeSlots_.push_back(slots - 1 - k);
        }
    }

    ~Fleet() {
        for (const Slot& slot : slots_) {
            if (slot.errors >= 0) ::close(slot.errors);
            ::unlink(slot.path.c_str());
        }
    }

    int Run() {
        sigset_t mask;
        sigemptyset(&mask);
        sigaddset(&mask, SIGCHLD);
        sigaddset(&mask, SIGINT);
        sigaddset(&mask, SIGTERM);
        sigaddset(&mask, SIGHUP);
        sigset_t old;
        sigprocmask(SIG_BLOCK, &mask, &old);
        signalFd_ = ::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
        start_ = Clock::now();
        while (signalFd_ >= 0) {
            // Each start waits for its child's exec; runs that end meanwhile
            // are collected between starts, so none waits long as a zombie.
            while (stopSignal_ == 0 && !pending_.empty() && running_.size() < static_cast<size_t>(options_.jobs)) {
                Start(pending_.front());
                Reap();
            }
            if (running_.empty() && (pending_.empty() || stopSignal_ != 0)) break;
            if (options_.progress) DrawProgress(false);
            pollfd p{signalFd_, POLLIN, 0};
            int n = ::poll(&p, 1, options_.progress ? 100 : -1);
            if (n < 0 && errno != EINTR) break;
            if (n > 0) HandleSignals();
        }
        if (options_.progress) DrawProgress(true);
        if (signalFd_ >= 0) ::close(signalFd_);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        return stopSignal_;
    }

private:
    struct Child {
        size_t index;
        Clock::time_point started;
        size_t slot;
    };
    // A file in the private folder for the standard error of one run at a
    // time, kept open and emptied for the next run.
    struct Slot {
        std::string path;
        int errors;
    };

    // Starts the next attempt of host index; a run that cannot start ends at once with status 2.
    void Start(size_t index) {
        pending_.pop_front();
        HostResult& r = results_[index];
        const size_t slot = freeSlots_.back();
        const std::string outPath = options_.outDir + "/" + r.outFile;
        const Clock::time_point started = Clock::now();
        const int scriptFd = ScriptInMemory(script_(index));
        if (scriptFd < 0) {
            Finish(index, 2, 0, std::string("cannot hand over the script: ") + std::strerror(errno), started);
            return;
        }
        // The command line is read as one text; the script path holds no space.
        const std::string scriptArg = "/r:/dev/fd/" + std::to_string(kScriptFd), outArg = "/o:" + outPath;
        char* argv[] = {const_cast<char*>(options_.varnel.c_str()), const_cast<char*>(scriptArg.c_str()),
                        const_cast<char*>(outArg.c_str()), const_cast<char*>("/hidden"), nullptr};
        // With an archive each attempt starts in an empty work folder: the
        // files archived are this attempt's alone, never an earlier one's.
        if (!r.workDir.empty()) {
            std::error_code ec;
            if (options_.emptyWorkDirs) std::filesystem::remove_all(r.workDir, ec);
            std::filesystem::create_directories(r.workDir, ec);
            if (ec) {
                ::close(scriptFd);
                Finish(index, 2, 0, "cannot make the work folder " + r.workDir + ": " + ec.message(), started);
                return;
            }
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!r.workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, r.workDir.c_str());
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, scriptFd, kScriptFd);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        int& errors = slots_[slot].errors;
        if (errors < 0) errors = ::open(slots_[slot].path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (errors >= 0)
            posix_spawn_file_actions_adddup2(&actions, errors, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int s : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, s);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        pid_t pid = -1;
        int error = ::posix_spawn(&pid, options_.varnel.c_str(), &actions, &attr, argv, envp_.data());
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        ::close(scriptFd);
        if (error != 0) {
            Finish(index, 2, 0, "cannot start " + options_.varnel + ": " + std::strerror(error), started);
            return;
        }
        freeSlots_.pop_back();
        running_.emplace(pid, Child{index, started, slot});
    }

    void HandleSignals() {
        signalfd_siginfo info;
        while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo == SIGCHLD) {
                Reap();
                continue;
            }
            if (stopSignal_ == 0) stopSignal_ = static_cast<int>(info.ssi_signo);
            for (const auto& [pid, child] : running_) ::kill(pid, static_cast<int>(info.ssi_signo));
        }
    }

    void Reap() {
        int wstatus = 0;
        pid_t pid;
        while ((pid = ::waitpid(-1, &wstatus, WNOHANG)) > 0) {
            auto it = running_.find(pid);
            if (it == running_.end()) continue;
            Child child = it->second;
            running_.erase(it);
            int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            const std::string outPath = options_.outDir + "/" + results_[child.index].outFile;
            struct stat st {};
            uint64_t bytes = ::stat(outPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
            std::string reason;
            Slot& slot = slots_[child.slot];
            if (status != 0)
                reason = FailureReason(FileTail(outPath, 4096), slot.errors >= 0 ? TailOf(slot.errors, 4096) : "",
                                       status);
            if (slot.errors >= 0 && (::ftruncate(slot.errors, 0) != 0 || ::lseek(slot.errors, 0, SEEK_SET) != 0)) {
                ::close(slot.errors);
                slot.errors = -1;
            }
            freeSlots_.push_back(child.slot);
            Finish(child.index, status, bytes, reason, child.started);
        }
    }

    void Finish(size_t index, int status, uint64_t bytes, const std::string& reason, Clock::time_point started) {
        HostResult& r = results_[index];
        r.status = status;
        r.bytes = bytes;
        r.reason = reason;
        r.seconds += Seconds(Clock::now() - started);
        ++r.attempts;
        const bool retry = (status == 1 || status == 3 || status == 4) && r.attempts <= options_.retries;
        if (retry && stopSignal_ == 0) {
            pending_.push_back(index);
            return;
        }
        ++done_;
        if (status != 0) ++failed_;
    }

    void DrawProgress(bool last) {
        const Clock::time_point now = Clock::now();
        if (!last && now - lastDraw_ < std::chrono::milliseconds(100)) return;
        lastDraw_ = now;
        std::string line = "\r";
        if (!last) {
            const double elapsed = Seconds(now - start_);
            const double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
            char left[32] = "?";
            if (rate > 0) {
                long s = static_cast<long>(static_cast<double>(results_.size() - done_) / rate + 0.5);
                std::snprintf(left, sizeof left, "%ld:%02ld", s / 60, s % 60);
            }
            char text[192];
            std::snprintf(text, sizeof text, "%zu/%zu done, %zu failed, %zu running, %.1f/s, %s left", done_,
                          results_.size(), failed_, running_.size(), rate, left);
            line += text;
        }
        line += "\x1b[K";
        ssize_t ignored = ::write(STDOUT_FILENO, line.data(), line.size());
        (void)ignored;
    }

    std::vector<HostResult>& results_;
    const std::function<std::string(size_t)>& script_;
    const LaunchOptions& options_;
    std::vector<char*> envp_;
    std::deque<size_t> pending_;
    std::unordered_map<pid_t, Child> running_;
    std::vector<Slot> slots_;
    std::vector<size_t> freeSlots_;
    int signalFd_ = -1;
    int stopSignal_ = 0;
    size_t done_ = 0;
    size_t failed_ = 0;
    Clock::time_point start_;
    Clock::time_point lastDraw_{};
};

}  // namespace

int RunHosts(std::vector<HostResult>& results, const std::function<std::string(size_t)>& script,
             const LaunchOptions& options) {
    Fleet fleet(results, script, options);
    return fleet.Run();
}

}  // namespace fleet
