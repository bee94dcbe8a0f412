// Writing one archive commit: the folders of the hosts that changed are
// replaced in a new commit on the archive's branch, and in its working tree.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fleet/process.h"

namespace fleet {

// A host whose folder the new commit replaces, with the files it gets
// (path relative to the folder -> the file its run left).
struct Replaced {
    std::string name;
    bool existed;  // the last commit has the folder
    std::map<std::string, std::filesystem::path> files;
};

// Makes the commit (message as given) on the branch HEAD names, and leaves
// the working tree and the index (when the repository has them: not a bare
// one) as that commit has them; diffStat gets git's --stat of the commit.
// False with error set when a file cannot be read or written, or git fails;
// then the branch is as it was.
bool CommitReplaced(const std::string& repo, const std::string& message, const std::vector<Replaced>& replaced,
                    std::string& diffStat, std::string& error);

// git -C repo ARGS, as RunProgram runs it.
ProcessOutput Git(const std::string& repo, std::vector<std::string> args);
// text without the line ends and spaces around it.
std::string Trimmed(std::string text);
// "100755" for a file its owner may run, else "100644".
const char* FileMode(const std::filesystem::path& file);

}  // namespace fleet
