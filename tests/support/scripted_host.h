// A scripted loopback host for end-to-end tests: it listens on 127.0.0.1 at an
// ephemeral port and runs a test-supplied dialogue on every connection it
// accepts, on a thread of its own. Every wait is bounded, so a broken client
// makes the test fail instead of hang.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testhost {

using namespace std::chrono_literals;

class HostConnection {
public:
    explicit HostConnection(int fd) : fd_(fd) {}
    ~HostConnection();
    HostConnection(const HostConnection&) = delete;
    HostConnection& operator=(const HostConnection&) = delete;

    // Sends all bytes (blocking); false when the peer is gone.
    bool Send(std::string_view bytes);
    // Reads until the bytes received so far contain text; false on timeout or EOF.
    bool ReadUntil(std::string_view text, std::chrono::milliseconds timeout = 10s);
    // Reads until text has been received count times in all; false on timeout or EOF.
    bool ReadUntilCount(std::string_view text, size_t count, std::chrono::milliseconds timeout = 10s);
    // Reads until the peer closes; false on timeout.
    bool ReadToEnd(std::chrono::milliseconds timeout = 10s);
    // Everything received on this connection so far.
    std::string Received() const;
    // Orderly close, or a reset (SO_LINGER 0) that the client sees as 10054.
    void Close();
    void Reset();
    int fd() const { return fd_; }

private:
    int fd_;
    std::string received_;
};

class ScriptedHost {
public:
    using Dialogue = std::function<void(HostConnection&)>;
    // Starts listening and serving: each accepted connection runs dialogue on its own thread.
    explicit ScriptedHost(Dialogue dialogue);
    ~ScriptedHost();
    uint16_t Port() const { return port_; }
    // Connections accepted so far.
    int Accepted() const { return accepted_.load(); }
    // Waits for every dialogue that has started to end (bounded).
    void Join();

private:
    void AcceptLoop();
    int listenFd_ = -1;
    uint16_t port_ = 0;
    Dialogue dialogue_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::vector<std::thread> sessions_;
};

// A blocking client connection to 127.0.0.1:port (-1 on failure), to wrap in a HostConnection.
int ConnectLoopback(uint16_t port);

// A loopback port on which nothing listens (connects to it are refused).
uint16_t ClosedPort();

struct ProcessResult {
    int exitStatus = -1;     // exit code, or 128 + signal
    bool timedOut = false;
    std::string out;         // standard output
    std::string err;         // standard error
};

// Runs a program with arguments (argv[0] = program) and environment changes
// ("NAME=value" sets, a bare "NAME" removes), waits at most timeout, and
// collects its output.
// A program still running at the timeout is killed (SIGKILL) and timedOut set.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv = {},
                         std::chrono::milliseconds timeout = 30s);

// A program running in the background for the length of a test (for example
// the demo host). Its first line of standard output is read at start (the
// demo host prints its port there); it is killed when the object goes.
class BackgroundProcess {
public:
    explicit BackgroundProcess(const std::vector<std::string>& argv,
                               std::chrono::milliseconds firstLineTimeout = 10s);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    const std::string& FirstLine() const { return firstLine_; }
    bool Running();
    int pid() const { return pid_; }

private:
    int pid_ = -1;
    int outFd_ = -1;
    std::string firstLine_;
};

// A script run by the real program, hidden, with an output file.
struct ScriptRun {
    ProcessResult process;
    std::string transcript;   // the output file's bytes afterwards
};
// Writes the script into a fresh scratch folder named after the case and runs
// build/varnel /r:SCRIPT /o:OUT /hidden (OUT defaults to out.txt in that
// folder) with the environment changes given.
ScriptRun RunHiddenScript(const std::string& name, const std::string& script, const std::string& out = "",
                          const std::vector<std::string>& env = {});
// "HOST 127.0.0.1 PORT" and its line ending.
std::string HostLine(uint16_t port);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, std::string_view bytes);
// A fresh, empty folder under the build folder's test scratch area.
std::string MakeScratchDir(const std::string& name);

}  // namespace testhost
