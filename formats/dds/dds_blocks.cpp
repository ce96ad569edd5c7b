// BC1-BC5 block decoding and a small BC1/BC3 encoder for fmx_DDS (Microsoft's "Texture Block
// Compression in Direct3D 11"). BC4 and BC5 hold one or two channels of BC3's alpha block
// each; their signed forms count -127..127 (-128 standing for -127) and come out as 1..255,
// 128 being zero.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "formats/dds/dds_codec.h"

namespace vt::formats {
namespace {

std::uint32_t le16(const std::uint8_t* p) {
    return p[0] | (static_cast<std::uint32_t>(p[1]) << 8);
}

struct Rgb {
    int r, g, b;
};

Rgb from565(std::uint32_t c) {
    const int r = static_cast<int>((c >> 11) & 31);
    const int g = static_cast<int>((c >> 5) & 63);
    const int b = static_cast<int>(c & 31);
    return {(r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2)};
}

std::uint32_t to565(const Rgb& c) {
    auto q = [](int v, int bits) {
        return static_cast<std::uint32_t>((v * ((1 << bits) - 1) + 127) / 255);
    };
    return (q(c.r, 5) << 11) | (q(c.g, 6) << 5) | q(c.b, 5);
}

Rgb mix(const Rgb& a, const Rgb& b, int wa, int wb) {
    const int n = wa + wb;
    return {(a.r * wa + b.r * wb) / n, (a.g * wa + b.g * wb) / n, (a.b * wa + b.b * wb) / n};
}

// The four colours of a colour block; `three` when c0 <= c1 allows the transparent mode.
void palette(std::uint32_t c0, std::uint32_t c1, bool three, Rgb out[4]) {
    out[0] = from565(c0);
    out[1] = from565(c1);
    if (c0 > c1 || !three) {
        out[2] = mix(out[0], out[1], 2, 1);
        out[3] = mix(out[0], out[1], 1, 2);
    } else {
        out[2] = mix(out[0], out[1], 1, 1);
        out[3] = {0, 0, 0};
    }
}

std::uint32_t pixel(const Rgb& c, std::uint32_t a) {
    return static_cast<std::uint32_t>(c.b) | (static_cast<std::uint32_t>(c.g) << 8) |
           (static_cast<std::uint32_t>(c.r) << 16) | ((255 - a) << 24);
}

Rgb rgb_of(std::uint32_t p) {
    return {static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
            static_cast<int>(p & 0xFF)};
}

int distance(const Rgb& a, const Rgb& b) {
    return (a.r - b.r) * (a.r - b.r) + (a.g - b.g) * (a.g - b.g) + (a.b - b.b) * (a.b - b.b);
}

void alpha_palette(std::uint32_t a0, std::uint32_t a1, std::uint32_t out[8]) {
    out[0] = a0;
    out[1] = a1;
    if (a0 > a1) {
        for (std::uint32_t i = 1; i < 7; ++i)
            out[1 + i] = ((7 - i) * a0 + i * a1) / 7;
    } else {
        for (std::uint32_t i = 1; i < 5; ++i)
            out[1 + i] = ((5 - i) * a0 + i * a1) / 5;
        out[6] = 0;
        out[7] = 255;
    }
}

// The colour half of a block: endpoints at the ends of the colours' main axis.
void encode_colours(const std::uint32_t in[16], const bool used[16], bool three,
                    std::uint8_t out[8]) {
    double mean[3] = {};
    int n = 0;
    for (int i = 0; i < 16; ++i)
        if (used[i]) {
            const Rgb c = rgb_of(in[i]);
            mean[0] += c.r;
            mean[1] += c.g;
            mean[2] += c.b;
            ++n;
        }
    std::uint32_t c0 = 0;
    std::uint32_t c1 = 0;
    if (n > 0) {
        for (double& m : mean)
            m /= n;
        double cov[3][3] = {};
        for (int i = 0; i < 16; ++i)
            if (used[i]) {
                const Rgb c = rgb_of(in[i]);
                const double d[3] = {c.r - mean[0], c.g - mean[1], c.b - mean[2]};
                for (int a = 0; a < 3; ++a)
                    for (int b = 0; b < 3; ++b)
                        cov[a][b] += d[a] * d[b];
            }
        double axis[3] = {1, 1, 1};
        for (int k = 0; k < 8; ++k) {
            double next[3] = {};
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b)
                    next[a] += cov[a][b] * axis[b];
            const double len = std::sqrt(next[0] * next[0] + next[1] * next[1] + next[2] * next[2]);
            if (len < 1e-9)
                break;
            for (int a = 0; a < 3; ++a)
                axis[a] = next[a] / len;
        }
        double lo = 1e9;
        double hi = -1e9;
        for (int i = 0; i < 16; ++i)
            if (used[i]) {
                const Rgb c = rgb_of(in[i]);
                const double t = (c.r - mean[0]) * axis[0] + (c.g - mean[1]) * axis[1] +
                                 (c.b - mean[2]) * axis[2];
                lo = std::min(lo, t);
                hi = std::max(hi, t);
            }
        auto at = [&](double t) {
            auto clamp = [](double v) { return static_cast<int>(std::clamp(v + 0.5, 0.0, 255.0)); };
            return Rgb{clamp(mean[0] + t * axis[0]), clamp(mean[1] + t * axis[1]),
                       clamp(mean[2] + t * axis[2])};
        };
        c0 = to565(at(hi));
        c1 = to565(at(lo));
    }
    // Four colours need c0 > c1, the transparent mode c0 <= c1.
    if ((!three && c0 < c1) || (three && c0 > c1))
        std::swap(c0, c1);
    Rgb colours[4];
    palette(c0, c1, true, colours);
    std::uint32_t indices = 0;
    for (int i = 0; i < 16; ++i) {
        std::uint32_t best = 3;
        if (used[i]) {
            int best_distance = 1 << 30;
            const std::uint32_t candidates = (three || c0 == c1) ? 3 : 4;
            for (std::uint32_t k = 0; k < candidates; ++k)
                if (const int d = distance(colours[k], rgb_of(in[i])); d < best_distance) {
                    best_distance = d;
                    best = k;
                }
        }
        indices |= best << (2 * i);
    }
    const std::uint8_t bytes[8] = {static_cast<std::uint8_t>(c0),
                                   static_cast<std::uint8_t>(c0 >> 8),
                                   static_cast<std::uint8_t>(c1),
                                   static_cast<std::uint8_t>(c1 >> 8),
                                   static_cast<std::uint8_t>(indices),
                                   static_cast<std::uint8_t>(indices >> 8),
                                   static_cast<std::uint8_t>(indices >> 16),
                                   static_cast<std::uint8_t>(indices >> 24)};
    std::memcpy(out, bytes, 8);
}

// One BC4 channel block: 16 values of 0..255.
void decode_channel(const std::uint8_t* block, bool is_signed, std::uint32_t out[16]) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 6; ++i)
        bits |= static_cast<std::uint64_t>(block[2 + i]) << (8 * i);
    std::uint32_t values[8];
    if (!is_signed) {
        alpha_palette(block[0], block[1], values);
    } else {
        const int e0 = std::max(-127, static_cast<int>(static_cast<std::int8_t>(block[0])));
        const int e1 = std::max(-127, static_cast<int>(static_cast<std::int8_t>(block[1])));
        int v[8] = {e0, e1, 0, 0, 0, 0, -127, 127};
        const int steps = e0 > e1 ? 7 : 5;
        for (int i = 1; i < steps; ++i) {
            const int sum = (steps - i) * e0 + i * e1;
            v[1 + i] = (sum >= 0 ? sum + steps / 2 : sum - steps / 2) / steps;
        }
        for (int i = 0; i < 8; ++i)
            values[i] = static_cast<std::uint32_t>(v[i] + 128);
    }
    for (int i = 0; i < 16; ++i)
        out[i] = values[(bits >> (3 * i)) & 7];
}

} // namespace

void decode_bc_block(const std::uint8_t* block, DdsLayout layout, bool is_signed,
                     std::uint32_t out[16]) {
    if (layout == DdsLayout::kBc4 || layout == DdsLayout::kBc5) {
        std::uint32_t red[16];
        std::uint32_t green[16] = {};
        decode_channel(block, is_signed, red);
        if (layout == DdsLayout::kBc5)
            decode_channel(block + 8, is_signed, green);
        // One channel is grey; two are red and green, blue the channels' zero.
        const std::uint32_t blue = is_signed ? 128 : 0;
        for (int i = 0; i < 16; ++i)
            out[i] = layout == DdsLayout::kBc4 ? red[i] * 0x010101u
                                               : blue | green[i] << 8 | red[i] << 16;
        return;
    }
    if (layout == DdsLayout::kBc6h) {
        decode_bc6h_block(block, is_signed, out);
        return;
    }
    if (layout == DdsLayout::kBc7) {
        decode_bc7_block(block, out);
        return;
    }
    std::uint32_t alpha[16];
    std::fill_n(alpha, 16, 255u);
    const std::uint8_t* colour = block;
    if (layout == DdsLayout::kBc2) {
        for (int i = 0; i < 16; ++i)
            alpha[i] = ((block[i / 2] >> (4 * (i % 2))) & 15) * 17;
        colour = block + 8;
    } else if (layout == DdsLayout::kBc3) {
        std::uint32_t values[8];
        alpha_palette(block[0], block[1], values);
        std::uint64_t bits = 0;
        for (int i = 0; i < 6; ++i)
            bits |= static_cast<std::uint64_t>(block[2 + i]) << (8 * i);
        for (int i = 0; i < 16; ++i)
            alpha[i] = values[(bits >> (3 * i)) & 7];
        colour = block + 8;
    }
    Rgb colours[4];
    palette(le16(colour), le16(colour + 2), layout == DdsLayout::kBc1, colours);
    const bool three = layout == DdsLayout::kBc1 && le16(colour) <= le16(colour + 2);
    for (int i = 0; i < 16; ++i) {
        const std::uint32_t index = (colour[4 + i / 4] >> (2 * (i % 4))) & 3;
        out[i] = pixel(colours[index], three && index == 3 ? 0 : alpha[i]);
    }
}

void encode_bc1_block(const std::uint32_t in[16], bool alpha, std::uint8_t out[8]) {
    bool used[16];
    bool any_clear = false;
    for (int i = 0; i < 16; ++i) {
        used[i] = !alpha || (in[i] >> 24) < 128;
        any_clear = any_clear || !used[i];
    }
    encode_colours(in, used, any_clear, out);
}

void encode_bc3_block(const std::uint32_t in[16], std::uint8_t out[16]) {
    std::uint32_t lo = 255;
    std::uint32_t hi = 0;
    for (int i = 0; i < 16; ++i) {
        const std::uint32_t a = 255 - (in[i] >> 24);
        lo = std::min(lo, a);
        hi = std::max(hi, a);
    }
    std::uint32_t values[8];
    alpha_palette(hi, lo, values);
    std::uint64_t bits = 0;
    for (int i = 0; i < 16; ++i) {
        const std::uint32_t a = 255 - (in[i] >> 24);
        std::uint32_t best = 0;
        for (std::uint32_t k = 1; k < (hi > lo ? 8u : 1u); ++k)
            if (std::abs(static_cast<int>(values[k]) - static_cast<int>(a)) <
                std::abs(static_cast<int>(values[best]) - static_cast<int>(a)))
                best = k;
        bits |= static_cast<std::uint64_t>(best) << (3 * i);
    }
    out[0] = static_cast<std::uint8_t>(hi);
    out[1] = static_cast<std::uint8_t>(lo);
    for (int i = 0; i < 6; ++i)
        out[2 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    bool used[16];
    std::fill_n(used, 16, true);
    encode_colours(in, used, false, out + 8);
}

} // namespace vt::formats
