// Device dialogue against a scripted loopback host, run by the real program:
// prompts split over blocks, the prompt in the block that ends HOST,
// alternatives, responders answering a pager, FAIL texts, the capture file
// and environment placeholders. Transcripts are checked byte for byte.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>

#include "tests/support/scripted_host.h"

using namespace testhost;
using namespace std::chrono_literals;

namespace {

const std::string kHead = "Checking script (clearing output file)\r\nRunning script\r\nOpening connection\r\n";
const std::string kEnd = "End of script\r\nClosed connection.\r\n";

std::string Block(const std::string& bytes) { return bytes + "\r\n\r\n"; }

// Sends text in pieces of random sizes (1 to 40 bytes), pausing now and then
// so the pieces reach the client as blocks of their own.
void SendInPieces(HostConnection& c, const std::string& text, unsigned seed) {
    std::mt19937 random(seed);
    for (size_t at = 0; at < text.size();) {
        const size_t n = std::min(text.size() - at, static_cast<size_t>(random() % 40 + 1));
        c.Send(std::string_view(text).substr(at, n));
        at += n;
        if (random() % 4 == 0) std::this_thread::sleep_for(2ms);
    }
}

}  // namespace

TEST(Dialogue, SplitPromptIsMatchedOnEveryRun) {
    for (int run = 0; run < 3; ++run) {
        ScriptedHost host([](HostConnection& c) {
            c.Send("login: ");
            if (!c.ReadUntil("admin\r\n")) return;
            c.Send("rou");
            std::this_thread::sleep_for(300ms);
            c.Send("ter1#");
            c.ReadToEnd();
        });
        ScriptRun r = RunHiddenScript("dialogue-split", HostLine(host.Port()) +
                                                            "TIMEOUT 20\r\nSEND \"admin\\n\"\r\nWAIT \"router1#\"\r\n"
                                                            "ECHO \"in\"\r\n");
        EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
        EXPECT_EQ(r.transcript, kHead + Block("login: ") + Block("rou") + Block("ter1#") + "in\r\n" + kEnd);
        host.Join();
    }
}

TEST(Dialogue, WaitRightAfterHostSeesTheFirstBlock) {
    // The prompt is the first thing the host sends: it ends HOST, and the WAIT
    // on the next line (after a comment) finds it there.
    ScriptedHost host([](HostConnection& c) {
        c.Send("Username: ");
        if (!c.ReadUntil("admin\r\n")) return;
        c.Send("router#");
        c.ReadToEnd();
    });
    ScriptRun r = RunHiddenScript("dialogue-first", "TIMEOUT 5\r\n" + HostLine(host.Port()) +
                                                        "# the prompt may come at once\r\nWAIT \"username:\"\r\n"
                                                        "SEND \"admin\\n\"\r\nWAIT \"#\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(r.transcript, kHead + Block("Username: ") + Block("router#") + kEnd);
    host.Join();
}

TEST(Dialogue, WaitForAlternatives) {
    struct Case {
        std::string wait;     // the WAIT line
        std::string sends;    // what the host sends after the command
        std::string ending;   // the transcript after the host's block
        int status;
    } cases[] = {
        {"WAIT \"router#\" OR \"switch>\"", "switch> ", kEnd, 0},
        {"wait \"router#\" or \"switch>\" OR \"x\"", "router#", kEnd, 0},
        // OR inside the quotes stays text.
        {"WAIT \"this OR that\"", "this OR that", kEnd, 0},
        {"WAIT \"a#\" OR \"b>\"", "c$",
         "Timed out after 1 seconds waiting for \"a#\" or \"b>\" on line 4\r\nClosed connection.\r\n", 3},
    };
    for (const Case& k : cases) {
        ScriptedHost host([&](HostConnection& c) {
            c.Send("hello\r\n");
            if (!c.ReadUntil("go\r\n")) return;
            c.Send(k.sends);
            c.ReadToEnd();
        });
        ScriptRun r = RunHiddenScript("dialogue-or",
                                      HostLine(host.Port()) + "TIMEOUT 1\r\nSEND \"go\\n\"\r\n" + k.wait + "\r\n");
        EXPECT_EQ(r.process.exitStatus, k.status) << k.wait;
        EXPECT_EQ(r.transcript, kHead + Block("hello\r\n") + Block(k.sends) + k.ending) << k.wait;
        host.Join();
    }
}

TEST(Dialogue, OneOnLineAnswersAFiveHundredPagePager) {
    constexpr int kPages = 500;
    std::atomic<int> spaces{0};
    ScriptedHost host([&](HostConnection& c) {
        c.Send("router#");
        if (!c.ReadUntil("show log\r\n")) return;
        std::string line = "log line of some length, as a device writes it\r\n";
        for (int page = 0; page < kPages; ++page) {
            std::string screen;
            for (int i = 0; i < 24; ++i) screen += line;
            c.Send(screen + " --More-- ");
            if (!c.ReadUntilCount(" ", static_cast<size_t>(page + 1) + 1)) return;  // the space of "show log" too
            spaces = page + 1;
        }
        c.Send("\r\nrouter#");
        c.ReadToEnd();
    });
    ScriptRun r = RunHiddenScript("dialogue-pager", HostLine(host.Port()) +
                                                        "TIMEOUT 60\r\nON \"--more--\" SEND \" \"\r\n"
                                                        "SEND \"show log\\n\"\r\nWAIT \"router#\"\r\nECHO \"done\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    EXPECT_EQ(spaces.load(), kPages);
    const std::string tail = "router#\r\n\r\ndone\r\n" + kEnd;
    ASSERT_GE(r.transcript.size(), tail.size());
    EXPECT_EQ(r.transcript.substr(r.transcript.size() - tail.size()), tail);
    host.Join();
}

TEST(Dialogue, FailEndsTheRunBeforeALaterWaitOrEcho) {
    ScriptedHost host([](HostConnection& c) {
        c.Send("router#");
        if (!c.ReadUntil("shw run\r\n")) return;
        c.Send("% Invalid input detected at '^' marker.\r\nrouter#");
        c.ReadToEnd();
    });
    ScriptRun r = RunHiddenScript("dialogue-fail", HostLine(host.Port()) +
                                                       "FAIL \"% invalid input\"\r\nSEND \"shw run\\n\"\r\n"
                                                       "WAIT \"router#\"\r\nECHO \"never\"\r\nWAIT \"never\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 1);
    EXPECT_EQ(r.transcript, kHead + Block("router#") + Block("% Invalid input detected at '^' marker.\r\nrouter#") +
                                "Failed: the host sent \"% invalid input\" (line 4)\r\nClosed connection.\r\n");
    host.Join();
}

TEST(Dialogue, CaptureFilesOfTwoRunsAreIdenticalWhateverTheBlocks) {
    std::string listing;
    for (int i = 0; i < 400; ++i) listing += "interface Gi0/" + std::to_string(i) + "\r\n description x\r\n";
    listing += "end\r\nrouter#";
    const std::string dir = MakeScratchDir("dialogue-capture-files");
    std::string captures[2];
    for (unsigned run = 0; run < 2; ++run) {
        ScriptedHost host([&](HostConnection& c) {
            c.Send("router#");
            if (!c.ReadUntil("show run\r\n")) return;
            SendInPieces(c, listing, run + 1);
            c.ReadToEnd();
        });
        const std::string path = dir + "/run" + std::to_string(run) + ".cfg";
        WriteFileBytes(path, "old content that must go");
        ScriptRun r = RunHiddenScript("dialogue-capture", HostLine(host.Port()) + "CAPTURE \"" + path +
                                                              "\"\r\nSEND \"show run\\n\"\r\nWAIT \"end\\nrouter#\"\r\n"
                                                              "CAPTURE OFF\r\nECHO \"done\"\r\n");
        EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
        captures[run] = ReadFileBytes(path);
        host.Join();
    }
    EXPECT_EQ(captures[0], listing);
    EXPECT_EQ(captures[1], listing);
}

TEST(Dialogue, CaptureWriteFailureGivesStatusFour) {
    ScriptedHost host([](HostConnection& c) {
        c.Send("router#");
        c.ReadToEnd();
    });
    const std::string path = MakeScratchDir("dialogue-capture-fail") + "/missing/cap.txt";
    ScriptRun r = RunHiddenScript("dialogue-capture-failure",
                                  HostLine(host.Port()) + "CAPTURE \"" + path + "\"\r\nECHO \"on\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 4);
    EXPECT_EQ(r.process.err, "varnel: the capture file could not be written: " + path + ": No such file or directory\n");
    EXPECT_EQ(r.transcript, kHead + Block("router#") + "on\r\n" + kEnd);
    host.Join();
}

TEST(Dialogue, EnvironmentValueReachesTheHostAndNoLog) {
    std::string received;
    ScriptedHost host([&](HostConnection& c) {
        c.Send("Password: ");
        if (!c.ReadUntil("\r\n")) return;
        received = c.Received();
        c.Send("\r\nrouter#");
        c.ReadToEnd();
    });
    const std::string dir = MakeScratchDir("dialogue-env-logs");
    const std::string socketLog = dir + "/socket.log";
    ScriptRun r = RunHiddenScript("dialogue-env",
                                  "HOST %env:DEVICE_ADDR% " + std::to_string(host.Port()) +
                                      "\r\nWAIT \"Password:\"\r\nSEND \"%env:DEVICE_PW%\\n\"\r\nWAIT \"#\"\r\n",
                                  "", {"DEVICE_ADDR=127.0.0.1", "DEVICE_PW=s3cr3t-Value", "VARNEL_SOCKET_LOG=" + socketLog});
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    host.Join();
    EXPECT_EQ(received, "s3cr3t-Value\r\n");
    EXPECT_EQ(r.transcript, kHead + Block("Password: ") + Block("\r\nrouter#") + kEnd);
    const std::string log = ReadFileBytes(socketLog);
    EXPECT_NE(log.find("Connecting"), std::string::npos);
    EXPECT_EQ(log.find("s3cr3t"), std::string::npos);
    EXPECT_EQ(r.process.out.find("s3cr3t"), std::string::npos);
    EXPECT_EQ(r.process.err.find("s3cr3t"), std::string::npos);
}

TEST(Dialogue, UnsetEnvironmentVariableIsAnErrorOfItsLine) {
    ScriptedHost host([](HostConnection& c) {
        c.Send("router#");
        c.ReadToEnd();
    });
    ScriptRun r = RunHiddenScript("dialogue-env-unset", HostLine(host.Port()) + "SEND \"%env:VARNEL_NOT_SET_X%\"\r\n",
                                  "", {"VARNEL_NOT_SET_X"});
    EXPECT_EQ(r.process.exitStatus, 1);
    EXPECT_EQ(r.transcript, kHead + Block("router#") +
                                "Error 43001\r\nEnvironment variable VARNEL_NOT_SET_X is not set\r\nClosed connection.\r\n");
    host.Join();
}

namespace {

const std::string kDemoHost = std::string(VARNEL_BUILD_DIR) + "/varnel-demo-host";
const std::string kLogin = "WAIT \"login:\"\r\nSEND \"admin\\n\"\r\nWAIT \"Password:\"\r\nSEND \"varnel\\n\"\r\n"
                           "WAIT \"varnel-demo>\"\r\n";

// The lines "show log N" lists, without the pager's prompts.
std::string LogLines(long from, long to, long total) {
    std::string lines;
    for (long i = from; i <= to; ++i)
        lines += "Dec  9 00:00:00.000: %SYS-5-LOG: entry " + std::to_string(i) + " of " + std::to_string(total) + "\r\n";
    return lines;
}

}  // namespace

TEST(Dialogue, BundledDialogueExampleAgainstTheDemoHost) {
    BackgroundProcess demo({kDemoHost, "--split-prompt", "200"});
    const std::string dir = MakeScratchDir("dialogue-example-capture");
    std::string script = ReadFileBytes(std::string(VARNEL_SOURCE_DIR) + "/examples/demo-dialogue.txt");
    for (auto [from, to] : {std::pair<std::string, std::string>{"HOST 127.0.0.1 2323", "HOST 127.0.0.1 " + demo.FirstLine()},
                            {"CAPTURE \"demo-log.txt\"", "CAPTURE \"" + dir + "/demo-log.txt\""}}) {
        ASSERT_NE(script.find(from), std::string::npos) << from;
        script.replace(script.find(from), from.size(), to);
    }
    ScriptRun r = RunHiddenScript("dialogue-example", script, "", {"DEMO_PASSWORD=varnel"});
    EXPECT_EQ(r.process.exitStatus, 0) << r.process.err;
    const std::string end = "Goodbye.\r\n\r\n\r\nEnd of script\r\nClosed connection.\r\n";
    ASSERT_GE(r.transcript.size(), end.size());
    EXPECT_EQ(r.transcript.substr(r.transcript.size() - end.size()), end);
    EXPECT_NE(r.transcript.find("Reload requested"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(dir + "/demo-log.txt"), LogLines(1, 24, 60) + " --More-- \r\n" + LogLines(25, 48, 60) +
                                                        " --More-- \r\n" + LogLines(49, 60, 60) + "varnel-demo> ");
}

TEST(Dialogue, DemoHostPagerOfFiveHundredPagesAndItsErrorReply) {
    BackgroundProcess demo({kDemoHost, "--split-prompt", "100"});
    const std::string host = "HOST 127.0.0.1 " + demo.FirstLine() + "\r\n";
    const std::string dir = MakeScratchDir("dialogue-demo-pager-capture");
    ScriptRun r = RunHiddenScript("dialogue-demo-pager",
                                  host + "TIMEOUT 60\r\n" + kLogin + "ON \"--more--\" SEND \" \"\r\nCAPTURE \"" + dir +
                                      "/log.txt\"\r\nSEND \"show log 12000\\n\"\r\nWAIT \"varnel-demo>\"\r\n"
                                      "CAPTURE OFF\r\nFAIL \"% Invalid input\"\r\nSEND \"shw log\\n\"\r\n"
                                      "WAIT \"varnel-demo>\"\r\nECHO \"never\"\r\n");
    EXPECT_EQ(r.process.exitStatus, 1) << r.process.err;
    const std::string capture = ReadFileBytes(dir + "/log.txt");
    size_t pages = 0;
    for (size_t at = capture.find("--More--"); at != std::string::npos; at = capture.find("--More--", at + 1)) ++pages;
    EXPECT_EQ(pages, 499u);  // 500 pages, the last one ends with the prompt
    const std::string last = LogLines(12000, 12000, 12000) + "varnel-demo> ";
    ASSERT_GE(capture.size(), last.size());
    EXPECT_EQ(capture.substr(capture.size() - last.size()), last);
    // The failing block, then the line; what the host still sends until it
    // has closed (the prompt's second piece) is logged before the closing line.
    const std::string failed = "% Invalid input detected at '^' marker.\r\nvarnel-\r\n\r\n"
                               "Failed: the host sent \"% Invalid input\" (line 15)\r\n";
    EXPECT_NE(r.transcript.find(failed), std::string::npos) << r.transcript;
    const std::string end = "Closed connection.\r\n";
    ASSERT_GE(r.transcript.size(), end.size());
    EXPECT_EQ(r.transcript.substr(r.transcript.size() - end.size()), end);
    EXPECT_EQ(r.transcript.find("never"), std::string::npos);
}
