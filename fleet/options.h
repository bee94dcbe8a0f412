// The command line of varnel-fleet.
#pragma once

#include <string>
#include <vector>

namespace fleet {

struct Options {
    std::string inventory;                 // INVENTORY: the CSV file
    std::string script;                    // SCRIPT: the script with placeholders
    int jobs = 32;                         // -j N: runs at once
    std::string outDir = "./varnel-out";   // -o DIR: transcripts and summary.csv
    std::string timeout;                   // --timeout S: each run's VARNEL_TIMEOUT (empty: left alone)
    int retries = 0;                       // --retries R
    int shardIndex = 1;                    // --shard K/N: rows K, K+N, K+2N... (K from 1)
    int shardCount = 1;
    bool shardAuto = false;                // --shard auto: K/N from the batch engine (fleet/shard.h)
    std::string archive;                   // --archive REPO: the git repository of the CAPTURE files
    bool quiet = false;                    // --quiet: no progress line
    bool help = false;                     // --help
    bool version = false;                  // --version
};

// Reads the arguments (without the program name). Options take their value
// as the next argument or after "=" (-j also joined: -j8). False with an
// error for an unknown option, a missing or bad value, or not exactly two
// file names (unless --help or --version is given).
bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error);

// The text printed by --help.
std::string HelpText();

}  // namespace fleet
