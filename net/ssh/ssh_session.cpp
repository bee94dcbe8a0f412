// The session's steps. Every libssh call is non-blocking: a call that cannot
// finish yet returns SSH_AGAIN / SSH_AUTH_AGAIN and is made again, with the
// same arguments, when the loop reports the socket ready.
#include "net/ssh/ssh_session.h"

#include <algorithm>
#include <cstdlib>
#include <unordered_map>

#include "net/ssh/ssh_errors.h"
#include "net/ssh/ssh_host_keys.h"
#include "net/ssh/ssh_session_impl.h"
#include "platform/fd_watch.h"
#include "platform/os.h"
#include "platform/winsock.h"

namespace sshnet {
namespace {

constexpr size_t kReadCap = 1 << 20;     // bytes handed up per step at most

std::unordered_map<win::HWND, SshSession::Impl*>& Windows() {
    static auto* windows = new std::unordered_map<win::HWND, SshSession::Impl*>;
    return *windows;
}

win::LRESULT SessionWindowProc(win::HWND hwnd, win::UINT msg, win::WPARAM, win::LPARAM);

// No passphrase is ever asked for: an encrypted key file is skipped.
int NoPassphrase(const char*, char*, size_t, int, int, void*) { return -1; }

}  // namespace

SshTarget TargetFromEnvironment(const std::string& host, uint16_t port, const std::string& user) {
    SshTarget t;
    t.host = host;
    t.port = port;
    t.user = user;
    // With no home folder at all the known-hosts name stays empty (refused
    // when the session starts): nothing is ever read from or written to
    // /.ssh at the filesystem root.
    const std::string home = HomeFolder();
    if (!home.empty()) t.keyFolder = home + "/.ssh";
    const char* file = std::getenv("VARNEL_SSH_KNOWN_HOSTS");
    t.knownHostsFile = file != nullptr && *file != '\0' ? file : home.empty() ? "" : t.keyFolder + "/known_hosts";
    const char* strict = std::getenv("VARNEL_SSH_STRICT");
    t.strict = strict != nullptr && std::string(strict) == "yes";
    return t;
}

void SshSession::Impl::Release() {
    if (watchedFd >= 0) win::UnwatchDescriptor(watchedFd);
    watchedFd = -1;
    if (ch != nullptr) ssh_channel_free(ch);
    ch = nullptr;
    if (s != nullptr) {
        ssh_disconnect(s);
        ssh_free(s);
    }
    s = nullptr;
    if (hwnd != 0) {
        Windows().erase(hwnd);
        win::DestroyWindow(hwnd);
    }
    hwnd = 0;
    std::fill(password.begin(), password.end(), '\0');
    password.clear();
}

void SshSession::Impl::Fail(int32_t number, const std::string& description) {
    owner.phase_ = Phase::Failed;
    Release();
    ev().SshFailed(number, description.empty() ? SshErrorText(number) : description);
}

void SshSession::Impl::Kick() {
    if (hwnd != 0) win::PostMessageA(hwnd, kStepMsg, 0, 0);
}

// Watches the socket for what libssh waits for: always input, and room
// to write while its output buffer holds data.
void SshSession::Impl::Rearm() {
    if (s == nullptr) return;
    int fd = ssh_get_fd(s);
    if (fd < 0 || (ssh_get_status(s) & (SSH_CLOSED | SSH_CLOSED_ERROR))) {
        // The connection is gone while a call waits: before the shell
        // that means no session at all.
        if (owner.phase_ != Phase::Open) return Fail(ErrSshConnect);
        owner.phase_ = Phase::Closed;
        Release();
        return ev().SshClosed();
    }
    if (fd != watchedFd && watchedFd >= 0) win::UnwatchDescriptor(watchedFd);
    watchedFd = fd;
    if (fd < 0) return;
    int32_t events = win::FD_READ;
    if (ssh_get_poll_flags(s) & SSH_WRITE_PENDING) events |= win::FD_WRITE;
    win::WatchDescriptor(fd, hwnd, kReadyMsg, events);
}

void SshSession::Impl::Step() {
    switch (owner.phase_) {
        case Phase::Connecting: Connect(); break;
        case Phase::Authenticating: Authenticate(); break;
        case Phase::Opening: OpenChannel(); break;
        case Phase::Open: Pump(); break;
        default: break;
    }
}

void SshSession::Impl::Connect() {
    if (s == nullptr) return Fail(ErrSshConnect);
    // Checked before every step of the connection: libssh reads the file
    // while it negotiates the host key's type, with a blocking open.
    if (int32_t error = CheckKnownHostsFile(target.knownHostsFile); error != 0) return Fail(error);
    int rc = ssh_connect(s);
    if (rc == SSH_AGAIN) return Rearm();
    if (rc != SSH_OK) return Fail(ErrSshConnect);
    HostKeyVerdict v = CheckHostKey(s, target.host, target.port, target.knownHostsFile, target.strict);
    if (v.error != 0) return Fail(v.error, v.description);
    owner.phase_ = Phase::Authenticating;
    if (!v.notice.empty()) {
        ev().SshNotice(v.notice);
        if (Gone()) return;
    }
    Authenticate();
}

// Writes what the channel's window allows; false on a failure. What the
// system's socket does not take at once stays queued in libssh, and the
// window adjustments that reading the channel sends wait behind all of it:
// with a server that echoes (through a relay that couples both directions)
// a large queue there stalls both ways. So a chunk is handed to libssh only
// while its queue is empty; once the socket is full the channel is read,
// and writing goes on when the socket has room again.
bool SshSession::Impl::Flush() {
    size_t done = 0;
    while (done < out.size()) {
        if (WritePending()) {
            ssh_blocking_flush(s, 0);
            if (WritePending()) break;
        }
        size_t chunk = std::min<size_t>(out.size() - done, 32768);
        int n = ssh_channel_write(ch, out.data() + done, static_cast<uint32_t>(chunk));
        if (n < 0) return false;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    out.erase(0, done);
    if (ssh_get_poll_flags(s) & SSH_WRITE_PENDING) ssh_blocking_flush(s, 0);
    return true;
}

void SshSession::Impl::Pump() {
    if (!Flush()) return Fail(ErrSshLost);
    // Each poll lets libssh read and handle what has arrived; it stops
    // when a poll brings nothing new (what comes later is announced by
    // the socket) or after kReadCap bytes (a step message goes on).
    bool eof = false, error = false;
    for (;;) {
        const size_t before = incoming.size();
        int rc = ssh_channel_poll(ch, 0);
        if (rc == SSH_EOF) eof = true;
        if (rc == SSH_ERROR) error = true;
        if (eof || error || incoming.size() == before || incoming.size() >= kReadCap) break;
    }
    // What the polls handled may have opened the channel's window (a window
    // adjustment comes as a packet of its own, with no data): write on now,
    // since no later event may come to do it.
    if (!out.empty() && !eof && !error && !Flush()) return Fail(ErrSshLost);
    std::string data;
    data.swap(incoming);
    bool capped = data.size() >= kReadCap;
    if (!data.empty()) {
        ev().SshData(std::move(data));
        if (Gone()) return;
    }
    if (sentPending && out.empty()) {
        sentPending = false;
        ev().SshSent();
        if (Gone()) return;
    }
    if (eofWanted && !eofSent && out.empty()) {
        eofSent = true;
        if (ssh_channel_send_eof(ch) == SSH_ERROR) return Fail(ErrSshLost);
    }
    if (capped) {
        Kick();
        return Rearm();
    }
    if (eof || ssh_channel_is_eof(ch) || ssh_channel_is_closed(ch) || !ssh_is_connected(s)) {
        owner.phase_ = Phase::Closed;
        Release();
        return ev().SshClosed();
    }
    if (error) return Fail(ErrSshLost);
    Rearm();
}

namespace {

win::LRESULT SessionWindowProc(win::HWND hwnd, win::UINT msg, win::WPARAM, win::LPARAM) {
    if (msg != kReadyMsg && msg != kStepMsg) return 0;
    auto it = Windows().find(hwnd);
    if (it != Windows().end()) it->second->Step();
    return 0;
}

}  // namespace

SshSession::SshSession(ISshSessionEvents& events) : events_(events), impl_(std::make_unique<Impl>(*this)) {}

SshSession::~SshSession() { impl_->Release(); }

void SshSession::Start(const SshTarget& target) {
    if (phase_ != Phase::Idle) return;
    Impl& m = *impl_;
    m.target = target;
    phase_ = Phase::Connecting;
    m.hwnd = win::CreateWindowExA(0, "VarnelSshSession", "SSH " + target.host);
    if (m.hwnd == 0) {
        phase_ = Phase::Failed;  // no window, no loop step: the owner sees the phase
        return;
    }
    win::SetWindowLongA(m.hwnd, win::GWL_WNDPROC, SessionWindowProc);
    Windows()[m.hwnd] = &m;
    m.s = ssh_new();
    if (m.s == nullptr) return;
    unsigned int port = target.port;
    int no = 0;
    ssh_options_set(m.s, SSH_OPTIONS_HOST, target.host.c_str());
    ssh_options_set(m.s, SSH_OPTIONS_PORT, &port);
    ssh_options_set(m.s, SSH_OPTIONS_USER, target.user.c_str());
    if (!target.keyFolder.empty()) ssh_options_set(m.s, SSH_OPTIONS_SSH_DIR, target.keyFolder.c_str());
    ssh_options_set(m.s, SSH_OPTIONS_KNOWNHOSTS, target.knownHostsFile.c_str());
    ssh_options_set(m.s, SSH_OPTIONS_PROCESS_CONFIG, &no);
    int yes = 1;  // small interactive writes go out at once, as ssh does for a terminal session
    ssh_options_set(m.s, SSH_OPTIONS_NODELAY, &yes);
    ssh_callbacks_init(&m.callbacks);
    m.callbacks.auth_function = NoPassphrase;
    ssh_set_callbacks(m.s, &m.callbacks);
    ssh_set_blocking(m.s, 0);
    m.Kick();
}

void SshSession::Answer(std::string_view answer) {
    if (phase_ != Phase::Prompting) return;
    Impl& m = *impl_;
    m.answered = true;
    const std::string text(answer);
    if (m.auth == Impl::Auth::Password) {
        m.password = text;
    } else {
        ssh_userauth_kbdint_setanswer(m.s, static_cast<unsigned>(m.promptIndex), text.c_str());
        ++m.promptIndex;
    }
    phase_ = Phase::Authenticating;
    m.Kick();
}

void SshSession::Write(std::string_view data) {
    if (phase_ == Phase::Closed || phase_ == Phase::Failed) return;
    impl_->out.append(data);
    impl_->sentPending = true;
    if (phase_ == Phase::Open) impl_->Kick();
}

size_t SshSession::Pending() const {
    if (phase_ == Phase::Closed || phase_ == Phase::Failed) return 0;
    return impl_->out.size();
}

size_t SshSession::Unsent() const {
    if (phase_ == Phase::Closed || phase_ == Phase::Failed || impl_->s == nullptr) return 0;
    size_t total = impl_->out.size() + (impl_->WritePending() ? 1 : 0);
    const int fd = ssh_get_fd(impl_->s);
    uint32_t queued = 0;
    if (fd >= 0 && win::ioctlsocket(fd, win::SIOCOUTQ_WS, &queued) == 0) total += queued;
    return total;
}

void SshSession::SendEof() {
    if (phase_ != Phase::Open || impl_->eofWanted) return;
    impl_->eofWanted = true;
    impl_->Kick();
}

void SshSession::Close() {
    if (phase_ == Phase::Closed || phase_ == Phase::Failed) return;
    phase_ = Phase::Closed;
    impl_->Release();
}

}  // namespace sshnet
