// The rank, flag and delta-bit coders: exact bytes worked out bit by bit (least significant bit
// first), and where their decoders stop.

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <tuple>
#include <vector>

#include "tests/vt5_codec/codec_data.h"
#include "vt5/codec/codecs.h"

namespace vt::vt5::codec {
namespace {

using test::ByteVec;

// A rank table whose entry r is 255 - r, followed by the given bit stream bytes.
ByteVec reversed_table_then(const ByteVec& bits) {
    ByteVec in(256);
    for (int r = 0; r < 256; ++r)
        in[static_cast<std::size_t>(r)] = static_cast<std::uint8_t>(255 - r);
    in.insert(in.end(), bits.begin(), bits.end());
    return in;
}

std::uint32_t base_le32(const ByteVec& v, std::size_t at) {
    return static_cast<std::uint32_t>(v[at] | v[at + 1] << 8 | v[at + 2] << 16 | v[at + 3] << 24);
}

ByteVec rank_pack(const ByteVec& in, int group) {
    ByteVec out(kEncodeCapacity);
    const std::size_t n = RankPack::encode(out, in, group);
    EXPECT_EQ(n, RankPack::encode({}, in, group));
    out.resize(n);
    return out;
}

TEST(RankPack, AllZeroRanksUseOneBit) {
    // 1,024 sevens in groups of 4: each group is w - 1 = 0 and four 1-bit ranks of 0.
    const ByteVec out = rank_pack(ByteVec(1024, 7), 4);
    ASSERT_EQ(out.size(), 261u + 1024 / 4 * 7 / 8);
    // 7 ranks first, then the absent values in ascending order.
    ByteVec table = {7, 0, 1, 2, 3, 4, 5, 6};
    for (int v = 8; v < 256; ++v)
        table.push_back(static_cast<std::uint8_t>(v));
    EXPECT_EQ(ByteVec(out.begin(), out.begin() + 256), table);
    EXPECT_EQ(base_le32(out, 256), 1024u);
    EXPECT_EQ(out[260], 3); // group size 4
    EXPECT_EQ(ByteVec(out.begin() + 261, out.end()), ByteVec(224, 0));
}

TEST(RankPack, PacksGroupsAtTheirOwnWidth) {
    // Ranks: 1 -> 0 (count 398), 2 -> 1, 3 -> 2 (count 1, ascending). Groups of 2:
    // [0, 0] w 1: bits 000 0 0; [1, 2] w 2: bits 100 10 01 -> 0x20, 0x09; then 198 groups of
    // five zero bits: 1,002 bits in all.
    ByteVec in = {1, 1, 2, 3};
    in.resize(400, 1);
    const ByteVec out = rank_pack(in, 2);
    ASSERT_EQ(out.size(), 261u + 126);
    EXPECT_EQ(ByteVec(out.begin(), out.begin() + 5), (ByteVec{1, 2, 3, 0, 4}));
    ByteVec groups = {1, 0x20, 0x09}; // group size 2, then the bits
    groups.resize(127, 0);
    EXPECT_EQ(ByteVec(out.begin() + 260, out.end()), groups);

    ByteVec back(500);
    ASSERT_EQ(RankPack::decode(back, out), 400u);
    EXPECT_EQ(ByteVec(back.begin(), back.begin() + 400), in);
}

TEST(RankPack, PadsTheLastGroupWithTheLastByte) {
    // 999 fives and a seven in groups of 16: the last group holds 8 bytes and 8 pads of 7, and
    // decoding writes the pads too.
    ByteVec in(999, 5);
    in.push_back(7);
    const ByteVec out = rank_pack(in, 16);
    ASSERT_GT(out.size(), 0u);
    ByteVec back(1009, 0xEE);
    ASSERT_EQ(RankPack::decode(back, out), 1000u);
    EXPECT_EQ(ByteVec(back.begin(), back.begin() + 1000), in);
    EXPECT_EQ(ByteVec(back.begin() + 1000, back.end()), (ByteVec{7, 7, 7, 7, 7, 7, 7, 7, 0xEE}));
}

TEST(RankPack, ClampsTheGroupSize) {
    const ByteVec data = test::sparse_bytes(5000, 3);
    EXPECT_EQ(rank_pack(data, 0), rank_pack(data, 1));
    EXPECT_EQ(rank_pack(data, 40), rank_pack(data, 16));
    EXPECT_EQ(rank_pack(data, 40)[260], 15);
}

TEST(RankPack, CannotBeatSmallInputsOverItsHeader) {
    // The 261-byte header alone reaches L + 16 for anything shorter than 245 bytes.
    EXPECT_EQ(RankPack::encode({}, ByteVec(244, 7), 16), 0u);
    EXPECT_GT(RankPack::encode({}, ByteVec(300, 7), 16), 0u);
}

TEST(RankPack, GivesUpOnIncompressibleData) {
    // Random bytes need about 8.4 bits each after a 261-byte header.
    EXPECT_EQ(RankPack::encode({}, test::random_bytes(4096, 1), 4), 0u);
    EXPECT_EQ(RankPack::encode({}, {}, 4), 261u);
}

TEST(RankPack, DecoderNeedsTheWholeHeader) {
    ByteVec out(16);
    EXPECT_EQ(RankPack::decode(out, ByteVec(260, 0)), 0u);
    // 261 bytes and L = 3: missing bits read as 0, so three bytes of table[0].
    ByteVec in = reversed_table_then({3, 0, 0, 0, 0});
    ASSERT_EQ(RankPack::decode(out, in), 3u);
    EXPECT_EQ(ByteVec(out.begin(), out.begin() + 3), ByteVec(3, 255));
}

// Hand-worked bit streams through each bit decoder: how many bytes come out for the capacity
// given, and which.
TEST(BitDecoders, HandWorkedStreams) {
    using Case = std::tuple<const char*, std::uint8_t, ByteVec, std::size_t, std::size_t, ByteVec>;
    // (class 0, index 1) (class 1, index 5) (class 3, index 200):
    // bits 00 10 | 10 1010 | 11 00010011 -> 0x54 0x8D 0x0C; the four pad bits form one more
    // class 0 code of index 0.
    const ByteVec rank_code = reversed_table_then({0x54, 0x8D, 0x0C});
    // w 2 (field 1) and indices 0, 1, 2, 3: bits 100 00 10 01 11 -> 0x21 0x07; the five pad
    // bits give a w-1 group with two indices of 0 before the bits run out.
    const ByteVec pack4 = reversed_table_then({0x21, 0x07});
    // w 3 (field 2) and indices 5, 7: bits 010 101 111 -> 0xEA 0x01.
    const ByteVec pack2 = reversed_table_then({0xEA, 0x01});
    // Literal 1, 2, 3; delta token of 3 from 100: +5 (w 3), -1 (w 1), +15 (w 4):
    // bits 010 101 | 001 1 | 110 1111 -> 0x2A 0xEF 0x01; 0x85 is skipped; then the end.
    const ByteVec delta = {0x02, 1, 2, 3, 0x43, 100, 0x2A, 0xEF, 0x01, 0x85, 0x00, 0x01, 9};
    const Case cases[] = {
        {"rank code", kCodecRankCode, rank_code, 3, 3, {254, 250, 55}},
        {"rank code with room for the pad", kCodecRankCode, rank_code, 10, 4, {254, 250, 55, 255}},
        {"rank code without bits", kCodecRankCode, ByteVec(256, 0), 10, 0, {}},
        {"rank pack 4", kCodecRankPack4, pack4, 16, 6, {255, 254, 253, 252, 255, 255}},
        {"rank pack 4 without bits", kCodecRankPack4, ByteVec(256, 1), 16, 0, {}},
        {"rank pack 2", kCodecRankPack2, pack2, 16, 4, {250, 248, 255, 255}},
        {"rank pack 2 into one byte", kCodecRankPack2, pack2, 1, 1, {250}},
        // m = 0x11; flags 1, 0 + 0xAB, 1: bits 1 0 11010101 1 -> 0xAD 0x06.
        {"flag bits", kCodecFlagBits, {0x11, 0xAD, 0x06}, 16, 3, {0x11, 0xAB, 0x11}},
        {"flag bits: set pad bits repeat m", kCodecFlagBits, {0x11, 0xFF}, 2, 2, {0x11, 0x11}},
        {"flag bits without bits", kCodecFlagBits, {0x11}, 16, 0, {}},
        {"delta bits", kCodecDeltaBits, delta, 16, 7, {1, 2, 3, 100, 105, 104, 119}},
        {"delta bits up to the capacity", kCodecDeltaBits, delta, 5, 5, {1, 2, 3, 100, 105}},
        // A delta token with no deltas ends at the byte after its value.
        {"delta token without deltas", kCodecDeltaBits, {0x40, 7, 0x00, 8}, 16, 1, {7}},
        // Cut short: what was complete stays.
        {"delta bits cut in a literal", kCodecDeltaBits, {0x05, 1, 2}, 16, 2, {1, 2}},
        {"delta bits cut in a token", kCodecDeltaBits, {0x43, 100, 0x2A}, 16, 2, {100, 105}},
    };
    for (const auto& [what, codec, in, capacity, count, expected] : cases) {
        ByteVec out(capacity);
        ASSERT_EQ(decode_step(codec, out, in), count) << what;
        EXPECT_EQ(ByteVec(out.begin(), out.begin() + static_cast<long>(count)), expected) << what;
    }
}

} // namespace
} // namespace vt::vt5::codec
