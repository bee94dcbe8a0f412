// What the SSH session tests share: a recorder of the session's events and a
// bounded pump of the message loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "net/ssh/ssh_session.h"
#include "platform/message_window.h"

namespace testhost {

// Records every event as one line (data apart, in data); answers and writes
// are the test's business. ended once the session has failed or closed.
struct SshRecorder : sshnet::ISshSessionEvents {
    std::vector<std::string> events;
    std::string data;
    bool ended = false;
    void SshNotice(const std::string& line) override { events.push_back("notice " + line); }
    void SshPrompt(const std::string& prompt) override { events.push_back("prompt " + prompt); }
    void SshOpened() override { events.push_back("opened"); }
    void SshData(std::string bytes) override { data += bytes; }
    void SshSent() override { events.push_back("sent"); }
    void SshFailed(int32_t number, const std::string& text) override {
        events.push_back("failed " + std::to_string(number) + " " + text);
        ended = true;
    }
    void SshClosed() override {
        events.push_back("closed");
        ended = true;
    }
};

// Runs the message loop until pred holds; false if limit passes first.
template <typename Pred>
bool PumpUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        win::WaitMessageTimeout(50);
        win::DoEvents();
    }
    return true;
}

}  // namespace testhost
