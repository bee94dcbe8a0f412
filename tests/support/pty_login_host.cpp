// A login dialogue on a terminal: the program a telnet server runs on the pty
// of a connection (in place of the system's login). It speaks the demo
// host's dialogue: a banner and "login: ", "Password: ", then the prompt
// "varnel-demo> " with the commands echo TEXT and exit, and a device's
// configuration mode: "configure terminal" answers "varnel-demo(config)# ",
// each line there is echoed and answered with that prompt, "end" leaves.
//
// The terminal's echo is turned off, and every answer goes out in one write
// once a whole line has been read, so what the client receives comes in the
// same blocks on every run. Empty lines are skipped: a client that ends its
// lines with CR LF may give the terminal two line ends.
#include <termios.h>
#include <unistd.h>

#include <string>

namespace {

const std::string kPrompt = "varnel-demo> ";

void Write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// The next non-empty line without its line end; false at the end of input.
bool ReadLine(std::string& line) {
    line.clear();
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) == 1) {
        if (c == '\n' || c == '\r') {
            if (!line.empty()) return true;
            continue;
        }
        line += c;
    }
    return false;
}

}  // namespace

int main() {
    termios t{};
    if (::tcgetattr(STDIN_FILENO, &t) == 0) {
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &t);
    }
    std::string user, password, line;
    Write("\nvarnel-demo: a practice device for Varnel scripts\n\nlogin: ");
    if (!ReadLine(user)) return 1;
    Write("Password: ");
    if (!ReadLine(password)) return 1;
    if (user != "admin" || password != "varnel") {
        Write("\nLogin incorrect\n");
        return 1;
    }
    Write("\nWelcome, admin.\n" + kPrompt);
    while (ReadLine(line)) {
        if (line == "exit") {
            Write("Goodbye.\n");
            // Stays until the client has hung up, so the goodbye is not cut off.
            while (::read(STDIN_FILENO, &line[0], 1) > 0) {
            }
            return 0;
        }
        if (line == "configure terminal") {
            const std::string configPrompt = "varnel-demo(config)# ";
            Write(configPrompt);
            while (ReadLine(line) && line != "end") Write(line + "\n" + configPrompt);
            Write("end\n" + kPrompt);
        } else if (line.rfind("echo ", 0) == 0) {
            Write(line.substr(5) + "\n" + kPrompt);
        } else {
            Write("% Unknown command\n" + kPrompt);
        }
    }
    return 0;
}
