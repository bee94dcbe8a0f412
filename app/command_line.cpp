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
    return "Usage: varnel /r:SCRIPT [/o:OUTPUT [/keep]] [/hidden]\n"
           "\n"
           "Runs the script SCRIPT against a host over TCP (telnet on port 23) or SSH.\n"
           "  /r:SCRIPT   script file to run (a bare name is looked up in the\n"
           "              program's folder; write ./name for the current folder)\n"
           "  /o:OUTPUT   output file: every session log line is appended to it\n"
           "              (must follow /r: after a space; bare names as above)\n"
           "  /keep       append to an existing output file instead of clearing it\n"
           "              (after /o:, last before /hidden)\n"
           "  /hidden     run without a window; must be the very last argument\n"
           "\n"
           "Script lines: HOST name [port], SSH user@name [port], SEND \"text\",\n"
           "WAIT \"text\", DELAY seconds, TIMEOUT seconds, ECHO \"text\",\n"
           "TELNET ON|OFF|AUTO, # comment. \"\\n\" in a text is CRLF.\n"
           "VARNEL_TIMEOUT=seconds limits every wait of scripts without TIMEOUT.\n"
           "\n"
           "Exit status: 0 after the end of the script, 1 when a run ends otherwise\n"
           "(unknown command, error, closed connection), 2 when nothing ran, 3 after\n"
           "a time-out, 4 when the output file could not be written, 128+N when\n"
           "stopped by signal N.\n";
}

std::string VersionText() { return "varnel 0.1.0\n"; }

}  // namespace cmdline
