#include "fleet/options.h"

#include <cerrno>
#include <cstdlib>

namespace fleet {

namespace {

// A whole number from min to max, written in decimal digits only.
bool ReadCount(const std::string& text, int min, int max, int& out) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (value < min || value > max) return false;
    out = static_cast<int>(value);
    return true;
}

// Seconds as varnel reads VARNEL_TIMEOUT: digits with an optional fraction
// (rounded up to whole seconds), more than zero and at most 2147483 once
// rounded up.
bool IsSeconds(const std::string& text) {
    size_t point = text.find('.');
    std::string whole = text.substr(0, point);
    std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    if (whole.empty() && fraction.empty()) return false;
    if ((whole + fraction).find_first_not_of("0123456789") != std::string::npos) return false;
    size_t first = whole.find_first_not_of('0');
    std::string digits = first == std::string::npos ? "" : whole.substr(first);
    bool partial = fraction.find_first_not_of('0') != std::string::npos;
    if (digits.empty()) return partial;
    return digits.size() < 7 || (digits.size() == 7 && (digits < "2147483" || (digits == "2147483" && !partial)));
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error) {
    out = Options();
    std::vector<std::string> files;
    bool onlyFiles = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
            files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyFiles = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            out.help = true;
            continue;
        }
        if (arg == "--version") {
            out.version = true;
            continue;
        }
        if (arg == "--quiet" || arg == "-q") {
            out.quiet = true;
            continue;
        }
        std::string name = arg, value;
        bool hasValue = false;
        size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            hasValue = true;
        } else if (arg.rfind("-j", 0) == 0 && arg.size() > 2) {
            name = "-j";
            value = arg.substr(2);
            hasValue = true;
        }
        if (name != "-j" && name != "--jobs" && name != "-o" && name != "--output" && name != "--timeout" &&
            name != "--retries" && name != "--shard" && name != "--archive") {
            error = "unknown option " + arg;
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (name == "-j" || name == "--jobs") {
            if (!ReadCount(value, 1, 100000, out.jobs)) {
                error = name + " takes a number of runs from 1 to 100000, not \"" + value + "\"";
                return false;
            }
        } else if (name == "-o" || name == "--output") {
            if (value.empty()) {
                error = name + " needs a folder name";
                return false;
            }
            out.outDir = value;
        } else if (name == "--timeout") {
            if (!IsSeconds(value)) {
                error = "--timeout takes seconds (more than 0, at most 2147483), not \"" + value + "\"";
                return false;
            }
            out.timeout = value;
        } else if (name == "--retries") {
            if (!ReadCount(value, 0, 1000, out.retries)) {
                error = "--retries takes a number from 0 to 1000, not \"" + value + "\"";
                return false;
            }
        } else if (name == "--archive") {
            if (value.empty()) {
                error = "--archive needs a folder name";
                return false;
            }
            out.archive = value;
        } else if (value == "auto") {
            out.shardAuto = true;
        } else {
            out.shardAuto = false;
            size_t slash = value.find('/');
            if (slash == std::string::npos || !ReadCount(value.substr(0, slash), 1, 1000000, out.shardIndex) ||
                !ReadCount(value.substr(slash + 1), 1, 1000000, out.shardCount) || out.shardIndex > out.shardCount) {
                error = "--shard takes K/N with 1 <= K <= N, not \"" + value + "\"";
                return false;
            }
        }
    }
    if (out.help || out.version) return true;
    if (files.size() != 2) {
        error = files.size() < 2 ? "an INVENTORY and a SCRIPT are needed" : "more than an INVENTORY and a SCRIPT given";
        return false;
    }
    out.inventory = files[0];
    out.script = files[1];
    return true;
}

std::string HelpText() {
    return "Usage: varnel-fleet [OPTIONS] INVENTORY SCRIPT\n"
           "Runs SCRIPT once for every row of INVENTORY, each run a hidden run of varnel.\n"
           "\n"
           "INVENTORY is a CSV file (RFC 4180) with a header row; a \"host\" column is\n"
           "required. In SCRIPT, inside the words of the HOST line and inside quoted\n"
           "texts, %name% is the row's value of column name, %env:NAME% the environment\n"
           "variable NAME and %% one %. A placeholder that names nothing is refused\n"
           "before anything runs.\n"
           "\n"
           "Options:\n"
           "  -j N            at most N runs at once (default 32)\n"
           "  -o DIR          transcripts DIR/HOST.txt and DIR/summary.csv (default ./varnel-out)\n"
           "  --timeout S     each run ends with status 3 after S seconds (VARNEL_TIMEOUT)\n"
           "  --retries R     run a host again, up to R times, after status 1, 3 or 4\n"
           "  --shard K/N     only rows K, K+N, K+2N... (K from 1), for spreading over machines\n"
           "  --shard auto    K/N from a Kubernetes Indexed Job, a Slurm job array or GNU\n"
           "                  parallel's job slot (see varnel-fleet(1))\n"
           "  --archive REPO  keep each host's CAPTURE files in the git repository REPO,\n"
           "                  one commit per run that changed anything\n"
           "  -q, --quiet     no progress line\n"
           "  -h, --help      this text\n"
           "  --version       the version\n"
           "\n"
           "On a terminal a progress line shows how far the fleet is. At the end a\n"
           "summary goes to standard output and DIR/summary.csv holds one row per host:\n"
           "host,port,status,reason,seconds,bytes,attempts (and changed, with --archive).\n"
           "Each run works in DIR/hosts/NAME (NAME: the \"name\" column, else HOST-ROW),\n"
           "where relative CAPTURE files land.\n"
           "\n"
           "Exit status: 0 when every host's run ended with \"End of script\", 1 when any\n"
           "did not, 2 when nothing ran (bad options, inventory or script), 128+N when\n"
           "stopped by signal N (SIGINT, SIGTERM, SIGHUP: running hosts get the signal too, and\n"
           "the summary is still written).\n";
}

}  // namespace fleet
