// varnel-device-shell: a device-like shell for the tests against real
// servers (the program telnetd runs on a connection's pty, or sshd for a
// session). Its terminal goes into raw mode, so nothing is echoed and each
// key reaches it at once. It writes its prompt "router1#" in two pieces,
// "rou" and, 300 ms later, "ter1#", and knows:
//   show log     PAGES pages of 24 lines (argument 1, 100 by default), each
//                followed by " --More-- "; a space shows the next page, q
//                stops, other keys are ignored; then the prompt
//   exit         "bye", then waits for the client to hang up
// Any other line gets "% Invalid input detected at '^' marker." and the prompt.
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// Raw mode for the terminal, set again whenever it has changed: telnetd sets
// the pty's modes itself when the client's late answers to its options
// arrive (binary output turns output processing back on), and that can come
// after this program started.
void KeepRaw() {
    termios mode{};
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &mode) != 0) return;
    termios raw = mode;
    ::cfmakeraw(&raw);
    if (raw.c_oflag != mode.c_oflag || raw.c_lflag != mode.c_lflag || raw.c_iflag != mode.c_iflag)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

bool Write(const std::string& text) {
    KeepRaw();
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool Prompt(const std::string& before) {
    if (!Write(before + "rou")) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return Write("ter1#");
}

// The next non-empty line, CR or LF ending it; false at the end of input.
bool ReadLine(std::string& line) {
    line.clear();
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) == 1) {
        if (c == '\n' || c == '\r' || c == '\0') {
            if (!line.empty()) return true;
            continue;
        }
        line += c;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    KeepRaw();
    const int pages = argc > 1 ? std::atoi(argv[1]) : 100;
    if (!Prompt("\r\nrouter1 ready\r\n")) return 1;
    std::string line;
    while (ReadLine(line)) {
        if (line == "exit") {
            Write("bye\r\n");
            char c;
            while (::read(STDIN_FILENO, &c, 1) > 0) {
            }
            return 0;
        }
        if (line != "show log") {
            if (!Prompt("% Invalid input detected at '^' marker.\r\n")) return 1;
            continue;
        }
        for (int page = 0; page < pages; ++page) {
            std::string text;
            for (int i = 1; i <= 24; ++i) text += "log " + std::to_string(page * 24 + i) + "\r\n";
            if (!Write(text + " --More-- ")) return 1;
            char key = 0;
            while (::read(STDIN_FILENO, &key, 1) == 1 && key != ' ' && key != 'q') {
            }
            if (key != ' ') break;
        }
        if (!Prompt("\r\n")) return 1;
    }
    return 0;
}
