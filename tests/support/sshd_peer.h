// OpenSSH's sshd as a test peer on 127.0.0.1: a host key, a client key and
// its authorized-keys entry, and a configuration of its own, all in a scratch
// folder; every session runs varnel-dialogue-shell (the demo host's dialogue
// after login). Started by Start, stopped when the object goes.
//
// The sshd used is the system's (/usr/sbin/sshd: run as root it needs the
// privilege-separation user that Debian's package creates) or, for a user
// other than root, one unpacked from Debian's package file into the build
// folder. When there is none, Start says why.
//
// UsePasswordLogin switches the peer to an existing account that logs in by
// keyboard-interactive password through PAM (no key); the dialogue shell is
// then made reachable for that account, copied into a folder of its own when
// a folder above the build's copy is closed to other users.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace testhost {

class BackgroundProcess;

class SshdPeer {
public:
    explicit SshdPeer(const std::string& name);
    ~SshdPeer();
    // Before Start: log in as this account by keyboard-interactive password.
    void UsePasswordLogin(const std::string& user) {
        user_ = user;
        byPassword_ = true;
    }
    // Before Start: every session runs this program instead of the dialogue shell.
    void UseShell(const std::string& path) { shell_ = path; }
    // Starts sshd; false with the reason when it cannot run here.
    bool Start(std::string& whyNot);

    uint16_t port() const { return port_; }
    const std::string& user() const { return user_; }
    // The scratch folder; its "home" holds .ssh/id_ed25519 (the authorized
    // key) and is meant as HOME for the client.
    const std::string& dir() const { return dir_; }
    std::string home() const { return dir_ + "/home"; }

private:
    std::string dir_;
    std::string user_;
    std::string shellCopyDir_;  // removed when the object goes; "" when unused
    std::string shell_;         // "" : varnel-dialogue-shell
    uint16_t port_ = 0;
    bool byPassword_ = false;
    std::unique_ptr<BackgroundProcess> process_;
};

// True when the run must not skip a test for want of a peer (CI=true).
bool MustNotSkip();

}  // namespace testhost

// In a GoogleTest test: starts the peer, or fails (CI=true) or skips the test
// with the reason when sshd cannot run here.
#define START_SSHD_OR_SKIP(peer)                                                   \
    do {                                                                           \
        std::string whyNot;                                                        \
        if (!(peer).Start(whyNot)) {                                               \
            if (testhost::MustNotSkip()) FAIL() << "sshd cannot run: " << whyNot;  \
            GTEST_SKIP() << "sshd cannot run: " << whyNot;                         \
        }                                                                          \
    } while (0)
