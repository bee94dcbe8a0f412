// varnel-fleet: runs one script against every host of an inventory, each
// host as one hidden run of varnel, and sums up how each run ended.
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fleet/archive.h"
#include "fleet/inputs.h"
#include "fleet/inventory.h"
#include "fleet/launcher.h"
#include "fleet/options.h"
#include "fleet/script_template.h"
#include "fleet/shard.h"
#include "fleet/summary.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

int Refuse(const std::string& message) {
    std::fprintf(stderr, "varnel-fleet: %s\n", message.c_str());
    return 2;
}

// The folder of the running program: varnel lies beside it.
std::string ProgramFolder() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
}

// The port word of the first HOST line of a script: "23" when it names none,
// "" when there is no HOST line.
std::string HostLinePort(const std::string& script) {
    std::istringstream lines(script);
    std::string line;
    while (std::getline(lines, line)) {
        for (char& c : line) {
            if (c == '\t' || c == '\r') c = ' ';
        }
        std::istringstream words(line);
        std::string command, host, port;
        words >> command >> host >> port;
        for (char& c : command) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (command == "HOST") return port.empty() ? "23" : port;
    }
    return std::string();
}

// Holds descriptors for hundreds of runs at once: the soft limit goes up to the hard one.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Where the private folder goes: $TMPDIR when set (an absolute path with
// no space or ':'), else /dev/shm when it is a folder, else /tmp.
std::string PrivateFolderTemplate() {
    const char* tmp = std::getenv("TMPDIR");
    std::error_code ec;
    std::string base = "/tmp";
    if (tmp != nullptr && *tmp == '/' && std::string(tmp).find_first_of(" :") == std::string::npos)
        base = tmp;
    else if (fs::is_directory("/dev/shm", ec))
        base = "/dev/shm";
    return base + "/varnel-fleet.XXXXXX";
}

bool HoldsIgnoringCase(std::string text, const std::string& part) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text.find(part) != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
    fleet::Options options;
    std::string error;
    if (!fleet::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error))
        return Refuse(error + "\nTry 'varnel-fleet --help'.");
    if (options.help) {
        std::fputs(fleet::HelpText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs("varnel-fleet 0.1.0\n", stdout);
        return 0;
    }
    if (options.shardAuto &&
        !fleet::AutoShard([](const char* name) { return static_cast<const char*>(std::getenv(name)); },
                          options.shardIndex, options.shardCount, error))
        return Refuse(error);
    RaiseDescriptorLimit();
    ::signal(SIGPIPE, SIG_IGN);

    std::string inventoryText, scriptText;
    if (!fleet::ReadWholeFile(options.inventory, inventoryText)) return Refuse("cannot read the inventory " + options.inventory);
    if (!fleet::ReadWholeFile(options.script, scriptText)) return Refuse("cannot read the script " + options.script);
    fleet::Inventory inventory;
    if (!fleet::ParseInventory(inventoryText, inventory, error)) return Refuse(options.inventory + ": " + error);
    if (scriptText.empty()) return Refuse(options.script + ": the script is empty");
    fleet::ScriptTemplate script;
    if (!script.Compile(scriptText, inventory, error)) return Refuse(options.script + ": " + error);

    // This machine's share of the rows.
    std::vector<size_t> rows;
    for (size_t i = static_cast<size_t>(options.shardIndex - 1); i < inventory.rows.size();
         i += static_cast<size_t>(options.shardCount))
        rows.push_back(i);
    if (rows.empty()) return Refuse("shard " + std::to_string(options.shardIndex) + "/" +
                                    std::to_string(options.shardCount) + " holds no rows of " + options.inventory);
    for (size_t row : rows) {
        if (!script.CheckRow(inventory.rows[row], inventory.rowLines[row], error))
            return Refuse(options.inventory + ": " + error);
    }

    const std::string varnel = ProgramFolder() + "/varnel";
    if (::access(varnel.c_str(), X_OK) != 0) return Refuse("cannot find varnel beside this program: " + varnel);
    std::error_code ec;
    fs::create_directories(options.outDir, ec);
    fs::path outDir = fs::absolute(options.outDir, ec).lexically_normal();
    if (!fs::is_directory(outDir, ec)) return Refuse("cannot make the output folder " + options.outDir);
    std::string outDirText = outDir.string();
    while (outDirText.size() > 1 && outDirText.back() == '/') outDirText.pop_back();
    // varnel reads its command line as one text: these would cut it up.
    if (HoldsIgnoringCase(outDirText, "/r:") || HoldsIgnoringCase(outDirText, "/o:") ||
        HoldsIgnoringCase(outDirText, " /keep") || HoldsIgnoringCase(outDirText, " /hidden"))
        return Refuse("the output folder's path cannot hold /r:, /o:, \" /keep\" or \" /hidden\": " + outDirText);

    std::string archive;
    if (!options.archive.empty()) {
        archive = fs::absolute(options.archive, ec).lexically_normal().string();
        while (archive.size() > 1 && archive.back() == '/') archive.pop_back();
    }

    // The runs' standard error goes to files of a private folder; by default
    // in memory (/dev/shm). The expanded scripts never reach a file at all.
    std::string privateTemplate = PrivateFolderTemplate();
    if (::mkdtemp(privateTemplate.data()) == nullptr) return Refuse("cannot make a private folder " + privateTemplate);

    const int portColumn = inventory.ColumnIndex("port");
    const int hostColumn = inventory.ColumnIndex("host");
    std::vector<fleet::HostResult> results(rows.size());
    std::vector<std::string> hosts;
    for (size_t i = 0; i < rows.size(); ++i) {
        results[i].host = inventory.rows[rows[i]][hostColumn];
        if (portColumn >= 0) results[i].port = inventory.rows[rows[i]][portColumn];
        hosts.push_back(results[i].host);
    }
    std::vector<std::string> names = fleet::TranscriptNames(hosts);
    for (size_t i = 0; i < rows.size(); ++i) results[i].outFile = names[i];
    // Each run works in a folder of its host, where relative CAPTURE files land.
    const int nameColumn = inventory.ColumnIndex("name");
    std::vector<std::string> rowNames;
    std::vector<size_t> rowNumbers;
    for (size_t row : rows) {
        if (nameColumn >= 0) rowNames.push_back(inventory.rows[row][nameColumn]);
        rowNumbers.push_back(row + 1);
    }
    const std::vector<std::string> folders = fleet::HostFolderNames(hosts, rowNames, rowNumbers);
    const std::string workRoot = outDirText + "/hosts";
    for (size_t i = 0; i < rows.size(); ++i) results[i].workDir = workRoot + "/" + folders[i];

    // Nothing the run writes or empties may be one of its inputs.
    std::vector<std::string> written = {outDirText + "/summary.csv"}, emptied;
    for (const fleet::HostResult& r : results) written.push_back(outDirText + "/" + r.outFile);
    if (!archive.empty()) {
        emptied.push_back(workRoot);
        for (const std::string& folder : folders) emptied.push_back(archive + "/" + folder);
    }
    const std::string clash = fleet::OverwrittenInput(
        {{"the inventory", options.inventory}, {"the script", options.script}}, written, emptied);
    if (!clash.empty() || (!archive.empty() && !fleet::PrepareArchive(archive, error))) {
        fs::remove_all(privateTemplate, ec);
        return Refuse(clash.empty() ? error : clash);
    }

    fleet::LaunchOptions launch;
    launch.varnel = varnel;
    launch.privateDir = privateTemplate;
    launch.outDir = outDirText;
    launch.jobs = options.jobs;
    launch.retries = options.retries;
    launch.progress = !options.quiet && ::isatty(STDOUT_FILENO);
    launch.emptyWorkDirs = !archive.empty();
    for (char** e = environ; *e != nullptr; ++e) {
        if (!options.timeout.empty() && std::string(*e).rfind("VARNEL_TIMEOUT=", 0) == 0) continue;
        if (std::string(*e).rfind("VARNEL_END_WITH_PARENT=", 0) == 0) continue;
        launch.env.push_back(*e);
    }
    // Each run ends when this process does, even when it is killed.
    launch.env.push_back("VARNEL_END_WITH_PARENT=" + std::to_string(::getpid()));
    if (!options.timeout.empty()) launch.env.push_back("VARNEL_TIMEOUT=" + options.timeout);

    auto scriptFor = [&](size_t i) {
        std::string text = script.Expand(inventory.rows[rows[i]]);
        if (portColumn < 0 && results[i].port.empty()) results[i].port = HostLinePort(text);
        return text;
    };
    const auto started = std::chrono::steady_clock::now();
    const int stopSignal = fleet::RunHosts(results, scriptFor, launch);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    fs::remove_all(privateTemplate, ec);

    bool allEnded = true;
    for (fleet::HostResult& r : results) {
        if (r.status == fleet::kNotStarted) r.reason = "not started";
        if (r.status != 0) allEnded = false;
    }
    fleet::ArchiveResult archived;
    bool archiveWritten = true;
    std::string archiveLines;
    if (!archive.empty()) {
        std::vector<fleet::ArchiveHost> archiveHosts;
        for (size_t i = 0; i < rows.size(); ++i)
            archiveHosts.push_back({folders[i], results[i].workDir, results[i].status == 0});
        const auto archiveStarted = std::chrono::steady_clock::now();
        archiveWritten = fleet::ArchiveRun(archive, archiveHosts, archived);
        const double archiveSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - archiveStarted).count();
        for (size_t i = 0; i < archived.changes.size(); ++i) results[i].changed = fleet::ChangeName(archived.changes[i]);
        archiveLines = fleet::ArchiveLines(archive, archived, archiveSeconds);
    }
    // Work folders that hold nothing are not kept.
    for (const fleet::HostResult& r : results) ::rmdir(r.workDir.c_str());
    ::rmdir(workRoot.c_str());

    const std::string csvPath = outDirText + "/summary.csv";
    std::ofstream csv(csvPath, std::ios::binary | std::ios::trunc);
    csv << fleet::SummaryCsv(results, !archive.empty());
    csv.close();
    const bool csvWritten = !csv.fail();
    std::fputs((fleet::SummaryTable(results, seconds) + archiveLines).c_str(), stdout);
    std::fflush(stdout);
    if (!csvWritten) std::fprintf(stderr, "varnel-fleet: cannot write %s\n", csvPath.c_str());
    if (!archiveWritten) std::fprintf(stderr, "varnel-fleet: %s\n", archived.error.c_str());
    if (stopSignal != 0) return 128 + stopSignal;
    return allEnded && csvWritten && archiveWritten ? 0 : 1;
}
