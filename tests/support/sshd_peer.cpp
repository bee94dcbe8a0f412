#include "tests/support/sshd_peer.h"

#include <arpa/inet.h>
#include <libssh/libssh.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/support/scripted_host.h"

namespace testhost {
namespace {

namespace fs = std::filesystem;

uint16_t FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// Writes a new Ed25519 key pair: the private key to file, the public key
// line (without comment) returned.
std::string NewKey(const std::string& file) {
    ssh_key key = nullptr;
    if (ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &key) != SSH_OK) return "";
    char* base64 = nullptr;
    std::string line;
    if (ssh_pki_export_privkey_file(key, nullptr, nullptr, nullptr, file.c_str()) == SSH_OK &&
        ssh_pki_export_pubkey_base64(key, &base64) == SSH_OK)
        line = std::string("ssh-ed25519 ") + base64;
    ssh_string_free_char(base64);
    ssh_key_free(key);
    ::chmod(file.c_str(), 0600);
    return line;
}

// The sshd to run, or "" with the reason.
std::string FindSshd(std::string& whyNot) {
    const bool root = ::geteuid() == 0;
    if (::access("/usr/sbin/sshd", X_OK) == 0) {
        if (!root || ::getpwnam("sshd") != nullptr) return "/usr/sbin/sshd";
        whyNot = "/usr/sbin/sshd is present but its privilege-separation user 'sshd' is not (install openssh-server)";
        return "";
    }
    if (root) {
        whyNot = "no /usr/sbin/sshd, and an unpacked one cannot run as root (install openssh-server)";
        return "";
    }
    const std::string folder = std::string(VARNEL_BUILD_DIR) + "/sshd-unpacked";
    const std::string sshd = folder + "/usr/sbin/sshd";
    if (::access(sshd.c_str(), X_OK) != 0) {
        fs::create_directories(folder);
        ProcessResult r = RunProcess({"/bin/sh", "-c",
                                      "cd '" + folder + "' && apt-get download openssh-server >/dev/null 2>&1 && "
                                      "dpkg-deb -x openssh-server_*.deb . && rm -f openssh-server_*.deb"},
                                     {}, std::chrono::seconds(120));
        if (r.exitStatus != 0 || ::access(sshd.c_str(), X_OK) != 0) {
            whyNot = "no sshd installed, and openssh-server could not be fetched and unpacked into " + folder;
            return "";
        }
    }
    return sshd;
}

bool Accepts(uint16_t port) {
    int fd = ConnectLoopback(port);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// True when a user other than the owner can reach and run file: every folder
// above it searchable by others, the file executable by others.
bool OpenToOthers(const fs::path& file) {
    struct stat st{};
    if (::stat(file.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
    for (fs::path dir = file.parent_path(); !dir.empty(); dir = dir.parent_path()) {
        if (::stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
        if (dir == dir.root_path()) break;
    }
    return true;
}

}  // namespace

bool MustNotSkip() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

SshdPeer::SshdPeer(const std::string& name) : dir_(MakeScratchDir(name)) {
    passwd* pw = ::getpwuid(::geteuid());
    user_ = pw != nullptr ? pw->pw_name : "";
}

SshdPeer::~SshdPeer() {
    process_.reset();
    if (!shellCopyDir_.empty()) {
        std::error_code ignored;
        fs::remove_all(shellCopyDir_, ignored);
    }
}

bool SshdPeer::Start(std::string& whyNot) {
    const std::string sshd = FindSshd(whyNot);
    if (sshd.empty()) return false;
    if (byPassword_ && ::geteuid() != 0) {
        whyNot = "logging in as " + user_ + " by password needs sshd run as root";
        return false;
    }
    if (::geteuid() == 0) ::mkdir("/run/sshd", 0755);  // its privilege-separation folder
    fs::create_directories(home() + "/.ssh");
    ::chmod(dir_.c_str(), 0755);
    const std::string hostKey = NewKey(dir_ + "/host_key");
    const std::string clientKey = NewKey(home() + "/.ssh/id_ed25519");
    if (hostKey.empty() || clientKey.empty()) {
        whyNot = "keys could not be generated";
        return false;
    }
    WriteFileBytes(home() + "/.ssh/id_ed25519.pub", clientKey + "\n");
    WriteFileBytes(dir_ + "/authorized_keys", clientKey + "\n");
    std::string shell = shell_.empty() ? VARNEL_BUILD_DIR "/varnel-dialogue-shell" : shell_;
    if (byPassword_ && !OpenToOthers(shell)) {
        char folder[] = "/tmp/varnel-dialogue-shell-XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            whyNot = "no folder for a copy of the dialogue shell that " + user_ + " can run";
            return false;
        }
        shellCopyDir_ = folder;
        ::chmod(folder, 0755);
        fs::copy_file(shell, shellCopyDir_ + "/varnel-dialogue-shell");
        shell = shellCopyDir_ + "/varnel-dialogue-shell";
        ::chmod(shell.c_str(), 0755);
    }
    const std::string auth =
        byPassword_ ? "UsePAM yes\nPasswordAuthentication no\nKbdInteractiveAuthentication yes\n"
                      "PubkeyAuthentication no\nPermitRootLogin no\n"
                    : "UsePAM no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                      "PubkeyAuthentication yes\nPermitRootLogin prohibit-password\n";
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreePort();
        WriteFileBytes(dir_ + "/sshd_config",
                       "ListenAddress 127.0.0.1\nPort " + std::to_string(port_) + "\nHostKey " + dir_ +
                           "/host_key\nPidFile none\nAuthorizedKeysFile " + dir_ +
                           "/authorized_keys\nStrictModes no\n" + auth + "AllowUsers " + user_ +
                           "\nForceCommand " + shell + "\nLogLevel ERROR\n");
        process_ = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{"/bin/sh", "-c", "echo started; exec '" + sshd + "' -D -e -f '" + dir_ +
                                                          "/sshd_config' 2>>'" + dir_ + "/sshd.log'"});
        for (int i = 0; i < 300 && process_->Running(); ++i) {
            if (Accepts(port_)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        process_.reset();
    }
    whyNot = "sshd did not start: " + ReadFileBytes(dir_ + "/sshd.log");
    return false;
}

}  // namespace testhost
