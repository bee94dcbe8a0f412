// The session socket's events: received blocks and WAIT matching, the
// SEND-WAIT pairing, SendComplete raised inside SendData, the endings of
// unattended runs, and runs of any length in constant stack.
#include <gtest/gtest.h>

#include <pthread.h>

#include "tests/runner_fakes.h"

using Lines = std::vector<std::string>;

namespace {

const Lines kStart = {"Checking script (clearing output file)", "Running script"};

Lines Concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Delivers one received block to the runner, as the socket would.
void Arrive(RunnerRig& rig, const std::string& block) {
    rig.sock.incoming.push_back(block);
    rig.runner.wsTelnet_DataArrival(static_cast<int32_t>(block.size()));
}

}  // namespace

TEST(SessionEvents, FirstBlockContinuesHostAndTheWaitAfterItSeesIt) {
    RunnerRig rig;
    rig.Run("HOST h\r\nWAIT \"login:\"\r\nECHO \"in\"\r\nWAIT \"password\"\r\n");
    Arrive(rig, "Welcome\r\nlogin: ");  // continues HOST, and the WAIT right after it finds its text there
    EXPECT_EQ(rig.runner.strWaitFor, "password");
    Arrive(rig, "Pass");
    EXPECT_FALSE(rig.runner.Ended());
    Arrive(rig, "WORD: ");  // split across two blocks: matched in the second
    EXPECT_EQ(rig.Log(), Concat(kStart, {"Opening connection", "Welcome", "login: ", "", "in", "Pass", "",
                                         "WORD: ", "", "End of script", "Closed connection."}));
}

TEST(SessionEvents, BlocksAreLoggedUnchangedWithAnExtraLineBreak) {
    RunnerRig rig;
    rig.Run("HOST h\r\nWAIT \"never\"\r\n");
    Arrive(rig, "abc");
    std::string bytes = std::string("\xFF\xFB\x01", 3) + std::string("a\0b\r\x1B[0m", 8);
    Arrive(rig, bytes);
    EXPECT_EQ(rig.box.Text(), "Checking script (clearing output file)\r\nRunning script\r\nOpening connection\r\n"
                              "abc\r\n\r\n" + bytes + "\r\n\r\n");
}

TEST(SessionEvents, DataOnAClosedSocketIsNotRead) {
    RunnerRig rig;
    rig.Run("WAIT \"x\"\r\n");  // stalls: "Cannot WAIT"
    rig.sock.incoming.push_back("late");
    rig.runner.wsTelnet_DataArrival(4);
    EXPECT_EQ(rig.Log(), Concat(kStart, {"Cannot WAIT - connection is closed."}));
    EXPECT_EQ(rig.sock.calls, (Lines{"CloseSck"}));
}

TEST(SessionEvents, GetDataFailureEndsTheRun) {
    RunnerRig rig;
    rig.Run("HOST h\r\n");
    rig.sock.getDataError = VbError(40006, "CSocketKit.GetData",
                                    "Wrong protocol or connection state for the requested transaction or request");
    rig.runner.wsTelnet_DataArrival(3);
    EXPECT_EQ(rig.Log(), Concat(kStart, {"Opening connection", "Error 40006",
                                         "Wrong protocol or connection state for the requested transaction or request",
                                         "Closed connection."}));
    EXPECT_EQ(rig.runner.ExitStatus(), 1);
}

TEST(SessionEvents, SendArmsItsWaitBeforeSending) {
    RunnerRig rig;
    std::string armedWhileSending;
    rig.sock.onSend = [&](const std::string&) { armedWhileSending = rig.runner.strWaitFor; };
    rig.RunConnected("SEND \"guest\\n\"\r\n  wait \"Password:\"\r\nECHO \"ok\"\r\n");
    EXPECT_EQ(armedWhileSending, "Password:");
    EXPECT_EQ(rig.sock.calls, (Lines{"CloseSck", "SendData guest\r\n"}));
    rig.runner.wsTelnet_SendComplete();  // a WAIT is armed: nothing happens
    Arrive(rig, "guest\r\n");
    EXPECT_EQ(rig.runner.lngLine, 1) << "the WAIT line was consumed by the SEND";
    Arrive(rig, "password: ");
    EXPECT_EQ(rig.Log(), Concat(kStart, {"guest", "", "", "password: ", "", "ok", "End of script",
                                         "Closed connection."}));
    EXPECT_EQ(rig.hookCalls, (Lines{"DoEvents", "EndProgram 0"}));
}

TEST(SessionEvents, SendOnAClosedSocketConsumesItsWaitAndStalls) {
    RunnerRig rig;
    rig.Run("SEND \"x\"\r\nWAIT \"y\"\r\nECHO \"z\"\r\n");
    EXPECT_EQ(rig.Log(), Concat(kStart, {"Cannot SEND - connection is closed."}));
    EXPECT_EQ(rig.runner.lngLine, 1);
    EXPECT_FALSE(rig.runner.Ended()) << "a visible window's run stays where it is";
    EXPECT_EQ(rig.runner.strWaitFor, "y");
}

TEST(SessionEvents, HiddenRunsEndWhenTheyCannotProgress) {
    for (const char* script : {"SEND \"x\"\r\nECHO \"z\"\r\n", "WAIT \"y\"\r\nECHO \"z\"\r\n"}) {
        RunnerRig rig;
        rig.runner.blnHidden = true;
        rig.Run(script);
        Lines log = rig.Log();
        ASSERT_EQ(log.size(), 4u) << script;
        EXPECT_EQ(log[2], std::string(script[0] == 'S' ? "Cannot SEND" : "Cannot WAIT") +
                              " - connection is closed.");
        EXPECT_EQ(log[3], "Closed connection.");
        EXPECT_EQ(rig.runner.ExitStatus(), 1);
    }
}

TEST(SessionEvents, SocketErrorAndHostCloseEndOnlyHiddenRuns) {
    RunnerRig visible;
    visible.Run("HOST h\r\n");
    visible.runner.wsTelnet_Error(10061, "Connection refused.");
    visible.runner.wsTelnet_CloseSck();
    EXPECT_EQ(visible.Log(), Concat(kStart, {"Opening connection"}));

    RunnerRig idle;  // hidden, but no run under way
    idle.runner.blnHidden = true;
    idle.runner.wsTelnet_Error(10061, "Connection refused.");
    EXPECT_TRUE(idle.box.Text().empty());

    RunnerRig refused;
    refused.runner.blnHidden = true;
    refused.Run("HOST h\r\n");
    refused.runner.wsTelnet_Error(10061, "Connection refused.");
    EXPECT_EQ(refused.Log(), Concat(kStart, {"Opening connection", "Error 10061", "Connection refused.",
                                             "Closed connection."}));
    EXPECT_EQ(refused.runner.ExitStatus(), 1);

    RunnerRig closed;
    closed.runner.blnHidden = true;
    closed.Run("HOST h\r\nWAIT \"x\"\r\n");
    closed.sock.state = 8;
    closed.runner.wsTelnet_CloseSck();
    closed.runner.wsTelnet_CloseSck();
    EXPECT_EQ(closed.Log(), Concat(kStart, {"Opening connection", "Connection closed by host.",
                                            "Closed connection."}));
    EXPECT_EQ(closed.endProgramCalls, 1);
}

TEST(SessionEvents, SendWithoutWaitGoesOnAtSendCompleteOrFirstBlock) {
    // SendComplete first: the later echo of the text advances the run once more.
    RunnerRig rig;
    rig.RunConnected("SEND \"x\\n\"\r\nECHO \"a\"\r\nHOST again\r\nECHO \"b\"\r\n");
    EXPECT_EQ(rig.Log(), kStart);
    rig.runner.wsTelnet_SendComplete();
    EXPECT_EQ(rig.Log().back(), "Opening connection");
    Arrive(rig, "x\r\n");
    EXPECT_EQ(rig.Log(), Concat(kStart, {"a", "Opening connection", "x", "", "", "b", "End of script",
                                         "Closed connection."}));

    // The first block before SendComplete; the next line arms a WAIT, so the
    // late SendComplete does nothing.
    RunnerRig race;
    race.RunConnected("SEND \"x\\n\"\r\nECHO \"a\"\r\nWAIT \"ok\"\r\n");
    Arrive(race, "x");
    race.runner.wsTelnet_SendComplete();
    EXPECT_EQ(race.Log(), Concat(kStart, {"x", "", "a"}));
    EXPECT_EQ(race.runner.strWaitFor, "ok");
    EXPECT_FALSE(race.runner.Ended());
}

TEST(SessionEvents, SynchronousSendCompleteKeepsTheNestedOrder) {
    RunnerRig rig;
    // "a" goes out at once (SendComplete inside SendData); "b" does not, and
    // its completion is delivered by the first pending-events pass.
    rig.sock.onSend = [&](const std::string& data) {
        if (data == "a") rig.runner.wsTelnet_SendComplete();
    };
    rig.onDoEvents = [&] {
        rig.hookCalls.back() += " after " + std::to_string(rig.Log().size()) + " lines";
        if (rig.hookCalls.size() == 1) rig.runner.wsTelnet_SendComplete();
    };
    rig.RunConnected("SEND \"a\"\r\nECHO \"1\"\r\nSEND \"b\"\r\nECHO \"2\"\r\n");
    EXPECT_EQ(rig.sock.calls, (Lines{"CloseSck", "SendData a", "SendData b", "CloseSck"}));
    EXPECT_EQ(rig.Log(), Concat(kStart, {"1", "2", "End of script", "Closed connection."}));
    // b's pass runs first (after "1"); the run ends inside it, so a's never runs.
    EXPECT_EQ(rig.hookCalls, (Lines{"DoEvents after 3 lines", "EndProgram 0"}));
}

TEST(SessionEvents, ActivationsStartedInsidePendingEventsHaveTheirOwnFlag) {
    RunnerRig rig;
    rig.sock.onSend = [&](const std::string& data) {
        if (data != "first") rig.runner.wsTelnet_SendComplete();  // later sends complete at once
    };
    int passes = 0;
    rig.onDoEvents = [&] {
        if (++passes == 1) rig.runner.wsTelnet_SendComplete();  // "first" completes here
    };
    rig.RunConnected("SEND \"first\"\r\nSEND \"second\"\r\nSEND \"third\"\r\nWAIT \"done\"\r\nECHO \"end\"\r\n");
    EXPECT_EQ(rig.sock.calls, (Lines{"CloseSck", "SendData first", "SendData second", "SendData third"}));
    EXPECT_EQ(rig.runner.strWaitFor, "done");
    EXPECT_EQ(passes, 3) << "one pass per SEND";
    Arrive(rig, "done");
    EXPECT_EQ(rig.Log(), Concat(kStart, {"done", "", "end", "End of script", "Closed connection."}));
}

namespace {

// Runs body on a thread with a 256 KiB stack.
void RunOnSmallStack(const std::function<void()>& body) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    auto entry = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, entry, const_cast<std::function<void()>*>(&body)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

}  // namespace

TEST(SessionEvents, AMillionLinesThatContinueAtOnceRunInConstantStack) {
    std::string script;
    for (int i = 0; i < 500000; ++i) script += "ECHO \"" + std::to_string(i) + "\"\r\n# c\n";
    RunnerRig rig;
    RunOnSmallStack([&] { rig.Run(script); });
    Lines log = rig.Log();
    ASSERT_EQ(log.size(), 500000u + 4u);
    EXPECT_EQ(log[2], "0");
    EXPECT_EQ(log[500001], "499999");
    EXPECT_EQ(log[500002], "End of script");
    EXPECT_EQ(rig.runner.ExitStatus(), 0);
}

TEST(SessionEvents, SendChainsCompletingInsideSendDataRunInConstantStack) {
    std::string script;
    for (int i = 0; i < 100000; ++i) script += "SEND \"" + std::to_string(i) + "\"\n";
    script += "WAIT \"end\"\n";  // paired with the last SEND
    RunnerRig rig;
    size_t sends = 0;
    rig.sock.onSend = [&](const std::string&) {
        ++sends;
        rig.runner.wsTelnet_SendComplete();
    };
    rig.sock.calls.reserve(100010);
    rig.hookCalls.reserve(100010);
    RunOnSmallStack([&] { rig.RunConnected(script); });
    EXPECT_EQ(sends, 100000u);
    EXPECT_EQ(rig.sock.calls[100000], "SendData 99999");
    EXPECT_EQ(rig.runner.strWaitFor, "end");
    // Every SEND let pending events run once, after the chain reached its WAIT.
    EXPECT_EQ(rig.hookCalls.size(), 100000u);
    EXPECT_EQ(rig.hookCalls.back(), "DoEvents");
    RunOnSmallStack([&] { Arrive(rig, "the end"); });
    EXPECT_EQ(rig.Log(), Concat(kStart, {"the end", "", "End of script", "Closed connection."}));
}

TEST(SessionEvents, AnswersArrivingDuringThePendingEventsPassRunInConstantStack) {
    // Every SEND's pass finds its answer already there: each answer starts the
    // next SEND from inside the pass before, which must not nest any deeper.
    constexpr int kPairs = 20000;
    std::string script;
    for (int i = 0; i < kPairs; ++i) script += "SEND \"q\"\r\nWAIT \"a\"\r\n";
    script += "ECHO \"done\"\r\n";
    RunnerRig rig;
    int depth = 0;
    int deepest = 0;
    rig.onDoEvents = [&] {
        deepest = std::max(deepest, ++depth);
        Arrive(rig, "a");
        --depth;
    };
    rig.sock.calls.reserve(kPairs + 10);
    rig.hookCalls.reserve(kPairs + 10);
    RunOnSmallStack([&] { rig.RunConnected(script); });
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(rig.hookCalls.size(), kPairs + 1u);
    EXPECT_EQ(rig.hookCalls.back(), "EndProgram 0");
    Lines log = rig.Log();
    ASSERT_EQ(log.size(), 2u + 2u * kPairs + 3u);
    EXPECT_EQ(log[2], "a");
    EXPECT_EQ(log[3], "");
    EXPECT_EQ(Lines(log.end() - 3, log.end()), (Lines{"done", "End of script", "Closed connection."}));
}
