// The session's authentication steps (agent and key files, then
// keyboard-interactive or password with each prompt handed to the owner) and
// the opening of its channel, pseudo-terminal and shell.
#include <algorithm>

#include "net/ssh/ssh_errors.h"
#include "net/ssh/ssh_session_impl.h"
#include "platform/fd_watch.h"

namespace sshnet {

void SshSession::Impl::Authenticated() {
    owner.phase_ = Phase::Opening;
    std::fill(password.begin(), password.end(), '\0');
    OpenChannel();
}

void SshSession::Impl::Prompt(const std::string& text) {
    owner.phase_ = Phase::Prompting;
    if (watchedFd >= 0) win::WatchDescriptor(watchedFd, hwnd, kReadyMsg, 0);
    ev().SshPrompt(text);
}

void SshSession::Impl::Authenticate() {
    for (;;) {
        int rc;
        switch (auth) {
            case Auth::None:
                rc = ssh_userauth_none(s, nullptr);
                if (rc == SSH_AUTH_AGAIN) return Rearm();
                if (rc == SSH_AUTH_SUCCESS) return Authenticated();
                if (rc == SSH_AUTH_ERROR) return Fail(ErrSshConnect);
                methods = ssh_userauth_list(s, nullptr);
                auth = Auth::Keys;
                break;
            case Auth::Keys:
                if (!(methods & SSH_AUTH_METHOD_PUBLICKEY)) {
                    auth = Auth::Interactive;
                    break;
                }
                rc = ssh_userauth_publickey_auto(s, nullptr, nullptr);
                if (rc == SSH_AUTH_AGAIN) return Rearm();
                if (rc == SSH_AUTH_SUCCESS) return Authenticated();
                if (rc == SSH_AUTH_ERROR) return Fail(ErrSshConnect);
                auth = Auth::Interactive;
                break;
            case Auth::Interactive:
                if (!(methods & SSH_AUTH_METHOD_INTERACTIVE)) {
                    auth = Auth::PasswordPrompt;
                    break;
                }
                rc = ssh_userauth_kbdint(s, nullptr, nullptr);
                if (rc == SSH_AUTH_AGAIN) return Rearm();
                if (rc == SSH_AUTH_SUCCESS) return Authenticated();
                if (rc == SSH_AUTH_ERROR) return Fail(ErrSshConnect);
                if (rc == SSH_AUTH_INFO) {
                    prompts = ssh_userauth_kbdint_getnprompts(s);
                    promptIndex = 0;
                    if (prompts > 0) auth = Auth::InteractivePrompt;
                    break;  // no prompts: the empty reply goes at once
                }
                if (answered) return Fail(ErrSshAuth);
                auth = Auth::PasswordPrompt;
                break;
            case Auth::InteractivePrompt:
                if (promptIndex >= prompts) {
                    auth = Auth::Interactive;
                    break;
                }
                return Prompt(ssh_userauth_kbdint_getprompt(s, static_cast<unsigned>(promptIndex), nullptr));
            case Auth::PasswordPrompt:
                if (!(methods & SSH_AUTH_METHOD_PASSWORD) || answered) return Fail(ErrSshAuth);
                auth = Auth::Password;
                return Prompt("Password: ");
            case Auth::Password:
                rc = ssh_userauth_password(s, nullptr, password.c_str());
                if (rc == SSH_AUTH_AGAIN) return Rearm();
                if (rc == SSH_AUTH_SUCCESS) return Authenticated();
                if (rc == SSH_AUTH_ERROR) return Fail(ErrSshConnect);
                return Fail(ErrSshAuth);
        }
    }
}

// Takes the channel's data, of either stream, as libssh handles the
// packets: nothing stays in libssh's own buffers, where no socket event
// would announce it.
int SshSession::Impl::OnChannelData(ssh_session, ssh_channel, void* data, uint32_t len, int, void* self) {
    static_cast<Impl*>(self)->incoming.append(static_cast<const char*>(data), len);
    return static_cast<int>(len);
}

void SshSession::Impl::OpenChannel() {
    if (ch == nullptr) {
        if ((ch = ssh_channel_new(s)) == nullptr) return Fail(ErrSshChannel);
        ssh_callbacks_init(&channelCallbacks);
        channelCallbacks.userdata = this;
        channelCallbacks.channel_data_function = OnChannelData;
        ssh_set_channel_callbacks(ch, &channelCallbacks);
    }
    for (;;) {
        int rc = SSH_ERROR;
        switch (channel) {
            case Channel::Open: rc = ssh_channel_open_session(ch); break;
            case Channel::Pty: rc = ssh_channel_request_pty_size(ch, "vt100", 80, 24); break;
            case Channel::Shell: rc = ssh_channel_request_shell(ch); break;
        }
        if (rc == SSH_AGAIN) return Rearm();
        if (rc != SSH_OK) return Fail(ssh_is_connected(s) ? ErrSshChannel : ErrSshConnect);
        if (channel == Channel::Shell) break;
        channel = channel == Channel::Open ? Channel::Pty : Channel::Shell;
    }
    owner.phase_ = Phase::Open;
    ev().SshOpened();
    if (Gone()) return;
    Pump();
}

}  // namespace sshnet
