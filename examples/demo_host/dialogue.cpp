#include "dialogue.h"

#include <algorithm>
#include <cstdlib>

namespace {

const char* const kPrompt = Dialogue::kShellPrompt;

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
    case Step::Confirm: return "Proceed with reload? [confirm]";
    case Step::Shell:
    case Step::Pager: break;
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
    case Step::Confirm:
        step_ = Step::Shell;
        if (line.empty() || line == "y" || line == "yes")
            return Say("\r\nReload requested (the demo host does not reload).\r\n" + std::string(kPrompt));
        return Say("\r\n% Reload cancelled\r\n" + std::string(kPrompt));
    case Step::Shell:
    case Step::Pager:
        break;
    }
    return Command(line);
}

Answer Dialogue::Command(const std::string& line) {
    const std::string word = line.substr(0, line.find(' '));
    const std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
    if (word.empty()) return Say(kPrompt);
    if (word == "help") {
        return Say("commands: help, echo TEXT, show config [BYTES], show log [LINES], wait SECONDS, reload, exit\r\n" +
                   std::string(kPrompt));
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
    if (word == "show" && (rest == "log" || rest.rfind("log ", 0) == 0)) {
        const long long lines = rest.size() > 4 ? std::atoll(rest.c_str() + 4) : 60;
        if (lines < 0 || lines > kMaxLogLines) {
            return Say("% show log: 0 to " + std::to_string(kMaxLogLines) + " lines\r\n" + kPrompt);
        }
        logLines_ = static_cast<long>(lines);
        logNext_ = 0;
        return NextPage();
    }
    if (word == "reload") {
        step_ = Step::Confirm;
        return Say(Prompt());
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
    return Say("% Invalid input detected at '^' marker.\r\n" + std::string(kPrompt));
}

Answer Dialogue::NextPage() {
    std::string page;
    const long end = std::min(logLines_, logNext_ + kPageLines);
    for (; logNext_ < end; ++logNext_) {
        page += "Dec  9 00:00:00.000: %SYS-5-LOG: entry " + std::to_string(logNext_ + 1) + " of " +
                std::to_string(logLines_) + "\r\n";
    }
    step_ = logNext_ < logLines_ ? Step::Pager : Step::Shell;
    return Say(page + (step_ == Step::Pager ? " --More-- " : kPrompt));
}

Answer Dialogue::Key(char key) {
    if (key == ' ') {
        Answer next = NextPage();
        next.text = "\r\n" + next.text;
        return next;
    }
    if (key == 'q' || key == 'Q') {
        step_ = Step::Shell;
        return Say("\r\n" + std::string(kPrompt));
    }
    return Answer();
}
