// RunLength, DeltaNibble and ModeMask: exact bytes for small inputs, worked out from the token
// tables, and the decoders' limits.

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "tests/vt5_codec/codec_data.h"
#include "vt5/codec/codecs.h"

namespace vt::vt5::codec {
namespace {

using test::ByteVec;

template <typename Codec>
ByteVec encode(const ByteVec& in) {
    ByteVec out(kEncodeCapacity);
    const std::size_t n = Codec::encode(out, in);
    EXPECT_EQ(n, Codec::encode({}, in)) << "measuring and writing disagree";
    out.resize(n);
    return out;
}

ByteVec concat(std::initializer_list<ByteVec> parts) {
    ByteVec all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

ByteVec iota(std::size_t n, std::uint8_t first) {
    ByteVec v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(first + i);
    return v;
}

TEST(RunLength, EncodesRunsByLength) {
    // 65,536 zeros: one long run (count 0x00010000) and the end byte.
    EXPECT_EQ(encode<RunLength>(ByteVec(65536, 0)), (ByteVec{0x80, 0, 0, 1, 0, 0, 0}));
    // 3 is the shortest run; 128 the longest short run.
    EXPECT_EQ(encode<RunLength>(ByteVec(3, 5)), (ByteVec{0x82, 5, 0}));
    EXPECT_EQ(encode<RunLength>(ByteVec(128, 5)), (ByteVec{0xFF, 5, 0}));
    // 129-256 are cut to 128 and the rest follows as its own token.
    EXPECT_EQ(encode<RunLength>(ByteVec(200, 7)), (ByteVec{0xFF, 7, 0xC7, 7, 0}));
    EXPECT_EQ(encode<RunLength>(ByteVec(256, 7)), (ByteVec{0xFF, 7, 0xFF, 7, 0}));
    // From 257 on a long run.
    EXPECT_EQ(encode<RunLength>(ByteVec(257, 9)), (ByteVec{0x80, 1, 1, 0, 0, 9, 0}));
    EXPECT_EQ(encode<RunLength>(ByteVec(300, 9)), (ByteVec{0x80, 0x2C, 1, 0, 0, 9, 0}));
}

TEST(RunLength, EncodesLiteralsUpToTheNextRun) {
    // Two bytes: a literal of at least three, the third from past the input.
    EXPECT_EQ(encode<RunLength>({1, 2}), (ByteVec{2, 1, 2, 0, 0}));
    EXPECT_EQ(encode<RunLength>({}), (ByteVec{0}));
    // The literal stops where three equal bytes start (far enough: three suffice)...
    EXPECT_EQ(encode<RunLength>({1, 2, 3, 4, 5, 6, 6, 6, 7, 8}),
              (ByteVec{4, 1, 2, 3, 4, 5, 0x82, 6, 2, 7, 8, 0, 0}));
    // ...but close by it needs four, so three equal bytes at distance 1 stay in the literal.
    EXPECT_EQ(encode<RunLength>({1, 2, 2, 2, 3, 4, 5, 6}),
              (ByteVec{3, 1, 2, 2, 2, 3, 3, 4, 5, 6, 0}));
    // Four equal at distance 2: a three-byte literal, then the run of the remaining three.
    EXPECT_EQ(encode<RunLength>({1, 2, 3, 3, 3, 3, 9, 8}),
              (ByteVec{2, 1, 2, 3, 0x82, 3, 2, 9, 8, 0, 0}));
    // 129 bytes and more: a long literal. 200 rising bytes: 196 long, the last 4 short.
    const ByteVec rising = iota(200, 0);
    const ByteVec expected = concat({{1, 196, 0, 0, 0},
                                     ByteVec(rising.begin(), rising.begin() + 196),
                                     {3, 196, 197, 198, 199, 0}});
    EXPECT_EQ(encode<RunLength>(rising), expected);
}

TEST(RunLength, GivesUpOnceTheOutputPassesTheInputBy16) {
    // Each group: a long literal of 129 bytes (+5) and a run of three (-1) grows by 4.
    ByteVec groups;
    for (int g = 0; g < 10; ++g) {
        const ByteVec literal = iota(129, 1);
        groups.insert(groups.end(), literal.begin(), literal.end());
        groups.insert(groups.end(), 3, 200);
    }
    EXPECT_EQ(RunLength::encode({}, groups), 0u);
    const ByteVec two(groups.begin(), groups.begin() + 2 * 132);
    EXPECT_GT(RunLength::encode({}, two), two.size());
}

TEST(RunLength, DecodesTokensAndStopsAtTheEndByte) {
    const ByteVec in = {0x82, 6, 2, 1, 2, 3, 0x80, 4, 0, 0, 0, 9, 1, 2, 0, 0, 0, 7, 8, 0, 0x82, 5};
    ByteVec out(64, 0xEE);
    ASSERT_EQ(RunLength::decode(out, in), 12u);
    EXPECT_EQ(ByteVec(out.begin(), out.begin() + 12),
              (ByteVec{6, 6, 6, 1, 2, 3, 9, 9, 9, 9, 7, 8}));
    EXPECT_EQ(out[12], 0xEE);
}

TEST(RunLength, LegacyRuleMakesByteOneATwoByteLiteral) {
    const ByteVec in = {1, 0xAA, 0xBB, 0};
    ByteVec out(16);
    // Without the rule the count runs past the data: nothing comes out.
    EXPECT_EQ(RunLength::decode(out, in), 0u);
    ASSERT_EQ(RunLength::decode(out, in, Literals::legacy), 2u);
    EXPECT_EQ(ByteVec(out.begin(), out.begin() + 2), (ByteVec{0xAA, 0xBB}));
    // A count of 0x1000000 or more is no count either.
    const ByteVec big = {1, 5, 6, 0, 0xFF, 0};
    ASSERT_EQ(RunLength::decode(out, big), 2u);
    EXPECT_EQ(ByteVec(out.begin(), out.begin() + 2), (ByteVec{5, 6}));
    EXPECT_EQ(DeltaNibble::decode(out, in, Literals::legacy), 2u);
}

TEST(DeltaNibble, EncodesDeltaRuns) {
    // 10..15: six values, five deltas of +1 (nibble 8); the last high nibble is not used.
    ByteVec six = encode<DeltaNibble>({10, 11, 12, 13, 14, 15});
    ASSERT_EQ(six.size(), 6u);
    six[4] &= 0x0F;
    EXPECT_EQ(six, (ByteVec{0x85, 10, 0x88, 0x88, 0x08, 0}));
    // 300 equal values: a long run (count 300), 150 bytes of nibble 7; the last high nibble
    // comes from the 0 past the input: (0 - 50 + 7) & 15 = 5.
    ByteVec flat(300, 50);
    ByteVec expected = {0x80, 0x2C, 1, 0, 0, 50};
    expected.insert(expected.end(), 149, 0x77);
    expected.push_back(0x57);
    expected.push_back(0);
    EXPECT_EQ(encode<DeltaNibble>(flat), expected);
}

TEST(DeltaNibble, LiteralRunsToOneByteIntoTheNextSmoothStretch) {
    EXPECT_EQ(encode<DeltaNibble>({0, 100, 200, 44}), (ByteVec{3, 0, 100, 200, 44, 0}));
    // Five jumpy bytes, then 10..24: the smooth seven start at 5, so the literal takes six
    // bytes; 11..24 is a run of 14.
    ByteVec in = {0, 50, 100, 150, 200};
    const ByteVec smooth = iota(15, 10);
    in.insert(in.end(), smooth.begin(), smooth.end());
    EXPECT_EQ(encode<DeltaNibble>(in), (ByteVec{5, 0, 50, 100, 150, 200, 10, 0x8D, 11, 0x88, 0x88,
                                                0x88, 0x88, 0x88, 0x88, 0xF8, 0}));
}

TEST(DeltaNibble, DecodesAndIgnoresTheUnusedNibble) {
    ByteVec out(16);
    ASSERT_EQ(DeltaNibble::decode(out, ByteVec{0x85, 10, 0x88, 0x88, 0xF8, 0}), 6u);
    EXPECT_EQ(ByteVec(out.begin(), out.begin() + 6), (ByteVec{10, 11, 12, 13, 14, 15}));
    // Nibble 0 is -7 and 15 is +8, wrapping modulo 256.
    ASSERT_EQ(DeltaNibble::decode(out, ByteVec{0x82, 3, 0xF0}), 3u);
    EXPECT_EQ(ByteVec(out.begin(), out.begin() + 3), (ByteVec{3, 252, 4}));
}

// A token reaching past the capacity is corrupt (0); a token cut by the end of the input ends
// decoding with what was produced.
TEST(TokenDecoders, CapacityAndCutTokens) {
    const std::tuple<std::uint8_t, ByteVec, std::size_t, std::size_t> cases[] = {
        {kCodecRunLength, {0x83, 9, 0}, 4, 0},
        {kCodecRunLength, {0x83, 9, 0}, 5, 4},
        {kCodecRunLength, {2, 1, 2, 3, 0}, 3, 0},
        {kCodecRunLength, {0x80, 0xFF, 0xFF, 0xFF, 0xFF, 1}, 5, 0},
        {kCodecRunLength, {0x82, 6, 0x82}, 16, 3},
        {kCodecRunLength, {0x82, 6, 4, 1, 2}, 16, 3},
        {kCodecRunLength, {0x82, 6, 0x80, 1, 0}, 16, 3},
        {kCodecDeltaNibble, {0x85, 10, 0x88, 0x88, 0x88, 0}, 6, 6},
        {kCodecDeltaNibble, {0x85, 10, 0x88, 0x88, 0x88, 0}, 5, 0},
        {kCodecDeltaNibble, {0x80, 0xFF, 0xFF, 0xFF, 0xFF, 1}, 6, 0},
    };
    for (const auto& [codec, in, capacity, count] : cases) {
        ByteVec out(capacity);
        EXPECT_EQ(decode_step(codec, out, in), count) << int{codec} << " " << capacity;
    }
}

TEST(ModeMask, EncodesMaskGroups) {
    EXPECT_EQ(encode<ModeMask>(ByteVec(8, 9)), (ByteVec{9, 8, 0, 0, 0, 0}));
    EXPECT_EQ(encode<ModeMask>({}), (ByteVec{0, 0, 0, 0, 0}));
    // A short last group; equal counts choose the lowest value (3 over 5).
    EXPECT_EQ(encode<ModeMask>({0, 0, 5, 0, 0, 0, 0, 0, 0, 7}),
              (ByteVec{0, 10, 0, 0, 0, 0x04, 5, 0x02, 7}));
    EXPECT_EQ(encode<ModeMask>({5, 3, 5, 3}), (ByteVec{3, 4, 0, 0, 0, 0x05, 5, 5}));
}

TEST(ModeMask, GivesUpWhenGroupsCannotBeatTheInput) {
    // Every byte but one differs from the mode: 9 bytes per group of 8.
    EXPECT_EQ(ModeMask::encode({}, iota(80, 1)), 5u + 8 + 9 * 9);
    EXPECT_EQ(ModeMask::encode({}, iota(800, 1)), 0u);
}

TEST(ModeMask, DecoderReturnsTheRecordedLength) {
    ByteVec out(16, 0xEE);
    const ByteVec in = {0, 10, 0, 0, 0, 0x04, 5, 0x02, 7};
    ASSERT_EQ(ModeMask::decode(out, in), 10u);
    EXPECT_EQ(ByteVec(out.begin(), out.begin() + 10), (ByteVec{0, 0, 5, 0, 0, 0, 0, 0, 0, 7}));
    // Whole groups: the second group is written out in full, inside the capacity only.
    EXPECT_EQ(out[15], 0);
    ByteVec tight(12, 0xEE);
    EXPECT_EQ(ModeMask::decode(tight, in), 10u);
    // Five bytes: the length, nothing written; fewer: corrupt.
    ByteVec untouched(4, 0xEE);
    EXPECT_EQ(ModeMask::decode(untouched, ByteVec{1, 3, 0, 0, 0}), 3u);
    EXPECT_EQ(untouched, ByteVec(4, 0xEE));
    EXPECT_EQ(ModeMask::decode(untouched, ByteVec{1, 3, 0, 0}), 0u);
}

} // namespace
} // namespace vt::vt5::codec
