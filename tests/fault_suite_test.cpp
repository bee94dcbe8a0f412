// Faults survived: a scripted loopback host misbehaves in every way we could
// think of, and each case states what the transcript holds afterwards. The
// rule throughout: every byte the program received is in the output file, in
// order, and nothing else is lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/scripted_host.h"

using namespace testhost;
using namespace std::chrono_literals;

namespace {

const std::string kVarnel = std::string(VARNEL_BUILD_DIR) + "/varnel";
const std::string kHead = "Checking script (clearing output file)\r\nRunning script\r\n";

std::string Host(uint16_t port) { return HostLine(port); }

ScriptRun RunScript(const std::string& name, const std::string& script, const std::string& out = "") {
    return RunHiddenScript("fault-" + name, script, out);
}

// The transcript between the "Opening connection" line and the closing lines.
std::string Body(const std::string& transcript, const std::string& tail) {
    const std::string open = "Opening connection\r\n";
    size_t from = transcript.find(open);
    size_t to = transcript.rfind(tail);
    if (from == std::string::npos || to == std::string::npos || to < from) return "<malformed>";
    return transcript.substr(from + open.size(), to - from - open.size());
}

// Removes the session log's framing (each block is followed by CRLF CRLF),
// giving back the bytes as the host sent them. Unambiguous only when no block
// itself contains CRLF CRLF or ends with CRLF, which the cases below ensure.
std::string Unframe(const std::string& body) {
    std::string out;
    size_t pos = 0;
    while (pos < body.size()) {
        size_t end = body.find("\r\n\r\n", pos);
        if (end == std::string::npos) return out + "<unframed>" + body.substr(pos);
        out += body.substr(pos, end - pos);
        pos = end + 4;
    }
    return out;
}

std::string AllByteValues() {
    std::string s;
    for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
    return s;
}

}  // namespace

// Expectation: "Error 10061", its description, "Closed connection.", status 1.
TEST(FaultSuite, HostRefuses) {
    ScriptRun r = RunScript("refuse", Host(ClosedPort()) + "WAIT \"x\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 1);
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\nError 10061\r\nConnection refused.\r\n"
                                    "Closed connection.\r\n");
}

// Expectation: the bytes logged are a prefix of what the host sent (data the
// system had received but the program had not yet read is dropped with the
// reset), followed by "Error 10054", its description and the closing line.
TEST(FaultSuite, HostResetsMidTransfer) {
    std::string payload(1 << 20, 'r');
    ScriptedHost host([&](HostConnection& c) {
        c.Send("go>");
        c.ReadUntil("start\r\n");
        c.Send(payload);
        c.Reset();
    });
    ScriptRun r = RunScript("reset", Host(host.Port()) + "SEND \"start\\n\"\r\nWAIT \"never\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 1);
    const std::string tail = "Error 10054\r\nConnection reset by peer.\r\nClosed connection.\r\n";
    std::string got = Unframe(Body(r.transcript, tail));
    ASSERT_GE(got.size(), 3u) << r.transcript.substr(0, 400);
    EXPECT_EQ(got.substr(0, 3), "go>");
    EXPECT_EQ(got.substr(3), payload.substr(0, got.size() - 3));
    host.Join();
}

// Expectation: the host answers "bye" and closes while the client is still
// sending 200,000 bytes, so the close turns into a reset. What the transcript
// holds is a prefix of what the host sent, in order: "hi>", then "bye" unless
// the system dropped it with the reset, then the ending ("Connection closed
// by host." or "Error 10054" with its description), status 1.
TEST(FaultSuite, HostClosesDuringSend) {
    ScriptedHost host([](HostConnection& c) {
        c.Send("hi>");
        c.ReadUntil("a");
        c.Send("bye");
        c.Close();
    });
    std::string big(200000, 'a');
    ScriptRun r = RunScript("closesend", Host(host.Port()) + "SEND \"" + big + "\"\r\nWAIT \"zzz\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 1);
    const std::string closed = "Connection closed by host.\r\nClosed connection.\r\n";
    const std::string reset = "Error 10054\r\nConnection reset by peer.\r\nClosed connection.\r\n";
    const bool endsClosed = r.transcript.size() >= closed.size() &&
                            r.transcript.compare(r.transcript.size() - closed.size(), closed.size(), closed) == 0;
    const std::string body = Unframe(Body(r.transcript, endsClosed ? closed : reset));
    EXPECT_TRUE(body == "hi>" || body == "hi>bye") << r.transcript;
    host.Join();
}

// Expectation: the block sent before the close is logged, then
// "Connection closed by host." and "Closed connection.", status 1.
TEST(FaultSuite, HostClosesDuringWait) {
    ScriptedHost host([](HostConnection& c) {
        c.Send("hi\r\n");
        c.ReadUntil("go\r\n");
        c.Send("half an answer");
        c.Close();
    });
    ScriptRun r = RunScript("closewait", Host(host.Port()) + "SEND \"go\\n\"\r\nWAIT \"prompt>\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 1);
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\nhi\r\n\r\n\r\nhalf an answer\r\n\r\n"
                                    "Connection closed by host.\r\nClosed connection.\r\n");
    host.Join();
}

// Expectation: without a time limit, a host that never answers leaves the
// hidden run waiting; SIGTERM then ends it through the event loop: the
// transcript is whole, ends with "Stopped by signal SIGTERM" and the closing
// line, and the status is 128 + 15.
TEST(FaultSuite, HostNeverAnswersAndSigtermStopsTheRun) {
    ScriptedHost host([](HostConnection& c) {
        c.Send("banner\r\n");
        c.ReadToEnd(20s);
    });
    std::string dir = MakeScratchDir("fault-silent");
    WriteFileBytes(dir + "/s.txt", Host(host.Port()) + "WAIT \"never\"\r\n");
    std::string r = "/r:" + dir + "/s.txt", o = "/o:" + dir + "/out.txt";
    char* argv[] = {const_cast<char*>(kVarnel.c_str()), r.data(), o.data(), const_cast<char*>("/hidden"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
    const std::string expected = kHead + "Opening connection\r\nbanner\r\n\r\n\r\n";
    for (int i = 0; i < 100 && ReadFileBytes(dir + "/out.txt") != expected; ++i) std::this_thread::sleep_for(50ms);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "the run must still be waiting";
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    EXPECT_EQ(ReadFileBytes(dir + "/out.txt"), expected + "Stopped by signal SIGTERM\r\nClosed connection.\r\n");
    host.Join();
}

// Expectation: each dripped byte is a block of its own, logged in order; the
// one-character WAIT texts match, so the whole dialogue completes.
TEST(FaultSuite, HostDripsOneByteEvery50ms) {
    ScriptedHost host([](HostConnection& c) {
        auto drip = [&](const std::string& s) {
            for (char ch : s) {
                c.Send(std::string(1, ch));
                std::this_thread::sleep_for(50ms);
            }
        };
        drip("login:");
        c.ReadUntil("u\r\n");
        drip("pass>");
        c.ReadUntil("p\r\n");
        drip("ok#");
        c.ReadToEnd();
    });
    ScriptRun r = RunScript("drip", Host(host.Port()) + "WAIT \":\"\r\nSEND \"u\\n\"\r\nWAIT \">\"\r\n"
                                                  "SEND \"p\\n\"\r\nWAIT \"#\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    std::string body;
    for (char ch : std::string("login:pass>ok#")) body += std::string(1, ch) + "\r\n\r\n";
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\n" + body + "End of script\r\nClosed connection.\r\n");
    host.Join();
}

// Expectation: every one of the 1 GiB of bytes is in the transcript, in order,
// framed as blocks; the run ends when the host closes.
TEST(FaultSuite, HostFloods1GiB) {
    const size_t total = size_t(1) << 30;
    ScriptedHost host([&](HostConnection& c) {
        std::string chunk(1 << 16, '\0');
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>('a' + i % 26);
        for (size_t sent = 0; sent < total; sent += chunk.size())
            if (!c.Send(chunk)) return;
        c.Close();
    });
    std::string dir = MakeScratchDir("fault-flood");
    ScriptRun r = RunScript("flood", Host(host.Port()) + "WAIT \"never\"\r\n", dir + "/out.txt");
    EXPECT_EQ(r.process.exitStatus, 1);
    std::string body = Unframe(Body(r.transcript, "Connection closed by host.\r\nClosed connection.\r\n"));
    r.transcript.clear();
    ASSERT_EQ(body.size(), total);
    size_t bad = 0;
    for (size_t i = 0; i < body.size() && bad == 0; ++i)
        if (body[i] != static_cast<char>('a' + (i % 65536) % 26)) bad = i + 1;
    EXPECT_EQ(bad, 0u);
    host.Join();
}

// Expectation: the 50 MB text waits in the send buffer while the host does not
// read, goes out as the host starts reading, and the run finishes normally.
TEST(FaultSuite, HostAcceptsButDoesNotReadWhileTheScriptSends50MB) {
    const size_t size = 50u << 20;
    std::atomic<size_t> got{0};
    ScriptedHost host([&](HostConnection& c) {
        c.Send("ready\r\n");
        std::this_thread::sleep_for(1500ms);
        c.ReadUntil("END", 60s);
        got = c.Received().size();
        c.Send("done");
        c.ReadToEnd();
    });
    std::string text(size - 3, 'd');
    ScriptRun r = RunScript("noread", Host(host.Port()) + "SEND \"" + text + "END\"\r\nWAIT \"done\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(got.load(), size);
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\nready\r\n\r\n\r\ndone\r\n\r\n"
                                    "End of script\r\nClosed connection.\r\n");
    host.Join();
}

// Expectation: all 256 byte values arrive in the transcript unchanged.
TEST(FaultSuite, HostSendsEveryByteValue) {
    ScriptedHost host([](HostConnection& c) {
        c.Send("hi\r\n");
        c.ReadUntil("go\r\n");
        c.Send(AllByteValues());
        c.ReadToEnd();
    });
    ScriptRun r = RunScript("bytes", Host(host.Port()) + "SEND \"go\\n\"\r\nWAIT \"\xfe\xff\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + "Opening connection\r\nhi\r\n\r\n\r\n" + AllByteValues() +
                                "\r\n\r\nEnd of script\r\nClosed connection.\r\n");
    host.Join();
}

// Expectation: an output file that cannot be written does not stop the run,
// but the failure is told: one stderr line with the path and the reason, and
// status 4 instead of 0.
TEST(FaultSuite, OutputFileInAMissingFolderOrOnADirectory) {
    std::string dir = MakeScratchDir("fault-outpath");
    ScriptRun missing = RunScript("outmissing", "ECHO \"x\"\r\n", dir + "/no/such/folder/out.txt");
    EXPECT_EQ(missing.process.exitStatus, 4);
    EXPECT_EQ(missing.process.err, "varnel: the output file could not be written: " + dir +
                                       "/no/such/folder/out.txt: No such file or directory\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/no"));
    std::filesystem::create_directory(dir + "/isdir");
    ScriptRun isdir = RunScript("outdir", "ECHO \"x\"\r\n", dir + "/isdir");
    EXPECT_EQ(isdir.process.exitStatus, 4);
    EXPECT_EQ(isdir.process.err, "varnel: the output file could not be written: " + dir + "/isdir: Is a directory\n");
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/isdir"));
}

// Expectation: removing the output file during a run loses only what the user
// removed; every later line is written to a new file of the same name.
TEST(FaultSuite, OutputFileRemovedWhileTheRunGoesOn) {
    std::string dir = MakeScratchDir("fault-removed");
    ScriptedHost host([&](HostConnection& c) {
        c.Send("one\r\n");
        c.ReadUntil("next\r\n");
        std::filesystem::remove(dir + "/out.txt");
        c.Send("two");
        c.ReadToEnd();
    });
    ScriptRun r = RunScript("removed", Host(host.Port()) + "SEND \"next\\n\"\r\nWAIT \"two\"\r\n", dir + "/out.txt");
    EXPECT_EQ(r.process.exitStatus, 0);
    EXPECT_EQ(r.transcript, "two\r\n\r\nEnd of script\r\nClosed connection.\r\n");
    host.Join();
}
