#include "script/text_search.h"

#include <cstdint>
#include <cstring>
#include <string>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace textsearch {

namespace {

bool IsLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

bool HasLetter(std::string_view text) {
    for (char c : text)
        if (IsLetter(static_cast<unsigned char>(c))) return true;
    return false;
}

bool EqualFolded(const unsigned char* a, const unsigned char* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

// The linear-time way: both sides folded, then memmem. Costs a copy of the text.
bool FoldedMemmem(std::string_view text, std::string_view find) {
    std::string t(text), f(find);
    for (char& c : t) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
    for (char& c : f) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
    return ::memmem(t.data(), t.size(), f.data(), f.size()) != nullptr;
}

// How a byte of the text is compared with a byte c of find: (byte | orBits)
// == value. For a letter, setting bit 0x20 makes both cases the lower one
// (and only they map there); any other byte compares exactly.
struct ByteTest {
    unsigned char orBits;
    unsigned char value;
    explicit ByteTest(unsigned char c)
        : orBits(IsLetter(c) ? 0x20 : 0), value(static_cast<unsigned char>(IsLetter(c) ? (c | 0x20) : c)) {}
    bool Matches(unsigned char b) const { return static_cast<unsigned char>(b | orBits) == value; }
};

}  // namespace

bool ContainsFolded(std::string_view text, std::string_view find) {
    const size_t m = find.size();
    const size_t n = text.size();
    if (m == 0) return true;
    if (m > n) return false;
    if (!HasLetter(find)) return ::memmem(text.data(), n, find.data(), m) != nullptr;

    const auto* t = reinterpret_cast<const unsigned char*>(text.data());
    const auto* f = reinterpret_cast<const unsigned char*>(find.data());
    const ByteTest first(f[0]), last(f[m - 1]);
    const size_t end = n - m + 1;  // candidate positions are 0 .. end - 1
    size_t compared = 0;           // bytes of full comparisons so far
    auto verify = [&](size_t pos) {
        compared += m;
        return m <= 2 || EqualFolded(t + pos + 1, f + 1, m - 2);
    };
    size_t i = 0;
#ifdef __SSE2__
    const __m128i firstOr = _mm_set1_epi8(static_cast<char>(first.orBits));
    const __m128i firstValue = _mm_set1_epi8(static_cast<char>(first.value));
    const __m128i lastOr = _mm_set1_epi8(static_cast<char>(last.orBits));
    const __m128i lastValue = _mm_set1_epi8(static_cast<char>(last.value));
    for (; i + 16 <= end; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + i + m - 1));
        const __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, firstOr), firstValue),
                                          _mm_cmpeq_epi8(_mm_or_si128(b, lastOr), lastValue));
        uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(hit));
        while (mask != 0) {
            if (verify(i + static_cast<size_t>(__builtin_ctz(mask)))) return true;
            mask &= mask - 1;
        }
        if (compared > n) return FoldedMemmem(text.substr(i + 16), find);
    }
#endif
    for (; i < end; ++i) {
        if (first.Matches(t[i]) && last.Matches(t[i + m - 1]) && verify(i)) return true;
        if (compared > n) return FoldedMemmem(text.substr(i + 1), find);
    }
    return false;
}

}  // namespace textsearch
