// Any bytes as the command-line text: the load step of the main window
// (hidden-mode test, ParseCommandLine, the start of a run) with a headless
// window and the session double, then the same text once more through the
// debug box's "As Commands" path.
//
// The program's folder is a private temporary folder holding a few small
// script files, and it is also the current folder, so every name resolves
// inside it. A name with a separator is used as given, so inputs that could
// reach other files are skipped: those containing "/r:/" or "/o:/" (an
// absolute script or output path) or ".." (a way out of the folder). The
// files are put back after any run that had an output file, which may have
// overwritten them; other files that runs created are removed.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "app/frm_main.h"
#include "fuzz/session_double.h"
#include "ui/headless_window.h"

namespace {

const std::map<std::string, std::string>& Fixtures() {
    static const std::map<std::string, std::string> files = {
        {"a.txt", "ECHO \"a\"\r\n"},
        {"script.txt", "# demo\r\nHOST 127.0.0.1 2323\r\nWAIT \"login:\"\r\nSEND \"guest\\n\"\r\nWAIT \">\"\r\n"},
        {"my script.txt", "ECHO \"spaces\"\r\nDELAY 1\r\n"},
        {"one line.txt", "ECHO \"no line break\""},
        {"empty.txt", ""},
        {"bad.txt", "BOGUS\r\n"},
    };
    return files;
}

std::string g_folder;

void WriteFixtures() {
    for (const auto& [name, text] : Fixtures()) {
        FILE* f = std::fopen((g_folder + "/" + name).c_str(), "wb");
        FUZZ_CHECK(f != nullptr, "fixture written");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

// Removes the files in folder, except the fixtures if asked to keep them.
void RemoveFiles(const std::string& folder, bool keepFixtures) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == "folder") continue;
        if (keepFixtures && Fixtures().count(name) != 0) continue;
        ::unlink((folder + "/" + name).c_str());
    }
    ::closedir(dir);
}

// Removes what runs left behind (output files) and restores the scripts.
void ResetFolder() {
    RemoveFiles(g_folder, true);
    RemoveFiles(g_folder + "/folder", false);
    WriteFixtures();
}

bool ReachesOutside(std::string_view text) {
    return text.find("/r:/") != std::string_view::npos || text.find("/o:/") != std::string_view::npos ||
           text.find("..") != std::string_view::npos;
}

// One load step; true if it named an output file.
bool LoadWith(const std::string& commandLine) {
    fuzzhost::Host host;
    host.blocks = {"login: ", "Password:", "> ", std::string(1, fuzzhost::kHostCloses)};
    HeadlessMainWindow window(true);
    FrmMainSetup setup;
    setup.commandLine = commandLine;
    setup.programFolder = g_folder;
    setup.socketFactory = [&host](ISessionEvents& events) { return fuzzhost::MakeSocket(host, events); };
    setup.hooks = host.Hooks();
    FrmMain form(window, setup);
    form.Form_Load();
    while (!form.Ended() && host.DeliverNext()) {
    }

    std::string probe = commandLine;
    const bool hidden = cmdline::TakeHiddenSwitch(probe);
    FUZZ_CHECK(form.blnHidden == hidden, "hidden mode from the last word only");
    FUZZ_CHECK(window.Unloaded() || window.Visible() == !hidden, "a hidden window is not shown");
    FUZZ_CHECK(window.Unloaded() == form.Ended(), "the window unloads when the run ends");
    FUZZ_CHECK(form.strAppPath == g_folder + "/", "the program folder ends in a slash");
    const auto outcome = form.LastParseOutcome();
    FUZZ_CHECK((outcome == FrmMain::ParseOutcome::Started) == form.RunStarted(), "a run starts only when started");
    if (outcome != FrmMain::ParseOutcome::Started) {
        FUZZ_CHECK(!form.NothingRanReason().empty(), "a reason when nothing ran");
    }
    FUZZ_CHECK(window.MessageBoxes().size() == (outcome == FrmMain::ParseOutcome::Usage && !hidden ? 1u : 0u),
               "the usage box only for an empty command line, never hidden");

    // The debug box's "As Commands": the same text, with the window's state kept.
    if (!form.Ended()) {
        window.InputBox().SetText(commandLine);
        form.cmdComDbg_Click();
        while (!form.Ended() && host.DeliverNext()) {
        }
    }
    return !form.strOutputFile.empty();
}

// libFuzzer reads its arguments after this initialisation, which changes the
// current folder: paths in them are made absolute first, and crash artifacts
// go to the starting folder unless a prefix is given.
void AbsolutePaths(int* argc, char*** argv) {
    static std::vector<std::string> storage;
    static std::vector<char*> args;
    char cwd[4096];
    FUZZ_CHECK(::getcwd(cwd, sizeof cwd) != nullptr, "current folder");
    const std::string here = std::string(cwd) + "/";
    bool prefixGiven = false;
    storage.emplace_back((*argv)[0]);
    for (int i = 1; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        for (const char* flag : {"-artifact_prefix=", "-exact_artifact_path=", "-dict="}) {
            const std::string f = flag;
            if (arg.rfind(f, 0) == 0 && arg.size() > f.size() && arg[f.size()] != '/') arg.insert(f.size(), here);
        }
        if (!arg.empty() && arg[0] != '-' && arg[0] != '/') arg.insert(0, here);
        prefixGiven = prefixGiven || arg.rfind("-artifact_prefix=", 0) == 0;
        storage.push_back(arg);
    }
    if (!prefixGiven) storage.push_back("-artifact_prefix=" + here);
    for (std::string& arg : storage) args.push_back(arg.data());
    args.push_back(nullptr);
    *argc = static_cast<int>(storage.size());
    *argv = args.data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    AbsolutePaths(argc, argv);
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/varnel-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr, "temporary folder");
    g_folder = pattern;
    ::mkdir((g_folder + "/folder").c_str(), 0700);  // a name that is not an ordinary file
    WriteFixtures();
    FUZZ_CHECK(::chdir(g_folder.c_str()) == 0, "into the temporary folder");
    std::atexit([] {
        RemoveFiles(g_folder, false);
        RemoveFiles(g_folder + "/folder", false);
        ::rmdir((g_folder + "/folder").c_str());
        ::rmdir(g_folder.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string commandLine(reinterpret_cast<const char*>(data), size);
    if (ReachesOutside(commandLine)) return -1;  // not added to the corpus
    if (LoadWith(commandLine)) ResetFolder();
    return 0;
}
