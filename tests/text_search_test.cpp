// The WAIT search against the plain position-by-position search it replaces:
// the same answer on random blocks and texts, including the cases that take
// its other ways (texts without letters, repetitive blocks that exhaust the
// comparison budget, bytes above 127 that must not fold).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "script/mod_misc.h"
#include "script/text_search.h"

namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The search as it was: every position, byte by byte, ASCII letters folded.
bool NaiveContains(std::string_view text, std::string_view find) {
    if (find.empty()) return true;
    for (size_t pos = 0; pos + find.size() <= text.size(); ++pos) {
        size_t i = 0;
        while (i < find.size() && Fold(text[pos + i]) == Fold(find[i])) ++i;
        if (i == find.size()) return true;
    }
    return false;
}

std::string RandomText(std::mt19937& rng, const std::string& alphabet, size_t size) {
    std::string s(size, ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
}

}  // namespace

TEST(TextSearch, AgreesWithTheNaiveSearchOnRandomInputs) {
  for (bool wide : {true, false}) {
    SCOPED_TRACE(textsearch::UseWideRegisters(wide) ? "32-byte registers" : "16-byte registers");
    std::mt19937 rng(20261208);
    const std::string alphabets[] = {"aA", "abAB", "aAbB@`[{", "xyzXYZ\r\n>#", std::string("a\xc1\xe1", 3), "01-"};
    size_t found = 0, cases = 0;
    for (const std::string& alphabet : alphabets) {
        for (int round = 0; round < 4000; ++round) {
            const size_t n = rng() % 300;
            const size_t m = 1 + rng() % (round % 10 == 0 ? 120 : 6);
            std::string text = RandomText(rng, alphabet, n);
            std::string find = RandomText(rng, alphabet, m);
            if (round % 3 == 0 && n >= m) {
                // Plant the text, in a random mix of cases, at a random place.
                size_t at = rng() % (n - m + 1);
                for (size_t i = 0; i < m; ++i) {
                    char c = find[i];
                    if (rng() % 2 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
                    text[at + i] = c;
                }
            }
            const bool expected = NaiveContains(text, find);
            ASSERT_EQ(textsearch::ContainsFolded(text, find), expected)
                << "text [" << text << "] find [" << find << "]";
            found += expected;
            ++cases;
        }
    }
    EXPECT_GT(found, cases / 10) << "the inputs must hold matches too";
    EXPECT_LT(found, cases - cases / 10) << "and misses";
  }
  textsearch::UseWideRegisters(true);
}

TEST(TextSearch, RepetitiveBlocksLongTextsAndEdges) {
    // A block that nearly matches everywhere exhausts the comparison budget.
    const std::string block(100000, 'a');
    const std::string almost = std::string(3999, 'a') + "b" + std::string(4000, 'A');
    EXPECT_FALSE(textsearch::ContainsFolded(block, almost));
    EXPECT_TRUE(textsearch::ContainsFolded(block + "B" + block, almost));
    EXPECT_TRUE(textsearch::ContainsFolded(block.substr(0, 3999) + "B" + block, almost));
    EXPECT_TRUE(textsearch::ContainsFolded(block + "B", std::string(7999, 'A') + "b"));
    EXPECT_TRUE(textsearch::ContainsFolded(block, ""));
    EXPECT_TRUE(textsearch::ContainsFolded("", ""));
    EXPECT_FALSE(textsearch::ContainsFolded("ab", "abc"));
    EXPECT_TRUE(textsearch::ContainsFolded("xxLOGIN: ", "login:"));
    EXPECT_FALSE(textsearch::ContainsFolded("\xc1", "\xe1")) << "only ASCII letters fold";
    EXPECT_FALSE(textsearch::ContainsFolded("@", "`"));
    EXPECT_TRUE(textsearch::ContainsFolded("a-->b", "-->"));
    // The WAIT rule on top: an empty block matches nothing, an empty text any other block.
    EXPECT_FALSE(modMisc::ContainsText("", ""));
    EXPECT_TRUE(modMisc::ContainsText("x", ""));
}
