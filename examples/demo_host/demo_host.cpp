// varnel-demo-host: a small line-oriented login host on 127.0.0.1, built on
// CSocketKit alone, for trying Varnel scripts without a real device. It is
// also the example of how to use the socket object as a server:
//
//   listener: Bind(port, "127.0.0.1"), Listen(); on ConnectionRequest, a new
//   closed CSocketKit calls Accept(requestID) and takes the connection over.
//   session:  DataArrival -> GetData; replies with SendData; CloseSck closes.
//
// Usage: varnel-demo-host [--port N] [--user NAME] [--password WORD]
// The first line of output is the port it listens on (0 = chosen by the system).
//
// The dialogue: a banner and "login: ", then "Password: ", then the prompt
// "varnel-demo> " with the commands: help, echo TEXT, show config [BYTES],
// wait SECONDS, exit.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "net/socket/csocket_kit.h"
#include "platform/message_window.h"
#include "platform/vb_error.h"

namespace {

const char* const kPrompt = "varnel-demo> ";
constexpr win::UINT WM_APP_WAIT_DONE = 0x8001;   // wParam: session id, lParam: seconds

struct Options {
    int port = 0;
    std::string user = "admin";
    std::string password = "varnel";
};

// A configuration listing of exactly size bytes, made of plausible lines and
// ending with a line break.
std::string Configuration(long size) {
    std::string text = "! varnel-demo configuration\r\nhostname varnel-demo\r\n";
    for (int n = 1; static_cast<long>(text.size()) < size; ++n)
        text += "interface port1/" + std::to_string(n) + "\r\n description link " + std::to_string(n) +
                "\r\n no shutdown\r\n!\r\n";
    text.resize(static_cast<size_t>(size < 0 ? 0 : size));
    if (text.size() >= 2) text.replace(text.size() - 2, 2, "\r\n");   // end on a whole line
    return text;
}

class DemoHost;

// One connection: its socket, where it is in the dialogue, and unfinished input.
class Session : public CSocketKitEvents {
public:
    Session(DemoHost& host, int32_t id) : host_(host), id_(id), socket_(CSocketKit::Create()) {
        socket_->SetEventReceiver(this);
    }
    ~Session() override { socket_->SetEventReceiver(nullptr); }

    void Start(int32_t requestID) {
        socket_->Accept(requestID);   // may raise DataArrival and CloseSck at once
        Send("\r\nvarnel-demo: a practice device for Varnel scripts\r\n\r\nlogin: ");
    }
    bool Closed() const { return closed_; }
    void WaitDone(int32_t seconds) {
        Send("waited " + std::to_string(seconds) + " seconds\r\n" + kPrompt);
    }

    void DataArrival(int32_t) override;
    void CloseSck() override { Close(); }
    void SendComplete() override {
        if (closeWhenSent_) Close();
    }

private:
    void Send(const std::string& text) {
        if (!closed_ && socket_->State() == sckConnected) socket_->SendData(VbVariant(text));
    }
    void Close() {
        if (closed_) return;
        closed_ = true;
        socket_->CloseSck();
    }
    void Line(const std::string& line);
    void Command(const std::string& line);

    enum class Step { Login, Password, Shell };
    DemoHost& host_;
    int32_t id_;
    std::shared_ptr<CSocketKit> socket_;
    Step step_ = Step::Login;
    std::string user_;
    std::string pending_;
    bool closed_ = false;
    bool closeWhenSent_ = false;
};

class DemoHost : public CSocketKitEvents {
public:
    explicit DemoHost(const Options& options) : options_(options), listener_(CSocketKit::Create()) {
        listener_->SetEventReceiver(this);
        listener_->Bind(VbVariant(options.port), VbVariant("127.0.0.1"));
        listener_->Listen();
        window_ = win::CreateWindowExA(0, "STATIC", "DEMO_HOST_WINDOW");
        win::SetWindowLongA(window_, win::GWL_WNDPROC, &DemoHost::WindowProc);
        instance_ = this;
    }
    int32_t Port() const { return listener_->LocalPort(); }
    const Options& options() const { return options_; }

    void ConnectionRequest(int32_t requestID) override {
        Sweep();
        int32_t id = nextId_++;
        auto session = std::make_unique<Session>(*this, id);
        Session* s = session.get();
        sessions_[id] = std::move(session);
        try {
            s->Start(requestID);
        } catch (const VbError& e) {
            std::fprintf(stderr, "accept failed: %d %s\n", e.Number, e.Description.c_str());
        }
    }

    // "wait SECONDS": a sleeping thread posts the answer back to the loop, so
    // the host keeps serving everybody else in the meantime.
    void AnswerLater(int32_t id, int32_t seconds) {
        win::HWND window = window_;
        std::thread([window, id, seconds] {
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            win::PostMessageA(window, WM_APP_WAIT_DONE, id, seconds);
        }).detach();
    }

private:
    // Sessions are dropped here, outside their own event handlers.
    void Sweep() {
        for (auto it = sessions_.begin(); it != sessions_.end();)
            it = it->second->Closed() ? sessions_.erase(it) : std::next(it);
    }
    static win::LRESULT WindowProc(win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
        if (msg == WM_APP_WAIT_DONE) {
            auto it = instance_->sessions_.find(wParam);
            if (it != instance_->sessions_.end() && !it->second->Closed()) it->second->WaitDone(lParam);
        }
        return 0;
    }

    static DemoHost* instance_;
    Options options_;
    std::shared_ptr<CSocketKit> listener_;
    win::HWND window_ = 0;
    std::map<int32_t, std::unique_ptr<Session>> sessions_;
    int32_t nextId_ = 1;
};

DemoHost* DemoHost::instance_ = nullptr;

void Session::DataArrival(int32_t) {
    VbVariant data{std::string()};
    socket_->GetData(data);
    pending_ += data.Bytes();
    size_t eol;
    while (!closed_ && (eol = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, eol);
        pending_.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Line(line);
    }
}

void Session::Line(const std::string& line) {
    switch (step_) {
    case Step::Login:
        user_ = line;
        step_ = Step::Password;
        Send("Password: ");
        break;
    case Step::Password:
        if (user_ == host_.options().user && line == host_.options().password) {
            step_ = Step::Shell;
            Send("\r\nWelcome, " + user_ + ".\r\n" + kPrompt);
        } else {
            step_ = Step::Login;
            Send("\r\nLogin incorrect\r\n\r\nlogin: ");
        }
        break;
    case Step::Shell:
        Command(line);
        break;
    }
}

void Session::Command(const std::string& line) {
    std::string word = line.substr(0, line.find(' '));
    std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
    if (word.empty()) {
        Send(kPrompt);
    } else if (word == "help") {
        Send("commands: help, echo TEXT, show config [BYTES], wait SECONDS, exit\r\n" +
             std::string(kPrompt));
    } else if (word == "echo") {
        Send(rest + "\r\n" + kPrompt);
    } else if (word == "show" && rest.rfind("config", 0) == 0) {
        long size = rest.size() > 7 ? std::atol(rest.c_str() + 7) : 1024;
        Send(Configuration(size) + kPrompt);
    } else if (word == "wait") {
        host_.AnswerLater(id_, std::atoi(rest.c_str()));
    } else if (word == "exit") {
        closeWhenSent_ = true;
        Send("Goodbye.\r\n");
        if (socket_->BytesWaitingToSend() == 0) Close();
    } else {
        Send("% Unknown command \"" + word + "\"\r\n" + kPrompt);
    }
}

Options ParseArguments(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--port") o.port = std::atoi(argv[i + 1]);
        else if (flag == "--user") o.user = argv[i + 1];
        else if (flag == "--password") o.password = argv[i + 1];
        else {
            std::fprintf(stderr, "usage: varnel-demo-host [--port N] [--user NAME] [--password WORD]\n");
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
        std::fprintf(stderr, "varnel-demo-host: %s (%d, %s)\n", e.Description.c_str(), e.Number,
                     e.Source.c_str());
        return 1;
    }
    return 0;
}
