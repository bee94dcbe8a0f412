#include "fleet/archive.h"
#include "fleet/inputs.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <map>
#include <unordered_set>

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

bool SameContents(const fs::path& a, const fs::path& b) {
    std::error_code ec1, ec2;
    if (fs::file_size(a, ec1) != fs::file_size(b, ec2) || ec1 || ec2) return false;
    std::string ta, tb;
    return ReadWholeFile(a.string(), ta) && ReadWholeFile(b.string(), tb) && ta == tb;
}

bool SameFiles(const std::map<std::string, fs::path>& now, const std::map<std::string, fs::path>& before) {
    if (now.size() != before.size()) return false;
    for (auto a = now.begin(), b = before.begin(); a != now.end(); ++a, ++b) {
        if (a->first != b->first || !SameContents(a->second, b->second)) return false;
    }
    return true;
}

ProcessOutput Git(const std::string& repo, std::vector<std::string> args, const std::string& input = std::string()) {
    args.insert(args.begin(), {"git", "-C", repo});
    return RunProgram(args, input);
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    size_t start = text.find_first_not_of('\n');
    return start == std::string::npos ? std::string() : text.substr(start);
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
    if (fs::exists(fs::path(repo) / ".git", ec)) return true;
    if (fs::exists(repo, ec) && !(fs::is_directory(repo, ec) && fs::is_empty(repo, ec))) {
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

namespace {

// A host whose folder the new commit replaces, with the files it gets.
struct Replaced {
    std::string name;
    bool existed;
    std::map<std::string, fs::path> files;
};

// A path for git fast-import: always quoted, so that no byte of it can end a line.
std::string QuotedPath(const std::string& path) {
    std::string out = "\"";
    for (unsigned char c : path) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char octal[8];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            out += octal;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string DataCommand(const std::string& bytes) {
    return "data " + std::to_string(bytes.size()) + "\n" + bytes + "\n";
}

// Makes the commit with git fast-import, the contents read one file at a
// time as git takes them: every object of the commit goes into one pack,
// where git add and git commit would write a file for each blob and folder.
// The index and the working tree then follow the new commit.
bool CommitReplaced(const std::string& repo, const std::string& message, const std::vector<Replaced>& replaced,
                    ArchiveResult& result) {
    ProcessOutput branch = Git(repo, {"symbolic-ref", "-q", "HEAD"});
    if (branch.status != 0) {
        result.error = "the archive " + repo + " is not on a branch (its HEAD is detached)";
        return false;
    }
    ProcessOutput parent = Git(repo, {"rev-parse", "-q", "--verify", "HEAD^{commit}"});
    // A machine with no git identity still gets its commits.
    ProcessOutput ident = Git(repo, {"var", "GIT_COMMITTER_IDENT"});
    if (ident.status != 0)
        ident.output = "varnel-fleet <varnel-fleet@localhost> " + std::to_string(std::time(nullptr)) + " +0000";
    std::string header = "commit " + Trimmed(branch.output) + "\ncommitter " + Trimmed(ident.output) + "\n" +
                         DataCommand(message);
    if (parent.status == 0) header += "from " + Trimmed(parent.output) + "\n";
    for (const Replaced& host : replaced) {
        if (host.existed) header += "D " + QuotedPath(host.name) + "\n";
    }
    size_t hostIndex = 0;
    auto file = replaced.empty() ? std::map<std::string, fs::path>::const_iterator() : replaced[0].files.begin();
    bool started = false;
    std::string readError;
    const auto feed = [&](std::string& piece) {
        if (!started) {
            started = true;
            piece = header;
            return true;
        }
        while (hostIndex < replaced.size() && file == replaced[hostIndex].files.end()) {
            if (++hostIndex < replaced.size()) file = replaced[hostIndex].files.begin();
        }
        if (hostIndex == replaced.size()) return false;
        const auto& [relative, source] = *file++;
        std::string bytes;
        if (!ReadWholeFile(source.string(), bytes)) {
            readError = "cannot read " + source.string();
            return false;  // the stream ends inside the commit: git makes none
        }
        std::error_code ec;
        const bool executable = (fs::status(source, ec).permissions() & fs::perms::owner_exec) != fs::perms::none;
        piece = std::string("M ") + (executable ? "100755" : "100644") + " inline " +
                QuotedPath(replaced[hostIndex].name + "/" + relative) + "\n" + DataCommand(bytes);
        return true;
    };
    ProcessOutput imported = RunProgram({"git", "-C", repo, "fast-import", "--quiet", "--depth=0"}, feed);
    if (!readError.empty() || imported.status != 0) {
        result.error = readError.empty() ? "git fast-import in " + repo + " failed: " + Trimmed(imported.output)
                                         : readError;
        return false;
    }
    // The replaced folders go first, with whatever untracked files they held;
    // git then writes every file the new commit has and the index does not.
    std::error_code ec;
    for (const Replaced& host : replaced) fs::remove_all(fs::path(repo) / host.name, ec);
    ProcessOutput checkout = Git(repo, {"read-tree", "--reset", "-u", "HEAD"});
    if (checkout.status != 0) {
        result.error = "git read-tree in " + repo + " failed: " + Trimmed(checkout.output);
        return false;
    }
    return true;
}

}  // namespace

bool ArchiveRun(const std::string& repo, const std::vector<ArchiveHost>& hosts, ArchiveResult& result) {
    result = ArchiveResult();
    std::vector<Replaced> replaced;
    for (const ArchiveHost& host : hosts) {
        Change change = Change::kFailed;
        if (host.succeeded) {
            auto now = FilesUnder(host.workDir);
            const auto before = FilesUnder(fs::path(repo) / host.name);
            change = SameFiles(now, before) ? Change::kSame : before.empty() ? Change::kNew : Change::kChanged;
            if (change != Change::kSame) replaced.push_back({host.name, change == Change::kChanged, std::move(now)});
        }
        result.changes.push_back(change);
        result.changed += change == Change::kChanged;
        result.added += change == Change::kNew;
        result.failed += change == Change::kFailed;
    }
    if (replaced.empty()) return true;
    if (!CommitReplaced(repo, CommitMessage(hosts, result.changes), replaced, result)) return false;
    result.committed = true;
    result.diffStat = Trimmed(Git(repo, {"show", "--stat", "--format=", "HEAD"}).output);
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
