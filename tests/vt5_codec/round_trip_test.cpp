// Every encoder through its decoder over every pattern and length boundary, and every decoder
// over hostile input: never a byte written past the capacity, never one read past the input.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/vt5_codec/codec_data.h"
#include "vt5/codec/codecs.h"

namespace vt::vt5::codec {
namespace {

using test::ByteVec;

struct Coder {
    std::string name;
    std::function<std::size_t(std::span<std::uint8_t>, std::span<const std::uint8_t>)> encode;
    std::uint8_t id;
};

std::vector<Coder> coders() {
    std::vector<Coder> all = {
        {"RunLength", [](auto out, auto in) { return RunLength::encode(out, in); }, 1},
        {"DeltaNibble", [](auto out, auto in) { return DeltaNibble::encode(out, in); }, 2},
        {"ModeMask", [](auto out, auto in) { return ModeMask::encode(out, in); }, 7},
    };
    for (int g = 1; g <= 16; ++g)
        all.push_back({"RankPack" + std::to_string(g),
                       [g](auto out, auto in) { return RankPack::encode(out, in, g); }, 6});
    return all;
}

TEST(CodecRoundTrip, EveryEncoderThroughItsDecoder) {
    const auto all = coders();
    std::size_t coded = 0;
    for (const auto& pattern : test::patterns()) {
        for (const auto& coder : all) {
            SCOPED_TRACE(coder.name + " " + pattern.name);
            const std::size_t measured = coder.encode({}, pattern.bytes);
            ByteVec packed(kEncodeCapacity, 0xEE);
            const std::size_t n = coder.encode(packed, pattern.bytes);
            ASSERT_EQ(n, measured);
            if (n == 0)
                continue; // gave up: the block is stored another way
            ++coded;
            ASSERT_LE(n, pattern.bytes.size() + 16 + 261);
            packed.resize(n); // exact size: a read past it is caught by the sanitizer build
            const std::size_t capacity = pattern.bytes.size() + kMaxBlockLength;
            ByteVec out(capacity + 64, 0xC3);
            const std::size_t got = decode_step(coder.id, std::span(out).first(capacity), packed);
            ASSERT_GE(got, pattern.bytes.size());
            ASSERT_TRUE(std::equal(pattern.bytes.begin(), pattern.bytes.end(), out.begin()));
            ASSERT_EQ(ByteVec(out.begin() + static_cast<long>(capacity), out.end()),
                      ByteVec(64, 0xC3))
                << "written past the capacity";
        }
    }
    EXPECT_GT(coded, 500u);
}

TEST(CodecRoundTrip, CompressibleDataShrinks) {
    const ByteVec photo = test::photo_bytes(65536, 7);
    EXPECT_LT(DeltaNibble::encode({}, photo), photo.size());
    EXPECT_LT(RankPack::encode({}, photo, 4), photo.size());
    const ByteVec sparse = test::sparse_bytes(65536, 7);
    EXPECT_LT(ModeMask::encode({}, sparse), sparse.size());
    const ByteVec runs = test::run_bytes(65536, 7);
    EXPECT_LT(RunLength::encode({}, runs), runs.size() / 2);
}

TEST(CodecRoundTrip, EncoderNeverWritesPastItsOutput) {
    // Outputs one byte short of what each coder needs report 0 and stay inside.
    const auto all = coders();
    for (const auto& pattern : {test::photo_bytes(3000, 1), test::run_bytes(3000, 2)}) {
        for (const auto& coder : all) {
            const std::size_t n = coder.encode({}, pattern);
            if (n == 0)
                continue;
            ByteVec out(n - 1 + 32, 0xC3);
            EXPECT_EQ(coder.encode(std::span(out).first(n - 1), pattern), 0u) << coder.name;
            ASSERT_EQ(ByteVec(out.begin() + static_cast<long>(n - 1), out.end()), ByteVec(32, 0xC3))
                << coder.name;
        }
    }
}

constexpr std::uint8_t kAllIds[] = {1, 2, 3, 4, 5, 6, 7, 19, 35};

// Runs one decoder over `in` (copied to an exact-size heap block) into a guarded output.
void decode_guarded(std::uint8_t id, const ByteVec& in, std::size_t capacity, Literals literals) {
    const ByteVec exact(in);
    ByteVec out(capacity + 64, 0xC3);
    const std::size_t n = decode_step(id, std::span(out).first(capacity), exact, literals);
    if (id != kCodecModeMask && id != kCodecRankPack) {
        ASSERT_LE(n, capacity) << int(id);
    }
    ASSERT_EQ(ByteVec(out.begin() + static_cast<long>(capacity), out.end()), ByteVec(64, 0xC3))
        << "decoder " << int(id) << " wrote past its capacity";
}

TEST(CodecHostile, GarbageNeverEscapesTheBuffers) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t size = rng() % (round % 10 == 0 ? 3000 : 300);
        ByteVec in(size);
        for (auto& b : in)
            b = static_cast<std::uint8_t>(round % 3 == 0 ? rng() % 4 : rng());
        const std::size_t capacity = rng() % 5000;
        for (const std::uint8_t id : kAllIds)
            decode_guarded(id, in, capacity, round % 2 ? Literals::legacy : Literals::current);
    }
}

TEST(CodecHostile, TruncatedEncodingsFailCleanly) {
    const auto all = coders();
    const ByteVec data = test::run_bytes(2000, 5);
    for (const auto& coder : all) {
        ByteVec packed(kEncodeCapacity);
        const std::size_t n = coder.encode(packed, data);
        packed.resize(n);
        for (std::size_t cut = 0; cut < n; cut += 1 + cut / 16) {
            const ByteVec part(packed.begin(), packed.begin() + static_cast<long>(cut));
            decode_guarded(coder.id, part, data.size(), Literals::current);
            decode_guarded(coder.id, part, 7, Literals::current);
        }
    }
}

TEST(CodecHostile, HugeCountsAreRefusedNotAllocated) {
    ByteVec out(100);
    // Long runs and literals and delta runs claiming 4 GiB.
    EXPECT_EQ(RunLength::decode(out, ByteVec{0x80, 0xFF, 0xFF, 0xFF, 0xFF, 7}), 0u);
    EXPECT_EQ(DeltaNibble::decode(out, ByteVec{0x80, 0xFF, 0xFF, 0xFF, 0xFF, 7}), 0u);
    EXPECT_EQ(RunLength::decode(out, ByteVec{1, 0xFF, 0xFF, 0xFF, 0x00, 7}), 0u);
    // Group decoders return the recorded length but write only inside the capacity.
    ByteVec mode = {4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(ModeMask::decode(out, mode), 0xFFFFFFFFu);
}

} // namespace
} // namespace vt::vt5::codec
