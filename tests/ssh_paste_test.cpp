// Large pastes over SSH, against OpenSSH's sshd running the dialogue shell
// and against our libssh test server, whose dialogue's configuration mode
// echoes every pasted line and answers it with a prompt: a paste as the script's last line reaches the device whole, and a
// paste followed by a WAIT goes through a relay between the program and the
// server (which couples the two directions, as socat does) without stalling.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scripted_host.h"
#include "tests/support/sshd_peer.h"

namespace {

const std::string kConfigPrompt = "varnel-demo(config)# ";

// lines configuration lines of 64 bytes each on the wire (62 + CR LF), as
// the text of a SEND.
std::string Paste(int lines) {
    std::string text;
    for (int n = 1; n <= lines; ++n) {
        std::string line = "interface port1/" + std::to_string(n) + " description pasted line " + std::to_string(n);
        line.resize(62, '.');
        text += line + "\\n";
    }
    return text;
}

// How often what occurs in a transcript, with every line break taken out:
// a prompt that two received blocks share counts too.
size_t Count(const std::string& transcript, const std::string& what) {
    std::string text;
    for (char c : transcript)
        if (c != '\r' && c != '\n') text += c;
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

// A relay on 127.0.0.1 in front of a server port, for one connection, as
// socat relays: one thread that reads a side only while the way to the other
// side holds less than 8 KiB not yet written, and never blocks in a write.
// A side that stops reading soon stops the other direction as well.
class Relay {
public:
    explicit Relay(uint16_t target) : target_(target) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 1) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~Relay() {
        stop_ = true;
        ::shutdown(listenFd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        ::close(listenFd_);
    }
    uint16_t Port() const { return port_; }

private:
    void Serve() {
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) return;
        const int server = testhost::ConnectLoopback(target_);
        if (server >= 0) ::fcntl(server, F_SETFL, ::fcntl(server, F_GETFL) | O_NONBLOCK);
        const int fd[2] = {client, server};
        std::string pending[2];   // pending[i]: read from side i, not yet written to the other
        constexpr size_t kLimit = 8192;
        bool over = server < 0;
        while (!stop_ && !over) {
            pollfd fds[2];
            for (int i = 0; i < 2; ++i) {
                fds[i] = {fd[i], 0, 0};
                if (pending[i].size() < kLimit) fds[i].events |= POLLIN;
                if (!pending[1 - i].empty()) fds[i].events |= POLLOUT;
            }
            if (::poll(fds, 2, 200) < 0) break;
            for (int i = 0; i < 2 && !over; ++i) {
                if ((fds[i].revents & POLLOUT) != 0) {
                    const ssize_t w = ::write(fd[i], pending[1 - i].data(), pending[1 - i].size());
                    if (w > 0) pending[1 - i].erase(0, static_cast<size_t>(w));
                    if (w < 0 && errno != EAGAIN) over = true;
                }
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && pending[i].size() < kLimit) {
                    char buf[kLimit];
                    const ssize_t n = ::read(fd[i], buf, kLimit - pending[i].size());
                    if (n > 0) pending[i].append(buf, static_cast<size_t>(n));
                    if (n == 0 || (n < 0 && errno != EAGAIN)) over = true;
                }
            }
        }
        ::close(client);
        if (server >= 0) ::close(server);
    }

    uint16_t target_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Where a script's SSH line goes and how it logs in, up to the first prompt.
struct Target {
    std::string user;
    std::string login;   // after the SSH line: "" by key, or the answer to the password prompt
    std::vector<std::string> env;
    std::string Start(uint16_t port) const {
        return "TIMEOUT 60\r\nSSH " + user + "@127.0.0.1 " + std::to_string(port) + "\r\n" + login;
    }
};

Target SshdTarget(const testhost::SshdPeer& sshd) {
    return {sshd.user(), "", {"HOME=" + sshd.home(), "VARNEL_SSH_KNOWN_HOSTS=" + sshd.dir() + "/known_hosts",
                              "SSH_AUTH_SOCK", "VARNEL_SSH_STRICT", "VARNEL_SETTLE"}};
}

// Our libssh test server: one thread that blocks in each write of its answer
// until the channel's window allows it, and only then reads on.
struct TestServer {
    std::string dir;
    std::unique_ptr<testhost::BackgroundProcess> process;
    uint16_t port = 0;
    explicit TestServer(const std::string& name) : dir(testhost::MakeScratchDir(name + "_server")) {
        process = std::make_unique<testhost::BackgroundProcess>(std::vector<std::string>{
            std::string(VARNEL_BUILD_DIR) + "/varnel-ssh-test-server", "--key", dir + "/host_key", "--password",
            "s3cret"});
        port = static_cast<uint16_t>(std::stoi(process->FirstLine()));
    }
    Target Login() const {
        return {"admin", "SEND \"s3cret\\n\"\r\nWAIT \"varnel-demo>\"\r\n",
                {"HOME=" + dir, "VARNEL_SSH_KNOWN_HOSTS=" + dir + "/known_hosts", "SSH_AUTH_SOCK",
                 "VARNEL_SSH_STRICT", "VARNEL_SETTLE"}};
    }
};

const std::string kConfigure = "SEND \"configure terminal\\n\"\r\nWAIT \"(config)#\"\r\n";

// 4,096 lines (256 KiB) as the script's last line: the device answers every
// one of them before the session ends, and the run reports success.
void LastPasteArrivesWhole(const std::string& name, const Target& target, uint16_t port) {
    const std::string script = target.Start(port) + kConfigure + "SEND \"" + Paste(4096) + "\"\r\n";
    auto run = testhost::RunHiddenScript(name + "_run", script, "", target.env);
    EXPECT_EQ(run.process.exitStatus, 0) << run.process.err;
    // The prompt after "configure terminal", then one per pasted line.
    EXPECT_EQ(Count(run.transcript, kConfigPrompt), 1u + 4096u);
    EXPECT_NE(run.transcript.find("\r\nEnd of script\r\n"), std::string::npos);
}

// 1 MiB of pasted lines and a WAIT for the prompt after "end", through the
// relay: the echo comes back while the paste is still being written, and the
// run must go on reading it, whatever the windows of the channel.
void PasteThroughARelayDoesNotStall(const std::string& name, const Target& target, uint16_t serverPort) {
    Relay relay(serverPort);
    ASSERT_NE(relay.Port(), 0);
    const std::string script = target.Start(relay.Port()) + kConfigure + "SEND \"" + Paste(16384) +
                               "end\\n\"\r\nWAIT \"varnel-demo>\"\r\nSEND \"exit\\n\"\r\nWAIT \"Goodbye.\"\r\n";
    auto run = testhost::RunHiddenScript(name + "_run", script, "", target.env);
    EXPECT_EQ(run.process.exitStatus, 0) << run.process.err;
    EXPECT_EQ(Count(run.transcript, kConfigPrompt), 1u + 16384u);
    EXPECT_EQ(run.transcript.find("Timed out"), std::string::npos);
}

}  // namespace

TEST(SshPaste, EveryLineOfALargeLastPasteReachesSshd) {
    testhost::SshdPeer sshd("ssh_paste_last");
    START_SSHD_OR_SKIP(sshd);
    LastPasteArrivesWhole("ssh_paste_last", SshdTarget(sshd), sshd.port());
}

TEST(SshPaste, EveryLineOfALargeLastPasteReachesTheTestServer) {
    TestServer server("ssh_paste_last_ts");
    LastPasteArrivesWhole("ssh_paste_last_ts", server.Login(), server.port);
}

TEST(SshPaste, APasteThroughARelayToSshdDoesNotStall) {
    testhost::SshdPeer sshd("ssh_paste_relay");
    START_SSHD_OR_SKIP(sshd);
    PasteThroughARelayDoesNotStall("ssh_paste_relay", SshdTarget(sshd), sshd.port());
}

TEST(SshPaste, APasteThroughARelayToTheTestServerDoesNotStall) {
    TestServer server("ssh_paste_relay_ts");
    PasteThroughARelayDoesNotStall("ssh_paste_relay_ts", server.Login(), server.port);
}
