// What the demo host says: the greeting, the login, and the answer to every
// command line. Text only: it knows nothing of sockets, so the same dialogue
// can run over any transport (a session turns each Answer into output).
#pragma once

#include <string>
#include <utility>

// The answer to one line. `text` goes out at once; then, if `listing` is not
// negative, a configuration listing of that many bytes, or, if
// `waitSeconds` is not negative, a pause of that many seconds; then `then`.
// With `hangUp` the connection is closed once all of it has gone out.
struct Answer {
    std::string text;
    long listing = -1;
    int waitSeconds = -1;
    std::string then;
    bool hangUp = false;
};

class Dialogue {
public:
    static constexpr long kMaxListing = 100'000'000;   // bytes of "show config"
    static constexpr int kMaxWait = 3600;              // seconds of "wait"
    static constexpr long kMaxLogLines = 1'000'000;    // lines of "show log"
    static constexpr int kPageLines = 24;              // lines of "show log" per page
    static constexpr const char* kShellPrompt = "varnel-demo> ";

    Dialogue(std::string user, std::string password)
        : user_(std::move(user)), password_(std::move(password)) {}

    // The banner and the first "login: ".
    static std::string Greeting();
    // The answer to one line (without its line ending).
    Answer Line(const std::string& line);
    // The answer to a line longer than `limit` bytes, which is not read.
    Answer LineTooLong(size_t limit) const;
    // While a listing waits at "--More--", the dialogue reads single keys,
    // not lines: space shows the next page, q stops, any other key is ignored.
    bool WantsKey() const { return step_ == Step::Pager; }
    Answer Key(char key);

private:
    enum class Step { Login, Password, Shell, Pager, Confirm };
    Answer Command(const std::string& line);
    Answer NextPage();            // the next page of "show log"
    std::string Prompt() const;   // what the current step asks for

    std::string user_;
    std::string password_;
    Step step_ = Step::Login;
    std::string name_;            // the user name given at the login prompt
    long logLines_ = 0;           // lines of the "show log" being paged
    long logNext_ = 0;            // the next line it shows
};
