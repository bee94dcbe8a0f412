#include "net/ssh/ssh_errors.h"

namespace sshnet {

const char* SshErrorText(int32_t number) {
    switch (number) {
        case ErrSshConnect: return "SSH connection failed";
        case ErrSshHostUnknown: return "SSH host key unknown (strict checking)";
        case ErrSshHostChanged: return "SSH host key changed";
        case ErrSshKnownHosts: return "SSH known hosts file cannot be used";
        case ErrSshAuth: return "SSH authentication failed";
        case ErrSshChannel: return "SSH shell refused";
        case ErrSshLost: return "SSH session failed";
        default: return "";
    }
}

std::string HostChangedText(const std::string& file, int line) {
    return std::string(SshErrorText(ErrSshHostChanged)) + ": " + file + " line " + std::to_string(line);
}

}  // namespace sshnet
