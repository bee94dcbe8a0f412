// Telnet sessions end to end: the real program, hidden, against scripted
// loopback hosts that negotiate as real devices do. Each case checks the
// transcript byte for byte, the exit status, and every byte the host got.
// The hosts listen on ephemeral ports, so the scripts turn telnet on with
// TELNET ON (AUTO would leave these ports raw, as every other end-to-end
// test shows).
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "app/telnet_session.h"
#include "tests/support/scripted_host.h"
#include "tests/support/telnet_log.h"

using namespace testhost;
using namespace std::chrono_literals;

namespace {

const std::string kHead = "Checking script (clearing output file)\r\nRunning script\r\n";
const std::string kEnd = "End of script\r\nClosed connection.\r\n";

std::string Block(const std::string& bytes) { return bytes + "\r\n\r\n"; }

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += static_cast<char>(b);
    return s;
}

constexpr int IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr int ECHO = 1, SGA = 3, TTYPE = 24, NAWS = 31;
const std::string kTtypeSend = B({IAC, SB, TTYPE, 1, IAC, SE});
const std::string kTtypeIs = B({IAC, SB, TTYPE, 0}) + "VT100" + B({IAC, SE});

ScriptRun RunTelnetScript(const std::string& name, const std::string& script) {
    return RunHiddenScript("telnet-" + name, script);
}

// The login dialogue every host below ends with once negotiation is over.
const std::string kLogin = "SEND \"admin\\n\"\r\nWAIT \"Password:\"\r\nSEND \"secret\\n\"\r\nWAIT \"#\"\r\n";

void LoginDialogue(HostConnection& c) {
    if (!c.ReadUntil("admin\r\n")) return;
    c.Send("Password: ");
    if (!c.ReadUntil("secret\r\n")) return;
    c.Send("router#");
    c.ReadToEnd();
}

const std::string kLoginLog = Block("Password: ") + Block("router#") + kEnd;

}  // namespace

TEST(TelnetSession, RouterGreetingInOnePacketIsAnsweredAndOnlyTheDataLogged) {
    std::string received;
    ScriptedHost host([&](HostConnection& c) {
        c.Send(B({IAC, WILL, ECHO, IAC, WILL, SGA, IAC, DO, TTYPE, IAC, DO, NAWS}) + "\r\nUsername: ");
        LoginDialogue(c);
        received = c.Received();
    });
    const std::string dir = MakeScratchDir("telnet-router-log");
    ScriptRun r = RunHiddenScript("telnet-router", "TELNET ON\r\n" + HostLine(host.Port()) + kLogin, "",
                                  {"VARNEL_SOCKET_LOG=" + dir + "/socket.log"});
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block("\r\nUsername: ") + kLoginLog);
    host.Join();
    // The prompt came with the questions: answered in the same block, no round trip.
    const int roundTrips = AnsweredBlocksBeforeData(ReadFileBytes(dir + "/socket.log"));
    EXPECT_EQ(roundTrips, 0);
    std::printf("negotiation round trips before the login prompt (scripted router): %d\n", roundTrips);
    EXPECT_EQ(received, B({IAC, DO, ECHO, IAC, DO, SGA, IAC, WILL, TTYPE, IAC, WONT, NAWS}) + "admin\r\nsecret\r\n");
}

TEST(TelnetSession, SwitchRepeatingWillEchoGetsOneDoAndNoLoop) {
    std::string received;
    int asked = 0;
    ScriptedHost host([&](HostConnection& c) {
        const std::string doEcho = B({IAC, DO, ECHO});
        do {
            c.Send(B({IAC, WILL, ECHO}));
            ++asked;
        } while (!c.ReadUntil(doEcho, 300ms) && asked < 50);
        // It asks twice more anyway, and once for SGA, then shows its prompt.
        c.Send(B({IAC, WILL, ECHO, IAC, WILL, ECHO, IAC, WILL, SGA}));
        std::this_thread::sleep_for(200ms);
        c.Send("User Name:");
        LoginDialogue(c);
        received = c.Received();
    });
    ScriptRun r = RunTelnetScript("switch", "TELNET ON\r\n" + HostLine(host.Port()) + kLogin);
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block("User Name:") + kLoginLog);
    host.Join();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(received, B({IAC, DO, ECHO, IAC, DO, SGA}) + "admin\r\nsecret\r\n");
}

// A host that asks for options over and over and never reads the answers:
// requests it cannot have get no answer at all, and once more than 64 KiB of
// answers to requests that do change something wait for it, the run ends
// with an error (status 1) instead of queueing them without bound.
TEST(TelnetSession, AHostFloodingOptionsWithoutReadingIsEnded) {
    int64_t sent = 0;
    ScriptedHost host([&](HostConnection& c) {
        c.Send("banner\r\n");
        std::string refused, toggles;
        for (int i = 0; i < 1 << 17; ++i) refused += B({IAC, DO, 99, IAC, WILL, 98});
        for (int i = 0; i < 1 << 17; ++i) toggles += B({IAC, WILL, ECHO, IAC, WONT, ECHO});
        // 48 MB of refused requests (no answers), then up to 96 MB of toggles.
        for (int i = 0; i < 64 && c.Send(refused); ++i) sent += static_cast<int64_t>(refused.size());
        for (int i = 0; i < 128 && c.Send(toggles); ++i) sent += static_cast<int64_t>(toggles.size());
        c.ReadToEnd(30s);
    });
    ScriptRun r = RunTelnetScript("flood", "TELNET ON\r\nTIMEOUT 20\r\n" + HostLine(host.Port()) + "WAIT \"never\"\r\n");
    host.Join();
    EXPECT_EQ(r.process.exitStatus, 1) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block("banner\r\n") +
                                "Error 41001\r\nTelnet negotiation answers not read by the host\r\n"
                                "Closed connection.\r\n");
    EXPECT_GT(sent, int64_t{48} << 20) << "the refused requests were all taken";
}

namespace {

// A server that closes the connection unless it is told a terminal type,
// asked in a subnegotiation split over three blocks, and whose prompt has CR
// NUL line ends.
void TerminalTypeServer(HostConnection& c, std::string& received) {
    c.Send(B({IAC, DO, TTYPE}));
    if (!c.ReadUntil(B({IAC, WILL, TTYPE}), 3s)) {
        received = c.Received();
        c.Close();
        return;
    }
    c.Send(B({IAC, SB}));
    std::this_thread::sleep_for(200ms);
    c.Send(B({TTYPE, 1}));
    std::this_thread::sleep_for(200ms);
    c.Send(B({IAC, SE}));
    if (!c.ReadUntil(kTtypeIs, 3s)) {
        received = c.Received();
        c.Close();
        return;
    }
    c.Send(std::string("\r\0\r\nTest device\r\0\r\nUsername: ", 29));
    LoginDialogue(c);
    received = c.Received();
}

}  // namespace

TEST(TelnetSession, ServerWantingATerminalTypeGetsVt100AcrossASplitSubnegotiation) {
    std::string received;
    ScriptedHost host([&](HostConnection& c) { TerminalTypeServer(c, received); });
    ScriptRun r = RunTelnetScript("ttype", "TELNET ON\r\n" + HostLine(host.Port()) + kLogin);
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript,
              kHead + "Opening connection\r\n" + Block("\r\r\nTest device\r\r\nUsername: ") + kLoginLog);
    host.Join();
    // Nothing of the script's reached the host before its questions were answered.
    EXPECT_EQ(received, B({IAC, WILL, TTYPE}) + kTtypeIs + "admin\r\nsecret\r\n");
}

TEST(TelnetSession, ServerWantingATerminalTypeClosesOnARawConnection) {
    std::string received;
    ScriptedHost host([&](HostConnection& c) { TerminalTypeServer(c, received); });
    ScriptRun r = RunTelnetScript("ttype-raw", HostLine(host.Port()) + kLogin);
    EXPECT_EQ(r.process.exitStatus, 1) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block(B({IAC, DO, TTYPE})) +
                                "Connection closed by host.\r\nClosed connection.\r\n");
    host.Join();
    EXPECT_EQ(received, "admin\r\n");
}

TEST(TelnetSession, Byte255BothWays) {
    std::string received;
    ScriptedHost host([&](HostConnection& c) {
        c.Send(B({'a', IAC, IAC, 'b', IAC, 241}) + "\r\n> ");
        if (c.ReadUntil("\r\n")) c.Send(B({IAC, IAC, IAC, IAC}) + "#");
        c.ReadToEnd();
        received = c.Received();
    });
    ScriptRun r = RunTelnetScript("byte255", "TELNET ON\r\n" + HostLine(host.Port()) + "SEND \"\xff" "z\xff\\n\"\r\nWAIT \"\xff\xff#\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block(B({'a', 255, 'b'}) + "\r\n> ") +
                                Block(B({255, 255}) + "#") + kEnd);
    host.Join();
    EXPECT_EQ(received, B({IAC, IAC, 'z', IAC, IAC}) + "\r\n");
}

TEST(TelnetSession, RawModeKeepsAll256ByteValuesBothWays) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    std::string received;
    ScriptedHost host([&](HostConnection& c) {
        c.Send(B({IAC, DO, TTYPE, IAC, WILL, ECHO}) + all);
        c.ReadUntil("\xfe\xff\r\n");
        c.ReadToEnd();
        received = c.Received();
    });
    // Every byte value a quoted text can hold (not NUL, tab, CR, LF or the
    // quote) goes out as it is; 255 is not doubled.
    std::string text;
    for (int i = 1; i < 256; ++i) {
        if (i != '"' && i != '\t' && i != '\r' && i != '\n') text += static_cast<char>(i);
    }
    ScriptRun r = RunTelnetScript("raw256", "TELNET ON\r\nTELNET OFF\r\n" + HostLine(host.Port()) + "SEND \"" + text + "\\n\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + Block(B({IAC, DO, TTYPE, IAC, WILL, ECHO}) + all) + kEnd);
    host.Join();
    EXPECT_EQ(received, text + "\r\n");
}

TEST(TelnetSession, AutoIsOnForPort23Only) {
    using T = SessionOptions::Telnet;
    EXPECT_TRUE(TelnetOnForPort(T::Auto, "23"));
    EXPECT_TRUE(TelnetOnForPort(T::Auto, "023"));
    EXPECT_TRUE(TelnetOnForPort(T::Auto, "23.2")) << "read as the socket reads a port";
    EXPECT_FALSE(TelnetOnForPort(T::Auto, "2323"));
    EXPECT_FALSE(TelnetOnForPort(T::Auto, "24"));
    EXPECT_FALSE(TelnetOnForPort(T::Auto, "x"));
    EXPECT_TRUE(TelnetOnForPort(T::On, "2323"));
    EXPECT_FALSE(TelnetOnForPort(T::Off, "23"));
}

namespace {

const std::string kDemoHost = std::string(VARNEL_BUILD_DIR) + "/varnel-demo-host";
const std::string kDemoBanner = "\r\nvarnel-demo: a practice device for Varnel scripts\r\n\r\nlogin: ";
const std::string kOffer = B({IAC, WILL, ECHO, IAC, WILL, SGA, IAC, DO, TTYPE, IAC, DO, NAWS});

// The example script with the port the host was given.
std::string Example(const std::string& file, const std::string& port) {
    std::string script = ReadFileBytes(std::string(VARNEL_SOURCE_DIR) + "/examples/" + file);
    const std::string host = "HOST 127.0.0.1 2323";
    if (script.find(host) == std::string::npos) ADD_FAILURE() << file << " has no " << host;
    else script.replace(script.find(host), host.size(), "HOST 127.0.0.1 " + port);
    return script;
}

// The demo host with --telnet, its standard error in a file of the scratch folder.
struct TelnetDemoHost {
    explicit TelnetDemoHost(const std::string& dir)
        : errors(dir + "/host-errors.txt"),
          process({"/bin/sh", "-c", "exec \"$0\" --telnet --port 0 2>\"$1\"", kDemoHost, errors}) {}
    uint16_t Port() const { return static_cast<uint16_t>(std::stoi(process.FirstLine())); }
    std::string errors;
    BackgroundProcess process;
};

}  // namespace

// The examples' telnet dialogue against the demo host's telnet mode gives
// exactly the transcript of the plain dialogue against the plain host.
TEST(TelnetDemoHost, ExampleDialogueNegotiatesAndLeavesTheTranscriptClean) {
    TelnetDemoHost host(MakeScratchDir("telnet-demo-host"));
    ScriptRun r = RunTelnetScript("demo", Example("demo-session-telnet.txt", std::to_string(host.Port())));
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    const std::string start = kHead + "Opening connection\r\n" + Block(kDemoBanner) + Block("Password: ") +
                              Block("\r\nWelcome, admin.\r\nvarnel-demo> ") + "Logged in.\r\n";
    EXPECT_EQ(r.transcript.substr(0, start.size()), start);
    EXPECT_EQ(r.transcript.find('\xff'), std::string::npos);

    BackgroundProcess plainHost({kDemoHost});
    ScriptRun plain = RunTelnetScript("demo-plain", Example("demo-session.txt", plainHost.FirstLine()));
    EXPECT_EQ(plain.process.exitStatus, 0) << plain.process.err;
    EXPECT_EQ(r.transcript, plain.transcript);
    EXPECT_EQ(ReadFileBytes(host.errors),
              "varnel-demo-host: session 1: telnet answers: DO ECHO, DO SGA, WILL TTYPE, WONT NAWS; terminal VT100\n");
}

// A client of our own: its commands split anywhere never reach the dialogue,
// and a 255 byte goes both ways doubled.
TEST(TelnetDemoHost, CommandsAreTakenOutAnd255IsDoubled) {
    TelnetDemoHost host(MakeScratchDir("telnet-demo-host-255"));
    HostConnection c(ConnectLoopback(host.Port()));
    ASSERT_TRUE(c.ReadUntil(kOffer)) << c.Received();
    c.Send(B({IAC, DO, ECHO, IAC, DONT}));
    c.Send(B({SGA, IAC, WILL, TTYPE, IAC, WILL, NAWS, IAC, SB, NAWS, 0, 80, 0, 24, IAC, SE}));
    ASSERT_TRUE(c.ReadUntil(kTtypeSend)) << c.Received();
    c.Send(B({IAC, SB, TTYPE, 0}) + "XTERM" + B({IAC}));
    c.Send(B({SE}) + "adm" + B({IAC, 241}) + "in\r\nvarnel\r\n");
    ASSERT_TRUE(c.ReadUntil("varnel-demo> ")) << c.Received();
    c.Send("echo a" + B({IAC, IAC, 'b', IAC, 246}) + "\r\nexit\r\n");
    EXPECT_TRUE(c.ReadToEnd());
    EXPECT_EQ(c.Received(), kOffer + kTtypeSend + kDemoBanner + "Password: \r\nWelcome, admin.\r\nvarnel-demo> a" +
                                B({IAC, IAC}) + "b\r\nvarnel-demo> Goodbye.\r\n");
    EXPECT_EQ(ReadFileBytes(host.errors),
              "varnel-demo-host: session 1: telnet answers: DO ECHO, DONT SGA, WILL TTYPE, WILL NAWS; terminal XTERM\n");
}

// A raw client that answers nothing is not left waiting: after a while the
// banner comes with a note, and its bytes are data from then on.
TEST(TelnetDemoHost, ARawClientGetsTheBannerWithANote) {
    TelnetDemoHost host(MakeScratchDir("telnet-demo-host-raw"));
    HostConnection c(ConnectLoopback(host.Port()));
    c.Send("admin\r\n");
    ASSERT_TRUE(c.ReadUntil("Password: ", 30s)) << c.Received();
    c.Send("varnel\r\necho a" + B({IAC}) + "b\r\nexit\r\n");
    EXPECT_TRUE(c.ReadToEnd()) << c.Received();
    EXPECT_EQ(c.Received(), kOffer + "% no telnet answers; going on raw\r\n" + kDemoBanner +
                                "Password: \r\nWelcome, admin.\r\nvarnel-demo> a" + B({IAC}) +
                                "b\r\nvarnel-demo> Goodbye.\r\n");
    EXPECT_EQ(ReadFileBytes(host.errors), "varnel-demo-host: session 1: no telnet answers; going on raw\n");
}
