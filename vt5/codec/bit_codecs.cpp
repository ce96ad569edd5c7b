// The rank, flag and delta-bit coders, and the decoder table.

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

#include "base/le.h"
#include "vt5/codec/codecs.h"
#include "vt5/codec/detail/bits.h"

namespace vt::vt5::codec {
namespace {

using Bytes = std::span<const std::uint8_t>;
using detail::BitReader;
using detail::BitWriter;

constexpr std::size_t kRankTableSize = 256;

// Groups of a fixed size (RankPack4, RankPack2): a 3-bit width, then `group` indices.
std::size_t decode_fixed_groups(std::span<std::uint8_t> out, Bytes in, unsigned group) noexcept {
    if (in.size() <= kRankTableSize)
        return 0;
    BitReader bits(in, kRankTableSize * 8);
    std::size_t o = 0;
    while (o < out.size() && bits.has(3)) {
        const unsigned width = bits.take(3) + 1;
        for (unsigned k = 0; k < group; ++k) {
            if (o >= out.size() || !bits.has(width))
                return o;
            out[o++] = in[bits.take(width)];
        }
    }
    return o;
}

} // namespace

std::size_t RankPack::encode(std::span<std::uint8_t> out, Bytes in, int group_size) noexcept {
    const std::size_t n = in.size();
    if (n > std::numeric_limits<std::uint32_t>::max())
        return 0;
    const unsigned group = static_cast<unsigned>(std::clamp(group_size, 1, 16));

    std::array<std::uint32_t, 256> count{};
    for (const std::uint8_t b : in)
        ++count[b];
    std::array<std::uint8_t, 256> table{};
    for (unsigned v = 0; v < 256; ++v)
        table[v] = static_cast<std::uint8_t>(v);
    std::stable_sort(table.begin(), table.end(),
                     [&](std::uint8_t a, std::uint8_t b) { return count[a] > count[b]; });
    std::array<std::uint8_t, 256> rank{};
    for (unsigned r = 0; r < 256; ++r)
        rank[table[r]] = static_cast<std::uint8_t>(r);

    const bool write = !out.empty();
    if (write) {
        if (out.size() < kHeaderSize)
            return 0;
        std::copy(table.begin(), table.end(), out.begin());
        base::store_le32(out.data() + 256, static_cast<std::uint32_t>(n));
        out[260] = static_cast<std::uint8_t>(group - 1);
    }
    BitWriter bits(out, kHeaderSize);
    std::array<unsigned, 16> ranks{};
    for (std::size_t i = 0; i < n; i += group) {
        const std::size_t length = bits.byte_length();
        if (length >= kEncodeCapacity)
            return length;
        if (length >= n + 16)
            return 0;
        unsigned largest = 0;
        for (unsigned k = 0; k < group; ++k) {
            ranks[k] = rank[in[std::min(i + k, n - 1)]];
            largest = std::max(largest, ranks[k]);
        }
        const unsigned width = std::max(1u, static_cast<unsigned>(std::bit_width(largest)));
        bits.put(width - 1, 3);
        for (unsigned k = 0; k < group; ++k)
            bits.put(ranks[k], width);
        if (bits.overflowed())
            return 0;
    }
    bits.finish();
    return bits.overflowed() ? 0 : bits.byte_length();
}

std::size_t RankPack::decode(std::span<std::uint8_t> out, Bytes in) noexcept {
    if (in.size() < kHeaderSize)
        return 0;
    const std::size_t length = base::load_le32(in.data() + 256);
    const unsigned group = in[260] + 1u;
    BitReader bits(in, kHeaderSize * 8);
    const std::size_t limit = std::min(length, out.size());
    std::size_t o = 0;
    while (o < limit) {
        const unsigned width = bits.take(3) + 1;
        for (unsigned k = 0; k < group; ++k) {
            const std::uint8_t v = in[bits.take(width)];
            if (o + k < out.size())
                out[o + k] = v;
        }
        o += group;
    }
    return length;
}

std::size_t RankCode::decode(std::span<std::uint8_t> out, Bytes in) noexcept {
    if (in.size() <= kRankTableSize)
        return 0;
    BitReader bits(in, kRankTableSize * 8);
    std::size_t o = 0;
    while (o < out.size() && bits.has(2)) {
        const unsigned width = 2 * bits.take(2) + 2;
        if (!bits.has(width))
            break;
        out[o++] = in[bits.take(width)];
    }
    return o;
}

std::size_t RankPack4::decode(std::span<std::uint8_t> out, Bytes in) noexcept {
    return decode_fixed_groups(out, in, 4);
}

std::size_t RankPack2::decode(std::span<std::uint8_t> out, Bytes in) noexcept {
    return decode_fixed_groups(out, in, 2);
}

std::size_t FlagBits::decode(std::span<std::uint8_t> out, Bytes in) noexcept {
    if (in.size() < 2)
        return 0;
    const std::uint8_t mode = in[0];
    BitReader bits(in, 8);
    std::size_t o = 0;
    while (o < out.size() && bits.has(1)) {
        if (bits.take(1) != 0) {
            out[o++] = mode;
            continue;
        }
        if (!bits.has(8))
            break;
        out[o++] = static_cast<std::uint8_t>(bits.take(8));
    }
    return o;
}

std::size_t DeltaBits::decode(std::span<std::uint8_t> out, Bytes in) noexcept {
    std::size_t o = 0, p = 0;
    while (o < out.size() && p < in.size()) {
        const std::uint8_t t = in[p];
        if (t == 0)
            break;
        if ((t & 0xC0) == 0) {
            const std::size_t n = (t & 0x3Fu) + 1;
            ++p;
            const std::size_t copy = std::min({n, in.size() - p, out.size() - o});
            std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(p), copy,
                        out.begin() + static_cast<std::ptrdiff_t>(o));
            o += copy;
            if (copy < n)
                break;
            p += n;
            continue;
        }
        if ((t & 0xC0) != 0x40) {
            ++p;
            continue;
        }
        const unsigned deltas = t & 0x3Fu;
        if (in.size() - p < 2)
            break;
        std::uint8_t v = in[p + 1];
        out[o++] = v;
        BitReader bits(in, (p + 2) * 8);
        for (unsigned k = 0; k < deltas; ++k) {
            if (o >= out.size() || !bits.has(3))
                return o;
            const unsigned head = bits.take(3);
            const unsigned width = (head & 3u) + 1;
            if (!bits.has(width))
                return o;
            const unsigned magnitude = bits.take(width);
            v = static_cast<std::uint8_t>((head & 4u) != 0 ? v - magnitude : v + magnitude);
            out[o++] = v;
        }
        p = static_cast<std::size_t>((bits.position() + 7) / 8);
    }
    return o;
}

bool is_block_codec(std::uint8_t id) noexcept {
    return (id >= kCodecRunLength && id <= kCodecModeMask) || id == kCodecRankPack4 ||
           id == kCodecRankPack2;
}

std::size_t decode_step(std::uint8_t id, std::span<std::uint8_t> out, Bytes in,
                        Literals literals) noexcept {
    switch (id) {
    case kCodecRunLength:
        return RunLength::decode(out, in, literals);
    case kCodecDeltaNibble:
        return DeltaNibble::decode(out, in, literals);
    case kCodecRankCode:
        return RankCode::decode(out, in);
    case kCodecFlagBits:
        return FlagBits::decode(out, in);
    case kCodecDeltaBits:
        return DeltaBits::decode(out, in);
    case kCodecRankPack:
        return RankPack::decode(out, in);
    case kCodecModeMask:
        return ModeMask::decode(out, in);
    case kCodecRankPack4:
        return RankPack4::decode(out, in);
    case kCodecRankPack2:
        return RankPack2::decode(out, in);
    default:
        return 0;
    }
}

} // namespace vt::vt5::codec
