#include "image/meta_block.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <malloc.h>

#include "base/le.h"

namespace vt::image {

namespace {

using base::load_le32;
using base::store_le32;

enum class BlockForm { kNone, kMeta, kShort, kLegacy };

BlockForm form_of(const std::uint8_t* block, std::uint32_t size) noexcept {
    if (block == nullptr || size < 8)
        return BlockForm::kNone;
    if (load_le32(block) != kTagMeta)
        return size == kLegacyBlockSize ? BlockForm::kLegacy : BlockForm::kNone;
    const std::uint32_t word = load_le32(block + 4);
    if (word >= 16 && word <= 65536)
        return BlockForm::kShort;
    return size >= kMetaHeaderSize ? BlockForm::kMeta : BlockForm::kNone;
}

// Bytes the allocation really holds (at least what the block says it uses).
std::size_t allocation_of(const void* block) noexcept {
    return ::malloc_usable_size(const_cast<void*>(block));
}

std::uint32_t legacy_size(const std::uint8_t* block) noexcept {
    const std::uint32_t tag = load_le32(block);
    if (tag != kTagMark && tag != kTagNote && tag != kTagText)
        return kLegacyChunkSize;
    const void* nul = std::memchr(block + 4, '\0', kLegacyChunkSize);
    if (nul == nullptr)
        return kLegacyChunkSize;
    const auto length =
        static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(nul) - (block + 4));
    return length + 1;
}

void write_chunk(std::uint8_t* at, std::uint32_t tag, std::uint32_t size,
                 const void* data) noexcept {
    store_le32(at, tag);
    store_le32(at + 4, size);
    if (size == 0)
        return;
    if (data != nullptr)
        std::memmove(at + 8, data, size);
    else
        std::memset(at + 8, 0, size);
}

// A fresh "META" block with room for `chunk_bytes` of chunks plus the spare.
std::uint8_t* new_block(std::uint64_t chunk_bytes) noexcept {
    const std::uint64_t total = kMetaHeaderSize + chunk_bytes + kMetaSpare;
    if (total > 0xFFFFFFFFull - kMetaSpare)
        return nullptr;
    auto* block = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(total), 1));
    if (block != nullptr)
        store_le32(block, kTagMeta);
    return block;
}

std::uint32_t used_of(const std::uint8_t* block) noexcept {
    return load_le32(block + 12);
}

// Appends to a "META" block that has the room.
void append_chunk(std::uint8_t* block, std::uint32_t tag, std::uint32_t size, const void* data,
                  void** chunk_data) noexcept {
    const std::uint32_t used = used_of(block);
    std::uint8_t* at = block + kMetaHeaderSize + used;
    write_chunk(at, tag, size, data);
    store_le32(block + 12, used + 8 + size);
    if (chunk_data != nullptr)
        *chunk_data = at + 8;
}

// Rebuilds any readable block as a "META" block holding its chunks (legacy chunks with their
// full 4092 bytes), with room for `extra` more bytes of chunks.
std::uint8_t* rebuild(const std::uint8_t* block, std::uint32_t size, std::uint64_t extra) noexcept {
    std::uint64_t bytes = 0;
    MetaChunkIterator it(block, size);
    const bool legacy = form_of(block, size) == BlockForm::kLegacy;
    for (MetaChunk c{}; it.next(c);)
        bytes += 8 + (legacy ? kLegacyChunkSize : c.size);
    std::uint8_t* fresh = new_block(bytes + extra);
    if (fresh == nullptr)
        return nullptr;
    it.restart();
    for (MetaChunk c{}; it.next(c);)
        append_chunk(fresh, c.tag, legacy ? kLegacyChunkSize : c.size, c.data, nullptr);
    return fresh;
}

} // namespace

std::uint32_t meta_block_size(const void* block, std::uint32_t available) noexcept {
    const auto* bytes = static_cast<const std::uint8_t*>(block);
    switch (form_of(bytes, available)) {
    case BlockForm::kMeta: {
        const std::uint64_t size = std::uint64_t{used_of(bytes)} + kMetaHeaderSize;
        return size <= available ? static_cast<std::uint32_t>(size) : available;
    }
    case BlockForm::kShort: {
        const std::uint64_t size = std::uint64_t{load_le32(bytes + 4)} + 8;
        return size <= available ? static_cast<std::uint32_t>(size) : available;
    }
    case BlockForm::kLegacy:
        return kLegacyBlockSize;
    default:
        return 0;
    }
}

MetaChunkIterator::MetaChunkIterator(const void* block, std::uint32_t block_size) noexcept
    : m_block(static_cast<std::uint8_t*>(const_cast<void*>(block))) {
    switch (form_of(m_block, block_size)) {
    case BlockForm::kMeta:
        m_begin = kMetaHeaderSize;
        m_end = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(std::uint64_t{used_of(m_block)} + kMetaHeaderSize, block_size));
        break;
    case BlockForm::kShort:
        m_begin = 8;
        m_end = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(std::uint64_t{load_le32(m_block + 4)} + 8, block_size));
        break;
    case BlockForm::kLegacy:
        m_legacy = true;
        break;
    default:
        m_done = true;
        break;
    }
    m_pos = m_begin;
}

void MetaChunkIterator::restart() noexcept {
    m_pos = m_begin;
    m_done = m_block == nullptr || (!m_legacy && m_end == 0);
}

bool MetaChunkIterator::next(MetaChunk& chunk) noexcept {
    if (m_done)
        return false;
    if (m_legacy) {
        m_done = true;
        const std::uint32_t tag = load_le32(m_block);
        chunk = {tag == kTagLink ? kTagTile : tag, legacy_size(m_block), m_block + 4};
        return true;
    }
    if (m_end < 8 || m_pos > m_end - 8) {
        m_done = true;
        return false;
    }
    const std::uint32_t tag = load_le32(m_block + m_pos);
    const std::uint32_t size = load_le32(m_block + m_pos + 4);
    if (tag == kTagMeta || size > kMaxChunkSize || size > m_end - m_pos - 8) {
        m_done = true;
        return false;
    }
    chunk = {tag, size, m_block + m_pos + 8};
    m_pos += 8 + size;
    return true;
}

bool find_meta_chunk(const void* block, std::uint32_t block_size, std::uint32_t tag,
                     MetaChunk& chunk) noexcept {
    MetaChunkIterator it(block, block_size);
    while (it.next(chunk))
        if (chunk.tag == tag)
            return true;
    return false;
}

int add_meta_chunk(void** block, std::uint32_t* block_size, std::uint32_t tag, std::uint32_t size,
                   const void* data, void** chunk_data) noexcept {
    if (block == nullptr || block_size == nullptr || tag == kTagMeta || size > kMaxChunkSize)
        return 0;
    auto* bytes = static_cast<std::uint8_t*>(*block);
    const BlockForm form = form_of(bytes, *block_size);
    std::uint8_t* target = bytes;
    if (form == BlockForm::kMeta && used_of(bytes) <= *block_size - kMetaHeaderSize) {
        const std::uint64_t used = used_of(bytes);
        if (allocation_of(bytes) < used + size + 32 + kMetaHeaderSize) {
            target = new_block(used + 8 + size);
            if (target == nullptr)
                return 0;
            std::memcpy(target + 4, bytes + 4, kMetaHeaderSize - 4 + used);
        }
    } else if (form == BlockForm::kNone) {
        // Nothing readable: a fresh block takes its place.
        target = new_block(8 + std::uint64_t{size});
    } else {
        target = rebuild(bytes, *block_size, 8 + std::uint64_t{size});
    }
    if (target == nullptr)
        return 0;
    append_chunk(target, tag, size, data, chunk_data);
    *block_size = used_of(target) + kMetaHeaderSize;
    if (target == bytes)
        return kChunkAdded;
    std::free(bytes);
    *block = target;
    return kChunkMoved;
}

int replace_meta_chunk(void** block, std::uint32_t* block_size, std::uint32_t tag,
                       std::uint32_t size, const void* data) noexcept {
    if (block == nullptr || block_size == nullptr || tag == kTagMeta || size > kMaxChunkSize)
        return 0;
    auto* bytes = static_cast<std::uint8_t*>(*block);
    MetaChunk found{};
    if (!find_meta_chunk(bytes, *block_size, tag, found))
        return add_meta_chunk(block, block_size, tag, size, data) != 0 ? 1 : 0;
    if (form_of(bytes, *block_size) == BlockForm::kLegacy) {
        if (data != nullptr)
            std::memmove(found.data, data, std::min(size, kLegacyChunkSize));
        else
            std::memset(found.data, 0, std::min(size, kLegacyChunkSize));
        return 1;
    }
    std::uint64_t total = 0;
    MetaChunkIterator it(bytes, *block_size);
    for (MetaChunk c{}; it.next(c);)
        total += 8 + (c.tag == tag ? size : c.size);
    std::uint8_t* fresh = new_block(total);
    if (fresh == nullptr)
        return 0;
    int written = 0;
    it.restart();
    for (MetaChunk c{}; it.next(c); ++written) {
        if (c.tag == tag)
            append_chunk(fresh, tag, size, data, nullptr);
        else
            append_chunk(fresh, c.tag, c.size, c.data, nullptr);
    }
    std::free(bytes);
    *block = fresh;
    *block_size = used_of(fresh) + kMetaHeaderSize;
    return written;
}

bool find_layer_chunk(const Layer& layer, std::uint32_t tag, MetaChunk& chunk) noexcept {
    return find_meta_chunk(layer.meta, layer.meta_size, tag, chunk);
}

int add_layer_chunk(Layer& layer, std::uint32_t tag, std::uint32_t size, const void* data,
                    void** chunk_data) noexcept {
    return add_meta_chunk(&layer.meta, &layer.meta_size, tag, size, data, chunk_data);
}

int replace_layer_chunk(Layer& layer, std::uint32_t tag, std::uint32_t size,
                        const void* data) noexcept {
    return replace_meta_chunk(&layer.meta, &layer.meta_size, tag, size, data);
}

} // namespace vt::image
