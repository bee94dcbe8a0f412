// What each host's run came to, and the summary made of it: the table on
// standard output and summary.csv.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

constexpr int kNotStarted = -1;   // a host whose run never started (the fleet was stopped)

struct HostResult {
    std::string host;          // the row's host
    std::string port;          // the row's port, or the HOST line's ("23" when it names none)
    std::string outFile;       // the transcript's file name in the output folder
    int status = kNotStarted;  // varnel's exit status (128+N: stopped by signal N)
    std::string reason;        // why it failed; empty after "End of script"
    double seconds = 0;        // wall time of all its attempts
    uint64_t bytes = 0;        // size of the transcript
    int attempts = 0;
    std::string workDir;       // the folder the run works in (its CAPTURE files), absolute
    std::string changed;       // with an archive: "new", "changed", "same" or "failed"
};

// Why a run that ended with status failed: the transcript's last error line
// (an "Error N" line and its description joined as "Error N: description"),
// else the last line the run wrote to standard error, else a text for the
// status. transcriptTail is the end of the transcript, errors the run's
// standard error. At most 200 bytes, control characters made spaces.
std::string FailureReason(std::string_view transcriptTail, std::string_view errors, int status);

// A short name for a status: "End of script", "other ending", "nothing ran",
// "time-out", "output not written", "signal N", "not started".
std::string StatusLabel(int status);

// The table for standard output: hosts by status, the total with the time
// taken, then every failed host with its reason.
std::string SummaryTable(const std::vector<HostResult>& results, double wallSeconds);

// summary.csv: a header and one row per host, CRLF line endings; with
// archived, a last column "changed".
std::string SummaryCsv(const std::vector<HostResult>& results, bool archived = false);

}  // namespace fleet

namespace fleet {

// The transcript file names for the hosts, in order: "HOST.txt" with every
// byte other than letters, digits, '.', '-' and '_' made '_' (and a leading
// '.' too, so no name is hidden or "..", at most 100 bytes before ".txt");
// a name already given gets "-2", "-3"... before ".txt".
std::vector<std::string> TranscriptNames(const std::vector<std::string>& hosts);

}  // namespace fleet
