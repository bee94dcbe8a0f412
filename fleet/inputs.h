// The fleet never writes over its own inputs: a transcript named like the
// script, an inventory named summary.csv, an input inside a folder the fleet
// empties. Checked on the real files (links followed, hard links seen).
#pragma once

#include <string>
#include <vector>

namespace fleet {

// The whole file at path, in binary; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& text);

struct InputFile {
    std::string what;  // "the inventory", "the script"
    std::string path;
};

// "" when no input is one of the written files or lies inside one of the
// replaced folders; else the line that says which and where.
std::string OverwrittenInput(const std::vector<InputFile>& inputs, const std::vector<std::string>& writtenFiles,
                             const std::vector<std::string>& replacedFolders);

}  // namespace fleet
