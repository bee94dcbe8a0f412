#include "script/text_search.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/byte_search.h"

#ifdef __SSE2__
#include <immintrin.h>
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

// How many leading bytes of a and b are equal when folded (n when all are).
size_t EqualPrefix(const unsigned char* a, const unsigned char* b, size_t n) {
    size_t i = 0;
    while (i < n && Fold(a[i]) == Fold(b[i])) ++i;
    return i;
}

// The linear-time way: both sides folded, then memmem. Costs a copy of the text.
bool FoldedMemmem(std::string_view text, std::string_view find) {
    std::string t(text), f(find);
    for (char& c : t) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
    for (char& c : f) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
    return bytes::Find(t.data(), t.size(), f.data(), f.size()) != nullptr;
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

// One search: the block, the text, the two byte tests, and the bytes spent
// on full comparisons so far.
struct Scan {
    const unsigned char* t;
    const unsigned char* f;
    size_t n, m, end;  // candidate positions are 0 .. end - 1
    ByteTest first, last;
    size_t compared = 0;

    bool Verify(size_t pos) {
        if (m <= 2) return true;
        const size_t equal = EqualPrefix(t + pos + 1, f + 1, m - 2);
        compared += equal + 1;
        return equal == m - 2;
    }
    // The candidates of mask (bit k: position base + k): 1 found, -1 the
    // comparison budget (the block's length) is spent, 0 none matched.
    int Check(uint64_t mask, size_t base) {
        while (mask != 0) {
            if (Verify(base + static_cast<size_t>(__builtin_ctzll(mask)))) return 1;
            mask &= mask - 1;
        }
        return compared > n ? -1 : 0;
    }
};

#ifdef __SSE2__
// Scans 64 positions at a time from i while they fit; returns as Check does,
// with i at the first position not yet scanned.
int ScanSse2(Scan& s, size_t& i) {
    const __m128i firstOr = _mm_set1_epi8(static_cast<char>(s.first.orBits));
    const __m128i firstValue = _mm_set1_epi8(static_cast<char>(s.first.value));
    const __m128i lastOr = _mm_set1_epi8(static_cast<char>(s.last.orBits));
    const __m128i lastValue = _mm_set1_epi8(static_cast<char>(s.last.value));
    auto hits = [&](const unsigned char* p) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + s.m - 1));
        return _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, firstOr), firstValue),
                             _mm_cmpeq_epi8(_mm_or_si128(b, lastOr), lastValue));
    };
    for (; i + 64 <= s.end; i += 64) {
        const unsigned char* p = s.t + i;
        const __m128i h0 = hits(p), h1 = hits(p + 16), h2 = hits(p + 32), h3 = hits(p + 48);
        const __m128i any = _mm_or_si128(_mm_or_si128(h0, h1), _mm_or_si128(h2, h3));
        if (_mm_movemask_epi8(any) == 0) continue;
        const uint64_t mask = static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(h0))) |
                              static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(h1))) << 16 |
                              static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(h2))) << 32 |
                              static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(h3))) << 48;
        if (int r = s.Check(mask, i); r != 0) {
            i += 64;
            return r;
        }
    }
    return 0;
}

// The same with 32-byte registers, where the processor has them.
__attribute__((target("avx2"))) int ScanAvx2(Scan& s, size_t& i) {
    const __m256i firstOr = _mm256_set1_epi8(static_cast<char>(s.first.orBits));
    const __m256i firstValue = _mm256_set1_epi8(static_cast<char>(s.first.value));
    const __m256i lastOr = _mm256_set1_epi8(static_cast<char>(s.last.orBits));
    const __m256i lastValue = _mm256_set1_epi8(static_cast<char>(s.last.value));
    auto hits = [&](const unsigned char* p) __attribute__((target("avx2"))) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + s.m - 1));
        return _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(a, firstOr), firstValue),
                                _mm256_cmpeq_epi8(_mm256_or_si256(b, lastOr), lastValue));
    };
    for (; i + 64 <= s.end; i += 64) {
        const __m256i h0 = hits(s.t + i), h1 = hits(s.t + i + 32);
        if (_mm256_testz_si256(_mm256_or_si256(h0, h1), _mm256_or_si256(h0, h1))) continue;
        const uint64_t mask = static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(h0))) |
                              static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(h1))) << 32;
        if (int r = s.Check(mask, i); r != 0) {
            i += 64;
            return r;
        }
    }
    return 0;
}

bool g_haveAvx2 = __builtin_cpu_supports("avx2");
#endif

}  // namespace

bool ContainsFolded(std::string_view text, std::string_view find) {
    const size_t m = find.size();
    const size_t n = text.size();
    if (m == 0) return true;
    if (m > n) return false;
    if (!HasLetter(find)) return bytes::Find(text.data(), n, find.data(), m) != nullptr;

    Scan s{reinterpret_cast<const unsigned char*>(text.data()), reinterpret_cast<const unsigned char*>(find.data()),
           n, m, n - m + 1, ByteTest(static_cast<unsigned char>(find[0])),
           ByteTest(static_cast<unsigned char>(find[m - 1]))};
    size_t i = 0;
#ifdef __SSE2__
    const int r = g_haveAvx2 ? ScanAvx2(s, i) : ScanSse2(s, i);
    if (r > 0) return true;
    if (r < 0) return FoldedMemmem(text.substr(i), find);
#endif
    for (; i < s.end; ++i) {
        if (s.first.Matches(s.t[i]) && s.last.Matches(s.t[i + m - 1]) && s.Verify(i)) return true;
        if (s.compared > n) return FoldedMemmem(text.substr(i + 1), find);
    }
    return false;
}

bool UseWideRegisters(bool on) {
#ifdef __SSE2__
    g_haveAvx2 = on && __builtin_cpu_supports("avx2");
    return g_haveAvx2;
#else
    (void)on;
    return false;
#endif
}

}  // namespace textsearch
