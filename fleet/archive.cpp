#include "fleet/archive.h"
#include "fleet/inputs.h"

#include <algorithm>
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

// The regular files under dir, by path relative to it (none when dir is missing).
std::map<std::string, fs::path> FilesUnder(const fs::path& dir) {
    std::map<std::string, fs::path> files;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return files;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec) && !it->is_symlink(ec))
            files.emplace(it->path().lexically_relative(dir).string(), it->path());
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

// Replaces the folder target with copies of files (target removed when there are none).
bool ReplaceFolder(const fs::path& target, const std::map<std::string, fs::path>& files, std::string& error) {
    std::error_code ec;
    fs::remove_all(target, ec);
    for (const auto& [relative, source] : files) {
        const fs::path to = target / relative;
        fs::create_directories(to.parent_path(), ec);
        if (!ec) fs::copy_file(source, to, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            error = "cannot copy " + source.string() + " to " + to.string() + ": " + ec.message();
            return false;
        }
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

bool ArchiveRun(const std::string& repo, const std::vector<ArchiveHost>& hosts, ArchiveResult& result) {
    result = ArchiveResult();
    std::string paths;  // the changed folders, NUL-separated, for git add
    for (const ArchiveHost& host : hosts) {
        Change change = Change::kFailed;
        if (host.succeeded) {
            const fs::path target = fs::path(repo) / host.name;
            const auto now = FilesUnder(host.workDir);
            const auto before = FilesUnder(target);
            change = SameFiles(now, before) ? Change::kSame : before.empty() ? Change::kNew : Change::kChanged;
            if (change != Change::kSame) {
                if (!ReplaceFolder(target, now, result.error)) return false;
                paths += host.name;
                paths.push_back('\0');
            }
        }
        result.changes.push_back(change);
        result.changed += change == Change::kChanged;
        result.added += change == Change::kNew;
        result.failed += change == Change::kFailed;
    }
    if (paths.empty()) return true;
    ProcessOutput add = Git(repo, {"add", "-A", "--pathspec-from-file=-", "--pathspec-file-nul"}, paths);
    if (add.status != 0) {
        result.error = "git add in " + repo + " failed: " + Trimmed(add.output);
        return false;
    }
    // A machine with no git identity still gets its commits.
    std::vector<std::string> commit = {"commit", "-q", "--no-verify", "-F", "-"};
    if (Git(repo, {"config", "user.email"}).status != 0)
        commit.insert(commit.begin(), {"-c", "user.name=varnel-fleet", "-c", "user.email=varnel-fleet@localhost"});
    ProcessOutput made = Git(repo, commit, CommitMessage(hosts, result.changes));
    if (made.status != 0) {
        result.error = "git commit in " + repo + " failed: " + Trimmed(made.output);
        return false;
    }
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
