// The demo host's dialogue after its login, for test peers that authenticate
// the user themselves (an SSH server, or the program an sshd runs for the
// session): the welcome and prompt, then help, echo TEXT, show config
// [BYTES] and exit, byte for byte as the demo host answers them. For tests
// of pasted configurations it also has a device's configuration mode:
// "configure terminal" answers with the prompt "varnel-demo(config)# ", each
// line in that mode is echoed and answered with that prompt again, and "end"
// goes back to the usual prompt.
#pragma once

#include <cstdlib>
#include <string>

namespace testhost {

class ShellDialogue {
public:
    explicit ShellDialogue(std::string user) : user_(std::move(user)) {}

    // The first text the shell sends.
    std::string Welcome() const { return "\r\nWelcome, " + user_ + ".\r\n" + kPrompt; }
    // Takes received bytes; returns what to send back. Finished() after "exit".
    std::string Feed(const std::string& bytes) {
        pending_ += bytes;
        std::string out;
        size_t eol;
        while (!finished_ && (eol = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, eol);
            pending_.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out += Command(line);
        }
        return out;
    }
    bool Finished() const { return finished_; }

    static std::string Configuration(long size) {
        std::string text = "! varnel-demo configuration\r\nhostname varnel-demo\r\n";
        for (int n = 1; static_cast<long>(text.size()) < size; ++n)
            text += "interface port1/" + std::to_string(n) + "\r\n description link " + std::to_string(n) +
                    "\r\n no shutdown\r\n!\r\n";
        text.resize(static_cast<size_t>(size < 0 ? 0 : size));
        if (text.size() >= 2) text.replace(text.size() - 2, 2, "\r\n");
        return text;
    }

private:
    static constexpr const char* kPrompt = "varnel-demo> ";
    static constexpr const char* kConfigPrompt = "varnel-demo(config)# ";

    std::string Command(const std::string& line) {
        if (configuring_) {
            if (line.empty()) return kConfigPrompt;
            if (line == "end") {
                configuring_ = false;
                return "end\r\n" + std::string(kPrompt);
            }
            return line + "\r\n" + kConfigPrompt;
        }
        if (line == "configure terminal") {
            configuring_ = true;
            return kConfigPrompt;
        }
        std::string word = line.substr(0, line.find(' '));
        std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
        if (word.empty()) return kPrompt;
        if (word == "help")
            return "commands: help, echo TEXT, show config [BYTES], wait SECONDS, exit\r\n" + std::string(kPrompt);
        if (word == "echo") return rest + "\r\n" + kPrompt;
        if (word == "show" && rest.rfind("config", 0) == 0) {
            long size = rest.size() > 7 ? std::atol(rest.c_str() + 7) : 1024;
            return Configuration(size) + kPrompt;
        }
        if (word == "exit") {
            finished_ = true;
            return "Goodbye.\r\n";
        }
        return "% Unknown command \"" + word + "\"\r\n" + kPrompt;
    }

    std::string user_;
    std::string pending_;
    bool finished_ = false;
    bool configuring_ = false;
};

}  // namespace testhost
