// The few operating-system services outside the sockets and the event loop:
// the program's own path, files opened for appending and reading (always in
// binary mode: bytes are written as they are), the window module, signals
// that must not end the program, and whether two paths name the same file.
// Failing calls leave errno set, as the C library's calls do.
#pragma once

#include <string>
#include <string_view>

namespace os {

// The full path of the running program, "/" as separator; "" when unknown.
std::string ExecutablePath();
// The user's home folder ($HOME; on Windows the user profile), "/" as
// separator; "" when unknown.
std::string HomeFolder();

// Opens path for appending (write only; created when missing, mode 0666
// less the umask, or `permissions`). With clear the file starts empty: a
// regular file is deleted first, a link to a regular file is emptied through
// the link. The open never blocks on a FIFO without a reader; with blocking,
// writes block afterwards. Returns the descriptor, or -1 with errno set.
int OpenForAppend(const std::string& path, bool clear, bool blocking, int permissions = 0666);
// Opens path for reading. Returns the descriptor, or -1 with errno set.
int OpenForReading(const std::string& path);
// Opens path for reading without ever waiting (a FIFO with no writer) or
// taking a terminal: for a look at what kind of file it is.
int OpenToInspect(const std::string& path);
// Appends everything fd gives up to its end to text (in binary mode).
// Returns 0 or the errno of the failure.
int ReadToEnd(int fd, std::string& text);
// Writes first and then second as one append where the system allows it,
// waiting when a pipe is full. Returns 0 or the errno of the failure.
int WriteParts(int fd, std::string_view first, std::string_view second);

// Why this build cannot show a window at all, or "" when it can.
std::string WindowUnavailableReason();
// The file name of the module NAME: "libNAME.so" (on Windows "libNAME.dll").
std::string ModuleFileName(const std::string& name);
// Loads a module for the life of the process; nullptr (error set) on failure.
void* LoadModule(const std::string& path, std::string* error);
// The address of a module's entry point, or nullptr.
void* ModuleEntry(void* module, const char* name);

// Sets the environment variable name to value for this process and its children.
void SetVariable(const std::string& name, const std::string& value);

// A broken pipe or a file-size limit becomes a write error, never the end of the program.
void IgnoreWriteSignals();

// True when both paths exist and name the same file (a link and its target,
// two spellings of one path).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace os
