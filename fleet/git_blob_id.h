// The name git gives a file's contents: the SHA-1 of "blob SIZE\0" followed
// by the bytes, in 40 lowercase hex digits. The archive compares what a run
// captured with what the last commit holds by these names, without reading
// the repository's files.
#pragma once

#include <string>
#include <string_view>

namespace fleet {

// The SHA-1 of bytes, 40 lowercase hex digits ("" if it cannot be computed).
std::string Sha1Hex(std::string_view bytes);

// git's object name of a blob with these contents.
std::string GitBlobId(std::string_view contents);

}  // namespace fleet
