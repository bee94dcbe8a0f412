#include "app/ssh_loader.h"

#include <filesystem>
#include <map>

#include "app/install_layout.h"
#include "app/placeholder_socket.h"
#include "app/ssh_module.h"
#include "platform/os.h"
#include "platform/vb_error.h"

namespace {

// The socket of an SSH line whose module cannot be loaded: closed, and its
// Connect reports why.
class UnavailableSshSocket : public PlaceholderSessionSocket {
public:
    explicit UnavailableSshSocket(std::string reason) : reason_(std::move(reason)) {}
    void Connect(const std::string&, const std::string&) override {
        throw VbError(kErrSshModule, "SSH.Connect", "SSH module cannot be loaded: " + reason_);
    }

private:
    std::string reason_;
};

std::string ProgramFolderOfExecutable() {
    const std::string path = os::ExecutablePath();
    if (path.empty()) return "./";
    return path.substr(0, path.rfind('/') + 1);
}

const SshModulePlatform& ProgramPlatform() {
    static const SshModulePlatform platform = [] {
        SshModulePlatform p;
        p.create_window = win::CreateWindowExA;
        p.destroy_window = win::DestroyWindow;
        p.is_window = win::IsWindow;
        p.get_window_long = win::GetWindowLongA;
        p.set_window_long = win::SetWindowLongA;
        p.call_window_proc = win::CallWindowProcA;
        p.def_window_proc = win::DefWindowProcA;
        p.post_message = win::PostMessageA;
        p.set_timer = win::SetTimer;
        p.kill_timer = win::KillTimer;
        p.ioctl_socket = win::ioctlsocket;
        p.watch_descriptor = win::WatchDescriptor;
        p.unwatch_descriptor = win::UnwatchDescriptor;
        return p;
    }();
    return platform;
}

// The entry of the module at modulePath, loaded once; nullptr and *reason when it cannot be loaded.
VarnelCreateSshSocketFn LoadEntry(const std::string& modulePath, std::string* reason) {
    static std::map<std::string, VarnelCreateSshSocketFn> loaded;
    if (auto it = loaded.find(modulePath); it != loaded.end()) return it->second;
    std::error_code ec;
    if (!std::filesystem::exists(modulePath, ec)) {
        *reason = modulePath + " is missing";
        return nullptr;
    }
    // Never unloaded: libcrypto keeps handlers registered for the process's exit.
    void* module = os::LoadModule(modulePath, reason);
    if (module == nullptr) return nullptr;
    auto entry = reinterpret_cast<VarnelCreateSshSocketFn>(os::ModuleEntry(module, VARNEL_CREATE_SSH_SOCKET_SYMBOL));
    if (entry == nullptr) {
        *reason = modulePath + " has no entry " + VARNEL_CREATE_SSH_SOCKET_SYMBOL;
        return nullptr;
    }
    loaded[modulePath] = entry;
    return entry;
}

}  // namespace

std::string SshModulePath(const std::string& programFolder) {
    return layout::CompanionFile(programFolder, kSshModuleName, layout::kModuleFolder);
}

std::unique_ptr<ISessionSocket> OpenSshSocketFrom(const std::string& modulePath, ISessionEvents& events,
                                                  const std::string& user,
                                                  std::function<void(const std::string&)> log) {
    std::string reason;
    VarnelCreateSshSocketFn create = LoadEntry(modulePath, &reason);
    ISessionSocket* socket = nullptr;
    if (create != nullptr) {
        socket = create(&ProgramPlatform(), &events, &user, &log, &reason);
        if (socket == nullptr && reason.empty()) reason = modulePath + " made no socket";
    }
    if (socket == nullptr) return std::make_unique<UnavailableSshSocket>(reason);
    return std::unique_ptr<ISessionSocket>(socket);
}

std::unique_ptr<ISessionSocket> OpenSshSocket(ISessionEvents& events, const std::string& user,
                                              std::function<void(const std::string&)> log) {
    return OpenSshSocketFrom(SshModulePath(ProgramFolderOfExecutable()), events, user, std::move(log));
}
