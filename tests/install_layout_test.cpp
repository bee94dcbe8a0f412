// Where the program finds the files that come with it: beside itself (a build
// folder), else in the installed tree relative to its own folder. The rule
// itself, the read-me button that follows it, and the real program copied
// into an unpacked tree finding its window module there (Qt's offscreen
// platform; no display needed).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/frm_main.h"
#include "app/install_layout.h"
#include "tests/support/scripted_host.h"
#include "ui/headless_window.h"

namespace fs = std::filesystem;
using testhost::ReadFileBytes;
using testhost::RunProcess;
using testhost::WriteFileBytes;

namespace {

std::string Tree(const std::string& name) {
    const std::string root = fs::canonical(testhost::MakeScratchDir(name)).string();
    fs::create_directories(root + "/usr/bin");
    return root;
}

}  // namespace

TEST(InstallLayout, ThePrefixIsTheParentOfTheProgramsFolder) {
    EXPECT_EQ(layout::InstallPrefix("/usr/bin/"), "/usr/");
    EXPECT_EQ(layout::InstallPrefix("/usr/bin"), "/usr/");
    EXPECT_EQ(layout::InstallPrefix("/opt/varnel/bin//"), "/opt/varnel/");
    EXPECT_EQ(layout::InstallPrefix("/bin/"), "/");
    EXPECT_EQ(layout::InstallPrefix("/"), "/");
    EXPECT_EQ(layout::InstallPrefix("bin/"), "./");
}

TEST(InstallLayout, AFileBesideTheProgramWinsOverTheInstalledTree) {
    const std::string root = Tree("layout_rule");
    const std::string bin = root + "/usr/bin/";
    EXPECT_EQ(layout::CompanionFile(bin, "libvarnel-qt.so", layout::kModuleFolder),
              root + "/usr/lib/varnel/libvarnel-qt.so");
    EXPECT_EQ(layout::CompanionFile(root + "/usr/bin", "Readme.txt", layout::kDocFolder),
              root + "/usr/share/doc/varnel/Readme.txt");
    WriteFileBytes(bin + "libvarnel-qt.so", "");
    EXPECT_EQ(layout::CompanionFile(bin, "libvarnel-qt.so", layout::kModuleFolder), bin + "libvarnel-qt.so");
    EXPECT_EQ(layout::CompanionFile(root + "/usr/bin", "libvarnel-qt.so", layout::kModuleFolder),
              bin + "libvarnel-qt.so");
}

TEST(InstallLayout, ViewReadmeOpensTheReadMeBesideTheProgramElseTheInstalledOne) {
    const std::string root = Tree("layout_readme");
    HeadlessMainWindow window;
    FrmMain frm(window, {"", root + "/usr/bin", nullptr, {}});
    frm.strAppPath = root + "/usr/bin/";
    frm.cmdReadMe_Click();
    WriteFileBytes(root + "/usr/bin/Readme.txt", "read me\n");
    frm.cmdReadMe_Click();
    ASSERT_EQ(window.OpenedTargets().size(), 2u);
    EXPECT_EQ(window.OpenedTargets()[0], root + "/usr/share/doc/varnel/Readme.txt");
    EXPECT_EQ(window.OpenedTargets()[1], root + "/usr/bin/Readme.txt");
}

TEST(InstallLayout, AnUnpackedTreeFindsItsWindowModuleInLibVarnel) {
    const std::string module = VARNEL_BUILD_DIR "/libvarnel-qt.so";
    if (!fs::exists(module)) GTEST_SKIP() << "built without the window module";
    const std::string root = Tree("layout_tree");
    fs::copy_file(VARNEL_BUILD_DIR "/varnel", root + "/usr/bin/varnel");
    WriteFileBytes(root + "/s.txt", "ECHO \"window\"\n");
    const std::vector<std::string> run = {root + "/usr/bin/varnel", "/r:" + root + "/s.txt",
                                          "/o:" + root + "/out.txt"};
    const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen"};

    // Neither beside the program nor installed: the installed place is named.
    auto r = RunProcess(run, env);
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "varnel: cannot open a window: " + root + "/usr/lib/varnel/libvarnel-qt.so is missing\n");

    // Installed: the window opens, runs the script and the program ends with it.
    fs::create_directories(root + "/usr/lib/varnel");
    fs::copy_file(module, root + "/usr/lib/varnel/libvarnel-qt.so");
    r = RunProcess(run, env);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(root + "/out.txt"),
              "Checking script (clearing output file)\r\nRunning script\r\nwindow\r\n"
              "End of script\r\nClosed connection.\r\n");

    // A file beside the program is taken first, even one that is no module.
    WriteFileBytes(root + "/usr/bin/libvarnel-qt.so", "not a module");
    r = RunProcess(run, env);
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_NE(r.err.find(root + "/usr/bin/libvarnel-qt.so"), std::string::npos) << r.err;
}
