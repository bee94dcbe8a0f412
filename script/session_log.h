// The output file of the session log: every logged line is appended to it,
// opened and closed for that one line so it is on disk as soon as the call
// returns and other programs may read it while the run goes on.
#pragma once

#include <string>
#include <string_view>

namespace sessionlog {

// Appends text followed by CRLF, bytes unchanged, to the file at path
// (created if missing). An empty path does nothing.
//
// With clear, the file is started afresh, but only a regular file is ever
// deleted: a symbolic link to a regular file has that file emptied, and
// anything else (a device, FIFO, socket, or a link to one) is opened for
// appending as it is.
//
// The open never blocks: a FIFO without a reader is a failure, not a wait. A
// short write is retried until the line is whole or an error is known.
// Returns 0 when the whole line was written, otherwise the errno of the
// failure (the line, or its rest, is then missing from the file).
int AppendOutputLine(const std::string& path, std::string_view text, bool clear);

// The same for bytes without a line ending (a capture file). With clear and
// no bytes the file is only started afresh: it exists and is empty afterwards.
int AppendOutputBytes(const std::string& path, std::string_view bytes, bool clear);

// Writes text followed by CRLF to an open descriptor (standard output), with
// the same retries. Returns 0 or the errno of the failure.
int WriteLine(int fd, std::string_view text);

}  // namespace sessionlog
