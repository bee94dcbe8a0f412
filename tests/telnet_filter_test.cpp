// The telnet filter on its own: data, commands, the options table, the
// subnegotiation answer, CR NUL, doubled 255 bytes, and every input fed whole,
// byte by byte and split at every position giving the same result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/telnet/telnet_filter.h"

using namespace telnet;

namespace {

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += static_cast<char>(b);
    return s;
}

struct Result {
    std::string data;
    std::string replies;
    bool operator==(const Result&) const = default;
};

Result Feed(const std::vector<std::string>& blocks) {
    TelnetFilter f;
    Result r;
    for (const std::string& b : blocks) f.Receive(b, r.data, r.replies);
    return r;
}

// The whole input at once; then checks that any split into two or three
// blocks, and one byte per block, gives exactly the same.
Result FeedSplitAnywhere(const std::string& input) {
    Result whole = Feed({input});
    std::vector<std::string> bytes;
    for (char c : input) bytes.emplace_back(1, c);
    EXPECT_EQ(Feed(bytes), whole) << "byte by byte";
    for (size_t i = 0; i <= input.size(); ++i) {
        for (size_t j = i; j <= input.size(); ++j) {
            Result split = Feed({input.substr(0, i), input.substr(i, j - i), input.substr(j)});
            EXPECT_EQ(split, whole) << "split at " << i << " and " << j;
        }
    }
    return whole;
}

const std::string kTtypeIs = B({IAC, SB, 24, 0}) + "VT100" + B({IAC, SE});

}  // namespace

TEST(TelnetFilter, PlainDataPassesAndDoubled255IsOneDataByte) {
    Result r = FeedSplitAnywhere("login: " + B({IAC, IAC, 'x', IAC, IAC, IAC, IAC}));
    EXPECT_EQ(r.data, "login: " + B({255, 'x', 255, 255}));
    EXPECT_EQ(r.replies, "");
}

TEST(TelnetFilter, EveryByteValueButIacPassesUnchanged) {
    std::string all;
    for (int b = 0; b < 255; ++b) {
        if (b != 13) all += static_cast<char>(b);  // CR NUL is tested on its own
    }
    Result r = Feed({all});
    EXPECT_EQ(r.data, all);
}

TEST(TelnetFilter, CrNulIsABareCrAndOtherNulsStay) {
    Result r = FeedSplitAnywhere("\r" + B({0}) + "\r\nTest\r" + B({0}) + "a" + B({0}) + "\r" + B({IAC, IAC}));
    EXPECT_EQ(r.data, "\r\r\nTest\ra" + B({0}) + "\r" + B({255}));
}

TEST(TelnetFilter, TwoByteCommandsAreDropped) {
    // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, and a stray SE.
    Result r = FeedSplitAnywhere(B({'a', IAC, 241, IAC, 242, IAC, 243, IAC, 244, IAC, 245, IAC, 246, 'b', IAC,
                                    247, IAC, 248, IAC, 249, IAC, SE, 'c'}));
    EXPECT_EQ(r.data, "abc");
    EXPECT_EQ(r.replies, "");
}

TEST(TelnetFilter, RouterGreetingIsAnsweredByTheOptionsTable) {
    Result r = FeedSplitAnywhere(B({IAC, WILL, OPT_ECHO, IAC, WILL, OPT_SGA, IAC, DO, OPT_TTYPE, IAC, DO, 31}) +
                                 "\r\nUsername: ");
    EXPECT_EQ(r.data, "\r\nUsername: ");
    EXPECT_EQ(r.replies, B({IAC, DO, OPT_ECHO, IAC, DO, OPT_SGA, IAC, WILL, OPT_TTYPE, IAC, WONT, 31}));
}

TEST(TelnetFilter, OptionsWeAcceptAndRefuse) {
    TelnetFilter f;
    std::string data, replies;
    f.Receive(B({IAC, DO, OPT_SGA, IAC, WILL, 24, IAC, DO, OPT_ECHO, IAC, WILL, 32, IAC, DO, 39}), data, replies);
    EXPECT_EQ(replies, B({IAC, WILL, OPT_SGA, IAC, DONT, 24, IAC, WONT, OPT_ECHO, IAC, DONT, 32, IAC, WONT, 39}));
    EXPECT_TRUE(f.LocalEnabled(OPT_SGA));
    EXPECT_FALSE(f.LocalEnabled(OPT_ECHO));
    EXPECT_FALSE(f.HostEnabled(24));
    // Every option number the table does not name is refused both ways.
    for (int opt = 0; opt < 256; ++opt) {
        TelnetFilter g;
        std::string d, rep;
        g.Receive(B({IAC, WILL, opt, IAC, DO, opt}), d, rep);
        bool hostOk = opt == OPT_ECHO || opt == OPT_SGA;
        bool localOk = opt == OPT_SGA || opt == OPT_TTYPE;
        EXPECT_EQ(rep, B({IAC, hostOk ? DO : DONT, opt, IAC, localOk ? WILL : WONT, opt})) << opt;
        EXPECT_EQ(d, "");
    }
}

TEST(TelnetFilter, RepeatedRequestsThatChangeNothingGetNoAnswer) {
    TelnetFilter f;
    std::string data, replies;
    f.Receive(B({IAC, WILL, OPT_ECHO, IAC, WILL, OPT_ECHO, IAC, WILL, OPT_ECHO}), data, replies);
    EXPECT_EQ(replies, B({IAC, DO, OPT_ECHO}));
    replies.clear();
    // Turning off: one answer; off again: none; on again: one.
    f.Receive(B({IAC, WONT, OPT_ECHO, IAC, WONT, OPT_ECHO, IAC, WILL, OPT_ECHO}), data, replies);
    EXPECT_EQ(replies, B({IAC, DONT, OPT_ECHO, IAC, DO, OPT_ECHO}));
    replies.clear();
    f.Receive(B({IAC, DO, OPT_TTYPE, IAC, DO, OPT_TTYPE, IAC, DONT, OPT_TTYPE, IAC, DONT, OPT_TTYPE}), data,
              replies);
    EXPECT_EQ(replies, B({IAC, WILL, OPT_TTYPE, IAC, WONT, OPT_TTYPE}));
    replies.clear();
    // WONT and DONT of options never enabled are not answered.
    f.Receive(B({IAC, WONT, 5, IAC, DONT, 5, IAC, DONT, OPT_SGA}), data, replies);
    EXPECT_EQ(replies, "");
    EXPECT_EQ(data, "");
}

TEST(TelnetFilter, ARefusedOptionAskedForAgainGetsNoAnswer) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {B({IAC, WILL, 99, IAC, WILL, 99, IAC, WILL, 99}), B({IAC, DONT, 99})},
        {B({IAC, DO, 99, IAC, DO, 99, IAC, DO, 99}), B({IAC, WONT, 99})},
        {B({IAC, DO, OPT_ECHO, IAC, DO, OPT_ECHO}), B({IAC, WONT, OPT_ECHO})},
        {B({IAC, WILL, OPT_TTYPE, IAC, WILL, OPT_TTYPE}), B({IAC, DONT, OPT_TTYPE})},
        // The host's own WONT after our refusal changes nothing either.
        {B({IAC, WILL, 99, IAC, WONT, 99, IAC, WILL, 99, IAC, DO, 99, IAC, DONT, 99, IAC, DO, 99}),
         B({IAC, DONT, 99, IAC, WONT, 99})},
    };
    for (const auto& [asked, answered] : cases) {
        Result r = FeedSplitAnywhere(asked + "x");
        EXPECT_EQ(r.replies, answered);
        EXPECT_EQ(r.data, "x");
    }
    // A million repeats cost no answer at all.
    TelnetFilter f;
    std::string data, replies;
    f.Receive(B({IAC, DO, 99}), data, replies);
    std::string flood;
    for (int i = 0; i < 1000000; ++i) flood += B({IAC, DO, 99, IAC, WILL, 98});
    replies.clear();
    f.Receive(flood, data, replies);
    EXPECT_EQ(replies, B({IAC, DONT, 98}));
}

TEST(TelnetFilter, TerminalTypeSendIsAnsweredWithVt100) {
    Result r = FeedSplitAnywhere(B({IAC, DO, OPT_TTYPE, 'a', IAC, SB, OPT_TTYPE, TTYPE_SEND, IAC, SE, 'b'}));
    EXPECT_EQ(r.data, "ab");
    EXPECT_EQ(r.replies, B({IAC, WILL, OPT_TTYPE}) + kTtypeIs);
}

TEST(TelnetFilter, TerminalTypeSendBeforeDoIsNotAnswered) {
    Result r = Feed({B({IAC, SB, OPT_TTYPE, TTYPE_SEND, IAC, SE}) + "x"});
    EXPECT_EQ(r.data, "x");
    EXPECT_EQ(r.replies, "");
}

TEST(TelnetFilter, SubnegotiationsOfAnyLengthAreTakenOut) {
    // Another option's subnegotiation holding doubled 255s and SE bytes, then
    // a long one: none of it is data, none of it is answered.
    std::string body(100000, 'z');
    Result r = Feed({B({IAC, SB, 39, IAC, IAC, SE, 1, 2}), B({IAC, SE}) + "a",
                     B({IAC, SB, 39}) + body, body, B({IAC}), B({SE}) + "b"});
    EXPECT_EQ(r.data, "ab");
    EXPECT_EQ(r.replies, "");
}

TEST(TelnetFilter, SubnegotiationEndedByAnotherCommandTakesThatCommand) {
    Result r = FeedSplitAnywhere(B({IAC, SB, 39, 1, IAC, WILL, OPT_ECHO, 'a', IAC, SB, 5, IAC, IAC, IAC, SE, IAC, IAC}));
    EXPECT_EQ(r.data, "a" + B({255}));
    EXPECT_EQ(r.replies, B({IAC, DO, OPT_ECHO}));
}

TEST(TelnetFilter, EncodeDoublesEach255AndChangesNothingElse) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(TelnetEncode(all), all + B({255}));
    EXPECT_EQ(TelnetEncode(B({255, 255, 'a', '\r', '\n'})), B({255, 255, 255, 255, 'a', '\r', '\n'}));
    EXPECT_EQ(TelnetEncode(""), "");
    // What the encoder makes, the filter reads back as the same data.
    Result r = Feed({TelnetEncode(all.substr(0, 13) + all.substr(14))});
    EXPECT_EQ(r.data, all.substr(0, 13) + all.substr(14));
}
