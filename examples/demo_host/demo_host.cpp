// varnel-demo-host: a small line-oriented login host on 127.0.0.1, built on
// CSocketKit alone, for trying Varnel scripts without a real device. It is
// also the example of how to use the socket object as a server:
//
//   listener: Bind(port, "127.0.0.1"), Listen(); on ConnectionRequest a new
//             closed CSocketKit calls Accept(requestID) and takes the
//             connection over (session.cpp); a failing accept arrives as
//             the listener's Error event, and the listener carries on.
//   session:  DataArrival -> GetData; answers with SendData, paced by
//             SendComplete; Error and CloseSck end it (session.cpp).
//   waits:    timers of the event loop, one per session.
//   limits:   one more timer, every second, ends sessions whose client has
//             been idle too long or keeps a line unfinished too long, so
//             clients that trickle a line that never ends cannot hold every
//             session (--idle-limit, --line-limit).
//
// The dialogue itself (banner, login, commands) is in dialogue.cpp.
//
// Usage: varnel-demo-host [--port N] [--user NAME] [--password WORD] [--max-sessions N] [--telnet]
//                         [--idle-limit S] [--line-limit S] [--split-prompt MS] | --help
// With --telnet each session negotiates telnet options first (session.h).
// The first line of output is the port it listens on (0 = chosen by the system).
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "platform/message_window.h"
#include "platform/vb_error.h"
#include "session.h"

namespace {

constexpr win::UINT WM_APP_RELEASE = 0x8001;   // wParam: the session to delete
constexpr uint32_t kLimitTimer = 0;             // session ids (the wait timers) start at 1

struct Options {
    int port = 0;
    std::string user = "admin";
    std::string password = "varnel";
    int maxSessions = 0;   // 0: no limit
    bool telnet = false;
    int idleLimit = 300;   // seconds without input or output taken; 0: no limit
    int lineLimit = 120;   // seconds one line may take from its first byte; 0: no limit
    uint32_t splitPromptMs = 0;   // 0: the prompt goes out whole
};

class DemoHost : public CSocketKitEvents, public SessionOwner {
public:
    explicit DemoHost(const Options& options) : options_(options), listener_(CSocketKit::Create()) {
        instance_ = this;
        window_ = win::CreateWindowExA(0, "STATIC", "DEMO_HOST_WINDOW");
        win::SetWindowLongA(window_, win::GWL_WNDPROC, &DemoHost::WindowProc);
        listener_->SetEventReceiver(this);
        listener_->Bind(VbVariant(options.port), VbVariant("127.0.0.1"));
        listener_->Listen();
        if (options.idleLimit > 0 || options.lineLimit > 0) win::SetTimer(window_, kLimitTimer, 1000);
    }
    int32_t Port() const { return listener_->LocalPort(); }

    // A client connects: a new session, or a refusal when the host is full.
    void ConnectionRequest(int32_t requestID) override {
        const bool full = options_.maxSessions > 0 && active_ >= options_.maxSessions;
        const int32_t id = nextId_++;
        auto& session = sessions_[id];
        session = std::make_unique<Session>(*this, id, Dialogue(options_.user, options_.password), options_.telnet,
                                             options_.splitPromptMs);
        if (!full) ++active_;
        counted_[id] = !full;
        const std::string refusal = "varnel-demo: too many sessions (at most " +
                                    std::to_string(options_.maxSessions) + "), try again later\r\n";
        try {
            session->Start(requestID, full ? refusal : Dialogue::Greeting(), full);
        } catch (const VbError& e) {
            LogLine("session " + std::to_string(id) + ": cannot take the connection: " + e.Description);
            Release(*session);
        }
    }

    // The listener could not accept (out of descriptors); it tries again by itself.
    void Error(int16_t number, std::string& description, int32_t, const std::string&, const std::string&, int32_t,
               bool&) override {
        LogLine("cannot accept a connection: " + description + " (" + std::to_string(number) +
                "); trying again when a descriptor is free");
    }

    void StartWait(Session& session, uint32_t milliseconds) override {
        win::SetTimer(window_, static_cast<uint32_t>(session.Id()), milliseconds);
    }
    void Release(Session& session) override {
        win::KillTimer(window_, static_cast<uint32_t>(session.Id()));
        win::PostMessageA(window_, WM_APP_RELEASE, session.Id(), 0);
    }
    void LogLine(const std::string& line) override {
        std::fprintf(stderr, "varnel-demo-host: %s\n", line.c_str());
    }

private:
    static win::LRESULT WindowProc(win::HWND hwnd, win::UINT msg, win::WPARAM wParam, win::LPARAM) {
        DemoHost& host = *instance_;
        if (msg == win::WM_TIMER && wParam == kLimitTimer) {
            host.CheckLimits();
            return 0;
        }
        auto it = host.sessions_.find(wParam);
        if (it == host.sessions_.end()) return 0;
        if (msg == win::WM_TIMER) {
            win::KillTimer(hwnd, static_cast<uint32_t>(wParam));
            it->second->WaitOver();
        } else if (msg == WM_APP_RELEASE) {
            if (host.counted_[wParam]) --host.active_;
            host.counted_.erase(wParam);
            host.sessions_.erase(it);
            // The C library keeps freed memory for later; when the last
            // session has gone, an idle host gives it back to the system.
            if (host.sessions_.empty()) malloc_trim(0);
        }
        return 0;
    }

    // Ends the sessions past a limit (each is released later, by message).
    void CheckLimits() {
        const Session::Clock::time_point now = Session::Clock::now();
        const auto past = [&](Session::Clock::time_point since, int limit) {
            return limit > 0 && now - since >= std::chrono::seconds(limit);
        };
        for (auto& [id, session] : sessions_) {
            if (past(session->LastActivity(), options_.idleLimit)) {
                session->Expire("closed: idle for " + std::to_string(options_.idleLimit) + " seconds");
            } else if (auto line = session->LineStarted(); line && past(*line, options_.lineLimit)) {
                session->Expire("closed: a line still unfinished after " + std::to_string(options_.lineLimit) +
                                " seconds");
            }
        }
    }

    static DemoHost* instance_;
    Options options_;
    std::shared_ptr<CSocketKit> listener_;
    win::HWND window_ = 0;
    std::map<int32_t, std::unique_ptr<Session>> sessions_;
    std::map<int32_t, bool> counted_;   // whether a session counts against --max-sessions
    int active_ = 0;
    int32_t nextId_ = 1;
};

DemoHost* DemoHost::instance_ = nullptr;

const char* const kUsageLine =
    "usage: varnel-demo-host [--port N] [--user NAME] [--password WORD] [--max-sessions N] [--telnet]\n"
    "                        [--idle-limit S] [--line-limit S] [--split-prompt MS]\n";

// The --help text: the usage line and one line for each option.
const char* const kHelpText =
    "A practice login host on 127.0.0.1 for trying varnel scripts.\n"
    "\n"
    "  --port N           listen on port N (0, the default: a free port the system chooses)\n"
    "  --user NAME        the user name the login accepts (default admin)\n"
    "  --password WORD    the password the login accepts (default varnel)\n"
    "  --max-sessions N   serve at most N sessions at the same time\n"
    "  --telnet           negotiate telnet options at the start of each session\n"
    "  --idle-limit S     close a session whose client sends nothing and takes no output\n"
    "                     for S seconds (default 300; 0: no limit)\n"
    "  --line-limit S     close a session whose client takes more than S seconds to finish\n"
    "                     a line (default 120; 0: no limit)\n"
    "  --split-prompt MS  write the prompt in two pieces, MS milliseconds apart (1 to 60000)\n"
    "  --help             print this text and exit\n"
    "\n"
    "The first line of output is the port it listens on.\n";

// Whole seconds, 0 to 2147483 (0: no limit), in decimal digits only.
bool ReadSeconds(const char* text, int& out) {
    const std::string s = text;
    if (s.empty() || s.size() > 7 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    const long value = std::strtol(s.c_str(), nullptr, 10);
    if (value > 2147483) return false;
    out = static_cast<int>(value);
    return true;
}

Options ParseArguments(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) != "--help") continue;
        std::fputs(kUsageLine, stdout);
        std::fputs(kHelpText, stdout);
        std::exit(0);
    }
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--telnet") {
            o.telnet = true;
            continue;
        }
        const char* value = i + 1 < argc ? argv[++i] : nullptr;
        if (value && flag == "--port") o.port = std::atoi(value);
        else if (value && flag == "--user") o.user = value;
        else if (value && flag == "--password") o.password = value;
        else if (value && flag == "--max-sessions" && std::atoi(value) > 0) o.maxSessions = std::atoi(value);
        else if (value && flag == "--idle-limit" && ReadSeconds(value, o.idleLimit)) continue;
        else if (value && flag == "--line-limit" && ReadSeconds(value, o.lineLimit)) continue;
        else if (value && flag == "--split-prompt" && std::atoi(value) > 0 && std::atoi(value) <= 60000)
            o.splitPromptMs = static_cast<uint32_t>(std::atoi(value));
        else {
            std::fputs(kUsageLine, stderr);
            std::exit(2);
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseArguments(argc, argv);
    try {
        DemoHost host(options);
        std::printf("%d\n", host.Port());
        std::fflush(stdout);
        win::RunMessageLoop();
    } catch (const VbError& e) {
        std::fprintf(stderr, "varnel-demo-host: %s (%d, %s)\n", e.Description.c_str(), e.Number, e.Source.c_str());
        return 1;
    }
    return 0;
}
