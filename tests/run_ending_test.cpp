// How a run ends: the time limit of each kind of wait, the drain of queued
// data before the connection closes, and stop signals, against a fake socket
// and recording hooks (the timer fires when the test says so).
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/runner_fakes.h"

using Lines = std::vector<std::string>;

TEST(RunEnding, EachWaitArmsTheLimitAndItsLineNamesTheWait) {
    {
        RunnerRig rig;
        rig.Run("TIMEOUT 5\r\nHOST example.test 2323\r\n");
        EXPECT_EQ(rig.hookCalls, (Lines{"StartTimer 5000"}));
        rig.runner.TimerElapsed();
        EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Running script", "Opening connection",
                                    "Timed out after 5 seconds waiting for a connection to example.test on line 2",
                                    "Closed connection."}));
        EXPECT_EQ(rig.runner.ExitStatus(), 3);
    }
    {
        RunnerRig rig;
        rig.runner.lngDefaultTimeout = 7;
        rig.RunConnected("# x\r\nSEND \"a\"\r\nwait \"b>\"\r\n");
        EXPECT_EQ(rig.hookCalls, (Lines{"StartTimer 7000", "DoEvents"}));
        rig.runner.TimerElapsed();
        EXPECT_EQ(rig.Log().at(2), "Timed out after 7 seconds waiting for \"b>\" on line 3");
    }
    {
        RunnerRig rig;  // the limit stops with the wait that ends in time
        rig.RunConnected("TIMEOUT 1\r\nWAIT \"a\"\r\nTIMEOUT 0\r\nWAIT \"b\"\r\n");
        rig.sock.incoming.push_back("xa");
        rig.runner.wsTelnet_DataArrival(2);
        EXPECT_EQ(rig.hookCalls, (Lines{"StartTimer 1000", "StopTimer"}));
        rig.runner.TimerElapsed();  // a late tick of the stopped timer does nothing
        EXPECT_FALSE(rig.runner.Ended());
    }
}

TEST(RunEnding, QueuedDataDrainsBeforeTheEndOfScript) {
    RunnerRig rig;
    rig.sock.onSend = [&](const std::string& data) { rig.sock.waitingToSend = static_cast<int32_t>(data.size()); };
    rig.RunConnected("TIMEOUT 2\r\nSEND \"abc\"\r\n");
    rig.sock.incoming.push_back("echo");
    rig.runner.wsTelnet_DataArrival(4);  // the first block continues the run past its last line
    EXPECT_FALSE(rig.runner.Ended());
    EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Running script", "echo", ""}))
        << "no \"End of script\" while data waits";
    rig.sock.waitingToSend = 0;
    rig.runner.wsTelnet_SendComplete();
    EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Running script", "echo", "",
                                "End of script", "Closed connection."}));
    EXPECT_EQ(rig.runner.ExitStatus(), 0);

    RunnerRig reset;  // a reset during the drain: the error line, no "End of script", status 1
    reset.runner.blnHidden = false;  // even with the window shown
    reset.sock.onSend = [&](const std::string&) { reset.sock.waitingToSend = 9; };
    reset.RunConnected("SEND \"abc\"\r\nECHO \"e\"\r\n");
    reset.runner.wsTelnet_SendComplete();  // not the end of the data: the run goes on to its end
    reset.runner.wsTelnet_Error(10054, "Connection reset by peer.");
    EXPECT_EQ(reset.Log(), (Lines{"Checking script (clearing output file)", "Running script", "e", "Error 10054",
                                  "Connection reset by peer.", "Closed connection."}));
    EXPECT_EQ(reset.runner.ExitStatus(), 1);

    RunnerRig stuck;  // the limit bounds the drain
    stuck.sock.onSend = [&](const std::string&) { stuck.sock.waitingToSend = 9; };
    stuck.RunConnected("TIMEOUT 3\r\nSEND \"abc\"\r\nBAD\r\n");
    stuck.runner.wsTelnet_SendComplete();
    stuck.runner.TimerElapsed();
    EXPECT_EQ(stuck.Log(), (Lines{"Checking script (clearing output file)", "Running script",
                                  "Unrecognised command on line 3", "Timed out after 3 seconds waiting to send on line 2",
                                  "Closed connection."}));
    EXPECT_EQ(stuck.runner.ExitStatus(), 3);
}

TEST(RunEnding, StopDuringTheDrainEndsAtOnceAsAFailure) {
    RunnerRig rig;
    rig.runner.blnHidden = false;
    rig.sock.onSend = [&](const std::string&) { rig.sock.waitingToSend = 9; };
    rig.RunConnected("TIMEOUT 5\r\nSEND \"abc\"\r\n");
    EXPECT_FALSE(rig.runner.StopDrain()) << "no ending under way yet";
    rig.runner.wsTelnet_SendComplete();
    ASSERT_TRUE(rig.runner.Draining());
    EXPECT_TRUE(rig.runner.StopDrain());
    EXPECT_TRUE(rig.runner.Ended());
    EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Running script", "Closed connection."}));
    EXPECT_EQ(rig.runner.ExitStatus(), 1);
    rig.runner.TimerElapsed();  // the limit of the drain is gone with it
    EXPECT_FALSE(rig.runner.StopDrain());
    EXPECT_EQ(rig.Log().size(), 3u);
}

TEST(RunEnding, StopSignalEndsAtOnceWithItsName) {
    RunnerRig rig;
    rig.sock.onSend = [&](const std::string&) { rig.sock.waitingToSend = 9; };
    rig.RunConnected("SEND \"abc\"\r\nWAIT \"x\"\r\n");
    rig.runner.StopBySignal(15);
    EXPECT_EQ(rig.Log(), (Lines{"Checking script (clearing output file)", "Running script",
                                "Stopped by signal SIGTERM", "Closed connection."}));
    EXPECT_EQ(rig.runner.ExitStatus(), 143);
    rig.runner.StopBySignal(2);  // after the end nothing more happens
    EXPECT_EQ(rig.Log().size(), 4u);
}

// The settle period follows a script that sent something after its last
// matched WAIT (or has no WAIT), never one that ends with a matched WAIT or
// sets SETTLE 0. Meanwhile blocks are logged and never matched; the host's
// close ends it as a success, before "End of script".
TEST(RunEnding, ASendAfterTheLastMatchedWaitSettlesBeforeTheEnd) {
    struct Case {
        std::string script;
        bool settles;
    };
    const std::vector<Case> cases = {
        {"WAIT \"a\"\r\nSEND \"abc\"\r\n", true},
        {"SEND \"abc\"\r\nWAIT \"a\"\r\nSEND \"\"\r\n", false},   // an empty SEND sends nothing
        {"SEND \"abc\"\r\nWAIT \"a\"\r\n", false},
        {"SETTLE 0\r\nWAIT \"a\"\r\nSEND \"abc\"\r\n", false},
    };
    for (const Case& c : cases) {
        RunnerRig rig;
        rig.runner.lngDefaultSettleMs = 4000;
        rig.sock.onSend = [&](const std::string&) { rig.runner.wsTelnet_SendComplete(); };
        rig.RunConnected(c.script);
        rig.sock.incoming.push_back("xa");
        rig.runner.wsTelnet_DataArrival(2);
        const Lines head = {"Checking script (clearing output file)", "Running script", "xa", ""};
        if (!c.settles) {
            EXPECT_TRUE(rig.runner.Ended()) << c.script;
            EXPECT_EQ(rig.Log(), (Lines{head[0], head[1], head[2], head[3], "End of script", "Closed connection."}))
                << c.script;
            continue;
        }
        ASSERT_TRUE(rig.runner.Settling()) << c.script;
        EXPECT_NE(std::find(rig.hookCalls.begin(), rig.hookCalls.end(), "StartTimer 4000"), rig.hookCalls.end());
        rig.sock.incoming.push_back("late a");
        rig.runner.wsTelnet_DataArrival(6);   // logged, not matched
        rig.runner.TimerElapsed();            // not silent long enough: armed again
        EXPECT_TRUE(rig.runner.Settling());
        EXPECT_EQ(rig.hookCalls.back().rfind("StartTimer ", 0), 0u);
        rig.sock.state = 8;
        rig.runner.wsTelnet_CloseSck();      // the host's close ends the wait
        EXPECT_TRUE(rig.runner.Ended());
        EXPECT_EQ(rig.Log(), (Lines{head[0], head[1], head[2], head[3], "late a", "", "End of script",
                                    "Closed connection."}));
        EXPECT_EQ(rig.runner.ExitStatus(), 0);
    }
}
