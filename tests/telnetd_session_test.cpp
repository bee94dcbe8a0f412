// The login dialogue against a real telnet server: inetutils telnetd, which
// ./setup unpacks into the build folder (never installed on the machine),
// serving one loopback connection with a login program of ours on its pty.
// With telnet on, the hidden run logs in and its transcript holds no byte of
// negotiation; with telnet off the server waits for answers that never come,
// and only the run's time limit ends it.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/scripted_host.h"
#include "tests/support/telnet_log.h"

using namespace testhost;

namespace {

const std::string kTelnetd = std::string(VARNEL_BUILD_DIR) + "/telnetd/usr/sbin/telnetd";
const std::string kLoginProgram = std::string(VARNEL_BUILD_DIR) + "/tests/pty_login_host";
const std::string kHead = "Checking script (clearing output file)\r\nRunning script\r\n";

std::string Block(const std::string& bytes) { return bytes + "\r\n\r\n"; }

// Listens on 127.0.0.1 at an ephemeral port and hands the first connection
// to telnetd as its standard input and output, as inetd would.
class TelnetServer {
public:
    explicit TelnetServer(std::string program = kLoginProgram) : program_(std::move(program)) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 1) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { Serve(); });
    }
    ~TelnetServer() {
        ::shutdown(listenFd_, SHUT_RDWR);
        if (acceptor_.joinable()) acceptor_.join();
        ::close(listenFd_);
        const int pid = pid_.load();
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
    uint16_t Port() const { return port_; }

private:
    void Serve() {
        const int conn = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) return;
        const int pid = ::fork();
        if (pid == 0) {
            const int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(conn, 0);
            ::dup2(conn, 1);
            ::dup2(devnull, 2);
            ::execl(kTelnetd.c_str(), "telnetd", "-h", "-E", program_.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        pid_ = pid;
        ::close(conn);
    }

    std::string program_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::atomic<int> pid_{-1};
};

// The bundled example's login dialogue, up to its logout.
std::string LoginScript(uint16_t port, const std::string& settings) {
    return settings + HostLine(port) +
           "SEND \"admin\\n\"\r\nWAIT \"Password:\"\r\nSEND \"varnel\\n\"\r\nWAIT \"varnel-demo>\"\r\n"
           "ECHO \"Logged in.\"\r\nSEND \"echo hello from Varnel\\n\"\r\nWAIT \"varnel-demo>\"\r\n"
           "SEND \"exit\\n\"\r\nWAIT \"Goodbye.\"\r\n";
}

#define SKIP_WITHOUT_TELNETD()                                                                                 \
    if (!std::filesystem::exists(kTelnetd))                                                                   \
    GTEST_SKIP() << "inetutils telnetd is not in the build folder (./setup fetches it): " << kTelnetd

}  // namespace

TEST(TelnetdSession, HiddenLoginWithTelnetOnLogsOnlyTheDialogue) {
    SKIP_WITHOUT_TELNETD();
    TelnetServer server;
    ASSERT_NE(server.Port(), 0);
    const std::string dir = MakeScratchDir("telnetd-login");
    ScriptRun r = RunHiddenScript("telnetd-login-run", LoginScript(server.Port(), "TELNET ON\r\n"), "",
                                  {"VARNEL_SOCKET_LOG=" + dir + "/socket.log"});
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" +
                                Block("\r\nvarnel-demo: a practice device for Varnel scripts\r\n\r\nlogin: ") +
                                Block("Password: ") + Block("\r\nWelcome, admin.\r\nvarnel-demo> ") +
                                "Logged in.\r\n" + Block("hello from Varnel\r\nvarnel-demo> ") +
                                Block("Goodbye.\r\n") + "End of script\r\nClosed connection.\r\n");
    EXPECT_EQ(r.transcript.find('\xff'), std::string::npos);
    const int roundTrips = AnsweredBlocksBeforeData(ReadFileBytes(dir + "/socket.log"));
    EXPECT_GE(roundTrips, 1);
    std::printf("negotiation round trips before the login prompt (telnetd): %d\n", roundTrips);
}

TEST(TelnetdSession, RawConnectionEndsByItsTimeLimit) {
    SKIP_WITHOUT_TELNETD();
    TelnetServer server;
    ASSERT_NE(server.Port(), 0);
    // The server waits for answers to its questions, with no limit of its own.
    ScriptRun r = RunHiddenScript("telnetd-raw", LoginScript(server.Port(), "TELNET OFF\r\nTIMEOUT 2\r\n"));
    EXPECT_EQ(r.process.exitStatus, 3) << r.process.err;
    const std::string questions("\xff\xfb\x25\xff\xfb\x26\xff\xfd\x18\xff\xfd\x20\xff\xfd\x23\xff\xfd\x27\xff\xfd\x24", 21);
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block(questions) +
                                "Timed out after 2 seconds waiting for \"Password:\" on line 5\r\n"
                                "Closed connection.\r\n");
}

// A device-like shell on telnetd's pty: after "configure terminal" it echoes
// each line and answers it with a prompt. 4,096 lines (256 KiB) as the
// script's last line all reach it before the session ends, and the run
// reports success.
TEST(TelnetdSession, EveryLineOfALargeLastPasteReachesTheDevice) {
    SKIP_WITHOUT_TELNETD();
    TelnetServer server;
    ASSERT_NE(server.Port(), 0);
    std::string paste;
    for (int n = 1; n <= 4096; ++n) {
        std::string line = "interface port1/" + std::to_string(n) + " description pasted line " + std::to_string(n);
        line.resize(62, '.');
        paste += line + "\\n";   // CR LF on the wire: 64 bytes a line
    }
    const std::string script = "TELNET ON\r\nTIMEOUT 120\r\n" + HostLine(server.Port()) +
                               "SEND \"admin\\n\"\r\nWAIT \"Password:\"\r\nSEND \"varnel\\n\"\r\nWAIT \"varnel-demo>\"\r\n"
                               "SEND \"configure terminal\\n\"\r\nWAIT \"(config)#\"\r\nSEND \"" + paste + "\"\r\n";
    ScriptRun r = RunHiddenScript("telnetd-paste", script);
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    // Counted with every line break taken out, so a prompt that two blocks share counts too.
    std::string joined;
    for (char ch : r.transcript)
        if (ch != '\r' && ch != '\n') joined += ch;
    size_t prompts = 0;
    const std::string prompt = "varnel-demo(config)# ";
    for (size_t at = joined.find(prompt); at != std::string::npos; at = joined.find(prompt, at + 1)) ++prompts;
    EXPECT_EQ(prompts, 1u + 4096u);   // the one after "configure terminal", then one per line
    EXPECT_NE(r.transcript.find("\r\nEnd of script\r\n"), std::string::npos);
}

namespace {

const std::string kDeviceShell = std::string(VARNEL_BUILD_DIR) + "/varnel-device-shell";

}  // namespace

// A device-like shell on telnetd's pty: its prompt comes in two pieces, the
// first with the banner in the block that ends HOST, and "show log" pages
// through 100 pages. One WAIT, one ON line and a capture do the job.
TEST(TelnetdSession, SplitPromptAndPagerOfADeviceShell) {
    SKIP_WITHOUT_TELNETD();
    TelnetServer server(kDeviceShell);
    ASSERT_NE(server.Port(), 0);
    const std::string capture = MakeScratchDir("telnetd-device-capture") + "/log.txt";
    ScriptRun r = RunHiddenScript("telnetd-device",
                                  "TELNET ON\r\nTIMEOUT 30\r\n" + HostLine(server.Port()) +
                                      "WAIT \"router1#\"\r\nON \"--More--\" SEND \" \"\r\nCAPTURE \"" + capture +
                                      "\"\r\nSEND \"show log\\n\"\r\nWAIT \"router1#\"\r\nCAPTURE OFF\r\n"
                                      "SEND \"exit\\n\"\r\nWAIT \"bye\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0) << r.transcript;
    std::string pages;
    for (int page = 0; page < 100; ++page) {
        for (int i = 1; i <= 24; ++i) pages += "log " + std::to_string(page * 24 + i) + "\r\n";
        pages += " --More-- ";
    }
    EXPECT_EQ(ReadFileBytes(capture), pages + "\r\nrouter1#");
    const std::string end = "bye\r\n\r\n\r\nEnd of script\r\nClosed connection.\r\n";
    ASSERT_GE(r.transcript.size(), end.size());
    EXPECT_EQ(r.transcript.substr(r.transcript.size() - end.size()), end);
}
