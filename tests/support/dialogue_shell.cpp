// varnel-dialogue-shell: the program an sshd runs for a test session. It puts
// its terminal (when it has one) into raw mode, so the bytes it writes reach
// the client unchanged and nothing is echoed, and then speaks the demo
// host's dialogue after login on standard input and output.
//
//   varnel-dialogue-shell              the dialogue, as user $USER
//   varnel-dialogue-shell exchange     "bench ready\r\n", then "ok>\r\n" per
//                                      line, until a line "quit"
//   varnel-dialogue-shell stream BYTES BYTES of configuration text (no '#'),
//                                      then "#", then waits for a line "quit"
// (the last two are the benchmark host's jobs, over SSH)
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/shell_dialogue.h"

namespace {

bool WriteAll(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(1, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    termios mode{};
    if (::isatty(0) && ::tcgetattr(0, &mode) == 0) {
        ::cfmakeraw(&mode);
        ::tcsetattr(0, TCSANOW, &mode);
    }
    const std::string job = argc >= 2 ? argv[1] : "";
    if (job == "stream" && argc == 3) {
        long size = std::atol(argv[2]);
        std::string chunk = testhost::ShellDialogue::Configuration(1 << 20);
        for (long sent = 0; sent < size; sent += static_cast<long>(chunk.size())) {
            if (size - sent < static_cast<long>(chunk.size())) chunk.resize(static_cast<size_t>(size - sent));
            if (!WriteAll(chunk)) return 1;
        }
        if (!WriteAll("#")) return 1;
    } else if (job == "exchange" && !WriteAll("bench ready\r\n")) {
        return 1;
    }
    if (!job.empty()) {
        std::string pending;
        char buf[4096];
        for (;;) {
            size_t eol;
            while ((eol = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line == "quit") return 0;
                if (job == "exchange" && !WriteAll("ok>\r\n")) return 1;
            }
            ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0) return 0;
            pending.append(buf, static_cast<size_t>(n));
        }
    }
    const char* user = std::getenv("USER");
    testhost::ShellDialogue dialogue(user != nullptr ? user : "");
    if (!WriteAll(dialogue.Welcome())) return 1;
    char buf[4096];
    while (!dialogue.Finished()) {
        ssize_t n = ::read(0, buf, sizeof buf);
        if (n <= 0) return 0;
        if (!WriteAll(dialogue.Feed(std::string(buf, static_cast<size_t>(n))))) return 1;
    }
    return 0;
}
