// The error numbers of an SSH session and their texts. They have a range of
// their own (42001-42099), apart from the socket numbers (10000-11999) and
// the socket object's own numbers (400xx).
#pragma once

#include <cstdint>
#include <string>

namespace sshnet {

constexpr int32_t ErrSshConnect = 42001;       // no SSH connection: TCP, handshake, or closed before the shell
constexpr int32_t ErrSshHostUnknown = 42002;   // strict checking and a host with no recorded key
constexpr int32_t ErrSshHostChanged = 42003;   // the host's key differs from the recorded one
constexpr int32_t ErrSshKnownHosts = 42004;    // the known-hosts file cannot be read or written
constexpr int32_t ErrSshAuth = 42005;          // every authentication method was refused
constexpr int32_t ErrSshChannel = 42006;       // the server refused the session channel, pty or shell
constexpr int32_t ErrSshLost = 42007;          // the open session failed (protocol or socket error)
// 42008 "SSH needs user@name" belongs to the script runner (an SSH line without a user).
// 42009 "SSH module cannot be loaded: REASON" belongs to the program (app/ssh_loader.h).

// The fixed text of a number ("" for a number not in the range).
const char* SshErrorText(int32_t number);
// The text of ErrSshHostChanged for the line of the file that holds the recorded key.
std::string HostChangedText(const std::string& file, int line);

}  // namespace sshnet
