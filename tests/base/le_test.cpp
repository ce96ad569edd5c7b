#include <gtest/gtest.h>

#include <vector>

#include "base/le.h"

namespace vt::base {
namespace {

TEST(LittleEndian, WriterAndReaderAgreeByteForByte) {
    std::vector<std::uint8_t> bytes;
    LeWriter w(bytes);
    w.u8(0x01);
    w.u16(0x0302);
    w.u32(0x07060504);
    w.u64(0x0F0E0D0C0B0A0908ull);
    w.zeros(2);
    const std::vector<std::uint8_t> expected = {1,  2,  3,  4,  5,  6,  7, 8, 9,
                                                10, 11, 12, 13, 14, 15, 0, 0};
    EXPECT_EQ(bytes, expected);

    LeReader r(bytes);
    const std::uint64_t read[] = {r.u8(), r.u16(), r.u32(), r.u64()}; // in this order
    EXPECT_EQ(std::vector(std::begin(read), std::end(read)),
              (std::vector<std::uint64_t>{0x01, 0x0302, 0x07060504u, 0x0F0E0D0C0B0A0908ull}));
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.remaining(), 2u);
}

TEST(LittleEndian, ReaderFailsForGoodAtFirstShortRead) {
    const std::uint8_t bytes[] = {1, 2, 3, 4, 5};
    LeReader r(bytes);
    EXPECT_EQ(r.u32(), 0x04030201u);
    EXPECT_EQ(r.u16(), 0); // only one byte left
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.u8(), 0); // sticky, though a byte remains
    EXPECT_EQ(r.position(), 4u);
    LeReader huge(bytes);
    huge.skip(SIZE_MAX);
    EXPECT_FALSE(huge.ok());
}

} // namespace
} // namespace vt::base
