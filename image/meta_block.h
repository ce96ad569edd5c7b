#pragma once
// MetaBlock: a layer's metadata, one malloc heap block of tagged chunks owned by the layer.
//
//   offset  size  field
//        0     4  "META"
//        4     4  0 (a value 16..65536 marks the read-only short form, below)
//        8     4  0, reserved
//       12     4  used: bytes of chunks after the header
//       16     …  chunks, packed: tag (4 ASCII letters, read as a little-endian u32),
//                 size (u32, bytes of data), data
//
// Short form: when the u32 at offset 4 is 16..65536, chunks run from offset 8 to that value + 8.
// Legacy block: 4096 bytes starting with any other tag is one bare chunk (tag + 4092 bytes);
// "MARK", "NOTE" and "TEXT" report their text length + 1, and "LINK" is reported as "TILE".
// A block's size is used + 16 ("META") or 4096 (legacy); the layer records it in meta_size.
//
// Every function takes the block with its recorded size and never reads past that size; a chunk
// that runs past the end or is larger than 32 MiB ends the iteration. Blocks that are changed
// must come from malloc (their spare room is asked of the allocator); a block that moves is
// freed here and the caller takes the new one.
// Thread: any; a block is used by one thread at a time.

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::image {

[[nodiscard]] constexpr std::uint32_t meta_tag(const char (&s)[5]) noexcept {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[0])) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[1])) << 8) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[2])) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[3])) << 24);
}

inline constexpr std::uint32_t kTagMeta = meta_tag("META");
inline constexpr std::uint32_t kTagMark = meta_tag("MARK");
inline constexpr std::uint32_t kTagText = meta_tag("TEXT");
inline constexpr std::uint32_t kTagNote = meta_tag("NOTE");
inline constexpr std::uint32_t kTagLink = meta_tag("LINK");
inline constexpr std::uint32_t kTagTile = meta_tag("TILE");
inline constexpr std::uint32_t kTagPath = meta_tag("PATH");
inline constexpr std::uint32_t kTagAnim = meta_tag("ANIM");
inline constexpr std::uint32_t kTagAdju = meta_tag("ADJU");
inline constexpr std::uint32_t kTagPhys = meta_tag("PHYS");
inline constexpr std::uint32_t kTagHots = meta_tag("HOTS");
inline constexpr std::uint32_t kTagSprt = meta_tag("SPRT");
inline constexpr std::uint32_t kTagBlnd = meta_tag("BLND");

inline constexpr std::uint32_t kMetaHeaderSize = 16;
inline constexpr std::uint32_t kLegacyBlockSize = 4096;
inline constexpr std::uint32_t kLegacyChunkSize = 4092;
inline constexpr std::uint32_t kMaxChunkSize = 33554432;
inline constexpr std::uint32_t kMetaSpare = 1040;

inline constexpr int kChunkAdded = 1; // block unchanged in place
inline constexpr int kChunkMoved = 2; // the caller takes the new block

struct MetaChunk {
    std::uint32_t tag;
    std::uint32_t size;
    std::uint8_t* data;
};

// The size a layer records for the block: used + 16, 4096 for a legacy block, 0 otherwise.
[[nodiscard]] std::uint32_t meta_block_size(const void* block, std::uint32_t available) noexcept;

// Walks the chunks of a block in order.
class MetaChunkIterator {
public:
    MetaChunkIterator(const void* block, std::uint32_t block_size) noexcept;
    // The next chunk, false at the end (or at the first chunk that does not fit).
    [[nodiscard]] bool next(MetaChunk& chunk) noexcept;
    void restart() noexcept;

private:
    std::uint8_t* m_block;
    std::uint32_t m_begin = 0;
    std::uint32_t m_end = 0;
    std::uint32_t m_pos = 0;
    bool m_legacy = false;
    bool m_done = false;
};

// The first chunk with `tag`.
[[nodiscard]] bool find_meta_chunk(const void* block, std::uint32_t block_size, std::uint32_t tag,
                                   MetaChunk& chunk) noexcept;

// Appends a chunk (zero-filled when `data` is null; `chunk_data` receives its data). A missing
// block is created; a legacy or short-form block is first rebuilt as a "META" block. Returns
// kChunkAdded, kChunkMoved (`*block` and `*block_size` updated), or 0 ("META" as tag, too
// large, out of memory).
int add_meta_chunk(void** block, std::uint32_t* block_size, std::uint32_t tag, std::uint32_t size,
                   const void* data, void** chunk_data = nullptr) noexcept;

// Gives every chunk with `tag` the new data (adds one when there is none). Returns the number of
// chunks written, 0 on failure (block unchanged). `*block` and `*block_size` are updated.
int replace_meta_chunk(void** block, std::uint32_t* block_size, std::uint32_t tag,
                       std::uint32_t size, const void* data) noexcept;

// The same on a layer's block, keeping `meta` and `meta_size` current.
[[nodiscard]] bool find_layer_chunk(const Layer& layer, std::uint32_t tag,
                                    MetaChunk& chunk) noexcept;
int add_layer_chunk(Layer& layer, std::uint32_t tag, std::uint32_t size, const void* data,
                    void** chunk_data = nullptr) noexcept;
int replace_layer_chunk(Layer& layer, std::uint32_t tag, std::uint32_t size,
                        const void* data) noexcept;

} // namespace vt::image
