// An SSH client session on libssh's non-blocking API, driven by the program's
// one event loop: the session's socket is watched by the loop (fd_watch.h)
// and every step runs from a message of the session's own message window, on
// the program thread. No thread, no external program.
//
// A session connects, checks the host key against a known-hosts file,
// authenticates (agent keys, default key files, then keyboard-interactive or
// password with each prompt handed to the owner and answered by Answer),
// opens a channel with a "vt100" pseudo-terminal and a shell, and then moves
// data both ways until either side closes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace sshnet {

struct SshTarget {
    std::string host;
    uint16_t port = 22;
    std::string user;
    std::string knownHostsFile;  // OpenSSH format; created when a first key is recorded
    std::string keyFolder;       // where id_ed25519, id_ecdsa and id_rsa are looked for
    bool strict = false;         // refuse hosts with no recorded key instead of recording them
};

// The settings that come from the environment: HOME's .ssh folder for keys,
// VARNEL_SSH_KNOWN_HOSTS (default ~/.ssh/known_hosts) and VARNEL_SSH_STRICT=yes.
SshTarget TargetFromEnvironment(const std::string& host, uint16_t port, const std::string& user);

// What a session tells its owner, always from a loop message (never from
// inside Start, Answer, Write or Close). The owner may call Close from any of
// them but must not destroy the session inside one.
class ISshSessionEvents {
public:
    virtual ~ISshSessionEvents() = default;
    // A line worth recording, such as a host key accepted on first use.
    virtual void SshNotice(const std::string& line) = 0;
    // The server asks for something (a keyboard-interactive prompt, or
    // "Password: " for password authentication); Answer replies.
    virtual void SshPrompt(const std::string& prompt) = 0;
    // The shell is open; Write now reaches it.
    virtual void SshOpened() = 0;
    // Bytes from the shell.
    virtual void SshData(std::string data) = 0;
    // Everything given to Write has been handed to libssh (which writes what
    // the system's socket does not take at once as soon as it can).
    virtual void SshSent() = 0;
    // The session failed (numbers of ssh_errors.h) and is closed.
    virtual void SshFailed(int32_t number, const std::string& description) = 0;
    // The server ended the session after it was open.
    virtual void SshClosed() = 0;
};

class SshSession {
public:
    enum class Phase { Idle, Connecting, Authenticating, Prompting, Opening, Open, Closed, Failed };

    explicit SshSession(ISshSessionEvents& events);
    ~SshSession();
    SshSession(const SshSession&) = delete;
    SshSession& operator=(const SshSession&) = delete;

    // Starts connecting; the steps follow from the event loop. Only when
    // Idle. Failed at once (with no event) only when no message window can be made.
    void Start(const SshTarget& target);
    // Answers the prompt last handed up. Ignored when no prompt is pending.
    void Answer(std::string_view answer);
    // Queues bytes for the shell. Written once the shell is open; SshSent
    // follows when every queued byte has been handed to the connection.
    void Write(std::string_view data);
    // Bytes given to Write that libssh has not taken yet (the channel's
    // window is full).
    size_t Pending() const;
    // Bytes on their way to the server: Pending, what libssh still holds
    // (counted as 1 when only that is known) and what the system's socket
    // has not had acknowledged yet.
    size_t Unsent() const;
    // Ends our side of the shell: once every byte given to Write has been
    // written, the channel's EOF is sent. What the shell still prints keeps
    // arriving; the server's close follows as SshClosed. Only when Open.
    void SendEof();
    // Ends the session at once (a close to the server is attempted); no
    // event follows. Harmless in any phase.
    void Close();
    Phase phase() const { return phase_; }

    struct Impl;

private:
    ISshSessionEvents& events_;
    Phase phase_ = Phase::Idle;
    std::unique_ptr<Impl> impl_;
    friend struct Impl;
};

}  // namespace sshnet
