// A stand-in for the session socket and the program's event loop, for the
// harnesses that run the interpreter. The socket is connected as soon as HOST
// calls Connect, completes every send at once (raising SendComplete from
// inside SendData, as the real socket does), and the host's next move is
// delivered each time the runner lets pending events run (DoEvents). Nothing
// ever waits: DELAY only records its milliseconds.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/vb_error.h"
#include "script/script_runner.h"
#include "script/session_events.h"
#include "script/session_socket.h"

namespace fuzzhost {

// Blocks made of exactly one of these bytes are the host's other moves.
constexpr char kHostCloses = '\xFE';
constexpr char kHostResets = '\xFD';

// The host side: what the socket double reports and what is still to come.
struct Host {
    std::deque<std::string> blocks;   // one per DoEvents
    int32_t state = 0;                // the socket state number
    std::string received;             // arrived and not yet taken by GetData
    ISessionEvents* events = nullptr; // the runner, once the socket exists
    uint64_t bytesSent = 0;
    uint64_t sleptMilliseconds = 0;
    int endProgramCalls = 0;
    int depth = 0;                    // events being delivered right now, one inside another
    int maxDepth = 0;

    // The host's next move, if the connection is up and one is left.
    bool DeliverNext() {
        if (events == nullptr || state != 7 || blocks.empty()) return false;
        std::string block = std::move(blocks.front());
        blocks.pop_front();
        if (block.empty()) return true;  // a read that finds nothing raises no event
        ++depth;
        if (depth > maxDepth) maxDepth = depth;
        if (block.size() == 1 && block[0] == kHostCloses) {
            state = 8;  // sckClosing
            events->wsTelnet_CloseSck();
        } else if (block.size() == 1 && block[0] == kHostResets) {
            state = 9;  // sckError
            events->wsTelnet_Error(10054, "Connection reset by peer.");
        } else {
            received += block;
            events->wsTelnet_DataArrival(static_cast<int32_t>(received.size()));
        }
        --depth;
        return true;
    }

    RunnerHooks Hooks() {
        RunnerHooks hooks;
        hooks.DoEvents = [this] { DeliverNext(); };
        hooks.Sleep = [this](uint32_t ms) { sleptMilliseconds += ms; };
        hooks.EndProgram = [this](int) { ++endProgramCalls; };
        return hooks;
    }
};

// The session socket double, with the refusals of the real one.
class Socket : public ISessionSocket {
public:
    explicit Socket(Host& host) : host_(host) {}
    int32_t State() const override { return host_.state; }
    void Connect(const std::string&, const std::string&) override {
        if (host_.state != 0) throw VbError(40020, "CSocketKit.Connect", "Invalid operation at current state");
        host_.state = 7;
    }
    void SendData(const std::string& data) override {
        if (host_.state != 7) {
            throw VbError(40006, "CSocketKit.SendData",
                          "Wrong protocol or connection state for the requested transaction or request");
        }
        if (data.empty()) return;  // nothing goes out, so nothing completes
        host_.bytesSent += data.size();
        if (host_.events) host_.events->wsTelnet_SendComplete();
    }
    std::string GetData() override {
        if (host_.state != 7) {
            throw VbError(40006, "CSocketKit.GetData",
                          "Wrong protocol or connection state for the requested transaction or request");
        }
        std::string taken;
        taken.swap(host_.received);
        return taken;
    }
    void CloseSck() override {
        host_.state = 0;
        host_.received.clear();
    }

private:
    Host& host_;
};

inline std::unique_ptr<ISessionSocket> MakeSocket(Host& host, ISessionEvents& events) {
    host.events = &events;
    return std::make_unique<Socket>(host);
}

// The pieces of text between the separator bytes.
inline std::vector<std::string> Split(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        pieces.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return pieces;
        start = end + 1;
    }
}

}  // namespace fuzzhost
