// The cost of the WAIT search per megabyte received: a long WAIT text
// (8,000 characters) next to a short one (100), the short one next to a plain
// memchr over the same bytes, and next to the position-by-position search the
// program used before. The blocks are text lines of the kind a host sends
// (letters, spaces, CRLF) and never hold the WAIT text, so every byte is
// searched; the WAIT texts are drawn from the same letters, so their first
// and last characters are common in the blocks. Last, the search with the
// carried tail (the dialogue matcher a WAIT uses, which also finds a text
// split over blocks) next to the plain search of each block.
//
//   wait_search_bench [--quick]
// Prints ROW lines for bench/run.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "script/dialogue_matcher.h"
#include "script/mod_misc.h"

namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool NaiveContains(std::string_view text, std::string_view find) {
    for (size_t pos = 0; pos + find.size() <= text.size(); ++pos) {
        size_t i = 0;
        while (i < find.size() && Fold(text[pos + i]) == Fold(find[i])) ++i;
        if (i == find.size()) return true;
    }
    return false;
}

std::string Words(std::mt19937& rng, size_t size, bool lines) {
    std::string s;
    s.reserve(size);
    while (s.size() < size) {
        const size_t word = 2 + rng() % 8;
        for (size_t i = 0; i < word; ++i) s.push_back(static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % 26));
        s += (lines && rng() % 10 == 0) ? "\r\n" : " ";
    }
    s.resize(size);
    return s;
}

// Milliseconds per megabyte: the fastest of several passes over all blocks.
template <typename Search>
double MsPerMb(const std::vector<std::string>& blocks, int passes, Search search) {
    size_t bytes = 0;
    for (const auto& b : blocks) bytes += b.size();
    double best = 1e300;
    volatile size_t sink = 0;
    for (int p = 0; p < passes; ++p) {
        auto start = std::chrono::steady_clock::now();
        for (const auto& b : blocks) sink = sink + (search(b) ? 1 : 0);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (ms < best) best = ms;
    }
    if (sink != 0) std::fprintf(stderr, "unexpected match\n");
    return best / (static_cast<double>(bytes) / (1 << 20));
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int passes = quick ? 3 : 15;
    std::mt19937 rng(42);
    std::vector<std::string> blocks;
    for (int i = 0; i < (quick ? 8 : 32); ++i) blocks.push_back(Words(rng, 128 * 1024, true));
    const std::string shortText = Words(rng, 100, false);
    const std::string longText = Words(rng, 8000, false);

    const double longMs = MsPerMb(blocks, passes, [&](const std::string& b) { return modMisc::ContainsText(b, longText); });
    const double shortMs = MsPerMb(blocks, passes, [&](const std::string& b) { return modMisc::ContainsText(b, shortText); });
    const double memchrMs = MsPerMb(blocks, passes, [](const std::string& b) { return std::memchr(b.data(), '#', b.size()) != nullptr; });
    const double naiveMs = MsPerMb(blocks, quick ? 1 : 3, [&](const std::string& b) { return NaiveContains(b, shortText); });

    dialogue::Matcher matcher;
    matcher.ArmWait({shortText});
    const double carriedMs = MsPerMb(blocks, passes, [&](const std::string& b) { return matcher.Feed(b).waitMatched; });
    const double plainMs = MsPerMb(blocks, passes, [&](const std::string& b) { return modMisc::ContainsText(b, shortText); });

    std::printf("ROW\tWAIT search per MB, 8000-char text\t%.3f ms\t%.3f ms (100-char text)\t%.2fx\n", longMs, shortMs,
                longMs / shortMs);
    std::printf("ROW\tWAIT search per MB, 100-char text\t%.3f ms\t%.3f ms (memchr)\t%.2fx\n", shortMs, memchrMs,
                shortMs / memchrMs);
    std::printf("ROW\t    same, against the search it replaced\t%.3f ms\t%.3f ms (byte-by-byte search)\t%.3fx\n",
                shortMs, naiveMs, shortMs / naiveMs);
    std::printf("ROW\tWAIT with carried tail per MB, 100-char text\t%.3f ms\t%.3f ms (search of each block alone)\t%.2fx\n",
                carriedMs, plainMs, carriedMs / plainMs);
    return 0;
}
