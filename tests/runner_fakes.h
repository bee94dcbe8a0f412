// Test doubles for the script runner: a session socket that records every
// call into a journal the test owns, and hooks that record DoEvents, Sleep
// and the end of the program.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/vb_error.h"
#include "script/script_runner.h"
#include "script/session_socket.h"
#include "ui/headless_window.h"

struct SocketJournal {
    std::vector<std::string> calls;       // "Connect host:port", "SendData text", "GetData", "CloseSck"
    int32_t state = 0;                    // what State() reports
    int32_t stateAfterConnect = 6;        // sckConnecting
    std::deque<std::string> incoming;     // blocks GetData hands out
    std::optional<VbError> connectError, sendError, getDataError, closeError;
    std::optional<int32_t> stateAfterNextClose;       // one CloseSck leaves this state instead of 0
    std::function<void(const std::string&)> onSend;  // runs inside SendData
    int32_t waitingToSend = 0;                       // what BytesWaitingToSend() reports
    int destroyed = 0;
};

class FakeSocket : public ISessionSocket {
public:
    explicit FakeSocket(SocketJournal& j) : j_(j) {}
    ~FakeSocket() override { ++j_.destroyed; }
    int32_t State() const override { return j_.state; }
    void Connect(const std::string& host, const std::string& port) override {
        j_.calls.push_back("Connect " + host + ":" + port);
        if (j_.connectError) throw *j_.connectError;
        j_.state = j_.stateAfterConnect;
    }
    void SendData(const std::string& data) override {
        j_.calls.push_back("SendData " + data);
        if (j_.sendError) throw *j_.sendError;
        if (j_.onSend) j_.onSend(data);
    }
    int32_t BytesWaitingToSend() const override { return j_.waitingToSend; }
    std::string GetData() override {
        j_.calls.push_back("GetData");
        if (j_.getDataError) throw *j_.getDataError;
        if (j_.incoming.empty()) return std::string();
        std::string block = j_.incoming.front();
        j_.incoming.pop_front();
        return block;
    }
    void CloseSck() override {
        j_.calls.push_back("CloseSck");
        if (j_.closeError) throw *j_.closeError;
        j_.state = j_.stateAfterNextClose.value_or(0);
        j_.stateAfterNextClose.reset();
    }

private:
    SocketJournal& j_;
};

// The session log box's lines (the text split at CRLF, without the last, empty piece).
inline std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

// A runner with a retaining session log box, a fake socket and recording hooks.
struct RunnerRig {
    HeadlessTextBox box{true};
    SocketJournal sock;
    std::vector<std::string> hookCalls;   // "DoEvents", "Sleep 2000", "EndProgram 0"
    std::function<void()> onDoEvents;     // what a DoEvents delivers
    int endProgramCalls = 0;
    ScriptRunner runner{box, MakeHooks()};

    RunnerRig() {
        runner.wsTelnet = std::make_unique<FakeSocket>(sock);
        // No settle period unless a test asks for one (run_ending_test does).
        runner.lngDefaultSettleMs = 0;
    }

    RunnerHooks MakeHooks() {
        RunnerHooks hooks;
        hooks.DoEvents = [this] {
            hookCalls.push_back("DoEvents");
            if (onDoEvents) onDoEvents();
        };
        hooks.Sleep = [this](uint32_t ms) { hookCalls.push_back("Sleep " + std::to_string(ms)); };
        hooks.StartTimer = [this](uint32_t ms) { hookCalls.push_back("StartTimer " + std::to_string(ms)); };
        hooks.StopTimer = [this] { hookCalls.push_back("StopTimer"); };
        hooks.EndProgram = [this](int status) {
            ++endProgramCalls;
            hookCalls.push_back("EndProgram " + std::to_string(status));
        };
        return hooks;
    }

    void Run(const std::string& script) {
        runner.strScript = script;
        runner.StartScript();
    }
    // A run whose socket is connected from its first line on: the start's
    // CloseSck leaves it connected, standing in for a HOST line and its first block.
    void RunConnected(const std::string& script) {
        sock.state = 7;
        sock.stateAfterNextClose = 7;
        Run(script);
    }
    std::vector<std::string> Log() const { return SplitCrLf(box.Text()); }
};
