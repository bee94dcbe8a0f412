// varnel-ssh-test-server: a small SSH server on 127.0.0.1 for the SSH tests,
// built on libssh's server API. It serves one connection after the other
// and prints its port as the first line of output.
//
//   varnel-ssh-test-server --key FILE [--mode MODE] [--user NAME] [--password WORD]
//
// FILE is the host key (an Ed25519 key is generated there when it does not
// exist). MODE:
//   kbdint    keyboard-interactive only, one prompt "Password: " (default)
//   twostep   keyboard-interactive, prompts "Password: " and "Token: " (answer "42")
//   password  password authentication only
//   closeauth closes the connection at the first authentication request
//   silent    accepts TCP connections and never says anything
// After a successful login (and a pseudo-terminal of type "vt100": any other
// is refused) the session speaks the demo host's dialogue.
// libssh marks the message-based server calls deprecated in favour of its
// callbacks; for a test peer that serves one request after the other they
// are the shortest way.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <arpa/inet.h>
#include <libssh/libssh.h>
#include <libssh/server.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/shell_dialogue.h"

namespace {

struct Options {
    std::string key;
    std::string mode = "kbdint";
    std::string user = "admin";
    std::string password = "varnel";
};

void PrintPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    std::printf("%d\n", ntohs(addr.sin_port));
    std::fflush(stdout);
}

int Silent() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) return 1;
    PrintPort(fd);
    std::vector<int> held;
    for (;;) {
        int c = ::accept(fd, nullptr, nullptr);
        if (c >= 0) held.push_back(c);
    }
}

bool EnsureKey(const std::string& file) {
    if (::access(file.c_str(), R_OK) == 0) return true;
    ssh_key key = nullptr;
    if (ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &key) != SSH_OK) return false;
    int rc = ssh_pki_export_privkey_file(key, nullptr, nullptr, nullptr, file.c_str());
    ssh_key_free(key);
    return rc == SSH_OK;
}

// Authentication as the mode asks; true once the user is in.
bool Authenticate(ssh_session s, const Options& o) {
    const bool interactive = o.mode == "kbdint" || o.mode == "twostep";
    const int methods = interactive ? SSH_AUTH_METHOD_INTERACTIVE : SSH_AUTH_METHOD_PASSWORD;
    std::string user;  // a keyboard-interactive response does not repeat it
    for (;;) {
        ssh_message m = ssh_message_get(s);
        if (m == nullptr) return false;
        if (ssh_message_type(m) != SSH_REQUEST_AUTH) {
            ssh_message_reply_default(m);
            ssh_message_free(m);
            continue;
        }
        if (o.mode == "closeauth") {
            ssh_message_free(m);
            return false;
        }
        bool ok = false, asked = false;
        if (const char* named = ssh_message_auth_user(m)) user = named;
        bool userOk = o.user == user;
        int subtype = ssh_message_subtype(m);
        if (interactive && subtype == SSH_AUTH_METHOD_INTERACTIVE) {
            if (!ssh_message_auth_kbdint_is_response(m)) {
                const char* prompts[] = {"Password: ", "Token: "};
                char echo[] = {0, 1};
                unsigned n = o.mode == "twostep" ? 2 : 1;
                ssh_message_auth_interactive_request(m, "", "", n, prompts, echo);
                asked = true;
            } else {
                const char* a0 = ssh_userauth_kbdint_getanswer(s, 0);
                ok = userOk && a0 != nullptr && o.password == a0;
                if (o.mode == "twostep") {
                    const char* a1 = ssh_userauth_kbdint_getanswer(s, 1);
                    ok = ok && a1 != nullptr && std::strcmp(a1, "42") == 0;
                }
            }
        } else if (!interactive && subtype == SSH_AUTH_METHOD_PASSWORD) {
            const char* p = ssh_message_auth_password(m);
            ok = userOk && p != nullptr && o.password == p;
        }
        if (ok) {
            ssh_message_auth_reply_success(m, 0);
            ssh_message_free(m);
            return true;
        }
        if (!asked) {
            ssh_message_auth_set_methods(m, methods);
            ssh_message_reply_default(m);
        }
        ssh_message_free(m);
    }
}

// Waits for the session channel, its pseudo-terminal and its shell.
ssh_channel OpenShell(ssh_session s) {
    ssh_channel channel = nullptr;
    for (;;) {
        ssh_message m = ssh_message_get(s);
        if (m == nullptr) return nullptr;
        int type = ssh_message_type(m), subtype = ssh_message_subtype(m);
        if (channel == nullptr && type == SSH_REQUEST_CHANNEL_OPEN && subtype == SSH_CHANNEL_SESSION) {
            channel = ssh_message_channel_request_open_reply_accept(m);
        } else if (channel != nullptr && type == SSH_REQUEST_CHANNEL && subtype == SSH_CHANNEL_REQUEST_PTY) {
            // Only the terminal type the client is meant to ask for is accepted.
            if (std::strcmp(ssh_message_channel_request_pty_term(m), "vt100") == 0) {
                ssh_message_channel_request_reply_success(m);
            } else {
                ssh_message_reply_default(m);
            }
        } else if (channel != nullptr && type == SSH_REQUEST_CHANNEL && subtype == SSH_CHANNEL_REQUEST_SHELL) {
            ssh_message_channel_request_reply_success(m);
            ssh_message_free(m);
            return channel;
        } else {
            ssh_message_reply_default(m);
        }
        ssh_message_free(m);
    }
}

void Serve(ssh_session s, const Options& o) {
    if (ssh_handle_key_exchange(s) != SSH_OK) return;
    ssh_set_auth_methods(s, o.mode == "password" ? SSH_AUTH_METHOD_PASSWORD : SSH_AUTH_METHOD_INTERACTIVE);
    if (!Authenticate(s, o)) return;
    ssh_channel channel = OpenShell(s);
    if (channel == nullptr) return;
    testhost::ShellDialogue dialogue(o.user);
    std::string out = dialogue.Welcome();
    char buf[4096];
    while (ssh_channel_write(channel, out.data(), static_cast<uint32_t>(out.size())) >= 0 && !dialogue.Finished()) {
        int n = ssh_channel_read(channel, buf, sizeof buf, 0);
        if (n <= 0) break;
        out = dialogue.Feed(std::string(buf, static_cast<size_t>(n)));
    }
    ssh_channel_send_eof(channel);
    ssh_channel_close(channel);
    ssh_channel_free(channel);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--key") o.key = argv[i + 1];
        else if (flag == "--mode") o.mode = argv[i + 1];
        else if (flag == "--user") o.user = argv[i + 1];
        else if (flag == "--password") o.password = argv[i + 1];
    }
    if (o.mode == "silent") return Silent();
    if (o.key.empty() || !EnsureKey(o.key)) {
        std::fprintf(stderr, "varnel-ssh-test-server: no host key\n");
        return 2;
    }
    ssh_bind bind = ssh_bind_new();
    unsigned int port = 0;
    ssh_bind_options_set(bind, SSH_BIND_OPTIONS_BINDADDR, "127.0.0.1");
    ssh_bind_options_set(bind, SSH_BIND_OPTIONS_BINDPORT, &port);
    ssh_bind_options_set(bind, SSH_BIND_OPTIONS_HOSTKEY, o.key.c_str());
    if (ssh_bind_listen(bind) != SSH_OK) {
        std::fprintf(stderr, "varnel-ssh-test-server: %s\n", ssh_get_error(bind));
        return 1;
    }
    PrintPort(ssh_bind_get_fd(bind));
    for (;;) {
        ssh_session s = ssh_new();
        if (ssh_bind_accept(bind, s) == SSH_OK) Serve(s, o);
        ssh_disconnect(s);
        ssh_free(s);
    }
}
