// Finding a run of bytes in a block: the C library's memmem where it has
// one (glibc's is linear and fast), otherwise a plain search.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace bytes {

inline const void* Find(const void* haystack, size_t n, const void* needle, size_t m) {
#ifdef _WIN32
    if (m == 0) return haystack;
    const char* h = static_cast<const char*>(haystack);
    const char* f = static_cast<const char*>(needle);
    const char* hit = std::search(h, h + n, f, f + m);
    return hit == h + n ? nullptr : hit;
#else
    return ::memmem(haystack, n, needle, m);
#endif
}

}  // namespace bytes
