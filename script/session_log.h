// The output file of the session log: every logged line is appended to it,
// opened and closed for that one line so it is on disk as soon as the call
// returns and other programs may read it while the run goes on.
#pragma once

#include <string>
#include <string_view>

namespace sessionlog {

// Appends text followed by CRLF, bytes unchanged, to the file at path
// (created if missing). With clear, the file is deleted first (a missing file
// is fine). An empty path does nothing. Never fails: every file error (bad
// path, no permission, disk full) is ignored and only the file misses the line.
void AppendOutputLine(const std::string& path, std::string_view text, bool clear);

}  // namespace sessionlog
