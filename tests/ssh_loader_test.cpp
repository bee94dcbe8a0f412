// The SSH module: a run without an SSH line loads the C and C++ libraries
// only; an SSH line loads the module (beside the program, else in
// PREFIX/lib/varnel/), whose session runs on the program's event loop; a
// module that cannot be loaded fails the SSH line with 42009 and a reason.
#include <dlfcn.h>
#include <link.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/ssh_loader.h"
#include "app/ssh_module.h"
#include "platform/vb_error.h"
#include "platform/message_window.h"
#include "tests/support/scripted_host.h"

namespace fs = std::filesystem;
using testhost::ReadFileBytes;
using testhost::RunProcess;
using testhost::WriteFileBytes;

namespace {

const std::string kModule = std::string(VARNEL_BUILD_DIR) + "/" + kSshModuleName;

struct Recorder : ISessionEvents {
    void wsTelnet_DataArrival(int32_t) override {}
    void wsTelnet_SendComplete() override {}
    void wsTelnet_Error(int32_t number, const std::string& description) override {
        errors.push_back(std::to_string(number) + " " + description);
    }
    void wsTelnet_CloseSck() override {}
    std::vector<std::string> errors;
};

// The file names of the libraries the loader mapped in a run (LD_DEBUG=files).
std::set<std::string> LoadedLibraries(const std::string& debugFile) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::path(debugFile).parent_path())) {
        if (entry.path().filename().string().rfind(fs::path(debugFile).filename().string(), 0) != 0) continue;
        std::istringstream lines(ReadFileBytes(entry.path().string()));
        for (std::string line; std::getline(lines, line);) {
            const size_t at = line.find("file=");
            const size_t end = line.find(" [", at);
            if (at == std::string::npos || end == std::string::npos || line.find("generating link map") == std::string::npos)
                continue;
            names.insert(fs::path(line.substr(at + 5, end - at - 5)).filename().string());
        }
    }
    return names;
}

std::string PathOfLoadedLibrary(const char* name) {
    void* handle = dlopen(name, RTLD_NOW);
    link_map* map = nullptr;
    if (handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0) return "";
    return map->l_name;
}

// Runs the program's loop until pred holds or a generous deadline passes.
template <typename Pred>
bool PumpUntil(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        win::DoEvents();
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        win::WaitMessageTimeout(20);
    }
}

std::string Transcript(const std::string& error) {
    return "Checking script (clearing output file)\r\nRunning script\r\nOpening connection\r\n" + error +
           "Closed connection.\r\n";
}

}  // namespace

TEST(SshLoader, AModuleThatCannotBeLoadedFailsTheSshLineWithItsReason) {
    const std::string notALibrary = std::string(VARNEL_SOURCE_DIR) + "/README.md";
    const std::string libm = PathOfLoadedLibrary("libm.so.6");  // a library without the entry
    ASSERT_FALSE(libm.empty());
    struct Case {
        std::string path;
        std::string reason;
    } cases[] = {
        {"/nonexistent/libvarnel-ssh.so", "/nonexistent/libvarnel-ssh.so is missing"},
        {notALibrary, notALibrary + ": invalid ELF header"},
        {libm, libm + " has no entry varnel_create_ssh_socket"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Recorder events;
        auto socket = OpenSshSocketFrom(c.path, events, "joe", nullptr);
        ASSERT_NE(socket, nullptr);
        EXPECT_EQ(socket->State(), 0);
        try {
            socket->Connect("127.0.0.1", "22");
            ADD_FAILURE() << "Connect did not fail";
        } catch (const VbError& e) {
            EXPECT_EQ(e.Number, 42009);
            EXPECT_EQ(e.Description, "SSH module cannot be loaded: " + c.reason);
        }
        EXPECT_TRUE(events.errors.empty());
    }
}

TEST(SshLoader, TheModulesSessionRunsOnTheProgramsEventLoop) {
    // libssh comes with the module, not before.
    EXPECT_EQ(dlopen("libssh.so.4", RTLD_NOW | RTLD_NOLOAD), nullptr);
    Recorder events;
    std::vector<std::string> notices;
    auto socket = OpenSshSocketFrom(kModule, events, "joe",
                                    [&notices](const std::string& line) { notices.push_back(line); });
    ASSERT_NE(socket, nullptr);
    EXPECT_NE(dlopen("libssh.so.4", RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(socket->State(), 0);
    socket->Connect("127.0.0.1", std::to_string(testhost::ClosedPort()));
    EXPECT_EQ(socket->State(), 6);
    // The refusal reaches the owner from a message of the program's loop.
    EXPECT_TRUE(events.errors.empty());
    EXPECT_TRUE(PumpUntil([&] { return !events.errors.empty(); }));
    EXPECT_EQ(events.errors, std::vector<std::string>{"42001 SSH connection failed"});
    EXPECT_EQ(socket->State(), 9);
    socket->CloseSck();
    EXPECT_EQ(socket->State(), 0);
}

// The real program, as a user runs it: what each run loads, and where an SSH
// line finds the module in an unpacked tree.
TEST(SshLoader, OnlyAnSshLineLoadsTheModuleAndItsLibraries) {
    const std::string root = fs::canonical(testhost::MakeScratchDir("ssh_loader_tree")).string();
    fs::create_directories(root + "/usr/bin");
    fs::create_directories(root + "/usr/lib/varnel");
    const std::string program = root + "/usr/bin/varnel";
    fs::copy_file(VARNEL_BUILD_DIR "/varnel", program);
    testhost::ScriptedHost host([](testhost::HostConnection& c) {
        c.Send("raw host\r\n");
        if (c.ReadUntil("bye")) c.Send("ok\r\n");
        c.ReadToEnd();
    });
    const std::string closedPort = std::to_string(testhost::ClosedPort());
    struct Case {
        std::string name;
        std::string script;
        bool installModule;
        int status;
        std::string transcript;
        bool loadsSsh;
    } cases[] = {
        {"echo", "ECHO \"hello\"", false, 0,
         "Checking script (clearing output file)\r\nRunning script\r\nhello\r\nEnd of script\r\nClosed connection.\r\n",
         false},
        {"raw", "TELNET OFF\r\nHOST 127.0.0.1 " + std::to_string(host.Port()) + "\r\nSEND \"bye\"\r\nWAIT \"ok\"\r\n",
         false, 0,
         "Checking script (clearing output file)\r\nRunning script\r\nOpening connection\r\n"
         "raw host\r\n\r\n\r\nok\r\n\r\n\r\n"
         "End of script\r\nClosed connection.\r\n",
         false},
        {"ssh-missing", "SSH joe@127.0.0.1 " + closedPort + "\r\n", false, 1,
         Transcript("Error 42009\r\nSSH module cannot be loaded: " + root +
                    "/usr/lib/varnel/libvarnel-ssh.so is missing\r\n"),
         false},
        {"ssh-installed", "SSH joe@127.0.0.1 " + closedPort + "\r\n", true, 1,
         Transcript("Error 42001\r\nSSH connection failed\r\n"), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.installModule)
            fs::copy_file(kModule, root + "/usr/lib/varnel/libvarnel-ssh.so", fs::copy_options::overwrite_existing);
        const std::string script = root + "/" + c.name + ".txt";
        const std::string out = root + "/" + c.name + ".out";
        WriteFileBytes(script, c.script);
        const std::string debug = root + "/ld-" + c.name;
        auto r = RunProcess({program, "/r:" + script, "/o:" + out, "/hidden"},
                            {"LD_DEBUG=files", "LD_DEBUG_OUTPUT=" + debug});
        EXPECT_EQ(r.exitStatus, c.status) << r.err;
        EXPECT_EQ(ReadFileBytes(out), c.transcript);
        const std::set<std::string> loaded = LoadedLibraries(debug);
        EXPECT_TRUE(loaded.count("libc.so.6")) << "the loader's list is missing";
        std::set<std::string> beyond;
        // The C and C++ libraries, and the sanitizer runtimes of a sanitizer build.
        const std::set<std::string> base = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1",
                                            "libasan.so.8", "libubsan.so.1"};
        for (const std::string& name : loaded)
            if (!base.count(name)) beyond.insert(name);
        if (c.loadsSsh) {
            EXPECT_TRUE(beyond.count("libvarnel-ssh.so"));
            EXPECT_TRUE(beyond.count("libssh.so.4"));
        } else {
            EXPECT_EQ(beyond, std::set<std::string>{}) << "a run without an SSH session loaded more";
        }
    }
}
