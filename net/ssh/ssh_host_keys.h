// Host-key checking of a connected libssh session against a known-hosts file
// (OpenSSH format, shared with ssh).
#pragma once

#include <libssh/libssh.h>

#include <cstdint>
#include <string>

namespace sshnet {

struct HostKeyVerdict {
    int32_t error = 0;        // 0: the key may be used; otherwise a number of ssh_errors.h
    std::string description;  // the error's text
    std::string notice;       // non-empty: a line to record (a key accepted on first use)
};

// Checks the server's key: a recorded key that matches is accepted; a host
// with no recorded key is refused when strict, otherwise its key is appended
// to the file and the notice names the key's type and SHA-256 fingerprint; a
// key that differs from a recorded one is always refused, naming the file and
// the line of the recorded key.
HostKeyVerdict CheckHostKey(ssh_session session, const std::string& host, uint16_t port,
                            const std::string& knownHostsFile, bool strict);

// The user's home folder: HOME when set and not empty, else the password
// database's entry for the user; "" when there is neither.
std::string HomeFolder();

// Whether the known-hosts file may be read: 0 when it is a regular file or
// does not exist yet (a first key creates it), otherwise ErrSshKnownHosts: an
// empty name (no home folder to put it in), a FIFO, a device, a folder, or a
// file that cannot be opened. It is opened without blocking, so a FIFO with no
// writer is refused at once instead of holding the run.
int32_t CheckKnownHostsFile(const std::string& knownHostsFile);

// The line (from 1) of the first entry for host:port whose key is not `key`; 0 if none.
int FindDifferingEntry(const std::string& knownHostsFile, const std::string& host, uint16_t port, ssh_key key);

}  // namespace sshnet
