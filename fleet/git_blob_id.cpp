#include "fleet/git_blob_id.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace fleet {

namespace {

uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// SHA-1 over data fed in any number of pieces.
class Sha1 {
public:
    void Add(std::string_view data) {
        length_ += data.size();
        const auto* p = reinterpret_cast<const unsigned char*>(data.data());
        size_t left = data.size();
        while (left > 0) {
            if (used_ == 0 && left >= 64) {  // whole blocks straight from the data
                Compress(p);
                p += 64;
                left -= 64;
                continue;
            }
            block_[used_++] = *p++;
            --left;
            if (used_ == 64) Compress(block_.data());
        }
    }

    std::string Hex() {
        const uint64_t bits = length_ * 8;
        block_[used_++] = 0x80;
        if (used_ > 56) {
            while (used_ < 64) block_[used_++] = 0;
            Compress(block_.data());
        }
        while (used_ < 56) block_[used_++] = 0;
        for (int i = 7; i >= 0; --i) block_[used_++] = static_cast<unsigned char>(bits >> (8 * i));
        Compress(block_.data());
        std::string out;
        char digits[9];
        for (uint32_t word : h_) {
            std::snprintf(digits, sizeof digits, "%08x", word);
            out += digits;
        }
        return out;
    }

private:
    void Compress(const unsigned char* block) {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 | uint32_t(block[4 * i + 2]) << 8 |
                   uint32_t(block[4 * i + 3]);
        for (int i = 16; i < 80; ++i) w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
        for (int i = 0; i < 80; ++i) {
            uint32_t f, k;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5a827999;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ed9eba1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8f1bbcdc;
            } else {
                f = b ^ c ^ d;
                k = 0xca62c1d6;
            }
            const uint32_t t = Rotl(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = Rotl(b, 30);
            b = a;
            a = t;
        }
        h_[0] += a;
        h_[1] += b;
        h_[2] += c;
        h_[3] += d;
        h_[4] += e;
        used_ = 0;
    }

    std::array<uint32_t, 5> h_ = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    std::array<unsigned char, 64> block_{};
    size_t used_ = 0;
    uint64_t length_ = 0;
};

}  // namespace

std::string Sha1Hex(std::string_view bytes) {
    Sha1 sha;
    sha.Add(bytes);
    return sha.Hex();
}

std::string GitBlobId(std::string_view contents) {
    Sha1 sha;
    const std::string header = "blob " + std::to_string(contents.size());
    sha.Add(std::string_view(header.data(), header.size() + 1));  // with its NUL
    sha.Add(contents);
    return sha.Hex();
}

}  // namespace fleet
