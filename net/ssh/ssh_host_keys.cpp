#include "net/ssh/ssh_host_keys.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "net/ssh/ssh_errors.h"
#include "platform/os.h"

namespace sshnet {
namespace {

constexpr const char* kSystemFile = "/etc/ssh/ssh_known_hosts";  // libssh reads it as well

// The host as known-hosts files write it: "name" on port 22, "[name]:port" otherwise.
std::string EntryName(const std::string& host, uint16_t port) {
    if (port == 22) return host;
    return "[" + host + "]:" + std::to_string(port);
}

std::string Fingerprint(ssh_key key) {
    unsigned char* hash = nullptr;
    size_t length = 0;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != SSH_OK) return "?";
    char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
    ssh_clean_pubkey_hash(&hash);
    std::string result = text != nullptr ? text : "?";
    ssh_string_free_char(text);
    return result;
}

HostKeyVerdict Refuse(int32_t number, std::string description = {}) {
    HostKeyVerdict v;
    v.error = number;
    v.description = description.empty() ? SshErrorText(number) : std::move(description);
    return v;
}

}  // namespace

std::string HomeFolder() { return os::HomeFolder(); }

int32_t CheckKnownHostsFile(const std::string& knownHostsFile) {
    if (knownHostsFile.empty()) return ErrSshKnownHosts;
    const int fd = os::OpenToInspect(knownHostsFile);
    if (fd < 0) return errno == ENOENT ? 0 : ErrSshKnownHosts;
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    return regular ? 0 : ErrSshKnownHosts;
}

int FindDifferingEntry(const std::string& knownHostsFile, const std::string& host, uint16_t port, ssh_key key) {
    std::ifstream in(knownHostsFile, std::ios::binary);
    const std::string name = EntryName(host, port);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        ssh_knownhosts_entry* entry = nullptr;
        int rc = ssh_known_hosts_parse_line(name.c_str(), line.c_str() + first, &entry);
        bool differs = rc == SSH_OK && entry != nullptr &&
                       ssh_key_cmp(entry->publickey, key, SSH_KEY_CMP_PUBLIC) != 0;
        ssh_knownhosts_entry_free(entry);
        if (differs) return number;
    }
    return 0;
}

HostKeyVerdict CheckHostKey(ssh_session session, const std::string& host, uint16_t port,
                            const std::string& knownHostsFile, bool strict) {
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(session, &key) != SSH_OK) return Refuse(ErrSshConnect);
    HostKeyVerdict verdict;
    switch (ssh_session_is_known_server(session)) {
        case SSH_KNOWN_HOSTS_OK:
            break;
        case SSH_KNOWN_HOSTS_CHANGED:
        case SSH_KNOWN_HOSTS_OTHER:
        {
            // The recorded key is in the user's file or else in the system's.
            std::string file = knownHostsFile;
            int line = FindDifferingEntry(file, host, port, key);
            if (line == 0 && FindDifferingEntry(kSystemFile, host, port, key) != 0) {
                file = kSystemFile;
                line = FindDifferingEntry(file, host, port, key);
            }
            verdict = Refuse(ErrSshHostChanged, HostChangedText(file, line));
            break;
        }
        case SSH_KNOWN_HOSTS_NOT_FOUND:
        case SSH_KNOWN_HOSTS_UNKNOWN:
            if (strict) {
                verdict = Refuse(ErrSshHostUnknown);
            } else if (ssh_session_update_known_hosts(session) != SSH_OK) {
                verdict = Refuse(ErrSshKnownHosts);
            } else {
                const char* type = ssh_key_type_to_char(ssh_key_type(key));
                verdict.notice = "SSH host key of " + host + " port " + std::to_string(port) + " recorded in " +
                                 knownHostsFile + " (first use): " + (type != nullptr ? type : "?") + " " +
                                 Fingerprint(key);
            }
            break;
        case SSH_KNOWN_HOSTS_ERROR:
        default:
            verdict = Refuse(ErrSshKnownHosts);
            break;
    }
    ssh_key_free(key);
    return verdict;
}

}  // namespace sshnet
