#pragma once
// The DirectDraw Surface reader and writer of fmx_DDS, over bytes in memory and an open file.
// Written from Microsoft's documentation of the DDS format ("DDS_HEADER", "DDS_PIXELFORMAT",
// "DDS_HEADER_DXT10") and of block compression ("Texture Block Compression in Direct3D 11":
// BC1 to BC5; BC6H and BC7 after the Khronos BPTC description, in dds_bptc.cpp). Only the first
// surface is read: further mip levels, cube faces and slices are ignored. Knows nothing of the
// plug-in records; results are plug-in result codes (1 done, negative failure). Thread: any; no
// shared state.

#include <cstdint>
#include <cstdio>
#include <span>

namespace vt::formats {

enum class DdsLayout { kMasks, kBc1, kBc2, kBc3, kBc4, kBc5, kBc6h, kBc7 };

struct DdsHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    DdsLayout layout = DdsLayout::kMasks;
    bool premultiplied = false;  // DXT2 and DXT4
    bool is_signed = false;      // BC4, BC5 and BC6H of signed values
    std::uint32_t bits = 0;      // per pixel, as stored
    std::uint32_t masks[4] = {}; // red, green, blue, alpha; luminance in red, 0 when absent
    bool luminance = false;
    std::size_t data_offset = 0;
};

// Reads and checks the header; sizes are checked against the limits and the bytes present
// before anything is allocated. -1 not DDS, -2 a pixel format not read (floats, YUV),
// -13 sizes beyond the limits, -42 a file that ends early, -44 invalid header values.
[[nodiscard]] std::int32_t read_dds_header(std::span<const std::uint8_t> file, DdsHeader& header);

// Decodes the first surface into 32-bit B, G, R, transparency rows.
void decode_dds(std::span<const std::uint8_t> file, const DdsHeader& header, std::uint32_t* pixels,
                std::uint32_t stride);

// Writes a texture of one level: `compression` 0 32-bit BGRA (alpha only when `alpha`), 1 BC1
// (pixels at least half transparent become BC1's transparent black when `alpha`), 3 BC3.
[[nodiscard]] std::int32_t write_dds(std::FILE* file, const std::uint32_t* pixels,
                                     std::uint32_t width, std::uint32_t height,
                                     std::uint32_t stride, int compression, bool alpha);

// Block coding, in dds_blocks.cpp: a 4 x 4 block of B, G, R, transparency pixels (row by row).
// BC4 is grey; BC5 red and green (blue 0, or 128 when signed); BC6H's HDR colours are clipped
// to 0..1.
void decode_bc_block(const std::uint8_t* block, DdsLayout layout, bool is_signed,
                     std::uint32_t out[16]);
// In dds_bptc.cpp.
void decode_bc6h_block(const std::uint8_t* block, bool is_signed, std::uint32_t out[16]);
void decode_bc7_block(const std::uint8_t* block, std::uint32_t out[16]);
void encode_bc1_block(const std::uint32_t in[16], bool alpha, std::uint8_t out[8]);
void encode_bc3_block(const std::uint32_t in[16], std::uint8_t out[16]);

} // namespace vt::formats
