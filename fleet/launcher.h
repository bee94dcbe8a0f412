// Runs varnel once per host, at most a given number at once: each run is a
// child started with posix_spawn (no shell) and watched through a signalfd
// from one poll loop; no thread per child.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fleet/summary.h"

namespace fleet {

struct LaunchOptions {
    std::string varnel;            // the program to run
    std::string privateDir;        // a 0700 folder for the runs' standard error files
    std::string outDir;            // absolute folder of the transcripts
    std::vector<std::string> env;  // the children's environment, "NAME=value"
    int jobs = 32;                 // runs at once
    int retries = 0;               // extra attempts after status 1, 3 or 4
    bool progress = false;         // draw the progress line on standard output
    bool emptyWorkDirs = false;    // empty each run's work folder before each attempt
};

// Runs the host of every result in turn (results[i].outFile names its
// transcript, results[i].workDir the folder it starts in, made when missing
// and emptied first with emptyWorkDirs;
// script(i) gives its script, handed over in memory, never through a file
// in a folder) and fills in status, reason,
// seconds, bytes and attempts. SIGINT, SIGTERM and SIGHUP stop new runs from
// starting and are passed on to the running ones, which are waited for; the
// hosts not started keep kNotStarted. Returns the number of the first such
// signal, 0 when every host ran.
int RunHosts(std::vector<HostResult>& results, const std::function<std::string(size_t)>& script,
             const LaunchOptions& options);

}  // namespace fleet
