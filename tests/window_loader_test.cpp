// Loading the window module: every reason it can fail comes back as one line,
// and a loaded window runs the program's event loop inside its own.
#include <dlfcn.h>
#include <link.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/window_loader.h"

#ifdef VARNEL_HAVE_PLATFORM
#include "platform/message_window.h"
#endif

namespace {

const std::string kModule = std::string(VARNEL_BUILD_DIR) + "/" + kWindowModuleName;

struct NoEvents : IFormEvents {
    void cmdStop_Click() override {}
    void cmdScrDbg_Click() override {}
    void cmdComDbg_Click() override {}
    void cmdReadMe_Click() override {}
    void imgLogo_Click() override {}
    void Form_QueryUnload() override {}
};

int g_argc = 1;
char g_name[] = "window_loader_test";
char* g_argv[] = {g_name, nullptr};
NoEvents g_events;

std::string LoadError(const std::string& path) {
    std::string error;
    EXPECT_EQ(LoadGuiWindowFrom(path, &g_argc, g_argv, &g_events, &error), nullptr);
    return error;
}

std::string PathOfLoadedLibrary(const char* name) {
    void* handle = dlopen(name, RTLD_NOW);
    link_map* map = nullptr;
    if (handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0) return "";
    return map->l_name;
}

#ifdef VARNEL_HAVE_PLATFORM
IGuiWindow* g_window = nullptr;
win::LRESULT QuitOnMessage(win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM) {
    if (msg == 0x401 && g_window != nullptr) g_window->Quit(wParam);
    return 0;
}
#endif

// One test, in order: the failures that come before Qt starts must be seen
// before the process has an application object.
TEST(WindowLoaderTest, ReportsWhyNoWindowOpensThenOpensOne) {
    EXPECT_EQ(LoadError("/nonexistent/libvarnel-qt.so"),
              "cannot open a window: /nonexistent/libvarnel-qt.so is missing");
    const std::string notALibrary = std::string(VARNEL_SOURCE_DIR) + "/ui/qt/logo.svg";
    const std::string error = LoadError(notALibrary);
    EXPECT_EQ(error.rfind("cannot open a window: " + notALibrary + ": ", 0), 0u) << error;
    const std::string libm = PathOfLoadedLibrary("libm.so.6");
    ASSERT_FALSE(libm.empty());
    EXPECT_EQ(LoadError(libm), "cannot open a window: " + libm + " has no entry varnel_create_window");
    // The program's own folder is build/tests here, where no module lies, so
    // the installed place is looked at: PREFIX/lib/varnel/ with PREFIX = build.
    std::string own;
    EXPECT_EQ(LoadGuiWindow(&g_argc, g_argv, &g_events, &own), nullptr);
    EXPECT_EQ(own, "cannot open a window: " + std::string(VARNEL_BUILD_DIR) + "/lib/varnel/" + kWindowModuleName +
                       " is missing");

    unsetenv("QT_QPA_PLATFORM");
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(LoadError(kModule), "cannot open a window: no display (DISPLAY is not set)");

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::string none;
    std::unique_ptr<IGuiWindow> window = LoadGuiWindowFrom(kModule, &g_argc, g_argv, &g_events, &none);
    ASSERT_NE(window, nullptr) << none;
    EXPECT_EQ(window->HeightTwips(), 5775);
    window->SetHeightTwips(3165);
    EXPECT_EQ(window->HeightTwips(), 3165);
    window->txtDebug().AppendText("Running script\r\n");
    EXPECT_EQ(window->txtDebug().Text(), "Running script\r\n");

#ifdef VARNEL_HAVE_PLATFORM
    // A message posted to a message window is dispatched from inside Qt's loop.
    g_window = window.get();
    const win::HWND hwnd = win::CreateWindowExA(0, "STATIC", "LOADER_TEST");
    ASSERT_NE(hwnd, 0);
    win::SetWindowLongA(hwnd, win::GWL_WNDPROC, QuitOnMessage);
    ASSERT_TRUE(win::PostMessageA(hwnd, 0x401, 9, 0));
    EXPECT_EQ(window->Exec(), 9);
    win::DestroyWindow(hwnd);
    g_window = nullptr;
#else
    window->Quit(4);
    EXPECT_EQ(window->Exec(), 4);
#endif
}

}  // namespace
