// The text operations behind scripts: modMisc, line cleaning, quoted
// arguments, DELAY values and the cutting of a script into lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>

#include "platform/vb_error.h"
#include "script/mod_misc.h"
#include "script/script_text.h"

using namespace std::string_literals;
using modMisc::ContainsText;
using modMisc::CountOccurrences;
using modMisc::GetWord;
using scripttext::CleanLine;
using scripttext::GetQuotedText;

namespace {

int ErrorNumberOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const VbError& e) {
        return e.Number;
    }
    return 0;
}

}  // namespace

TEST(GetWord, FieldsSplitByOneSeparator) {
    EXPECT_EQ(GetWord("HOST gw1 23", " ", 1), "HOST");
    EXPECT_EQ(GetWord("HOST gw1 23", " ", 2), "gw1");
    EXPECT_EQ(GetWord("HOST gw1 23", " ", 3), "23");
    EXPECT_EQ(GetWord("HOST gw1", " ", 3), "");
    EXPECT_EQ(GetWord("HOST  gw1", " ", 2), "") << "the field between two spaces";
    EXPECT_EQ(GetWord("HOST  gw1", " ", 3), "gw1");
    EXPECT_EQ(GetWord("nothing", " ", 1), "nothing");
    EXPECT_EQ(GetWord("", " ", 1), "");
    EXPECT_EQ(GetWord("a b", " ", 0), "");
}

TEST(GetWord, MultiCharacterSeparatorsAndExactComparison) {
    EXPECT_EQ(GetWord("/r:a.txt /o:out.txt", "/r:", 2), "a.txt /o:out.txt");
    EXPECT_EQ(GetWord("/R:a.txt", "/r:", 2), "") << "only the lower-case marker separates";
    EXPECT_EQ(GetWord("x/r:one/r:two", "/r:", 3), "two");
    EXPECT_EQ(GetWord("x/r:one/r:two", "/r:", 2), "one");
    EXPECT_EQ(GetWord("ends with sep ", " ", 4), "") << "an empty last field";
    // The last field is searched in the text with one separator appended, so
    // a separator that overlaps itself may end it inside the text's tail.
    EXPECT_EQ(GetWord("a-", "--", 1), "a");
}

TEST(CountOccurrences, CountsOverlappingHits) {
    EXPECT_EQ(CountOccurrences("a b c", " "), 2);
    EXPECT_EQ(CountOccurrences("aaaa", "aa"), 3);
    EXPECT_EQ(CountOccurrences("abc", "x"), 0);
    EXPECT_EQ(CountOccurrences("", " "), 0);
    EXPECT_EQ(CountOccurrences("ABC", "b"), 0) << "exact comparison";
}

TEST(ContainsText, CaseInsensitiveAnywhere) {
    EXPECT_TRUE(ContainsText("LOGIN:", "login:"));
    EXPECT_TRUE(ContainsText("Welcome\r\nLogin: ", "login:"));
    EXPECT_TRUE(ContainsText("abc", ""));
    EXPECT_FALSE(ContainsText("", ""));
    EXPECT_FALSE(ContainsText("Log", "login:"));
    EXPECT_FALSE(ContainsText("in:", "login:"));
    EXPECT_TRUE(ContainsText("a\0b"s, "\0B"s)) << "NUL bytes are ordinary characters";
    EXPECT_FALSE(ContainsText("\xC9", "\xE9")) << "only ASCII letters fold";
}

TEST(AddBackslash, AppendsSlashOnce) {
    EXPECT_EQ(modMisc::AddBackslash("/opt/tools"), "/opt/tools/");
    EXPECT_EQ(modMisc::AddBackslash("/opt/tools/"), "/opt/tools/");
    EXPECT_EQ(modMisc::AddBackslash(""), "/");
}

TEST(GetBetween, DelimitersStartAndDirection) {
    int32_t start = 0;
    EXPECT_EQ(modMisc::GetBetween("<", ">", "x<ab>c<d>", start, true, false), "ab");
    EXPECT_EQ(start, 1) << "a start of 0 becomes 1 for the caller";
    start = 3;
    EXPECT_EQ(modMisc::GetBetween("<", ">", "x<ab>c<d>", start, true, false), "d");
    start = 1;
    EXPECT_EQ(modMisc::GetBetween("<", ">", "x<ab>c<d>", start, true, true), "ab>c<d");
    start = 1;
    EXPECT_EQ(modMisc::GetBetween("[A", "b]", "x[aQb]", start, true, false), "") << "exact";
    EXPECT_EQ(modMisc::GetBetween("[A", "b]", "x[aQB]", start, false, false), "Q");
    EXPECT_EQ(modMisc::GetBetween("<", ">", "no delimiters", start, true, false), "");
    EXPECT_EQ(modMisc::GetBetween("<", ">", "open only <", start, true, false), "");
    EXPECT_EQ(ErrorNumberOf([] {
                  int32_t s = 1;
                  modMisc::GetBetween("\"", "\"", "one \" only", s, false, true);
              }),
              5);
}

TEST(CleanLine, TabsBecomeSpacesThenTrim) {
    EXPECT_EQ(CleanLine("\tSEND\t  "), "SEND");
    EXPECT_EQ(CleanLine("  ECHO\t\"a\tb\" "), "ECHO \"a b\"");
    EXPECT_EQ(CleanLine("\r"), "\r") << "control characters stay";
    EXPECT_EQ(CleanLine(" \t "), "");
    EXPECT_EQ(CleanLine(""), "");
}

TEST(GetQuotedText, ArgumentBetweenFirstAndLastQuote) {
    EXPECT_EQ(GetQuotedText("SEND \"abc\""), "abc");
    EXPECT_EQ(GetQuotedText("ECHO \"\""), "");
    EXPECT_EQ(GetQuotedText("ECHO nothing quoted"), "");
    EXPECT_EQ(GetQuotedText("SEND \"x \"a b\" y\""), "x \"a b\" y");
    EXPECT_EQ(GetQuotedText("ECHO before \"inside\" after"), "inside");
    EXPECT_EQ(ErrorNumberOf([] { GetQuotedText("ECHO \"open"); }), 5);
}

TEST(GetQuotedText, Escapes) {
    EXPECT_EQ(GetQuotedText("SEND \"guest\\n\""), "guest\r\n");
    EXPECT_EQ(GetQuotedText("SEND \"a\\Nb\""), "a\r\nb");
    EXPECT_EQ(GetQuotedText("ECHO \"say \\\"hi\\\"\""), "say \"hi\"");
    EXPECT_EQ(GetQuotedText("ECHO \"c:\\temp\""), "c:\\temp") << "other backslashes stay";
    EXPECT_EQ(GetQuotedText("ECHO \"\\\\n\""), "\\\r\n") << "no escape for the backslash itself";
    EXPECT_EQ(GetQuotedText("ECHO \"\\n\\\"\""), "\r\n\"") << "\\n is replaced before \\\"";
}

TEST(DelayMilliseconds, LeadingNumberRoundedTiesToEven) {
    using scripttext::DelayMilliseconds;
    EXPECT_EQ(DelayMilliseconds("1.5"), 2000u);
    EXPECT_EQ(DelayMilliseconds("2.5"), 2000u);
    EXPECT_EQ(DelayMilliseconds("3.5"), 4000u);
    EXPECT_EQ(DelayMilliseconds("0.4"), 0u);
    EXPECT_EQ(DelayMilliseconds("abc"), 0u);
    EXPECT_EQ(DelayMilliseconds(""), 0u);
    EXPECT_EQ(DelayMilliseconds("3s"), 3000u);
    EXPECT_EQ(DelayMilliseconds("+2"), 2000u);
    EXPECT_EQ(DelayMilliseconds(".6"), 1000u);
    EXPECT_EQ(DelayMilliseconds("7."), 7000u);
    EXPECT_EQ(DelayMilliseconds("-"), 0u);
    EXPECT_EQ(DelayMilliseconds("-5"), 0u) << "a negative pause is no pause";
    EXPECT_EQ(DelayMilliseconds("2147483"), 2147483000u);
    EXPECT_EQ(DelayMilliseconds("2147483.4"), 2147483000u);
    EXPECT_EQ(DelayMilliseconds("-2147483"), 0u);
}

TEST(DelayMilliseconds, OverflowIsError6) {
    using scripttext::DelayMilliseconds;
    for (const char* word : {"2147484", "2147483.5", "-2147484", "-2147483.6", "99999999999999999999"}) {
        try {
            DelayMilliseconds(word);
            ADD_FAILURE() << word << " did not overflow";
        } catch (const VbError& e) {
            EXPECT_EQ(e.Number, 6) << word;
            EXPECT_EQ(e.Description, "Overflow");
        }
    }
    EXPECT_EQ(DelayMilliseconds("1e999"), 1000u) << "no exponent: the number is 1";
}

TEST(ScriptLines, CrLfAndLoneLfEndLines) {
    scripttext::ScriptLines lines;
    lines.Assign("one\r\ntwo\nthree\rstill three\r\n");
    ASSERT_EQ(lines.LastLine(), 3);
    EXPECT_EQ(lines.Line(0), "one");
    EXPECT_EQ(lines.Line(1), "two");
    EXPECT_EQ(lines.Line(2), "three\rstill three");
    EXPECT_EQ(lines.Line(3), "") << "a break at the end yields a last, empty line";
    EXPECT_EQ(lines.Line(1), "two") << "going back rescans";
    EXPECT_EQ(lines.Line(4), "");
}

TEST(ScriptLines, EmptyTextHasNoLinesOneLineTextHasOne) {
    scripttext::ScriptLines lines;
    lines.Assign("");
    EXPECT_EQ(lines.LastLine(), -1);
    lines.Assign("ECHO \"x\"");
    ASSERT_EQ(lines.LastLine(), 0);
    EXPECT_EQ(lines.Line(0), "ECHO \"x\"");
    lines.Assign("\r\r\n\n");
    ASSERT_EQ(lines.LastLine(), 2);
    EXPECT_EQ(lines.Line(0), "\r") << "only the CR right before the LF belongs to the ending";
    EXPECT_EQ(lines.Line(1), "");
    EXPECT_EQ(lines.Line(2), "");
}

TEST(ReadWholeFile, BytesUnchangedAndErrors) {
    char name[] = "/tmp/varnel_rwf_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    all += all;
    ASSERT_EQ(write(fd, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    close(fd);
    EXPECT_EQ(modMisc::ReadWholeFile(name), all);
    std::ofstream(name, std::ios::trunc).close();
    EXPECT_EQ(modMisc::ReadWholeFile(name), "");
    unlink(name);
    EXPECT_EQ(ErrorNumberOf([&] { modMisc::ReadWholeFile(name); }), 53);
    EXPECT_EQ(ErrorNumberOf([] { modMisc::ReadWholeFile("/tmp"); }), 75);
    if (geteuid() != 0) {
        EXPECT_EQ(ErrorNumberOf([] { modMisc::ReadWholeFile("/etc/shadow"); }), 70);
    }
}
