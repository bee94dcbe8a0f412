#include "fleet/archive_commit.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <thread>

#include "fleet/inputs.h"

namespace fleet {

namespace {

namespace fs = std::filesystem;

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

bool WriteFile(const fs::path& path, const std::string& bytes) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

// The start of the fast-import stream: the commit on branch after parent
// (none for a first commit), the replaced folders removed from it.
std::string CommitHeader(const std::string& repo, const std::string& branch, const std::string& message,
                         const std::vector<Replaced>& replaced) {
    ProcessOutput parent = Git(repo, {"rev-parse", "-q", "--verify", "HEAD^{commit}"});
    // A machine with no git identity still gets its commits.
    ProcessOutput ident = Git(repo, {"var", "GIT_COMMITTER_IDENT"});
    if (ident.status != 0)
        ident.output = "varnel-fleet <varnel-fleet@localhost> " + std::to_string(std::time(nullptr)) + " +0000";
    std::string header = "commit " + branch + "\ncommitter " + Trimmed(ident.output) + "\n" + DataCommand(message);
    if (parent.status == 0) header += "from " + Trimmed(parent.output) + "\n";
    for (const Replaced& host : replaced) {
        if (host.existed) header += "D " + QuotedPath(host.name) + "\n";
    }
    return header;
}

}  // namespace

ProcessOutput Git(const std::string& repo, std::vector<std::string> args) {
    args.insert(args.begin(), {"git", "-C", repo});
    return RunProgram(args);
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    size_t start = text.find_first_not_of('\n');
    return start == std::string::npos ? std::string() : text.substr(start);
}

const char* FileMode(const fs::path& file) {
    std::error_code ec;
    const bool runnable = (fs::status(file, ec).permissions() & fs::perms::owner_exec) != fs::perms::none;
    return runnable ? "100755" : "100644";
}

// git fast-import puts every object of the commit into one pack, where git
// add and git commit would write a file for each file and folder. Each file
// is read once, as git takes it, and written into the working tree while git
// compresses the one before: the working tree gets the new folders while the
// commit is made, and the index then only has to learn their file times.
bool CommitReplaced(const std::string& repo, const std::string& message, const std::vector<Replaced>& replaced,
                    std::string& diffStat, std::string& error) {
    const bool workTree = Trimmed(Git(repo, {"rev-parse", "--is-bare-repository"}).output) == "false";
    ProcessOutput branch = Git(repo, {"symbolic-ref", "-q", "HEAD"});
    if (branch.status != 0) {
        error = "the archive " + repo + " is not on a branch (its HEAD is detached)";
        return false;
    }
    const std::string header = CommitHeader(repo, Trimmed(branch.output), message, replaced);
    // The replaced folders go first, with whatever untracked files they held.
    std::error_code ec;
    if (workTree) {
        for (const Replaced& host : replaced) fs::remove_all(fs::path(repo) / host.name, ec);
    }
    size_t hostIndex = 0;
    auto file = replaced.empty() ? std::map<std::string, fs::path>::const_iterator() : replaced[0].files.begin();
    bool started = false;
    std::string fileError;
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
        const std::string path = replaced[hostIndex].name + "/" + relative;
        std::string bytes;
        if (!ReadWholeFile(source.string(), bytes)) fileError = "cannot read " + source.string();
        else if (workTree && !WriteFile(fs::path(repo) / path, bytes))
            fileError = "cannot write " + (fs::path(repo) / path).string();
        if (!fileError.empty()) {
            // The end of the stream would complete the commit with the files
            // so far; a line fast-import does not know makes it give up.
            piece = "abort: " + fileError + "\n";
            return false;
        }
        piece = std::string("M ") + FileMode(source) + " inline " + QuotedPath(path) + "\n" + DataCommand(bytes);
        return true;
    };
    ProcessOutput imported = RunProgram({"git", "-C", repo, "fast-import", "--quiet", "--depth=0"}, feed);
    if (!fileError.empty() || imported.status != 0) {
        error = !fileError.empty() ? fileError : "git fast-import in " + repo + " failed: " + Trimmed(imported.output);
        return false;
    }
    // git's --stat reads the objects while the index is brought up to date
    // from the files: one on each processor.
    std::thread stat([&] { diffStat = Trimmed(Git(repo, {"show", "--stat", "--format=", "HEAD"}).output); });
    // The index becomes the new commit's, keeping what it knew of unchanged
    // files; the refresh records the times of the files written above.
    for (const std::vector<std::string>& step :
         {std::vector<std::string>{"read-tree", "--reset", "HEAD"}, {"update-index", "-q", "--refresh"}}) {
        if (!workTree || !error.empty()) break;
        ProcessOutput done = Git(repo, step);
        if (done.status != 0) error = "git " + step[0] + " in " + repo + " failed: " + Trimmed(done.output);
    }
    stat.join();
    return error.empty();
}

}  // namespace fleet
