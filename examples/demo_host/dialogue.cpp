#include "dialogue.h"

#include <cstdlib>

namespace {

const char* const kPrompt = "varnel-demo> ";

Answer Say(std::string text) {
    Answer answer;
    answer.text = std::move(text);
    return answer;
}

}  // namespace

std::string Dialogue::Greeting() {
    return "\r\nvarnel-demo: a practice device for Varnel scripts\r\n\r\nlogin: ";
}

std::string Dialogue::Prompt() const {
    switch (step_) {
    case Step::Login: return "login: ";
    case Step::Password: return "Password: ";
    case Step::Shell: break;
    }
    return kPrompt;
}

Answer Dialogue::LineTooLong(size_t limit) const {
    return Say("\r\n% Line too long (more than " + std::to_string(limit) + " bytes); ignored\r\n" + Prompt());
}

Answer Dialogue::Line(const std::string& line) {
    switch (step_) {
    case Step::Login:
        name_ = line;
        step_ = Step::Password;
        return Say("Password: ");
    case Step::Password:
        if (name_ == user_ && line == password_) {
            step_ = Step::Shell;
            return Say("\r\nWelcome, " + name_ + ".\r\n" + kPrompt);
        }
        step_ = Step::Login;
        return Say("\r\nLogin incorrect\r\n\r\nlogin: ");
    case Step::Shell:
        break;
    }
    return Command(line);
}

Answer Dialogue::Command(const std::string& line) {
    const std::string word = line.substr(0, line.find(' '));
    const std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
    if (word.empty()) return Say(kPrompt);
    if (word == "help") {
        return Say("commands: help, echo TEXT, show config [BYTES], wait SECONDS, exit\r\n" + std::string(kPrompt));
    }
    if (word == "echo") return Say(rest + "\r\n" + kPrompt);
    if (word == "show" && rest.rfind("config", 0) == 0) {
        const long long size = rest.size() > 7 ? std::atoll(rest.c_str() + 7) : 1024;
        if (size > kMaxListing) {
            return Say("% show config: at most " + std::to_string(kMaxListing) + " bytes\r\n" + kPrompt);
        }
        Answer answer;
        answer.listing = size < 0 ? 0 : static_cast<long>(size);
        answer.then = kPrompt;
        return answer;
    }
    if (word == "wait") {
        const long long seconds = std::atoll(rest.c_str());
        if (seconds < 0 || seconds > kMaxWait) {
            return Say("% wait: 0 to " + std::to_string(kMaxWait) + " seconds\r\n" + kPrompt);
        }
        Answer answer;
        answer.waitSeconds = static_cast<int>(seconds);
        answer.then = "waited " + std::to_string(seconds) + " seconds\r\n" + kPrompt;
        return answer;
    }
    if (word == "exit") {
        Answer answer = Say("Goodbye.\r\n");
        answer.hangUp = true;
        return answer;
    }
    return Say("% Unknown command \"" + word + "\"\r\n" + kPrompt);
}
