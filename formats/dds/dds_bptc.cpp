// BC6H and BC7 block decoding for fmx_DDS, written from the Khronos OpenGL extension
// ARB_texture_compression_bptc (its appendix "BPTC Compressed Texture Image Format": Table.M of
// the BC7 modes, the partition tables Table.P2 and Table.P3, the anchor tables Table.A2,
// Table.A3a and Table.A3b, Table.MF and Table.F of the BC6H modes and its unquantisation), the
// same formats Microsoft's "Texture Block Compression in Direct3D 11" calls BC7 and BC6H.
// BC6H's half floats become 8 bits by clipping to 0..1 (HDR beyond white is white).

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "formats/dds/dds_codec.h"

namespace vt::formats {
namespace {

// Table.P2 and Table.P3: the subset of each texel, one bit (two bits) a texel from texel 0 up.
constexpr std::uint16_t kPartition2[64] = {
    0xCCCC, 0x8888, 0xEEEE, 0xECC8, 0xC880, 0xFEEC, 0xFEC8, 0xEC80, 0xC800, 0xFFEC, 0xFE80,
    0xE800, 0xFFE8, 0xFF00, 0xFFF0, 0xF000, 0xF710, 0x008E, 0x7100, 0x08CE, 0x008C, 0x7310,
    0x3100, 0x8CCE, 0x088C, 0x3110, 0x6666, 0x366C, 0x17E8, 0x0FF0, 0x718E, 0x399C, 0xAAAA,
    0xF0F0, 0x5A5A, 0x33CC, 0x3C3C, 0x55AA, 0x9696, 0xA55A, 0x73CE, 0x13C8, 0x324C, 0x3BDC,
    0x6996, 0xC33C, 0x9966, 0x0660, 0x0272, 0x04E4, 0x4E40, 0x2720, 0xC936, 0x936C, 0x39C6,
    0x639C, 0x9336, 0x9CC6, 0x817E, 0xE718, 0xCCF0, 0x0FCC, 0x7744, 0xEE22};
constexpr std::uint32_t kPartition3[64] = {
    0xAA685050, 0x6A5A5040, 0x5A5A4200, 0x5450A0A8, 0xA5A50000, 0xA0A05050, 0x5555A0A0, 0x5A5A5050,
    0xAA550000, 0xAA555500, 0xAAAA5500, 0x90909090, 0x94949494, 0xA4A4A4A4, 0xA9A59450, 0x2A0A4250,
    0xA5945040, 0x0A425054, 0xA5A5A500, 0x55A0A0A0, 0xA8A85454, 0x6A6A4040, 0xA4A45000, 0x1A1A0500,
    0x0050A4A4, 0xAAA59090, 0x14696914, 0x69691400, 0xA08585A0, 0xAA821414, 0x50A4A450, 0x6A5A0200,
    0xA9A58000, 0x5090A0A8, 0xA8A09050, 0x24242424, 0x00AA5500, 0x24924924, 0x24499224, 0x50A50A50,
    0x500AA550, 0xAAAA4444, 0x66660000, 0xA5A0A5A0, 0x50A050A0, 0x69286928, 0x44AAAA44, 0x66666600,
    0xAA444444, 0x54A854A8, 0x95809580, 0x96969600, 0xA85454A8, 0x80959580, 0xAA141414, 0x96960000,
    0xAAAA1414, 0xA05050A0, 0xA0A5A5A0, 0x96000000, 0x40804080, 0xA9A8A9A8, 0xAAAAAA44, 0x2A4A5254};
// Table.A2, Table.A3a and Table.A3b: the anchor texel of the second (third) subset.
constexpr std::uint8_t kAnchor2[64] = {
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 2,  8, 2, 2, 8,
    8,  15, 2,  8,  2,  2,  8,  8,  2,  2,  15, 15, 6,  8,  2,  8,  15, 15, 2, 8, 2, 2,
    2,  15, 15, 6,  6,  2,  6,  8,  15, 15, 2,  2,  15, 15, 15, 15, 15, 2,  2, 15};
constexpr std::uint8_t kAnchor3a[64] = {
    3,  3,  15, 15, 8, 3,  15, 15, 8,  8,  6, 6,  6, 5,  3, 3,  3,  3,  8,  15, 3,  3,
    6,  10, 5,  8,  8, 6,  8,  5,  15, 15, 8, 15, 3, 5,  6, 10, 8,  15, 15, 3,  15, 5,
    15, 15, 15, 15, 3, 15, 5,  5,  5,  8,  5, 10, 5, 10, 8, 13, 15, 12, 3,  3};
constexpr std::uint8_t kAnchor3b[64] = {
    15, 8, 8, 3,  15, 15, 3,  8,  15, 15, 15, 15, 15, 15, 15, 8,  15, 8,  15, 3,  15, 8,
    15, 8, 3, 15, 6,  10, 15, 15, 10, 8,  15, 3,  15, 10, 10, 8,  9,  10, 6,  15, 8,  15,
    3,  6, 6, 8,  15, 3,  15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 3,  15, 15, 8};

// The interpolation factors of 2-, 3- and 4-bit indices (out of 64).
constexpr std::uint8_t kWeights2[4] = {0, 21, 43, 64};
constexpr std::uint8_t kWeights3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
constexpr std::uint8_t kWeights4[16] = {0,  4,  9,  13, 17, 21, 26, 30,
                                        34, 38, 43, 47, 51, 55, 60, 64};

const std::uint8_t* weights(std::uint32_t bits) {
    return bits == 2 ? kWeights2 : bits == 3 ? kWeights3 : kWeights4;
}

int interpolate(int e0, int e1, std::uint32_t weight) {
    const int w = static_cast<int>(weight);
    return ((64 - w) * e0 + w * e1 + 32) >> 6;
}

// The block's bits from the lowest up.
class Bits {
public:
    explicit Bits(const std::uint8_t* block) { std::memcpy(m_bytes, block, 16); }
    std::uint32_t take(std::uint32_t count) {
        std::uint32_t v = 0;
        for (std::uint32_t i = 0; i < count && m_at < 128; ++i, ++m_at)
            v |= static_cast<std::uint32_t>((m_bytes[m_at >> 3] >> (m_at & 7)) & 1) << i;
        return v;
    }

private:
    std::uint8_t m_bytes[16];
    std::uint32_t m_at = 0;
};

std::uint32_t subset_of(std::uint32_t subsets, std::uint32_t partition, std::uint32_t texel) {
    if (subsets == 2)
        return (kPartition2[partition] >> texel) & 1;
    if (subsets == 3)
        return (kPartition3[partition] >> (2 * texel)) & 3;
    return 0;
}

bool is_anchor(std::uint32_t subsets, std::uint32_t partition, std::uint32_t texel) {
    if (texel == 0)
        return true;
    if (subsets == 2)
        return texel == kAnchor2[partition];
    if (subsets == 3)
        return texel == kAnchor3a[partition] || texel == kAnchor3b[partition];
    return false;
}

// ---- BC7 (Table.M)

struct Bc7Mode {
    std::uint8_t subsets, partition_bits, rotation_bits, index_selection_bits, colour_bits,
        alpha_bits, endpoint_pbits, shared_pbits, index_bits, index2_bits;
};
constexpr Bc7Mode kBc7Modes[8] = {{3, 4, 0, 0, 4, 0, 1, 0, 3, 0}, {2, 6, 0, 0, 6, 0, 0, 1, 3, 0},
                                  {3, 6, 0, 0, 5, 0, 0, 0, 2, 0}, {2, 6, 0, 0, 7, 0, 1, 0, 2, 0},
                                  {1, 0, 2, 1, 5, 6, 0, 0, 2, 3}, {1, 0, 2, 0, 7, 8, 0, 0, 2, 2},
                                  {1, 0, 0, 0, 7, 7, 1, 0, 4, 0}, {2, 6, 0, 0, 5, 5, 1, 0, 2, 0}};

// A stored endpoint of `bits` (with its P-bit below when `pbit` >= 0) as 8 bits, the top bits
// repeated below.
int expand(std::uint32_t value, std::uint32_t bits, int pbit) {
    if (pbit >= 0) {
        value = (value << 1) | static_cast<std::uint32_t>(pbit);
        ++bits;
    }
    value <<= 8 - bits;
    return static_cast<int>(value | (value >> bits));
}

} // namespace

void decode_bc7_block(const std::uint8_t* block, std::uint32_t out[16]) {
    std::uint32_t mode_number = 0;
    while (mode_number < 8 && ((block[0] >> mode_number) & 1) == 0)
        ++mode_number;
    if (mode_number == 8) { // reserved: transparent black
        std::fill_n(out, 16, 0xFF000000u);
        return;
    }
    const Bc7Mode& m = kBc7Modes[mode_number];
    Bits bits(block);
    (void)bits.take(mode_number + 1);
    const std::uint32_t partition = bits.take(m.partition_bits);
    const std::uint32_t rotation = bits.take(m.rotation_bits);
    const std::uint32_t index_selection = bits.take(m.index_selection_bits);
    const std::uint32_t endpoints = m.subsets * 2;
    std::uint32_t raw[6][4] = {}; // endpoint, channel (R, G, B, A)
    for (std::uint32_t c = 0; c < 3; ++c)
        for (std::uint32_t e = 0; e < endpoints; ++e)
            raw[e][c] = bits.take(m.colour_bits);
    for (std::uint32_t e = 0; m.alpha_bits != 0 && e < endpoints; ++e)
        raw[e][3] = bits.take(m.alpha_bits);
    int pbits[6] = {-1, -1, -1, -1, -1, -1};
    if (m.endpoint_pbits != 0)
        for (std::uint32_t e = 0; e < endpoints; ++e)
            pbits[e] = static_cast<int>(bits.take(1));
    if (m.shared_pbits != 0)
        for (std::uint32_t s = 0; s < m.subsets; ++s)
            pbits[2 * s] = pbits[2 * s + 1] = static_cast<int>(bits.take(1));
    int colour[6][4];
    for (std::uint32_t e = 0; e < endpoints; ++e) {
        for (std::uint32_t c = 0; c < 3; ++c)
            colour[e][c] = expand(raw[e][c], m.colour_bits, pbits[e]);
        colour[e][3] = m.alpha_bits != 0 ? expand(raw[e][3], m.alpha_bits, pbits[e]) : 255;
    }
    std::uint32_t index[16] = {};
    std::uint32_t index2[16] = {};
    for (std::uint32_t t = 0; t < 16; ++t)
        index[t] = bits.take(m.index_bits - (is_anchor(m.subsets, partition, t) ? 1 : 0));
    for (std::uint32_t t = 0; m.index2_bits != 0 && t < 16; ++t)
        index2[t] = bits.take(m.index2_bits - (t == 0 ? 1 : 0));
    for (std::uint32_t t = 0; t < 16; ++t) {
        const std::uint32_t s = subset_of(m.subsets, partition, t);
        const int* e0 = colour[2 * s];
        const int* e1 = colour[2 * s + 1];
        std::uint32_t colour_index = index[t], colour_bits = m.index_bits;
        std::uint32_t alpha_index = index[t], alpha_bits = m.index_bits;
        if (m.index2_bits != 0) {
            if (index_selection != 0) {
                colour_index = index2[t];
                colour_bits = m.index2_bits;
            } else {
                alpha_index = index2[t];
                alpha_bits = m.index2_bits;
            }
        }
        int rgba[4];
        for (int c = 0; c < 3; ++c)
            rgba[c] = interpolate(e0[c], e1[c], weights(colour_bits)[colour_index]);
        rgba[3] = interpolate(e0[3], e1[3], weights(alpha_bits)[alpha_index]);
        if (rotation != 0)
            std::swap(rgba[3], rgba[rotation - 1]);
        out[t] = static_cast<std::uint32_t>(rgba[2]) | static_cast<std::uint32_t>(rgba[1]) << 8 |
                 static_cast<std::uint32_t>(rgba[0]) << 16 |
                 static_cast<std::uint32_t>(255 - rgba[3]) << 24;
    }
}

namespace {

// ---- BC6H (Table.MF and Table.F)

struct Bc6Mode {
    std::uint8_t number;
    bool transformed;
    std::uint8_t partition_bits, endpoint_bits, delta_bits[3];
    std::string_view layout; // Table.F, after the mode bits
};
// Variables: r0..r3 are 0..3, g0..g3 4..7, b0..b3 8..11.
constexpr Bc6Mode kBc6Modes[] = {
    {0,
     true,
     5,
     10,
     {5, 5, 5},
     "g2[4],b2[4],b3[4],r0[9:0],g0[9:0],b0[9:0],r1[4:0],g3[4],g2[3:0],g1[4:0],b3[0],g3[3:0],"
     "b1[4:0],b3[1],b2[3:0],r2[4:0],b3[2],r3[4:0],b3[3]"},
    {1,
     true,
     5,
     7,
     {6, 6, 6},
     "g2[5],g3[4],g3[5],r0[6:0],b3[0],b3[1],b2[4],g0[6:0],b2[5],b3[2],g2[4],b0[6:0],b3[3],b3[5],"
     "b3[4],r1[5:0],g2[3:0],g1[5:0],g3[3:0],b1[5:0],b2[3:0],r2[5:0],r3[5:0]"},
    {2,
     true,
     5,
     11,
     {5, 4, 4},
     "r0[9:0],g0[9:0],b0[9:0],r1[4:0],r0[10],g2[3:0],g1[3:0],g0[10],b3[0],g3[3:0],b1[3:0],"
     "b0[10],b3[1],b2[3:0],r2[4:0],b3[2],r3[4:0],b3[3]"},
    {6,
     true,
     5,
     11,
     {4, 5, 4},
     "r0[9:0],g0[9:0],b0[9:0],r1[3:0],r0[10],g3[4],g2[3:0],g1[4:0],g0[10],g3[3:0],b1[3:0],"
     "b0[10],b3[1],b2[3:0],r2[3:0],b3[0],b3[2],r3[3:0],g2[4],b3[3]"},
    {10,
     true,
     5,
     11,
     {4, 4, 5},
     "r0[9:0],g0[9:0],b0[9:0],r1[3:0],r0[10],b2[4],g2[3:0],g1[3:0],g0[10],b3[0],g3[3:0],"
     "b1[4:0],b0[10],b2[3:0],r2[3:0],b3[1],b3[2],r3[3:0],b3[4],b3[3]"},
    {14,
     true,
     5,
     9,
     {5, 5, 5},
     "r0[8:0],b2[4],g0[8:0],g2[4],b0[8:0],b3[4],r1[4:0],g3[4],g2[3:0],g1[4:0],b3[0],g3[3:0],"
     "b1[4:0],b3[1],b2[3:0],r2[4:0],b3[2],r3[4:0],b3[3]"},
    {18,
     true,
     5,
     8,
     {6, 5, 5},
     "r0[7:0],g3[4],b2[4],g0[7:0],b3[2],g2[4],b0[7:0],b3[3],b3[4],r1[5:0],g2[3:0],g1[4:0],"
     "b3[0],g3[3:0],b1[4:0],b3[1],b2[3:0],r2[5:0],r3[5:0]"},
    {22,
     true,
     5,
     8,
     {5, 6, 5},
     "r0[7:0],b3[0],b2[4],g0[7:0],g2[5],g2[4],b0[7:0],g3[5],b3[4],r1[4:0],g3[4],g2[3:0],"
     "g1[5:0],g3[3:0],b1[4:0],b3[1],b2[3:0],r2[4:0],b3[2],r3[4:0],b3[3]"},
    {26,
     true,
     5,
     8,
     {5, 5, 6},
     "r0[7:0],b3[1],b2[4],g0[7:0],b2[5],g2[4],b0[7:0],b3[5],b3[4],r1[4:0],g3[4],g2[3:0],"
     "g1[4:0],b3[0],g3[3:0],b1[5:0],b2[3:0],r2[4:0],b3[2],r3[4:0],b3[3]"},
    {30,
     false,
     5,
     6,
     {6, 6, 6},
     "r0[5:0],g3[4],b3[0],b3[1],b2[4],g0[5:0],g2[5],b2[5],b3[2],g2[4],b0[5:0],g3[5],b3[3],"
     "b3[5],b3[4],r1[5:0],g2[3:0],g1[5:0],g3[3:0],b1[5:0],b2[3:0],r2[5:0],r3[5:0]"},
    {3, false, 0, 10, {10, 10, 10}, "r0[9:0],g0[9:0],b0[9:0],r1[9:0],g1[9:0],b1[9:0]"},
    {7,
     true,
     0,
     11,
     {9, 9, 9},
     "r0[9:0],g0[9:0],b0[9:0],r1[8:0],r0[10],g1[8:0],g0[10],b1[8:0],b0[10]"},
    {11,
     true,
     0,
     12,
     {8, 8, 8},
     "r0[9:0],g0[9:0],b0[9:0],r1[7:0],r0[10:11],g1[7:0],g0[10:11],b1[7:0],b0[10:11]"},
    {15,
     true,
     0,
     16,
     {4, 4, 4},
     "r0[9:0],g0[9:0],b0[9:0],r1[3:0],r0[10:15],g1[3:0],g0[10:15],b1[3:0],b0[10:15]"},
};

int parse_number(std::string_view text, std::size_t& at) {
    int v = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9')
        v = v * 10 + (text[at++] - '0');
    return v;
}

// Reads the block's fields as the layout says: v[a:b] takes |a - b| + 1 bits from the block,
// the first into bit b and on towards bit a (so a < b stores the bits reversed).
void read_fields(std::string_view layout, Bits& bits, int (&v)[12]) {
    std::size_t at = 0;
    while (at < layout.size()) {
        const int channel = layout[at] == 'r' ? 0 : layout[at] == 'g' ? 4 : 8;
        ++at;
        const int variable = channel + (layout[at++] - '0');
        ++at; // '['
        const int a = parse_number(layout, at);
        int b = a;
        if (layout[at] == ':') {
            ++at;
            b = parse_number(layout, at);
        }
        at += 2; // "]," or "]" at the end
        const int step = a >= b ? 1 : -1;
        for (int bit = b;; bit += step) {
            v[variable] |= static_cast<int>(bits.take(1)) << bit;
            if (bit == a)
                break;
        }
    }
}

int sign_extend(int value, int bits) {
    const int sign = 1 << (bits - 1);
    return (value & (sign - 1)) - (value & sign);
}

int unquantize(int x, int bits, bool is_signed) {
    if (!is_signed) {
        if (bits >= 15 || x == 0)
            return x;
        if (x == (1 << bits) - 1)
            return 0xFFFF;
        return ((x << 15) + 0x4000) >> (bits - 1);
    }
    if (bits >= 16)
        return x;
    const bool negative = x < 0;
    if (negative)
        x = -x;
    int unq = 0;
    if (x == 0)
        unq = 0;
    else if (x >= (1 << (bits - 1)) - 1)
        unq = 0x7FFF;
    else
        unq = ((x << 15) + 0x4000) >> (bits - 1);
    return negative ? -unq : unq;
}

// The interpolated value as the bits of a half float.
std::uint32_t finish(int value, bool is_signed) {
    if (!is_signed)
        return static_cast<std::uint32_t>((value * 31) >> 6);
    if (value < 0)
        return static_cast<std::uint32_t>(((-value) * 31) >> 5) | 0x8000u;
    return static_cast<std::uint32_t>((value * 31) >> 5);
}

float half_to_float(std::uint32_t h) {
    const int exponent = static_cast<int>((h >> 10) & 31);
    const float mantissa = static_cast<float>(h & 1023);
    const float magnitude =
        exponent == 0 ? std::ldexp(mantissa, -24) : std::ldexp(1024.0f + mantissa, exponent - 25);
    return (h & 0x8000u) != 0 ? -magnitude : magnitude;
}

std::uint32_t to_8bit(std::uint32_t half) {
    const float f = half_to_float(half);
    return !(f > 0) ? 0 : f >= 1 ? 255 : static_cast<std::uint32_t>(f * 255.0f + 0.5f);
}

} // namespace

void decode_bc6h_block(const std::uint8_t* block, bool is_signed, std::uint32_t out[16]) {
    std::fill_n(out, 16, 0u); // reserved modes are opaque black
    std::uint32_t number = block[0] & 3;
    if (number >= 2)
        number = block[0] & 31;
    const Bc6Mode* mode = nullptr;
    for (const Bc6Mode& m : kBc6Modes)
        if (m.number == number)
            mode = &m;
    if (mode == nullptr)
        return;
    Bits bits(block);
    (void)bits.take(number < 2 ? 2 : 5);
    int v[12] = {};
    read_fields(mode->layout, bits, v);
    const std::uint32_t partition = bits.take(mode->partition_bits);
    const std::uint32_t subsets = mode->partition_bits != 0 ? 2 : 1;
    const int epb = mode->endpoint_bits;
    // Endpoints e0..e3 (r, g, b): e0 at full width, the others as deltas or values.
    int endpoint[4][3];
    for (int e = 0; e < static_cast<int>(subsets) * 2; ++e)
        for (int c = 0; c < 3; ++c) {
            int value = v[4 * c + e];
            if (e == 0) {
                if (is_signed)
                    value = sign_extend(value, epb);
            } else {
                if (is_signed || mode->transformed)
                    value = sign_extend(value, mode->transformed ? mode->delta_bits[c] : epb);
                if (mode->transformed) {
                    value = (v[4 * c] + value) & ((1 << epb) - 1);
                    if (is_signed)
                        value = sign_extend(value, epb);
                }
            }
            endpoint[e][c] = unquantize(value, epb, is_signed);
        }
    const std::uint32_t index_bits = subsets == 2 ? 3 : 4;
    for (std::uint32_t t = 0; t < 16; ++t) {
        const std::uint32_t index =
            bits.take(index_bits - (is_anchor(subsets, partition, t) ? 1 : 0));
        const std::uint32_t s = subset_of(subsets, partition, t);
        std::uint32_t rgb[3];
        for (int c = 0; c < 3; ++c)
            rgb[c] = to_8bit(finish(
                interpolate(endpoint[2 * s][c], endpoint[2 * s + 1][c], weights(index_bits)[index]),
                is_signed));
        out[t] = rgb[2] | rgb[1] << 8 | rgb[0] << 16;
    }
}

} // namespace vt::formats
