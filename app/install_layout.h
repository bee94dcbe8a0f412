// Where the program finds the files that come with it: the window and SSH
// modules and the read-me file. One rule for all of them:
//   1. beside the program, when the file is there (a build folder, or an
//      install into one folder);
//   2. otherwise in the installed tree, relative to the program's own folder:
//      PREFIX/bin/varnel finds PREFIX/lib/varnel/libvarnel-qt.so (and
//      libvarnel-ssh.so) and
//      PREFIX/share/doc/varnel/Readme.txt.
// The program's folder is the folder of the running executable, symbolic
// links resolved, so the rule holds wherever the tree is unpacked.
#pragma once

#include <string>
#include <sys/stat.h>

namespace layout {

// Folders of the installed tree, relative to PREFIX, ending in "/".
inline constexpr const char* kModuleFolder = "lib/varnel/";
inline constexpr const char* kDocFolder = "share/doc/varnel/";

// PREFIX of a program in PREFIX/bin/: the parent of programFolder, ending in
// "/" ("/usr/bin/" gives "/usr/"; "/" gives "/").
inline std::string InstallPrefix(std::string programFolder) {
    while (programFolder.size() > 1 && programFolder.back() == '/') programFolder.pop_back();
    const size_t slash = programFolder.rfind('/');
    if (slash == std::string::npos) return "./";
    return programFolder.substr(0, slash + 1);
}

// The path of the file name that comes with the program in programFolder
// (with or without a trailing "/"): beside it if that exists (as anything),
// else PREFIX/installedFolder/name, whether that exists or not.
inline std::string CompanionFile(const std::string& programFolder, const std::string& name,
                                 const std::string& installedFolder) {
    std::string folder = programFolder;
    if (folder.empty() || folder.back() != '/') folder += '/';
    struct stat st {};
    if (::stat((folder + name).c_str(), &st) == 0) return folder + name;
    return InstallPrefix(folder) + installedFolder + name;
}

}  // namespace layout
