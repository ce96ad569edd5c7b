#pragma once
// Byte patterns the codec tests run through every coder: each stresses a different token kind.

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vt::vt5::codec::test {

using ByteVec = std::vector<std::uint8_t>;

inline ByteVec random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    ByteVec v(n);
    for (auto& b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

// A smooth signal with grain: small neighbour differences, as in a photo's colour plane.
inline ByteVec photo_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    ByteVec v(n);
    int level = 128;
    for (std::size_t i = 0; i < n; ++i) {
        level += static_cast<int>(rng() % 7) - 3;
        if (i % 997 == 0)
            level += static_cast<int>(rng() % 61) - 30; // an edge now and then
        level = level < 0 ? 0 : (level > 255 ? 255 : level);
        v[i] = static_cast<std::uint8_t>(level);
    }
    return v;
}

// Mostly one value with scattered others, as a transparency plane or a flat graphic.
inline ByteVec sparse_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    ByteVec v(n, 0xFF);
    for (auto& b : v)
        if (rng() % 9 == 0)
            b = static_cast<std::uint8_t>(rng() % 5);
    return v;
}

// Runs of random lengths (1-300) of random values, a screenshot's rows.
inline ByteVec run_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    ByteVec v;
    v.reserve(n);
    while (v.size() < n) {
        const std::size_t len = 1 + rng() % (rng() % 4 == 0 ? 300 : 6);
        const auto value = static_cast<std::uint8_t>(rng() % 8);
        for (std::size_t k = 0; k < len && v.size() < n; ++k)
            v.push_back(value);
    }
    return v;
}

struct Pattern {
    std::string name;
    ByteVec bytes;
};

// Every pattern at lengths around the limits the coders know: token sizes 3, 128, 129, 256,
// 257, group sizes, and the block length.
inline std::vector<Pattern> patterns() {
    std::vector<Pattern> all;
    const std::size_t lengths[] = {0,   1,   2,   3,   4,   5,    6,     7,    8,   9,
                                   15,  16,  17,  127, 128, 129,  130,   255,  256, 257,
                                   258, 259, 260, 513, 999, 4096, 65535, 65536};
    for (const std::size_t n : lengths) {
        const auto seed = static_cast<unsigned>(n);
        all.push_back({"constant" + std::to_string(n), ByteVec(n, 0x5A)});
        all.push_back({"random" + std::to_string(n), random_bytes(n, seed)});
        all.push_back({"photo" + std::to_string(n), photo_bytes(n, seed)});
        all.push_back({"sparse" + std::to_string(n), sparse_bytes(n, seed)});
        all.push_back({"runs" + std::to_string(n), run_bytes(n, seed)});
    }
    return all;
}

} // namespace vt::vt5::codec::test
