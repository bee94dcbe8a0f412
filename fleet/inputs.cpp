#include "fleet/inputs.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

namespace fleet {

namespace {

namespace fs = std::filesystem;

bool Within(const fs::path& file, const fs::path& folder) {
    auto f = file.begin();
    for (auto d = folder.begin(); d != folder.end(); ++d, ++f) {
        if (d->empty()) continue;  // a trailing separator
        if (f == file.end() || *f != *d) return false;
    }
    return true;
}

}  // namespace

std::string OverwrittenInput(const std::vector<InputFile>& inputs, const std::vector<std::string>& writtenFiles,
                             const std::vector<std::string>& replacedFolders) {
    std::set<std::pair<dev_t, ino_t>> ids;
    for (const InputFile& input : inputs) {
        struct stat st {};
        if (::stat(input.path.c_str(), &st) == 0) ids.insert({st.st_dev, st.st_ino});
    }
    for (const std::string& file : writtenFiles) {
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0 || ids.count({st.st_dev, st.st_ino}) == 0) continue;
        for (const InputFile& input : inputs) {
            struct stat in {};
            if (::stat(input.path.c_str(), &in) == 0 && in.st_dev == st.st_dev && in.st_ino == st.st_ino)
                return input.what + " " + input.path + " is the file " + file +
                       " that this run would write: refusing to run";
        }
    }
    std::vector<fs::path> reals;
    for (const InputFile& input : inputs) {
        std::error_code ec;
        fs::path real = fs::weakly_canonical(input.path, ec);
        reals.push_back(ec ? fs::path() : real);
    }
    for (const std::string& folder : replacedFolders) {
        std::error_code ec;
        const fs::path realFolder = fs::weakly_canonical(folder, ec);
        if (ec) continue;
        for (size_t i = 0; i < inputs.size(); ++i) {
            if (!reals[i].empty() && Within(reals[i], realFolder))
                return inputs[i].what + " " + inputs[i].path + " lies in the folder " + folder +
                       " that this run empties: refusing to run";
        }
    }
    return std::string();
}

bool ReadWholeFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return !in.bad();
}

}  // namespace fleet
