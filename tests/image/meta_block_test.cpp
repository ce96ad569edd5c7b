#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/le.h"
#include "image/meta_block.h"

namespace vt::image {
namespace {

using base::store_le32;

std::vector<std::pair<std::string, std::uint32_t>> chunks_of(const void* block,
                                                             std::uint32_t size) {
    std::vector<std::pair<std::string, std::uint32_t>> out;
    MetaChunkIterator it(block, size);
    for (MetaChunk c{}; it.next(c);)
        out.emplace_back(std::string(reinterpret_cast<const char*>(&c.tag), 4), c.size);
    return out;
}

using Chunks = std::vector<std::pair<std::string, std::uint32_t>>;

// A heap block owned by the test.
struct Block {
    void* data = nullptr;
    std::uint32_t size = 0;
    ~Block() { std::free(data); }
};

void* legacy_block(const char* tag, const char* text) {
    auto* b = static_cast<std::uint8_t*>(std::calloc(kLegacyBlockSize, 1));
    std::memcpy(b, tag, 4);
    std::memcpy(b + 4, text, std::strlen(text));
    return b;
}

TEST(MetaBlock, AddFindAndReplaceChunks) {
    Block b;
    EXPECT_EQ(add_meta_chunk(&b.data, &b.size, kTagMark, 6, "a=1;\r"), kChunkMoved);
    ASSERT_NE(b.data, nullptr);
    EXPECT_EQ(b.size, kMetaHeaderSize + 8 + 6);
    EXPECT_EQ(meta_block_size(b.data, b.size), b.size);
    void* zeroed = nullptr;
    EXPECT_EQ(add_meta_chunk(&b.data, &b.size, kTagPhys, 16, nullptr, &zeroed), kChunkAdded);
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(static_cast<std::uint8_t*>(zeroed)[15], 0);
    EXPECT_EQ(add_meta_chunk(&b.data, &b.size, kTagMark, 3, "b;"), kChunkAdded);
    EXPECT_EQ(chunks_of(b.data, b.size), (Chunks{{"MARK", 6}, {"PHYS", 16}, {"MARK", 3}}));

    MetaChunk c{};
    ASSERT_TRUE(find_meta_chunk(b.data, b.size, kTagMark, c));
    EXPECT_EQ(c.size, 6u);
    EXPECT_FALSE(find_meta_chunk(b.data, b.size, kTagHots, c));

    EXPECT_EQ(replace_meta_chunk(&b.data, &b.size, kTagMark, 4, "xyz"), 3);
    EXPECT_EQ(chunks_of(b.data, b.size), (Chunks{{"MARK", 4}, {"PHYS", 16}, {"MARK", 4}}));
    EXPECT_EQ(replace_meta_chunk(&b.data, &b.size, kTagHots, 16, nullptr), 1) << "added";
    EXPECT_EQ(chunks_of(b.data, b.size).back(),
              (std::pair<std::string, std::uint32_t>{"HOTS", 16}));

    EXPECT_EQ(add_meta_chunk(&b.data, &b.size, kTagMeta, 1, "x"), 0);
    EXPECT_EQ(replace_meta_chunk(&b.data, &b.size, kTagMeta, 1, "x"), 0);
}

TEST(MetaBlock, GrowsIntoANewBlockWhenTheAllocationIsFull) {
    Block b;
    ASSERT_EQ(add_meta_chunk(&b.data, &b.size, kTagNote, 10, nullptr), kChunkMoved);
    const std::vector<char> big(5000, 'x');
    EXPECT_EQ(add_meta_chunk(&b.data, &b.size, kTagNote, 5000, big.data()), kChunkMoved);
    EXPECT_EQ(chunks_of(b.data, b.size), (Chunks{{"NOTE", 10}, {"NOTE", 5000}}));
}

TEST(MetaBlock, LegacyBlocksReportTextLengthAndLinkAsTile) {
    Block mark;
    mark.data = legacy_block("MARK", "a=1;");
    mark.size = kLegacyBlockSize;
    EXPECT_EQ(chunks_of(mark.data, mark.size), (Chunks{{"MARK", 5}}));
    EXPECT_EQ(meta_block_size(mark.data, mark.size), kLegacyBlockSize);

    Block link;
    link.data = legacy_block("LINK", "abc");
    link.size = kLegacyBlockSize;
    MetaChunk c{};
    ASSERT_TRUE(find_meta_chunk(link.data, link.size, kTagTile, c));
    EXPECT_EQ(c.size, kLegacyChunkSize);

    // Adding turns it into a META block whose first chunk is the whole legacy chunk.
    EXPECT_EQ(add_meta_chunk(&link.data, &link.size, kTagPhys, 16, nullptr), kChunkMoved);
    EXPECT_EQ(chunks_of(link.data, link.size), (Chunks{{"TILE", 4092}, {"PHYS", 16}}));
    ASSERT_TRUE(find_meta_chunk(link.data, link.size, kTagTile, c));
    EXPECT_EQ(std::memcmp(c.data, "abc", 4), 0);

    // Replacing the legacy chunk's own tag copies in place.
    void* const before = mark.data;
    EXPECT_EQ(replace_meta_chunk(&mark.data, &mark.size, kTagMark, 6, "b=22;"), 1);
    EXPECT_EQ(mark.data, before);
    EXPECT_EQ(chunks_of(mark.data, mark.size), (Chunks{{"MARK", 6}}));
}

TEST(MetaBlock, ShortFormIsReadAndRebuiltOnChange) {
    Block b;
    b.size = 8 + 8 + 4;
    auto* p = static_cast<std::uint8_t*>(std::calloc(b.size, 1));
    b.data = p;
    std::memcpy(p, "META", 4);
    store_le32(p + 4, 16); // chunks end at 16 + 8
    std::memcpy(p + 8, "HOTS", 4);
    store_le32(p + 12, 4);
    EXPECT_EQ(chunks_of(b.data, b.size), (Chunks{{"HOTS", 4}}));
    EXPECT_EQ(add_meta_chunk(&b.data, &b.size, kTagMark, 1, ""), kChunkMoved);
    EXPECT_EQ(chunks_of(b.data, b.size), (Chunks{{"HOTS", 4}, {"MARK", 1}}));
}

TEST(MetaBlock, HostileSizesEndTheIterationInsideTheBlock) {
    std::vector<std::uint8_t> bytes(64, 0);
    std::memcpy(bytes.data(), "META", 4);
    store_le32(bytes.data() + 12, 0xFFFFFFF0u); // used: far past the end
    std::memcpy(bytes.data() + 16, "NOTE", 4);
    store_le32(bytes.data() + 20, 8);
    std::memcpy(bytes.data() + 32, "PATH", 4);
    store_le32(bytes.data() + 36, 100); // runs past the block
    EXPECT_EQ(chunks_of(bytes.data(), 64), (Chunks{{"NOTE", 8}}));

    store_le32(bytes.data() + 36, kMaxChunkSize + 1);
    EXPECT_EQ(chunks_of(bytes.data(), 0xFFFFFFFFu - 1).size(), 1u) << "over 32 MiB ends it";

    std::memcpy(bytes.data() + 32, "META", 4);
    store_le32(bytes.data() + 36, 0);
    EXPECT_EQ(chunks_of(bytes.data(), 64).size(), 1u) << "META is never a chunk";

    EXPECT_TRUE(chunks_of(bytes.data(), 7).empty());
    EXPECT_TRUE(chunks_of(nullptr, 100).empty());
    std::vector<std::uint8_t> odd(100, 'Z');
    EXPECT_TRUE(chunks_of(odd.data(), 100).empty()) << "neither META nor 4096 bytes";
}

} // namespace
} // namespace vt::image
