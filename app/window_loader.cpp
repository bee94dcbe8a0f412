#include "app/window_loader.h"

#include <unistd.h>

#include "app/install_layout.h"
#include "platform/os.h"

#ifdef VARNEL_HAVE_PLATFORM
#include "platform/message_window.h"
#endif

namespace {

std::string ProgramFolderOfExecutable() {
    const std::string folder = os::ExecutablePath();
    if (folder.empty()) return "./";
    return folder.substr(0, folder.rfind('/') + 1);
}

std::unique_ptr<IGuiWindow> Fail(std::string* error, const std::string& reason) {
    if (error != nullptr) *error = "cannot open a window: " + reason;
    return nullptr;
}

}  // namespace

std::string WindowModulePath(const std::string& programFolder) {
    return layout::CompanionFile(programFolder, kWindowModuleName, layout::kModuleFolder);
}

GuiPlatform ProgramGuiPlatform() {
    GuiPlatform platform;
#ifdef VARNEL_HAVE_PLATFORM
    platform.event_loop_fd = [] { return win::EventLoopFd(); };
    platform.pump_event_loop = [] { win::PumpEventLoop(); };
    platform.set_toolkit_pump = [](std::function<void()> pump) { win::SetToolkitPump(std::move(pump)); };
    platform.shell_open = [](const std::string& target) { win::ShellExecuteA(0, "open", target); };
#endif
    return platform;
}

std::unique_ptr<IGuiWindow> LoadGuiWindowFrom(const std::string& modulePath, int* argc, char** argv,
                                              IFormEvents* events, std::string* error) {
    if (const std::string why = os::WindowUnavailableReason(); !why.empty()) return Fail(error, why);
    if (access(modulePath.c_str(), F_OK) != 0) return Fail(error, modulePath + " is missing");
    // The module stays loaded for the life of the process: Qt cannot be unloaded.
    std::string why;
    void* module = os::LoadModule(modulePath, &why);
    if (module == nullptr) return Fail(error, why);
    auto create = reinterpret_cast<VarnelCreateWindowFn>(os::ModuleEntry(module, VARNEL_CREATE_WINDOW_SYMBOL));
    if (create == nullptr)
        return Fail(error, modulePath + " has no entry " + VARNEL_CREATE_WINDOW_SYMBOL);
    std::string reason;
    std::unique_ptr<IGuiWindow> window(create(argc, argv, events, &reason));
    if (window == nullptr) {
        if (error != nullptr) *error = reason.empty() ? "cannot open a window" : reason;
        return nullptr;
    }
    window->AttachPlatform(ProgramGuiPlatform());
    return window;
}

std::unique_ptr<IGuiWindow> LoadGuiWindow(int* argc, char** argv, IFormEvents* events,
                                          std::string* error) {
    return LoadGuiWindowFrom(WindowModulePath(ProgramFolderOfExecutable()), argc, argv, events, error);
}
