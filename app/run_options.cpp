#include "app/run_options.h"

#include <getopt.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "platform/vb_error.h"
#include "script/script_text.h"

namespace cmdline {

namespace {

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

enum LongOnly { kTelnet = 256, kSettle, kSocketLog };

const option kOptions[] = {
    {"output", required_argument, nullptr, 'o'},  {"append", no_argument, nullptr, 'a'},
    {"timeout", required_argument, nullptr, 't'}, {"window", no_argument, nullptr, 'w'},
    {"check", no_argument, nullptr, 'n'},         {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},          {"version", no_argument, nullptr, 'V'},
    {"telnet", required_argument, nullptr, kTelnet}, {"settle", required_argument, nullptr, kSettle},
    {"socket-log", required_argument, nullptr, kSocketLog}, {nullptr, 0, nullptr, 0},
};

// The option getopt_long stopped at: a long one as written (without any
// "=value"), a short one as "-c".
std::string OptionName(const std::vector<char*>& args, int next) {
    const std::string_view last = next > 0 && args[next - 1] != nullptr ? args[next - 1] : "";
    if (last.substr(0, 2) == "--") return std::string(last.substr(0, last.find('=')));
    if (optopt > 0 && optopt < 128) return std::string("-") + static_cast<char>(optopt);
    return std::string(last);
}

}  // namespace

bool IsOptionForm(int argc, const char* const* argv) {
    if (argc < 2) return false;
    for (int i = 1; i < argc; ++i) {
        // The /r: form reads its arguments joined by spaces, so spaces before
        // a word change nothing there: " /hidden" is that form's word too.
        std::string_view arg = argv[i];
        arg.remove_prefix(std::min(arg.size(), arg.find_first_not_of(' ')));
        for (std::string_view seed : {"/r:", "/o:", "/keep", "/hidden"}) {
            if (StartsWithIgnoreCase(arg, seed)) return false;
        }
    }
    return true;
}

bool ParseRunOptions(int argc, const char* const* argv, RunOptions& options, std::string& error) {
    // getopt_long reorders its array and names the program by its first
    // entry: it works on a copy that starts with the plain program name.
    std::vector<std::string> words{"varnel"};
    for (int i = 1; i < argc; ++i) words.emplace_back(argv[i]);
    std::vector<char*> args;
    for (std::string& word : words) args.push_back(word.data());
    args.push_back(nullptr);

    optind = 0;  // a full restart, so the parser may run more than once in a process
    opterr = 0;  // the message is built here, one line
    int c;
    while ((c = getopt_long(static_cast<int>(words.size()), args.data(), ":o:at:wnqhV", kOptions, nullptr)) != -1) {
        const std::string value = optarg != nullptr ? optarg : "";
        switch (c) {
        case 'o':
            if (value.empty()) {
                error = "varnel: the output file name is empty";
                return false;
            }
            options.output = value;
            break;
        case 'a': options.append = true; break;
        case 'w': options.window = true; break;
        case 'n': options.check = true; break;
        case 'q': options.quiet = true; break;
        case 'h': options.help = true; break;
        case 'V': options.version = true; break;
        case 't':
            try {
                options.timeout = scripttext::LimitSeconds(value);
            } catch (const VbError&) {
                error = "varnel: --timeout is not a number of seconds: " + value;
                return false;
            }
            break;
        case kTelnet:
            if (value == "on") {
                options.telnet = SessionOptions::Telnet::On;
            } else if (value == "off") {
                options.telnet = SessionOptions::Telnet::Off;
            } else if (value == "auto") {
                options.telnet = SessionOptions::Telnet::Auto;
            } else {
                error = "varnel: --telnet takes on, off or auto, not: " + value;
                return false;
            }
            break;
        case kSettle:
            try {
                options.settle = scripttext::LimitSeconds(value);
            } catch (const VbError&) {
                error = "varnel: --settle is not a number of seconds: " + value;
                return false;
            }
            break;
        case kSocketLog: options.socketLog = value; break;
        case ':':
            error = "varnel: option " + OptionName(args, optind) + " needs an argument";
            return false;
        default:
            error = "varnel: unknown option " + OptionName(args, optind) + " (see varnel --help)";
            return false;
        }
    }
    if (options.help || options.version) return true;
    if (optind >= static_cast<int>(words.size())) {
        error = "varnel: no script given (see varnel --help)";
        return false;
    }
    options.script = args[optind];
    if (optind + 1 < static_cast<int>(words.size())) {
        error = std::string("varnel: one script only; also given: ") + args[optind + 1];
        return false;
    }
    if (options.script.empty()) {
        error = "varnel: the script file name is empty";
        return false;
    }
    if (options.append && options.output.empty()) {
        error = "varnel: --append needs --output";
        return false;
    }
    return true;
}

}  // namespace cmdline
