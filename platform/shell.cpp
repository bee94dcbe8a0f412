// ShellExecuteA: hands a file or web address to the desktop's default handler.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/message_window.h"

namespace win {

// xdg-open runs detached in a grandchild (double fork, new session), so the
// call returns at once and leaves no zombie: the intermediate child exits
// immediately and is reaped here. The handler's result is ignored.
void ShellExecuteA(HWND, const std::string&, const std::string& file) {
    if (file.empty()) return;
    const char* argv[] = {"xdg-open", file.c_str(), nullptr};
    pid_t child = ::fork();
    if (child < 0) return;
    if (child == 0) {
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(0);
        int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, 0);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
        }
        ::execvp(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    int status;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace win
