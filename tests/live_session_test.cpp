// Whole scripts run by the real program against a scripted loopback host:
// the transcript in the output file is checked byte for byte, together with
// the exit status of the hidden run. A refused connection and a host closing
// during a WAIT are in the fault suite.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/support/scripted_host.h"

using namespace testhost;
using namespace std::chrono_literals;

namespace {

const std::string kVarnel = std::string(VARNEL_BUILD_DIR) + "/varnel";
const std::string kHead = "Checking script (clearing output file)\r\nRunning script\r\n";

// Runs the script hidden with an output file, in a scratch folder of its own.
ScriptRun RunScript(const std::string& name, const std::string& script, const std::vector<std::string>& env = {}) {
    return RunHiddenScript("live-" + name, script, "", env);
}

std::string Host(uint16_t port) { return HostLine(port); }

// A block as the session log shows it: the block, its CRLF, and the line's CRLF.
std::string Block(const std::string& bytes) { return bytes + "\r\n\r\n"; }

}  // namespace

TEST(LiveSession, LoginDialogueWithPairedWaits) {
    ScriptedHost host([](HostConnection& c) {
        c.Send("Welcome\r\nlogin: ");
        if (!c.ReadUntil("\r\n")) return;
        c.Send("Password: ");
        if (!c.ReadUntil("secret\r\n")) return;
        c.Send("router> ");
        if (!c.ReadUntil("exit\r\n")) return;
        c.Send("bye\r\n");
        c.ReadToEnd();
    });
    std::string script = "# log in\r\n" + Host(host.Port()) +
                         "SEND \"admin\\n\"\r\nWAIT \"password:\"\r\n"
                         "SEND \"secret\\n\"\r\nwait \"ROUTER>\"\r\n"
                         "ECHO \"logged in\"\r\nSEND \"exit\\n\"\r\nWAIT \"bye\"\r\n";
    ScriptRun r = RunScript("login", script);
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block("Welcome\r\nlogin: ") +
                                Block("Password: ") + Block("router> ") + "logged in\r\n" +
                                Block("bye\r\n") + "End of script\r\nClosed connection.\r\n");
    host.Join();
}

TEST(LiveSession, WaitMatchesAcrossBlocks) {
    // "Log" and "in:" arrive as two blocks: the WAIT for login: matches in
    // the block that completes it, and the run goes on from there.
    ScriptedHost host([](HostConnection& c) {
        c.Send("banner\r\n");
        std::this_thread::sleep_for(300ms);
        c.Send("Log");
        std::this_thread::sleep_for(300ms);
        c.Send("in:");
        c.ReadToEnd();
    });
    ScriptRun r = RunScript("split", Host(host.Port()) + "WAIT \"login:\"\r\nECHO \"matched\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0);
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block("banner\r\n") + Block("Log") +
                                Block("in:") + "matched\r\nEnd of script\r\nClosed connection.\r\n");
    host.Join();
}

TEST(LiveSession, WaitIsCaseInsensitiveAnywhereInTheBlock) {
    ScriptedHost host([](HostConnection& c) {
        c.Send("hello\r\n");
        c.ReadUntil("go\r\n");
        c.Send("xx LOGIN: yy");
        c.ReadToEnd();
    });
    ScriptRun r = RunScript("case", Host(host.Port()) + "SEND \"go\\n\"\r\nWAIT \"login:\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block("hello\r\n") +
                                Block("xx LOGIN: yy") + "End of script\r\nClosed connection.\r\n");
    host.Join();
}

TEST(LiveSession, SendWithoutWaitGoesOnAfterTheSend) {
    // The host answers only after the client's ECHO line could have run: the
    // SEND continues from its completion, not from an answer.
    ScriptedHost host([](HostConnection& c) {
        c.Send("ready\r\n");
        c.ReadUntil("x\r\n");
        c.ReadToEnd();
    });
    ScriptRun r = RunScript("sendonly", Host(host.Port()) + "SEND \"x\\n\"\r\nECHO \"after send\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block("ready\r\n") +
                                "after send\r\nEnd of script\r\nClosed connection.\r\n");
    EXPECT_EQ(host.Accepted(), 1);
    host.Join();
}

TEST(LiveSession, NegotiationAndNulBytesAreLoggedUnchanged) {
    const std::string iac("\xff\xfd\x18\xff\xfb\x01", 6);
    const std::string nul("a\0b\0\r\nend", 9);
    ScriptedHost host([&](HostConnection& c) {
        c.Send(iac);
        c.ReadUntil("go\r\n");
        c.Send(nul);
        c.ReadToEnd();
    });
    ScriptRun r = RunScript("binary", Host(host.Port()) + "SEND \"go\\n\"\r\nWAIT \"end\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block(iac) + Block(nul) +
                                "End of script\r\nClosed connection.\r\n");
    host.Join();
}

TEST(LiveSession, KeepAppendsAcrossTwoRuns) {
    std::string dir = MakeScratchDir("live-keep");
    WriteFileBytes(dir + "/s.txt", "ECHO \"one\"\r\n");
    const std::vector<std::string> argv = {kVarnel, "/r:" + dir + "/s.txt", "/o:" + dir + "/out.txt",
                                           "/keep", "/hidden"};
    ASSERT_EQ(RunProcess(argv).exitStatus, 0);
    ASSERT_EQ(RunProcess(argv).exitStatus, 0);
    const std::string run = "Checking script (keeping output file)\r\nRunning script\r\none\r\n"
                            "End of script\r\nClosed connection.\r\n";
    EXPECT_EQ(ReadFileBytes(dir + "/out.txt"), run + run);
}

TEST(LiveSession, UnresolvableNameEndsTheHiddenRun) {
    // A name with an empty label: the resolver refuses it without asking any server.
    ScriptRun r = RunScript("noname", "HOST no-such-host..invalid 23\r\nWAIT \"x\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 1);
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\nError 11001\r\nHost not found.\r\n"
                                    "Closed connection.\r\n");
}

TEST(LiveSession, SendBeforeAnyHostEndsTheHiddenRun) {
    ScriptRun r = RunScript("nohost", "ECHO \"start\"\r\nSEND \"x\\n\"\r\nECHO \"never\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 1);
    EXPECT_EQ(r.transcript, kHead + "start\r\nCannot SEND - connection is closed.\r\n"
                                    "Closed connection.\r\n");
}

TEST(LiveSession, HostNameIsResolvedAsynchronously) {
    ScriptedHost host([](HostConnection& c) {
        c.Send("named\r\n");
        c.ReadToEnd();
    });
    std::string dir = MakeScratchDir("live-named-log");
    ScriptRun r = RunScript("named", "HOST localhost " + std::to_string(host.Port()) + "\r\n",
                      {"VARNEL_SOCKET_LOG=" + dir + "/socket.log"});
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block("named\r\n") +
                                "End of script\r\nClosed connection.\r\n");
    std::string log = ReadFileBytes(dir + "/socket.log");
    EXPECT_NE(log.find("STATE: sckResolvingHost\nResolving host localhost with handle "), std::string::npos)
        << log;
    EXPECT_NE(log.find("STATE: sckHostResolved\n"), std::string::npos) << log;
    host.Join();
}

namespace {

// True when every entry of wanted starts one of log's lines, in this order.
::testing::AssertionResult LinesInOrder(const std::string& log, const std::vector<std::string>& wanted) {
    size_t next = 0;
    size_t start = 0;
    while (next < wanted.size() && start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        if (log.compare(start, wanted[next].size(), wanted[next]) == 0) ++next;
        start = end + 1;
    }
    if (next == wanted.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "missing or out of order: \"" << wanted[next] << "\" in\n" << log;
}

}  // namespace

TEST(LiveSession, SocketDebugLogOfAHiddenRunShowsConnectExchangeAndClose) {
    ScriptedHost host([](HostConnection& c) {
        c.Send("hello\r\n");
        c.ReadUntil("x\r\n");
        c.Send("ok>");
        c.ReadToEnd();
    });
    std::string dir = MakeScratchDir("live-socketlog");
    ScriptRun r = RunScript("socketlog", Host(host.Port()) + "SEND \"x\\n\"\r\nWAIT \"ok>\"\r\n",
                      {"VARNEL_SOCKET_LOG=" + dir + "/socket.log"});
    ASSERT_EQ(r.process.exitStatus, 0) << r.process.err;
    std::string log = ReadFileBytes(dir + "/socket.log");
    EXPECT_TRUE(LinesInOrder(log, {"OK Subclass memory allocated at: ", "OK Winsock service initiated",
                                   "OK Created socket: ", "Winsock buffer size for sends: ",
                                   "Winsock buffer size for receives: ", "OK Created socket collection",
                                   "OK Created winsock message window ", "OK Registered events from socket ",
                                   "OK Bind HOST: ", "OK Connecting to: 127.0.0.1 ", "STATE: sckConnecting",
                                   "FD_CONNECT ", "STATE: sckConnected", "FD_READ ",
                                   "OK Bytes obtained from buffer: 7", "OK Bytes sent: 3",
                                   "OK Finished SENDING", "FD_READ ", "OK Bytes obtained from buffer: 3",
                                   "STATE: sckClosing", "OK Destroyed socket ",
                                   "OK Destroyed winsock message window ", "OK Destroyed socket collection",
                                   "STATE: sckClosed", "OK Winsock service finalized",
                                   "OK Freed subclass memory at: "}));
    host.Join();
}

// The bundled example against the demo host, as the README's main job runs it.
TEST(LiveSession, BundledExampleAgainstTheDemoHost) {
    BackgroundProcess demo({std::string(VARNEL_BUILD_DIR) + "/varnel-demo-host"});
    std::string script = ReadFileBytes(std::string(VARNEL_SOURCE_DIR) + "/examples/demo-session.txt");
    const std::string host = "HOST 127.0.0.1 2323";
    ASSERT_NE(script.find(host), std::string::npos);
    script.replace(script.find(host), host.size(), "HOST 127.0.0.1 " + demo.FirstLine());
    ScriptRun r = RunScript("example", script);
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    const std::string prompt = "varnel-demo> ";
    const std::string start = kHead + "Opening connection\r\n" +
                              Block("\r\nvarnel-demo: a practice device for Varnel scripts\r\n\r\nlogin: ") +
                              Block("Password: ") + Block("\r\nWelcome, admin.\r\n" + prompt) + "Logged in.\r\n" +
                              Block("hello from Varnel\r\n" + prompt) + "Dumping the configuration.\r\n";
    ASSERT_EQ(r.transcript.substr(0, start.size()), start);
    const std::string end = prompt + "\r\n\r\n" + Block("Goodbye.\r\n") + "End of script\r\nClosed connection.\r\n";
    ASSERT_GE(r.transcript.size(), start.size() + 600 + end.size());
    EXPECT_EQ(r.transcript.substr(r.transcript.size() - end.size()), end);
    EXPECT_EQ(r.transcript.size(), start.size() + 600 + end.size()) << "the configuration is 600 bytes";
}
