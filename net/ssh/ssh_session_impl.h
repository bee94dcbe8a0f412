// The inside of an SSH session, shared by its two source files: the
// connection, data and lifetime steps (ssh_session.cpp) and the
// authentication and channel steps (ssh_session_auth.cpp). Not for use
// outside net/ssh/.
#pragma once

#include <libssh/callbacks.h>
#include <libssh/libssh.h>

#include <string>

#include "net/ssh/ssh_session.h"
#include "platform/message_window.h"

namespace sshnet {

// The messages of a session's own window.
constexpr win::UINT kReadyMsg = 0x0401;  // the watched socket is ready
constexpr win::UINT kStepMsg = 0x0402;   // go on (after an answer, a write, or a capped read)

struct SshSession::Impl {
    enum class Auth { None, Keys, Interactive, InteractivePrompt, PasswordPrompt, Password };
    enum class Channel { Open, Pty, Shell };

    SshSession& owner;
    SshTarget target;
    ssh_session s = nullptr;
    ssh_channel ch = nullptr;
    ssh_callbacks_struct callbacks{};
    ssh_channel_callbacks_struct channelCallbacks{};
    std::string incoming;  // channel data (both streams) delivered while libssh handles packets
    win::HWND hwnd = 0;
    int watchedFd = -1;
    Auth auth = Auth::None;
    Channel channel = Channel::Open;
    int methods = 0;
    int prompts = 0;
    int promptIndex = 0;
    bool answered = false;
    std::string password;
    std::string out;       // queued for the shell
    bool sentPending = false;
    bool eofWanted = false;  // SendEof: the channel's EOF follows the queued bytes
    bool eofSent = false;

    explicit Impl(SshSession& o) : owner(o) {}

    ISshSessionEvents& ev() { return owner.events_; }
    bool Gone() const { return owner.phase_ == Phase::Closed || owner.phase_ == Phase::Failed; }

    void Release();
    void Fail(int32_t number, const std::string& description = {});
    void Kick();
    // Watches the socket for what libssh waits for: always input, and room
    // to write while its output buffer holds data.
    void Rearm();
    void Step();
    void Connect();
    void Authenticated();
    void Prompt(const std::string& text);
    void Authenticate();
    // Takes the channel's data, of either stream, as libssh handles the
    // packets: nothing stays in libssh's own buffers, where no socket event
    // would announce it.
    static int OnChannelData(ssh_session, ssh_channel, void* data, uint32_t len, int, void* self);
    void OpenChannel();
    // libssh holds output that the socket has not taken yet.
    bool WritePending() const { return s != nullptr && (ssh_get_poll_flags(s) & SSH_WRITE_PENDING) != 0; }
    // Writes what the channel's window allows; false on a failure.
    bool Flush();
    void Pump();
};

}  // namespace sshnet
