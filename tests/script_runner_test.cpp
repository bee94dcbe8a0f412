// The interpreter: every command, the run's start and end, and the error
// reports, checked as exact session log lines against a fake socket.
#include <gtest/gtest.h>

#include "tests/runner_fakes.h"

using Lines = std::vector<std::string>;

TEST(ScriptRunner, EchoCommentsEmptyLinesAndDelay) {
    RunnerRig rig;
    rig.Run("# remark\r\nECHO \"one\"\r\n\r\n\tDELAY 1.5  \r\necho \"two\\nlines\"\r\nDELAY 0.4\r\nDELAY abc\r\n");
    EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Running script", "one", "two",
                                "lines", "End of script", "Closed connection."}));
    EXPECT_EQ(rig.hookCalls, (Lines{"Sleep 2000", "EndProgram 0"}));
    EXPECT_EQ(rig.sock.calls, (Lines{"CloseSck", "CloseSck"})) << "once at the start, once at the end";
    EXPECT_TRUE(rig.runner.Ended());
    EXPECT_EQ(rig.runner.ExitStatus(), 0);
    EXPECT_EQ(rig.runner.wsTelnet, nullptr) << "the unload step lets go of the socket";
}

TEST(ScriptRunner, LineBreakVariantsAndOneLineScripts) {
    {
        RunnerRig rig;
        rig.Run("ECHO \"a\"\nECHO \"b\"\r\nECHO \"c\"");
        EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Running script", "a", "b", "c",
                                    "End of script", "Closed connection."}));
    }
    {
        RunnerRig rig;
        rig.Run("ECHO \"only line\"");
        EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Running script", "only line",
                                    "End of script", "Closed connection."}));
        EXPECT_EQ(rig.runner.ExitStatus(), 0);
    }
    {
        RunnerRig rig;  // a lone CR does not end a line: one ECHO from the first to the last quote
        rig.Run("ECHO \"a\"\rECHO \"b\"\r\n");
        EXPECT_EQ(rig.Log()[2], "a\"\rECHO \"b");
        EXPECT_EQ(rig.runner.lngLastLine, 1);
    }
}

TEST(ScriptRunner, EmptyTextStartsNoRun) {
    RunnerRig rig;
    rig.runner.blnKeepOutput = true;
    rig.Run("");
    EXPECT_EQ(rig.Log(), (Lines{"Checking script (keeping output file)"}));
    EXPECT_FALSE(rig.runner.RunStarted());
    EXPECT_FALSE(rig.runner.Ended());
    EXPECT_TRUE(rig.sock.calls.empty()) << "no earlier connection is closed either";
    EXPECT_TRUE(rig.hookCalls.empty());
}

TEST(ScriptRunner, UnknownCommandsEndTheRunWithTheirLineNumber) {
    struct Case {
        std::string script;
        std::string line;
    };
    const Case cases[] = {
        {"BOGUS\r\n", "Unrecognised command on line 1"},
        {"# ok\r\n#comment glued\r\n", "Unrecognised command on line 2"},
        {"ECHO \"a\"\r\n\r\nHOSTS x\r\n", "Unrecognised command on line 3"},
    };
    for (const Case& c : cases) {
        RunnerRig rig;
        rig.sock.state = 0;
        rig.Run(c.script);
        Lines log = rig.Log();
        ASSERT_GE(log.size(), 2u) << c.script;
        EXPECT_EQ(log[log.size() - 2], c.line) << c.script;
        EXPECT_EQ(log.back(), "Closed connection.");
        EXPECT_EQ(rig.runner.ExitStatus(), 1) << c.script;
        EXPECT_EQ(rig.endProgramCalls, 1);
    }
    RunnerRig rig;  // a WAIT line consumed by its SEND still counts as a line of the file
    rig.RunConnected("SEND \"x\"\r\nWAIT \"y\"\r\nNOPE\r\n");
    rig.sock.incoming.push_back("y");
    rig.runner.wsTelnet_DataArrival(1);
    EXPECT_EQ(rig.Log().at(4), "Unrecognised command on line 3");
}

TEST(ScriptRunner, HostConnectsAndWaitsForData) {
    RunnerRig rig;
    rig.Run("HOST host1\r\nECHO \"after\"\r\n");
    EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Running script", "Opening connection"}));
    EXPECT_EQ(rig.sock.calls, (Lines{"CloseSck", "Connect host1:23"}));
    EXPECT_EQ(rig.runner.strScriptHost, "host1");
    EXPECT_EQ(rig.runner.strScriptPort, "23");
    EXPECT_FALSE(rig.runner.Ended());

    RunnerRig two;
    two.Run("host  gw1\r\n");
    EXPECT_EQ(two.sock.calls.back(), "Connect :gw1") << "two spaces: an empty host name";

    RunnerRig port;
    port.Run("Host 10.0.0.1 2323\r\n");
    EXPECT_EQ(port.sock.calls.back(), "Connect 10.0.0.1:2323");
}

TEST(ScriptRunner, ErrorsWhileRunningALine) {
    struct Case {
        std::string script;
        std::optional<VbError> connectError;
        std::string number, description;
    };
    const Case cases[] = {
        {"ECHO \"unterminated\r\n", std::nullopt, "Error 5", "Invalid procedure call or argument"},
        {"SEND \"x\r\n", std::nullopt, "Error 5", "Invalid procedure call or argument"},
        {"DELAY 2147484\r\n", std::nullopt, "Error 6", "Overflow"},
        {"HOST h telnet\r\n",
         VbError(40014, "CSocketKit.Connect",
                 "The argument passed to a function was not in the correct format or in the specified range."),
         "Error 40014",
         "The argument passed to a function was not in the correct format or in the specified range."},
    };
    for (const Case& c : cases) {
        RunnerRig rig;
        rig.sock.connectError = c.connectError;
        rig.Run(c.script);
        Lines log = rig.Log();
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ((Lines{log.end() - 3, log.end()}), (Lines{c.number, c.description, "Closed connection."}))
            << c.script;
        EXPECT_EQ(rig.runner.ExitStatus(), 1);
        EXPECT_TRUE(rig.runner.Ended());
    }
}

TEST(ScriptRunner, SendDataErrorIsReported) {
    RunnerRig rig;
    rig.sock.sendError = VbError(40006, "CSocketKit.SendData",
                                 "Wrong protocol or connection state for the requested transaction or request");
    rig.RunConnected("SEND \"x\"\r\nECHO \"never\"\r\n");
    EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Running script", "Error 40006",
                                "Wrong protocol or connection state for the requested transaction or request",
                                "Closed connection."}));
    EXPECT_EQ(rig.hookCalls, (Lines{"EndProgram 1"})) << "no pending events run after a failed send";
}

TEST(ScriptRunner, SecondHostOnAnOpenSocketFails) {
    // The first block after HOST continues the run to the second HOST line.
    RunnerRig rig;
    rig.Run("HOST a\r\nHOST b\r\n");
    rig.sock.state = 7;
    rig.sock.connectError = VbError(40020, "CSocketKit.Connect", "Invalid operation at current state");
    rig.sock.incoming.push_back("banner");
    rig.runner.wsTelnet_DataArrival(6);
    EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Running script", "Opening connection",
                                "banner", "", "Opening connection", "Error 40020",
                                "Invalid operation at current state", "Closed connection."}));
}

TEST(ScriptRunner, StartErrorAddsTheSocketState) {
    RunnerRig rig;
    rig.sock.state = 7;
    rig.sock.closeError = VbError(10038, "CSocketKit.CloseSck", "Socket operation on non-socket.");
    rig.Run("ECHO \"never\"\r\n");
    EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Error 10038",
                                "Socket operation on non-socket.", "Socket state: 7", "Closed connection."}));
    EXPECT_EQ(rig.runner.ExitStatus(), 1);
    EXPECT_EQ(rig.endProgramCalls, 1);
}

TEST(ScriptRunner, EndSessionIgnoresFailuresAndRunsOnce) {
    RunnerRig rig;
    rig.Run("HOST h\r\n");
    rig.sock.state = 7;
    rig.sock.closeError = VbError(10038, "CSocketKit.CloseSck", "Socket operation on non-socket.");
    rig.runner.EndSession();
    rig.runner.EndSession();
    EXPECT_EQ(rig.Log().back(), "Closed connection.");
    EXPECT_EQ(rig.endProgramCalls, 1);
    EXPECT_EQ(rig.runner.wsTelnet, nullptr);
    EXPECT_EQ(rig.sock.destroyed, 0) << "destroyed with the runner, never under a running handler";
    // Nothing runs or reacts after the end.
    size_t logged = rig.box.Text().size();
    rig.runner.strScript = "ECHO \"again\"\r\n";
    rig.runner.StartScript();
    rig.runner.RunNextLine();
    rig.runner.wsTelnet_SendComplete();
    EXPECT_EQ(rig.box.Text().size(), logged);
}

TEST(ScriptRunner, RestartFromTheFirstLine) {
    RunnerRig rig;
    rig.Run("HOST h\r\nWAIT \"x\"\r\n");
    rig.runner.strScript = "ECHO \"fresh\"\r\n";
    rig.runner.StartScript();
    EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Running script", "Opening connection",
                                "Checking script (clearing output file)", "Running script", "fresh",
                                "End of script", "Closed connection."}));
    EXPECT_EQ(rig.sock.calls, (Lines{"CloseSck", "Connect h:23", "CloseSck", "CloseSck"}));
}

namespace {

// A fake whose host closes as soon as its block is read, so the next HOST
// finds the socket closed.
class HostClosesAfterRead : public FakeSocket {
public:
    explicit HostClosesAfterRead(SocketJournal& j) : FakeSocket(j), j_(j) {}
    std::string GetData() override {
        std::string block = FakeSocket::GetData();
        if (closeAfterRead) j_.state = 0;
        return block;
    }
    bool closeAfterRead = true;

private:
    SocketJournal& j_;
};

// A runner whose HOST lines ask for a session socket per connection: each
// one is a fake with a journal of its own, and the options it was made for
// are recorded.
struct SessionRig {
    HeadlessTextBox box{true};
    SocketJournal initial;
    std::deque<SocketJournal> sessions;
    std::vector<SessionOptions> opened;
    bool hostCloses = true;
    ScriptRunner runner{box, Hooks()};

    SessionRig() { runner.wsTelnet = std::make_unique<FakeSocket>(initial); }
    RunnerHooks Hooks() {
        RunnerHooks hooks;
        hooks.OpenSession = [this](ISessionEvents& events, const SessionOptions& options) {
            EXPECT_EQ(&events, static_cast<ISessionEvents*>(&runner));
            opened.push_back(options);
            auto socket = std::make_unique<HostClosesAfterRead>(sessions.emplace_back());
            socket->closeAfterRead = hostCloses;
            return std::unique_ptr<ISessionSocket>(std::move(socket));
        };
        return hooks;
    }
    void Run(const std::string& script) {
        runner.strScript = script;
        runner.StartScript();
    }
    // The open session's block, which continues the run after HOST.
    void Arrive(const std::string& block) {
        sessions.back().state = 7;
        sessions.back().incoming.push_back(block);
        runner.wsTelnet_DataArrival(static_cast<int32_t>(block.size()));
    }
};

using Telnet = SessionOptions::Telnet;

}  // namespace

TEST(ScriptRunner, TelnetLinesChooseTheNextConnectionsSessionSocket) {
    SessionRig rig;
    rig.Run("HOST a\r\ntelnet off\r\nHOST b 2323\r\nTELNET On\r\nHOST c 23\r\nTELNET AUTO\r\nHOST d\r\n");
    ASSERT_EQ(rig.opened.size(), 1u);
    rig.Arrive("one");
    rig.Arrive("two");
    rig.Arrive("three");
    ASSERT_EQ(rig.opened.size(), 4u);
    EXPECT_EQ(rig.opened[0].telnet, Telnet::Auto);
    EXPECT_EQ(rig.opened[1].telnet, Telnet::Off);
    EXPECT_EQ(rig.opened[2].telnet, Telnet::On);
    EXPECT_EQ(rig.opened[3].telnet, Telnet::Auto);
    EXPECT_EQ(rig.initial.calls, (Lines{"CloseSck"})) << "the socket made before the run never connects";
    EXPECT_EQ(rig.sessions[0].calls, (Lines{"Connect a:23", "GetData"}));
    EXPECT_EQ(rig.sessions[1].calls, (Lines{"Connect b:2323", "GetData"}));
    EXPECT_EQ(rig.sessions[2].calls, (Lines{"Connect c:23", "GetData"}));
    EXPECT_EQ(rig.sessions[3].calls, (Lines{"Connect d:23"}));
    EXPECT_EQ(rig.initial.destroyed + rig.sessions[0].destroyed, 0) << "released sockets live until teardown";
    EXPECT_EQ(SplitCrLf(rig.box.Text()),
              (Lines{"Checking script (clearing output file)", "Running script", "Opening connection", "one", "",
                     "Opening connection", "two", "", "Opening connection", "three", "", "Opening connection"}));

    // A new run starts again from the defaults.
    rig.Run("TELNET OFF\r\n");
    rig.Run("HOST e\r\n");
    EXPECT_EQ(rig.opened.back().telnet, Telnet::Auto);
}

TEST(ScriptRunner, TelnetWithABadOrMissingArgumentIsError5) {
    for (const char* line : {"TELNET", "TELNET YES", "TELNET ON OFF", "TELNET  ON", "TELNET 1"}) {
        SessionRig rig;
        rig.Run(std::string("ECHO \"a\"\r\n") + line + "\r\nECHO \"never\"\r\n");
        EXPECT_EQ(rig.box.Text(), "Checking script (clearing output file)\r\nRunning script\r\na\r\nError 5\r\n"
                                  "Invalid procedure call or argument\r\nClosed connection.\r\n")
            << line;
        EXPECT_TRUE(rig.runner.Ended());
        EXPECT_EQ(rig.runner.ExitStatus(), 1);
    }
}

TEST(ScriptRunner, HostOnASocketInUseKeepsItAndFailsAsBefore) {
    SessionRig rig;
    rig.hostCloses = false;
    rig.Run("HOST a\r\nHOST b\r\n");
    rig.sessions.back().connectError = VbError(40020, "CSocketKit.Connect", "Invalid operation at current state");
    rig.Arrive("banner");
    EXPECT_EQ(rig.opened.size(), 1u);
    EXPECT_EQ(rig.sessions[0].calls, (Lines{"Connect a:23", "GetData", "Connect b:23", "CloseSck"}));
    EXPECT_EQ(SplitCrLf(rig.box.Text()).back(), "Closed connection.");
}
