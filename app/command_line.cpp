#include "app/command_line.h"

#include <sys/stat.h>

#include "platform/os.h"

namespace cmdline {

std::string JoinArguments(int argc, const char* const* argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) text += ' ';
        text += argv[i];
    }
    return text;
}

bool TakeHiddenSwitch(std::string& commandLine) {
    static constexpr std::string_view kHidden = "/hidden";
    if (commandLine.size() <= kHidden.size()) return false;
    if (commandLine.compare(commandLine.size() - kHidden.size(), kHidden.size(), kHidden) != 0) return false;
    commandLine.resize(commandLine.size() - kHidden.size());
    size_t first = commandLine.find_first_not_of(' ');
    if (first == std::string::npos) {
        commandLine.clear();
    } else {
        size_t last = commandLine.find_last_not_of(' ');
        commandLine = commandLine.substr(first, last - first + 1);
    }
    return true;
}

std::string ProgramFolder() {
    const std::string exe = os::ExecutablePath();
    if (exe.empty()) return ".";
    size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return exe.substr(0, slash);
}

bool IsBareName(std::string_view name) { return name.find_first_of("/\\") == std::string_view::npos; }

std::string ResolveName(const std::string& appPath, const std::string& name) {
    return IsBareName(name) ? appPath + name : name;
}

bool IsOrdinaryFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) { return os::SameFile(a, b); }

std::string UsageText(std::string_view separator) {
    const char* lines[] = {"To run a script use the /r: argument at the command line:",
                           "",
                           "varnel /r:script.txt",
                           "(where script.txt is the name of the script file)",
                           "",
                           "Please see the ReadMe file for more information."};
    std::string text;
    for (size_t i = 0; i < std::size(lines); ++i) {
        if (i > 0) text += separator;
        text += lines[i];
    }
    return text;
}

std::string HelpText() {
    return "Usage: varnel [OPTIONS] SCRIPT\n"
           "       varnel /r:SCRIPT [/o:OUTPUT [/keep]] [/hidden]\n"
           "\n"
           "Runs the script SCRIPT against a host over TCP (telnet on port 23) or SSH.\n"
           "SCRIPT - reads the script from standard input. Without -o the session\n"
           "log (the transcript) goes to standard output, CRLF after each line.\n"
           "  -o, --output FILE    write the transcript to FILE (cleared at the start)\n"
           "  -a, --append         append to FILE instead of clearing it\n"
           "  -t, --timeout S      limit every wait of a script without TIMEOUT to S seconds\n"
           "      --telnet MODE    telnet negotiation until a TELNET line: on, off or auto\n"
           "      --settle S       settle period at the end of the script, in seconds\n"
           "      --socket-log FILE  append the socket debug log to FILE\n"
           "  -n, --check          check the script's lines without connecting\n"
           "  -q, --quiet          no transcript on standard output\n"
           "  -w, --window         run in the window instead of hidden\n"
           "  -h, --help           show this text\n"
           "  -V, --version        show the version\n"
           "\n"
           "The /r: form (chosen when an argument starts with /r:, /o:, /keep or /hidden):\n"
           "  /r:SCRIPT   script file to run (a bare name is looked up in the\n"
           "              program's folder; write ./name for the current folder)\n"
           "  /o:OUTPUT   output file: every session log line is appended to it\n"
           "              (must follow /r: after a space; bare names as above)\n"
           "  /keep       append to an existing output file instead of clearing it\n"
           "              (after /o:, last before /hidden)\n"
           "  /hidden     run without a window; must be the very last argument\n"
           "\n"
           "Script lines: HOST name [port], SSH user@name [port], SEND \"text\",\n"
           "WAIT \"text\" [OR \"text\" ...], DELAY seconds, TIMEOUT seconds, SETTLE seconds,\n"
           "ECHO \"text\", TELNET ON|OFF|AUTO, # comment. \"\\n\" in a text is CRLF.\n"
           "ON \"text\" SEND \"reply\" answers each time the host sends the text\n"
           "(ON \"--More--\" SEND \" \"; ON \"text\" alone removes it), FAIL \"text\" ends\n"
           "the run with status 1 when the host sends it (FAIL \"% Invalid input\"),\n"
           "CAPTURE \"file\" ... CAPTURE OFF writes the received bytes to the file.\n"
           "%env:NAME% in a text or a HOST/SSH word is the environment variable NAME\n"
           "(SEND \"%env:ROUTER_PW%\\n\").\n"
           "VARNEL_TIMEOUT=seconds limits every wait of scripts without TIMEOUT.\n"
           "VARNEL_SETTLE=seconds is the settle period of scripts without SETTLE\n"
           "(default 1; 0: none).\n"
           "\n"
           "Exit status: 0 after the end of the script, 1 when a run ends otherwise\n"
           "(unknown command, error, closed connection) or --check found a bad line,\n"
           "2 when nothing ran (also for a bad option), 3 after a time-out, 4 when\n"
           "the transcript could not be written, 128+N when stopped by signal N.\n";
}

std::string VersionText() { return "varnel 0.1.0\n"; }

}  // namespace cmdline
