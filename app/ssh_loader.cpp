#include "app/ssh_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <map>

#include "app/install_layout.h"
#include "app/placeholder_socket.h"
#include "app/ssh_module.h"
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
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return "./";
    std::string folder(path, static_cast<size_t>(length));
    return folder.substr(0, folder.rfind('/') + 1);
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
    if (access(modulePath.c_str(), F_OK) != 0) {
        *reason = modulePath + " is missing";
        return nullptr;
    }
    // Never unloaded: libcrypto keeps handlers registered for the process's exit.
    void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = dlerror();
        *reason = why != nullptr ? why : modulePath + " cannot be loaded";
        return nullptr;
    }
    auto entry = reinterpret_cast<VarnelCreateSshSocketFn>(dlsym(module, VARNEL_CREATE_SSH_SOCKET_SYMBOL));
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
