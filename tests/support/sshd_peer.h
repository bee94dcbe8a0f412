// OpenSSH's sshd as a test peer on 127.0.0.1: a host key, a client key and
// its authorized-keys entry, and a configuration of its own, all in a scratch
// folder; every session runs varnel-dialogue-shell (the demo host's dialogue
// after login). Started by Start, stopped when the object goes.
//
// The sshd used is the system's (/usr/sbin/sshd: run as root it needs the
// privilege-separation user that Debian's package creates) or, for a user
// other than root, one unpacked from Debian's package file into the build
// folder. When there is none, Start says why.
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
    uint16_t port_ = 0;
    std::unique_ptr<BackgroundProcess> process_;
};

// True when the run must not skip a test for want of a peer (CI=true).
bool MustNotSkip();

}  // namespace testhost
