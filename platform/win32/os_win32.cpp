// The operating-system services of os.h on Windows. Files are always opened
// in binary mode (the C library would otherwise turn LF into CRLF) and are
// not inherited by child processes.
#include "platform/os.h"

#include "platform/win32/real_api.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace os {

std::string ExecutablePath() {
    std::string path(32768, '\0');
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) return std::string();
    path.resize(n);
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

std::string HomeFolder() {
    const char* profile = std::getenv("USERPROFILE");
    std::string home = profile != nullptr ? profile : "";
    for (char& c : home)
        if (c == '\\') c = '/';
    return home;
}

int OpenForAppend(const std::string& path, bool clear, bool, int) {
    if (clear) {
        struct _stat64 st {};
        if (::_stat64(path.c_str(), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG) ::_unlink(path.c_str());
    }
    return ::_open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

int OpenForReading(const std::string& path) {
    return ::_open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

// Opening a file here never waits for a writer nor takes a console.
int OpenToInspect(const std::string& path) { return OpenForReading(path); }

int ReadToEnd(int fd, std::string& text) {
    ::_setmode(fd, _O_BINARY);  // a text-mode read would stop at Ctrl-Z and drop CRs
    char buffer[65536];
    for (;;) {
        const int n = ::_read(fd, buffer, sizeof buffer);
        if (n == 0) return 0;
        if (n < 0) return errno;
        text.append(buffer, static_cast<size_t>(n));
    }
}

// One write for both parts, so that an appended line arrives whole.
int WriteParts(int fd, std::string_view first, std::string_view second) {
    std::string both;
    both.reserve(first.size() + second.size());
    both.append(first).append(second);
    const char* p = both.data();
    size_t left = both.size();
    while (left > 0) {
        const unsigned chunk = left > (1u << 30) ? (1u << 30) : static_cast<unsigned>(left);
        const int wrote = ::_write(fd, p, chunk);
        if (wrote < 0) return errno;
        if (wrote == 0) return EIO;
        p += wrote;
        left -= static_cast<size_t>(wrote);
    }
    return 0;
}

// A window can be shown wherever the process's window station is the
// interactive one (not a service's).
std::string WindowUnavailableReason() {
    USEROBJECTFLAGS flags{};
    HWINSTA station = ::GetProcessWindowStation();
    if (station != nullptr &&
        ::GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
        (flags.dwFlags & WSF_VISIBLE) == 0)
        return "the program runs without a desktop (a service's window station): run the script with /hidden";
    return std::string();
}

std::string ModuleFileName(const std::string& name) { return "lib" + name + ".dll"; }

void* LoadModule(const std::string& path, std::string* error) {
    ::HMODULE module = ::LoadLibraryA(path.c_str());
    if (module == nullptr && error != nullptr)
        *error = path + " cannot be loaded (error " + std::to_string(::GetLastError()) + ")";
    return reinterpret_cast<void*>(module);
}

void* ModuleEntry(void* module, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<::HMODULE>(module), name));
}

void SetVariable(const std::string& name, const std::string& value) {
    ::_putenv_s(name.c_str(), value.c_str());
}

// Windows raises no signal for a broken pipe or a file-size limit.
void IgnoreWriteSignals() {}

// st_ino is always 0 on Windows: a file is known by its volume's serial
// number and its index on that volume.
bool SameFile(const std::string& a, const std::string& b) {
    auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
        ::HANDLE h = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        const bool ok = ::GetFileInformationByHandle(h, info) != 0;
        ::CloseHandle(h);
        return ok;
    };
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    return identify(a, &ia) && identify(b, &ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

}  // namespace os
