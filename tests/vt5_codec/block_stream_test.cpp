// The block stream: exact element bytes, the codec choice loop, both reading forms, and the
// faults a damaged stream reports.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "base/le.h"
#include "platform/files.h"
#include "tests/support/temp_folder.h"
#include "tests/vt5_codec/codec_data.h"
#include "vt5/codec/block_stream.h"
#include "vt5/codec/codecs.h"

namespace vt::vt5::codec {
namespace {

using test::ByteVec;

ByteVec write_stream(const ByteVec& stream, bool thorough) {
    ByteVec file;
    VectorSink sink(file);
    const BlockStreamWrite w = write_block_stream(stream, sink, thorough);
    EXPECT_TRUE(w.ok());
    return file;
}

// A data block element framed by hand.
ByteVec block_element(std::uint32_t u, const CodecChain& chain, const ByteVec& payload,
                      std::uint32_t extra_header = 0) {
    ByteVec e;
    base::LeWriter w(e);
    w.u8(kElementBlock);
    w.zeros(3);
    w.u32(static_cast<std::uint32_t>(32 + extra_header + payload.size()));
    w.u32(0);
    w.u32(static_cast<std::uint32_t>(payload.size()));
    w.u32(u);
    w.u32(0);
    for (const std::uint8_t id : chain)
        w.u8(id);
    w.zeros(extra_header);
    e.insert(e.end(), payload.begin(), payload.end());
    return e;
}

ByteVec element(std::uint8_t type, const ByteVec& body) {
    ByteVec e = {type, 0, 0, 0};
    base::LeWriter w(e);
    w.u32(static_cast<std::uint32_t>(body.size()));
    e.insert(e.end(), body.begin(), body.end());
    return e;
}

ByteVec operator+(ByteVec a, const ByteVec& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct ReadBack {
    BlockStreamRead report;
    ByteVec data;
};

ReadBack read_stream(const ByteVec& file, std::size_t length, bool v3 = false) {
    ReadBack r;
    r.data.assign(length + 4096, 0);
    SpanSource source(file);
    r.report = v3 ? read_block_stream_v3(r.data, length, source)
                  : read_block_stream(r.data, length, source);
    r.data.resize(length);
    return r;
}

TEST(BlockStreamWriter, ZerosBecomeOneLongRun) {
    const ByteVec file = write_stream(ByteVec(65536, 0), false);
    const ByteVec expected = {2,    0, 0, 0, 39, 0, 0, 0,             // element: block, body 32 + 7
                              0,    0, 0, 0, 7,  0, 0, 0, 0, 0, 1, 0, // C = 7, U = 65,536
                              0,    0, 0, 0, 1,  0, 0, 0, 0, 0, 0, 0, // chain (1)
                              0,    0, 0, 0, 0,  0, 0, 0,             //
                              0x80, 0, 0, 1, 0,  0, 0};
    EXPECT_EQ(file, expected);
}

TEST(BlockStreamWriter, SplitsAt65536AndStoresWhatNoCodecShrinks) {
    const ByteVec file = write_stream(ByteVec(65537, 0), false);
    ASSERT_EQ(file.size(), 47u + 41u);
    const ByteVec second(file.begin() + 47, file.end());
    EXPECT_EQ(second, block_element(1, CodecChain{}, {0}));
    EXPECT_EQ(read_stream(file, 65537).data, ByteVec(65537, 0));
}

TEST(BlockStreamWriter, ShortBlocksAreCompressedOnlyWhenThorough) {
    EXPECT_EQ(write_stream(ByteVec(10, 0), false), block_element(10, CodecChain{}, ByteVec(10, 0)));
    // Thorough: RunLength gives 0x89 0 0; nothing shrinks those three bytes further.
    EXPECT_EQ(write_stream(ByteVec(10, 0), true), block_element(10, CodecChain{1}, {0x89, 0, 0}));
    EXPECT_TRUE(write_stream({}, false).empty());
}

TEST(BlockStreamWriter, ChoosesTheSmallestCandidateStepByStep) {
    // A sparse plane: ModeMask wins the first step, and is not the only step taken.
    const ByteVec sparse = test::sparse_bytes(65536, 3);
    const ByteVec file = write_stream(sparse, false);
    EXPECT_EQ(file[8 + 16], kCodecModeMask);
    const std::uint32_t c = base::load_le32(file.data() + 8 + 4);
    EXPECT_LT(c, ModeMask::encode({}, sparse));
    EXPECT_EQ(read_stream(file, sparse.size()).data, sparse);
    // Random bytes: stored as they are.
    const ByteVec noise = test::random_bytes(1000, 3);
    EXPECT_EQ(write_stream(noise, true), block_element(1000, CodecChain{}, noise));
}

TEST(BlockStreamWriter, ThoroughIsNeverLarger) {
    for (unsigned seed = 0; seed < 6; ++seed) {
        const ByteVec data =
            seed % 2 ? test::photo_bytes(70000, seed) : test::run_bytes(70000, seed);
        EXPECT_LE(write_stream(data, true).size(), write_stream(data, false).size());
    }
}

TEST(BlockStreamWriter, ShortWriteIsReported) {
    struct FullDisk final : ByteSink {
        std::size_t room = 60;
        std::size_t write(std::span<const std::uint8_t> bytes) noexcept override {
            const std::size_t n = std::min(room, bytes.size());
            room -= n;
            return n;
        }
    } disk;
    const BlockStreamWrite w = write_block_stream(test::random_bytes(100, 1), disk, false);
    EXPECT_EQ(w.fault, BlockFault::short_write);
    EXPECT_EQ(block_fault_text(w.fault), u"Error writing data to file, disk may be full");
    EXPECT_EQ(block_fault_title(w.fault), u"");
}

TEST(BlockStreamRoundTrip, EveryPatternBothModes) {
    std::vector<ByteVec> streams;
    for (const auto& p : test::patterns())
        streams.push_back(p.bytes);
    streams.push_back(test::photo_bytes(3 * 65536 + 17, 9));
    streams.push_back(test::run_bytes(2 * 65536, 9) + test::random_bytes(5000, 9));
    for (const bool thorough : {false, true}) {
        for (const auto& stream : streams) {
            const ByteVec file = write_stream(stream, thorough);
            const ReadBack back = read_stream(file, stream.size());
            ASSERT_EQ(back.report.fault, BlockFault::none);
            ASSERT_TRUE(back.report.complete);
            ASSERT_EQ(back.report.blocks, (stream.size() + 65535) / 65536);
            ASSERT_EQ(back.data, stream);
        }
    }
}

TEST(BlockStreamRoundTrip, ThroughAFile) {
    vt::test::TempFolder folder;
    const std::u16string path = folder.path16() + u"/stream.bin";
    const ByteVec stream = test::photo_bytes(100000, 4);
    {
        platform::File f;
        ASSERT_TRUE(f.open(path, platform::File::Mode::read_write_create));
        ASSERT_EQ(f.write(ByteVec(5, 0xAB)), 5u);
        FileSink sink(f);
        ASSERT_TRUE(write_block_stream(stream, sink, false).ok());
    }
    platform::File f;
    ASSERT_TRUE(f.open(path, platform::File::Mode::read));
    FileSource source(f, 5);
    ByteVec back(stream.size());
    const BlockStreamRead r = read_block_stream(back, stream.size(), source);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(back, stream);
}

TEST(BlockStreamReader, UndoesTheChainFromTheLastStep) {
    // Chain (6, 1): RankPack was applied first, so RunLength is undone first.
    const ByteVec data = test::run_bytes(5000, 1);
    ByteVec packed(kEncodeCapacity), twice(kEncodeCapacity);
    packed.resize(RankPack::encode(packed, data, 4));
    ASSERT_GT(packed.size(), 0u);
    twice.resize(RunLength::encode(twice, packed));
    ASSERT_GT(twice.size(), 0u);
    const ByteVec file = block_element(5000, CodecChain{6, 1}, twice);
    EXPECT_EQ(read_stream(file, 5000).data, data);
    // The other order fails.
    const ReadBack wrong = read_stream(block_element(5000, CodecChain{1, 6}, twice), 5000);
    EXPECT_NE(wrong.data, data);
}

TEST(BlockStreamReader, SkipsOtherElementsAndLongerHeaders) {
    const ByteVec file = element(254, {'h', 'i', 0}) +
                         block_element(3, CodecChain{1}, {0x82, 9, 0}, /*extra_header=*/12) +
                         element(77, {}) + block_element(2, CodecChain{}, {4, 5});
    const ReadBack r = read_stream(file, 5);
    EXPECT_TRUE(r.report.complete);
    EXPECT_EQ(r.report.blocks, 2u);
    EXPECT_EQ(r.data, (ByteVec{9, 9, 9, 4, 5}));
}

TEST(BlockStreamReader, ClipsBlocksToTheDestination) {
    // A RunLength literal restores one byte more than U; the destination gets U bytes only.
    ByteVec dest(3, 0xEE);
    const ByteVec file = block_element(2, CodecChain{1}, {2, 1, 2, 0x77, 0}) +
                         block_element(5, CodecChain{}, {1, 2, 3, 4, 5});
    SpanSource source(file);
    const BlockStreamRead r = read_block_stream(dest, 7, source);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(dest, (ByteVec{1, 2, 1}));
}

TEST(BlockStreamReader, EndOfDataEndsTheStreamWithoutFault) {
    const ByteVec full = write_stream(test::photo_bytes(70000, 2), false);
    for (std::size_t cut = 0; cut < full.size(); cut += 1 + cut / 3) {
        const ReadBack r =
            read_stream(ByteVec(full.begin(), full.begin() + static_cast<long>(cut)), 70000);
        EXPECT_EQ(r.report.fault, BlockFault::none) << cut;
        EXPECT_FALSE(r.report.complete) << cut;
    }
    // Zero-sized elements up to the end do not loop.
    ByteVec empties;
    for (int i = 0; i < 100; ++i)
        empties = empties + element(9, {});
    EXPECT_FALSE(read_stream(empties, 10).report.complete);
}

TEST(BlockStreamReader, ReportsEachFault) {
    using Case = std::tuple<const char*, ByteVec, BlockFault>;
    const Case cases[] = {
        {"unknown codec", block_element(3, CodecChain{8}, {1, 2, 3}), BlockFault::unknown_codec},
        {"password step", block_element(3, CodecChain{255}, {1, 2, 3}), BlockFault::unknown_codec},
        {"decoder fails", block_element(3, CodecChain{1}, {0x80, 0xFF, 0xFF, 0xFF, 0xFF, 1}),
         BlockFault::corrupt_block},
        {"empty payload", block_element(3, CodecChain{}, {}), BlockFault::invalid_input},
        {"step leaves nothing", block_element(3, CodecChain{3, 1}, {0x82, 9, 0}),
         BlockFault::corrupt_block},
        {"U above a block", block_element(65537, CodecChain{}, {1}), BlockFault::corrupt_block},
    };
    for (const auto& [what, file, fault] : cases) {
        const ReadBack r = read_stream(file, 3);
        EXPECT_EQ(r.report.fault, fault) << what;
        EXPECT_EQ(r.report.blocks, 0u) << what;
    }
    // The payload claims more than the body holds.
    ByteVec liar = block_element(3, CodecChain{}, {1, 2, 3});
    base::store_le32(liar.data() + 4, 20);
    EXPECT_EQ(read_stream(liar, 3).report.fault, BlockFault::corrupt_block);
}

TEST(BlockStreamReader, KeepsWhatWasRestoredBeforeAFault) {
    const ByteVec file = block_element(2, CodecChain{}, {7, 8}) +
                         block_element(2, CodecChain{9}, {1, 2}) +
                         block_element(2, CodecChain{}, {3, 4});
    SpanSource source(file);
    ByteVec dest(6, 0);
    const BlockStreamRead r = read_block_stream(dest, 6, source);
    EXPECT_EQ(r.fault, BlockFault::unknown_codec);
    EXPECT_EQ(r.restored, 2u);
    EXPECT_EQ(dest[0], 7);
    // The source stands after the failed block, at the next element.
    EXPECT_EQ(source.position(), 2 * (8 + 32 + 2));
}

TEST(BlockStreamReader, GarbageNeverEscapesTheDestination) {
    std::mt19937 rng(99);
    const ByteVec good = write_stream(test::run_bytes(20000, 1), false);
    for (int round = 0; round < 400; ++round) {
        ByteVec file = good;
        for (int k = 0; k < 1 + round % 8; ++k)
            file[rng() % file.size()] = static_cast<std::uint8_t>(rng());
        ByteVec dest(20000 + 64, 0xC3);
        SpanSource source(file);
        const BlockStreamRead r = read_block_stream(std::span(dest).first(20000), 20000, source);
        EXPECT_LE(r.restored, 20000u);
        ASSERT_EQ(ByteVec(dest.begin() + 20000, dest.end()), ByteVec(64, 0xC3));
    }
}

// Version 3 block elements: type, reserved, header size (u16), C, U, chain, payload.
ByteVec v3_block(std::uint32_t u, const CodecChain& chain, const ByteVec& payload,
                 std::uint16_t header_size = 28) {
    ByteVec e;
    base::LeWriter w(e);
    w.u8(kElementBlock);
    w.u8(0);
    w.u16(header_size);
    w.u32(static_cast<std::uint32_t>(payload.size()));
    w.u32(u);
    for (const std::uint8_t id : chain)
        w.u8(id);
    if (header_size > 28)
        w.zeros(header_size - 28u);
    e.resize(std::max<std::size_t>(header_size, 4));
    e.insert(e.end(), payload.begin(), payload.end());
    return e;
}

TEST(BlockStreamReaderV3, ReadsBlocksWithTheirOwnHeaderSizes) {
    const ByteVec file = ByteVec{9, 0, 6, 0, 1, 2} + // an element before the first block
                         v3_block(3, CodecChain{1}, {0x82, 9, 0}) +
                         v3_block(2, CodecChain{}, {4, 5}, 40);
    const ReadBack r = read_stream(file, 5, true);
    EXPECT_TRUE(r.report.complete);
    EXPECT_EQ(r.data, (ByteVec{9, 9, 9, 4, 5}));
}

TEST(BlockStreamReaderV3, EndsAtTheFirstOtherElementAfterABlock) {
    const ByteVec layer = {1, 0, 96, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const ByteVec file = v3_block(2, CodecChain{}, {4, 5}) + layer;
    SpanSource source(file);
    ByteVec dest(10);
    const BlockStreamRead r = read_block_stream_v3(dest, 10, source);
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(r.fault, BlockFault::none);
    EXPECT_EQ(r.restored, 2u);
    EXPECT_EQ(source.position(), 30u); // left at the layer element
    // Fewer than 12 bytes: the end.
    EXPECT_FALSE(read_stream(ByteVec{2, 0, 28, 0, 1, 0, 0, 0}, 1, true).report.complete);
    // A header size below 28 still carries C and U; missing chain entries are 0.
    const ReadBack small = read_stream(v3_block(2, CodecChain{1}, {7, 8}, 12), 2, true);
    EXPECT_TRUE(small.report.complete);
    EXPECT_EQ(small.data, (ByteVec{7, 8}));
}

TEST(BlockStreamReaderV3, ReportsFaultsAsTheCurrentForm) {
    EXPECT_EQ(read_stream(v3_block(3, CodecChain{40}, {1, 2, 3}), 3, true).report.fault,
              BlockFault::unknown_codec);
    EXPECT_EQ(read_stream(v3_block(3, CodecChain{2}, {0x80, 0, 0, 0, 0x10}), 3, true).report.fault,
              BlockFault::corrupt_block);
}

} // namespace
} // namespace vt::vt5::codec
