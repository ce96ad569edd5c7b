// MetaBlock iteration, add and replace over arbitrary blocks, and the metadata adjustments that
// walk them. The input's last four bytes choose the tag, the chunk size and the operations.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/meta_adjust.h"
#include "image/meta_block.h"

namespace {

constexpr std::uint32_t kTags[] = {
    vt::image::kTagMark, vt::image::kTagText, vt::image::kTagPath, vt::image::kTagAnim,
    vt::image::kTagPhys, vt::image::kTagHots, vt::image::kTagSprt, vt::image::kTagNote,
    vt::image::kTagLink, vt::image::kTagTile, vt::image::kTagMeta, vt::image::kTagAdju,
};

// A heap copy of the block bytes, as a layer owns them.
void* copy_block(const std::uint8_t* data, std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr && size != 0)
        std::memcpy(block, data, size);
    return block;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4 || size > 1 << 20)
        return 0;
    const std::uint8_t* options = data + size - 4;
    size -= 4;
    const std::uint32_t tag = kTags[options[0] % (sizeof(kTags) / sizeof(kTags[0]))];
    const std::uint32_t chunk_size = options[1] * 8u;
    const std::uint8_t which = options[2];
    const std::uint8_t turn = options[3];

    Layer layer{};
    layer.bitmap.width = 1u + options[1];
    layer.bitmap.height = 1u + options[3];
    layer.meta = copy_block(data, size);
    layer.meta_size = static_cast<std::uint32_t>(size);
    if (layer.meta == nullptr)
        return 0;

    vt::image::MetaChunkIterator it(layer.meta, layer.meta_size);
    std::uint64_t total = 0;
    for (vt::image::MetaChunk c{}; it.next(c);) {
        const auto* base = static_cast<const std::uint8_t*>(layer.meta);
        if (c.data < base || c.data + c.size > base + layer.meta_size)
            std::abort();
        total += c.size;
    }
    (void)vt::image::meta_block_size(layer.meta, layer.meta_size);

    const std::uint8_t* payload = data;
    if (chunk_size > size)
        payload = nullptr; // zero-filled chunk
    if ((which & 1) != 0)
        (void)vt::image::add_layer_chunk(layer, tag, chunk_size, payload);
    if ((which & 2) != 0)
        (void)vt::image::replace_layer_chunk(layer, tag, chunk_size, payload);
    if ((which & 4) != 0)
        (void)vt::image::adjust_meta_for_rotation(layer, 1 + turn % 3);
    if ((which & 8) != 0)
        (void)vt::image::adjust_meta_for_resize(layer, 0.25 + (turn % 16) * 0.5,
                                                0.5 + (turn / 16) * 0.25, (which & 16) != 0);
    if ((which & 32) != 0)
        (void)vt::image::remove_private_data(&layer, 1, true, true);
    if ((which & 64) != 0) {
        Layer pair[2] = {layer, layer};
        std::uint32_t merged_size = 0;
        std::free(vt::image::merge_frame_metadata(pair, 2, &merged_size));
    }
    vt::image::MetaChunkIterator after(layer.meta, layer.meta_size);
    for (vt::image::MetaChunk c{}; after.next(c);)
        total += c.size;
    std::free(layer.meta);
    return total == 0xFFFFFFFFFFFFull ? 1 : 0;
}
