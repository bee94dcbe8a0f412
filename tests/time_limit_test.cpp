// Time limits as written by users: how a TIMEOUT word or VARNEL_TIMEOUT is
// read (plain decimal seconds, a fraction rounded up, only 0 meaning no
// limit), and what the real program does with each: a short limit still ends
// the wait, a text that is not a number is refused instead of turning into
// "no limit".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/vb_error.h"
#include "script/script_text.h"
#include "tests/support/scripted_host.h"

using namespace testhost;

namespace {

const std::string kHead = "Checking script (clearing output file)\r\nRunning script\r\n";
const std::string kClosed = "Closed connection.\r\n";

// The seconds a word gives, or -5 / -6 for error 5 / error 6.
int32_t Read(const std::string& word) {
    try {
        return scripttext::LimitSeconds(word);
    } catch (const VbError& e) {
        return -e.Number;
    }
}

}  // namespace

TEST(TimeLimit, WordsAreReadAsPlainDecimalSecondsRoundedUp) {
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"0", 0}, {"00", 0}, {"0.0", 0}, {"0.", 0}, {".0", 0},  // only an explicit 0 is no limit
        {"0.4", 1}, {"0.5", 1}, {".001", 1}, {"0.0000000000000000000001", 1},  // below a second: one second
        {"1", 1}, {"1.0", 1}, {"1.2", 2}, {"1.5", 2}, {"2.5", 3}, {"7.", 7},  // a fraction rounds up
        {"0010", 10}, {"2147483", 2147483}, {"2147483.000", 2147483},
        {"2147483.001", -6}, {"2147484", -6}, {"99999999999999999999999", -6},  // the overflow stays error 6
        {"-0.4", -5}, {"-1", -5}, {"-0", -5},  // negative: refused
        {"0x10", -5}, {"1e3", -5}, {"+5", -5}, {"5s", -5}, {"1.2.3", -5}, {".", -5}, {"", -5},
        {" 5", -5}, {"5 ", -5}, {"inf", -5}, {"nan", -5}, {"1,5", -5},
    };
    for (const auto& [word, expected] : cases) EXPECT_EQ(Read(word), expected) << "\"" << word << "\"";
}

// A limit below one second still ends a wait on a host that says nothing
// more, after one second, whether the script or the environment sets it.
TEST(TimeLimit, AShortLimitEndsTheWaitAfterOneSecond) {
    ScriptedHost silent([](HostConnection& c) {
        c.Send("banner\r\n");
        c.ReadToEnd(20s);
    });
    const std::string wait = HostLine(silent.Port()) + "WAIT \"never\"\r\n";
    struct Case {
        std::string script;
        std::vector<std::string> env;
        int line;
    };
    const std::vector<Case> cases = {
        {"TIMEOUT 0.4\r\n" + wait, {}, 3},
        {"TIMEOUT 0.5\r\n" + wait, {"VARNEL_TIMEOUT=1000"}, 3},
        {wait, {"VARNEL_TIMEOUT=0.4"}, 2},
    };
    for (const Case& c : cases) {
        ScriptRun r = RunHiddenScript("time_limit_short", c.script, "", c.env);
        EXPECT_EQ(r.process.exitStatus, 3) << c.script;
        EXPECT_EQ(r.transcript, kHead + "Opening connection\r\nbanner\r\n\r\n\r\nTimed out after 1 seconds waiting "
                                        "for \"never\" on line " + std::to_string(c.line) + "\r\n" + kClosed)
            << c.script;
    }
    silent.Join();
}

// Texts that are not plain decimal seconds: error 5 on the TIMEOUT line, and
// for VARNEL_TIMEOUT nothing runs (one line on standard error, status 2).
TEST(TimeLimit, TextsThatAreNotSecondsAreRefused) {
    for (const char* word : {"0x10", "1e3", "-0.4", "0.4s"}) {
        ScriptRun r = RunHiddenScript("time_limit_bad_line", "TIMEOUT " + std::string(word) + "\r\nECHO \"no\"\r\n");
        EXPECT_EQ(r.process.exitStatus, 1) << word;
        EXPECT_EQ(r.transcript, kHead + "Error 5\r\nInvalid procedure call or argument\r\n" + kClosed) << word;

        ScriptRun env = RunHiddenScript("time_limit_bad_env", "ECHO \"no\"\r\n", "",
                                        {"VARNEL_TIMEOUT=" + std::string(word)});
        EXPECT_EQ(env.process.exitStatus, 2) << word;
        EXPECT_EQ(env.process.err, "varnel: VARNEL_TIMEOUT is not a number of seconds: " + std::string(word) + "\n");
        EXPECT_EQ(env.transcript, "") << word;
    }
    ScriptRun overflow = RunHiddenScript("time_limit_overflow", "TIMEOUT 2147483.5\r\nECHO \"no\"\r\n");
    EXPECT_EQ(overflow.process.exitStatus, 1);
    EXPECT_EQ(overflow.transcript, kHead + "Error 6\r\nOverflow\r\n" + kClosed);
}
