// The dialogue lines' parsing, the matcher with its carried tails, and the
// environment placeholders, without a connection.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/vb_error.h"
#include "script/dialogue_lines.h"
#include "script/dialogue_matcher.h"
#include "script/env_text.h"

using dialogue::Matcher;
using Texts = std::vector<std::string>;

namespace {

int ErrorOf(void (*parse)(const std::string&), const std::string& line) {
    try {
        parse(line);
    } catch (const VbError& e) {
        return e.Number;
    }
    return 0;
}

}  // namespace

TEST(DialogueLines, WaitTexts) {
    ::setenv("DIALOGUE_TEST_PROMPT", "r1#", 1);
    const std::pair<std::string, Texts> cases[] = {
        {"WAIT \"a\"", {"a"}},
        {"WAIT \"a\" OR \"b\"", {"a", "b"}},
        {"wait \"a\" or \"b\" Or \"c d\"", {"a", "b", "c d"}},
        {"WAIT \"this OR that\"", {"this OR that"}},
        {"WAIT \"a\" OR b", {"a"}},  // not alternatives: between the first and last quote, as before
        {"WAIT \"say \\\"hi\\\"\" OR \"x\\n\"", {"say \"hi\"", "x\r\n"}},
        {"WAIT \"a\" AND \"b\"", {"a\" AND \"b"}},
        {"WAIT \"%env:DIALOGUE_TEST_PROMPT%\" OR \"100%\"", {"r1#", "100%"}},
    };
    for (const auto& [line, texts] : cases) EXPECT_EQ(dialogue::ParseWait(line), texts) << line;
}

TEST(DialogueLines, OnFailAndCaptureLines) {
    dialogue::OnLine on = dialogue::ParseOn("ON \"--More--\" SEND \" \"");
    EXPECT_EQ(on.text, "--More--");
    EXPECT_EQ(on.reply, " ");
    EXPECT_FALSE(on.remove);
    on = dialogue::ParseOn("on \"[confirm]\" send \"\\n\"");
    EXPECT_EQ(on.reply, "\r\n");
    EXPECT_TRUE(dialogue::ParseOn("ON \"--More--\"").remove);
    EXPECT_EQ(dialogue::ParseFail("FAIL \"% Invalid\""), "% Invalid");
    EXPECT_EQ(dialogue::ParseCapture("CAPTURE \"run.cfg\""), "run.cfg");
    EXPECT_EQ(dialogue::ParseCapture("capture off"), "");
    const std::pair<void (*)(const std::string&), std::string> bad[] = {
        {[](const std::string& l) { dialogue::ParseOn(l); }, "ON"},
        {[](const std::string& l) { dialogue::ParseOn(l); }, "ON \"\" SEND \"x\""},
        {[](const std::string& l) { dialogue::ParseOn(l); }, "ON \"x\" REPLY \"y\""},
        {[](const std::string& l) { dialogue::ParseOn(l); }, "ON \"x\" SEND y"},
        {[](const std::string& l) { dialogue::ParseFail(l); }, "FAIL"},
        {[](const std::string& l) { dialogue::ParseFail(l); }, "FAIL \"\""},
        {[](const std::string& l) { dialogue::ParseCapture(l); }, "CAPTURE"},
        {[](const std::string& l) { dialogue::ParseCapture(l); }, "CAPTURE \"\""},
        {[](const std::string& l) { dialogue::ParseCapture(l); }, "CAPTURE file.txt"},
    };
    for (const auto& [parse, line] : bad) EXPECT_EQ(ErrorOf(parse, line), 5) << line;
    ::unsetenv("DIALOGUE_TEST_UNSET");
    EXPECT_EQ(ErrorOf([](const std::string& l) { dialogue::ParseCapture(l); }, "CAPTURE \"%env:DIALOGUE_TEST_UNSET%\""),
              envtext::kErrUnset);
}

TEST(DialogueLines, EnvironmentPlaceholders) {
    ::setenv("DIALOGUE_TEST_A", "x%env:DIALOGUE_TEST_A%y", 1);
    ::setenv("DIALOGUE_TEST_EMPTY", "", 1);
    const std::pair<std::string, std::string> cases[] = {
        {"plain 100% text", "plain 100% text"},
        {"%env:DIALOGUE_TEST_A%", "x%env:DIALOGUE_TEST_A%y"},  // a value is not read again
        {"[%env:DIALOGUE_TEST_EMPTY%]", "[]"},
        {"%env:%  %env:1A% %env:A-B% %env:DIALOGUE_TEST_EMPTY", "%env:%  %env:1A% %env:A-B% %env:DIALOGUE_TEST_EMPTY"},
        {"%%env:DIALOGUE_TEST_EMPTY%%", "%%"},
    };
    for (const auto& [text, expanded] : cases) EXPECT_EQ(envtext::Expand(text), expanded) << text;
    try {
        envtext::Expand("a %env:DIALOGUE_TEST_UNSET% b");
        ADD_FAILURE() << "no error";
    } catch (const VbError& e) {
        EXPECT_EQ(e.Number, 43001);
        EXPECT_EQ(e.Description, "Environment variable DIALOGUE_TEST_UNSET is not set");
    }
}

TEST(DialogueMatcher, TextsSplitOverBlocksAreFoundInTheBlockThatCompletesThem) {
    struct Case {
        Texts blocks;
        std::vector<bool> matched;  // after each block
    } cases[] = {
        {{"rou", "ter1#"}, {false, true}},
        {{"r", "o", "u", "t", "e", "r", "1", "#"}, {false, false, false, false, false, false, false, true}},
        {{"ROU", "TER1# more"}, {false, true}},
        {{"router1", "x#"}, {false, false}},
        {{"xxrouter1#yy"}, {true}},
        {{"abcdefghrou", "", "ter1#"}, {false, false, true}},
    };
    for (const Case& k : cases) {
        Matcher m;
        m.ArmWait({"router1#"});
        for (size_t i = 0; i < k.blocks.size(); ++i)
            EXPECT_EQ(m.Feed(k.blocks[i]).waitMatched, k.matched[i]) << k.blocks[i];
    }
}

TEST(DialogueMatcher, RolesOfTheTexts) {
    Matcher m;
    // No WAIT armed: any non-empty block goes on, as after HOST or SEND.
    EXPECT_TRUE(m.Feed("x").waitMatched);
    EXPECT_FALSE(m.Feed("").waitMatched);
    m.ArmWait({"a#", "b>"});
    EXPECT_TRUE(m.SetResponder("--More--", " "));
    m.AddFail("% Inv");
    Matcher::Outcome o = m.Feed("page --Mo");
    EXPECT_FALSE(o.waitMatched);
    EXPECT_TRUE(o.replies.empty());
    o = m.Feed("re-- % In");
    EXPECT_EQ(o.replies, Texts{" "});
    EXPECT_FALSE(o.failed);
    o = m.Feed("valid b>");
    EXPECT_TRUE(o.failed);
    EXPECT_EQ(o.failText, "% Inv");
    EXPECT_TRUE(o.waitMatched);
    // A block that completes a text is consumed whole: its end does not count again.
    o = m.Feed("--More-- --Mo");
    EXPECT_EQ(o.replies.size(), 1u);
    EXPECT_TRUE(m.Feed("re--").replies.empty());
    m.RemoveResponder("--More--");
    EXPECT_TRUE(m.Feed("--More--").replies.empty());
    for (size_t i = 0; i < dialogue::kMaxResponders; ++i) EXPECT_TRUE(m.SetResponder("t" + std::to_string(i), "r"));
    EXPECT_FALSE(m.SetResponder("one more", "r"));
    EXPECT_TRUE(m.SetResponder("t0", "replaced"));
    EXPECT_EQ(m.Feed("t0").replies, Texts{"replaced"});
    // The block that ended HOST: only the WAIT looks at it.
    m.ArmWait({"login:"});
    EXPECT_TRUE(m.FeedWait("Welcome\r\nlogin: "));
}
