#include "fleet/archive.h"
#include "fleet/inputs.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <unordered_set>

#include "fleet/archive_commit.h"
#include "fleet/git_blob_id.h"
#include "fleet/process.h"

namespace fleet {

namespace {

namespace fs = std::filesystem;

std::string PlainName(const std::string& text) {
    std::string base = text.substr(0, 100);
    for (char& c : base) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                     c == '-' || c == '_';
        if (!plain) c = '_';
    }
    if (base.empty() || base[0] == '.') base = "_" + base.substr(base.empty() ? 0 : 1);
    return base;
}

bool GitPart(std::string part) {
    for (char& c : part) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return part == ".git";
}

// The regular files under dir, by path relative to it (none when dir is missing).
std::map<std::string, fs::path> FilesUnder(const fs::path& dir) {
    std::map<std::string, fs::path> files;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return files;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
        const fs::path relative = it->path().lexically_relative(dir);
        // git keeps no path with a ".git" part: such a file is left out.
        bool gitPart = false;
        for (const fs::path& part : relative) gitPart = gitPart || GitPart(part.string());
        if (!gitPart) files.emplace(relative.string(), it->path());
    }
    return files;
}

// What one host's folder holds: path relative to it -> "MODE OBJECT".
using Listing = std::map<std::string, std::string>;

// The listing of the files a run left (their object names computed here);
// false (error set) when one cannot be read.
bool ListWorkFiles(const std::map<std::string, fs::path>& files, Listing& listing, std::string& error) {
    for (const auto& [relative, source] : files) {
        std::string bytes;
        if (!ReadWholeFile(source.string(), bytes)) {
            error = "cannot read " + source.string();
            return false;
        }
        listing[relative] = std::string(FileMode(source)) + " " + GitBlobId(bytes);
    }
    return true;
}

// The last commit's listing of every host folder (none before the first commit).
bool ListHeadTree(const std::string& repo, std::map<std::string, Listing>& folders, std::string& error) {
    if (Git(repo, {"rev-parse", "-q", "--verify", "HEAD^{commit}"}).status != 0) return true;
    ProcessOutput tree = Git(repo, {"ls-tree", "-r", "-z", "--full-tree", "HEAD"});
    if (tree.status != 0) {
        error = "git ls-tree in " + repo + " failed: " + Trimmed(tree.output);
        return false;
    }
    // Each entry: MODE SP TYPE SP OBJECT TAB PATH NUL.
    for (size_t at = 0; at < tree.output.size();) {
        size_t end = tree.output.find('\0', at);
        if (end == std::string::npos) end = tree.output.size();
        const std::string entry = tree.output.substr(at, end - at);
        at = end + 1;
        const size_t tab = entry.find('\t'), slash = entry.find('/', tab);
        const size_t type = entry.find(' ');
        if (tab == std::string::npos || slash == std::string::npos || type == std::string::npos) continue;
        const size_t object = entry.find(' ', type + 1);
        folders[entry.substr(tab + 1, slash - tab - 1)][entry.substr(slash + 1)] =
            entry.substr(0, type) + " " + entry.substr(object + 1, tab - object - 1);
    }
    return true;
}

}  // namespace

std::vector<std::string> HostFolderNames(const std::vector<std::string>& hosts, const std::vector<std::string>& names,
                                         const std::vector<size_t>& rowNumbers) {
    std::vector<std::string> out;
    std::unordered_set<std::string> taken;
    for (size_t i = 0; i < hosts.size(); ++i) {
        const std::string base =
            PlainName(names.empty() ? hosts[i] + "-" + std::to_string(rowNumbers[i]) : names[i]);
        std::string name = base;
        for (int n = 2; !taken.insert(name).second; ++n) name = base + "-" + std::to_string(n);
        out.push_back(name);
    }
    return out;
}

const char* ChangeName(Change change) {
    switch (change) {
    case Change::kNew: return "new";
    case Change::kChanged: return "changed";
    case Change::kFailed: return "failed";
    default: return "same";
    }
}

bool PrepareArchive(const std::string& repo, std::string& error) {
    std::error_code ec;
    if (fs::exists(repo, ec) && !(fs::is_directory(repo, ec) && fs::is_empty(repo, ec))) {
        // A repository whose top is repo itself ("." for a bare one), never
        // a folder inside another repository.
        ProcessOutput at = Git(repo, {"rev-parse", "--git-dir", "--show-object-format"});
        const std::string found = Trimmed(at.output);
        if (at.status == 0 && (found.rfind(".git\n", 0) == 0 || found.rfind(".\n", 0) == 0)) {
            // Captures are compared with the last commit by their SHA-1 object names.
            if (found.substr(found.find('\n') + 1) == "sha1") return true;
            error = "the archive " + repo + " is not a git repository with SHA-1 object names";
            return false;
        }
        error = "the archive " + repo + " is not a git repository (nor a missing or empty folder)";
        return false;
    }
    fs::create_directories(repo, ec);
    ProcessOutput init = RunProgram({"git", "init", "-q", repo});
    if (init.status != 0) {
        error = init.status < 0 ? "cannot run git to make the archive " + repo
                                : "git init " + repo + " failed: " + Trimmed(init.output);
        return false;
    }
    return true;
}

std::string CommitMessage(const std::vector<ArchiveHost>& hosts, const std::vector<Change>& changes) {
    size_t counts[4] = {0, 0, 0, 0};
    for (Change c : changes) ++counts[static_cast<int>(c)];
    std::string text = "varnel-fleet: " + std::to_string(counts[static_cast<int>(Change::kChanged)]) +
                       " hosts changed, " + std::to_string(counts[static_cast<int>(Change::kNew)]) + " new, " +
                       std::to_string(counts[static_cast<int>(Change::kFailed)]) + " failed\n";
    for (Change kind : {Change::kChanged, Change::kNew, Change::kFailed}) {
        if (counts[static_cast<int>(kind)] == 0) continue;
        text += std::string("\n") + ChangeName(kind) + ":\n";
        for (size_t i = 0; i < hosts.size(); ++i) {
            if (changes[i] == kind) text += "  " + hosts[i].name + "\n";
        }
    }
    return text;
}

bool ArchiveRun(const std::string& repo, const std::vector<ArchiveHost>& hosts, ArchiveResult& result) {
    result = ArchiveResult();
    std::map<std::string, Listing> head;
    if (!ListHeadTree(repo, head, result.error)) return false;
    std::vector<Replaced> replaced;
    for (const ArchiveHost& host : hosts) {
        Change change = Change::kFailed;
        if (host.succeeded) {
            auto files = FilesUnder(host.workDir);
            Listing now;
            if (!ListWorkFiles(files, now, result.error)) return false;
            const auto before = head.find(host.name);
            const bool existed = before != head.end() && !before->second.empty();
            change = existed ? (now == before->second ? Change::kSame : Change::kChanged)
                             : (now.empty() ? Change::kSame : Change::kNew);
            if (change != Change::kSame) replaced.push_back({host.name, existed, std::move(files)});
        }
        result.changes.push_back(change);
        result.changed += change == Change::kChanged;
        result.added += change == Change::kNew;
        result.failed += change == Change::kFailed;
    }
    if (replaced.empty()) return true;
    if (!CommitReplaced(repo, CommitMessage(hosts, result.changes), replaced, result.diffStat, result.error))
        return false;
    result.committed = true;
    return true;
}

}  // namespace fleet

namespace fleet {

std::string ArchiveLines(const std::string& repo, const ArchiveResult& result, double seconds) {
    char time[64];
    std::snprintf(time, sizeof time, " in %.2f s", seconds);
    std::string out = "\narchive " + repo + ": " + std::to_string(result.changed) + " hosts changed, " +
                      std::to_string(result.added) + " new, " + std::to_string(result.failed) + " failed" + time + "\n";
    if (!result.error.empty()) return out + "not archived: " + result.error + "\n";
    if (!result.committed) return out + "nothing changed: no commit\n";
    return out + result.diffStat + "\n";
}

}  // namespace fleet
