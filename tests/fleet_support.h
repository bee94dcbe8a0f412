// What the varnel-fleet tests share: the programs, the login script, varnel-fleet
// run to its end or in the background, and readers of its summary.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fleet/inventory.h"
#include "tests/support/scripted_host.h"

namespace fleettest {

using namespace testhost;
namespace fs = std::filesystem;

inline const std::string kFleet = VARNEL_BUILD_DIR "/varnel-fleet";
inline const std::string kVarnel = VARNEL_BUILD_DIR "/varnel";
inline const std::string kDemoHost = VARNEL_BUILD_DIR "/varnel-demo-host";

// Logs in to the demo host, says which row it is, and leaves.
inline const std::string kLoginScript =
    "HOST %host% %port%\n"
    "SEND \"admin\\n\"\n"
    "WAIT \"Password:\"\n"
    "SEND \"%env:FLEET_TEST_PASSWORD%\\n\"\n"
    "WAIT \"varnel-demo>\"\n"
    "ECHO \"row %name% at 100%%\"\n"
    "SEND \"exit\\n\"\n"
    "WAIT \"Goodbye.\"\n";

inline fleet::Inventory ReadCsv(const std::string& path) {
    fleet::Inventory csv;
    std::string error;
    EXPECT_TRUE(fleet::ParseInventory(ReadFileBytes(path), csv, error)) << error << "\n" << ReadFileBytes(path);
    return csv;
}

// Every field of summary.csv but the seconds, row by row, joined by "|".
inline std::vector<std::string> SummaryRows(const std::string& path) {
    fleet::Inventory csv = ReadCsv(path);
    EXPECT_EQ(csv.columns, (std::vector<std::string>{"host", "port", "status", "reason", "seconds", "bytes", "attempts"}));
    std::vector<std::string> rows;
    for (const auto& r : csv.rows) rows.push_back(r[0] + "|" + r[1] + "|" + r[2] + "|" + r[3] + "|" + r[6]);
    return rows;
}

inline ProcessResult RunFleet(const std::string& dir, std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), kFleet);
    env.push_back("TMPDIR=" + dir);
    env.push_back("FLEET_TEST_PASSWORD=varnel");
    return RunProcess(args, env, std::chrono::seconds(300));
}

// The private script folders the fleet left behind in dir.
inline int PrivateFolders(const std::string& dir) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir)) n += e.path().filename().string().rfind("varnel-fleet.", 0) == 0;
    return n;
}


// varnel-fleet started in the background, its standard output into a file
// (or a terminal: usePty), so that a test can act while it runs.
class FleetProcess {
public:
    FleetProcess(const std::string& dir, const std::vector<std::string>& args, bool usePty = false) {
        std::vector<std::string> argv{kFleet};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string out = dir + "/stdout.txt";
        pid_ = usePty ? ::forkpty(&ptyFd_, nullptr, nullptr, nullptr) : ::fork();
        if (pid_ == 0) {
            if (!usePty) {
                int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                ::dup2(fd, 1);
            }
            ::setenv("TMPDIR", dir.c_str(), 1);
            ::setenv("FLEET_TEST_PASSWORD", "varnel", 1);
            std::vector<char*> a;
            for (auto& s : argv) a.push_back(s.data());
            a.push_back(nullptr);
            ::execv(a[0], a.data());
            ::_exit(127);
        }
    }
    ~FleetProcess() {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (ptyFd_ >= 0) ::close(ptyFd_);
    }
    pid_t pid() const { return pid_; }
    // Everything written to the terminal until the program closed it.
    std::string ReadTerminal() {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(ptyFd_, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0) text.append(buf, static_cast<size_t>(n));
        }
        return text;
    }
    int Wait() {
        int wstatus = 0;
        for (int i = 0; i < 3000; ++i) {
            if (::waitpid(pid_, &wstatus, WNOHANG) == pid_) {
                return status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int ptyFd_ = -1;
    int status_ = -1;
};

// Waits (bounded) until count transcripts in dir hold text.
inline bool TranscriptsHold(const std::string& dir, const std::string& text, int count) {
    for (int i = 0; i < 600; ++i) {
        int n = 0;
        if (fs::exists(dir)) {
            for (const auto& e : fs::directory_iterator(dir)) n += ReadFileBytes(e.path()).find(text) != std::string::npos;
        }
        if (n >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}


}  // namespace fleettest
