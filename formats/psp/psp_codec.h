#pragma once
// The layered picture reader of fmx_PSP, over a file in memory. Written from Jasc Software's
// public Paint Shop Pro file format description (the file format of Paint Shop Pro 5 to 8:
// major versions 3 to 7 and later files of the same block layout). A 32-byte signature and the
// version, then a tree of blocks, each "~BK\0", a 16-bit block id and its length (major 3 also
// gives the length of the block's first chunk). The General Image Attributes block gives the
// canvas, resolution, bit depth and compression; the Layer Bank block holds one Layer block per
// layer (bottom first) with its rectangles, opacity, blend mode and flags, and Channel blocks of
// 8-bit planes (colour, grey or palette index, transparency), stored raw, run-length coded or as
// a zlib stream ("LZ77"). The Composite Image Bank holds the flattened picture.
// Parsing only records where each channel lies; nothing of a picture's size is allocated before
// the sizes are checked against the bitmap limits and against the bytes the channel holds.
// Thread: any; no shared state.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vt::formats {

struct PspRect {
    std::int32_t left = 0, top = 0, right = 0, bottom = 0; // right and bottom exclusive
    [[nodiscard]] std::int64_t width() const { return std::int64_t{right} - left; }
    [[nodiscard]] std::int64_t height() const { return std::int64_t{bottom} - top; }
};

// Where a channel's coded bytes lie in the file.
struct PspChannel {
    std::uint16_t bitmap_type = 0;  // 0 image, 1 transparency, 2 user mask, ...
    std::uint16_t channel_type = 0; // 0 grey, palette index or mask; 1 red, 2 green, 3 blue
    std::uint32_t size = 0;         // uncompressed bytes
    std::size_t offset = 0;
    std::size_t coded = 0;
};

enum class PspLayerKind { raster, other };

struct PspLayer {
    std::string name;
    PspLayerKind kind = PspLayerKind::other;
    PspRect image; // the layer on the canvas
    PspRect saved; // the part of it that the channels hold, canvas coordinates
    std::uint8_t opacity = 255;
    std::uint8_t blend = 0; // the file's blend mode number
    bool visible = true;
    bool mask_on = false; // the layer has a user mask and it is not disabled
    PspRect mask;         // the part of the mask that its channel holds, canvas coordinates
    std::vector<PspChannel> channels;
};

struct PspDocument {
    std::uint16_t major = 0;
    std::uint32_t width = 0, height = 0;
    double resolution = 0;         // pixels per metric unit
    std::uint8_t metric = 0;       // 0 undefined, 1 inch, 2 centimetre
    std::uint16_t compression = 0; // 0 none, 1 RLE, 2 LZ77
    std::uint16_t bit_depth = 0;   // 1, 4, 8 or 24
    bool grey = false;
    std::vector<std::uint32_t> palette; // B, G, R with transparency 0
    std::vector<PspLayer> layers;
    // The flattened picture of the Composite Image Bank, when the file has an uncompressed,
    // RLE or LZ77 one of the canvas's size; empty channels otherwise.
    std::uint16_t composite_depth = 0;
    std::uint16_t composite_compression = 0;
    std::vector<PspChannel> composite;
};

// Reads the block tree. -1 not this format, -2 a version or layout not read, -13 sizes beyond
// the bitmap limits, -42 a file that ends inside a block, -44 invalid data.
[[nodiscard]] std::int32_t read_psp(std::span<const std::uint8_t> file, PspDocument& doc);

// The layer's pixels over its `saved` rectangle as 32-bit B, G, R, transparency rows, from the
// colour (or grey, or palette) channels and the transparency channel. -2 a bit depth not read,
// -42 data that ends early, -44 invalid data.
[[nodiscard]] std::int32_t decode_psp_pixels(std::span<const std::uint8_t> file,
                                             const PspDocument& doc,
                                             const std::vector<PspChannel>& channels,
                                             std::uint16_t compression, std::uint16_t depth,
                                             std::uint32_t width, std::uint32_t height,
                                             std::vector<std::uint32_t>& pixels);

// Multiplies the opacity of the layer's pixels (over its `saved` rectangle) by its user mask,
// where the mask's channel covers them. Same results as decode_psp_pixels.
[[nodiscard]] std::int32_t apply_psp_mask(std::span<const std::uint8_t> file, const PspLayer& layer,
                                          std::uint16_t compression,
                                          std::vector<std::uint32_t>& pixels);

// The layer mode (0-22, Layer record bits 0-7) that draws a file blend mode; false for a mode
// our operators do not have (drawn as normal).
[[nodiscard]] bool psp_layer_mode(std::uint8_t blend, std::uint16_t& mode);

} // namespace vt::formats
