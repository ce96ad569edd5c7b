#pragma once
// The Targa reader and writer of fmx_TGA, over bytes in memory and an open file. Written from
// Truevision's published TGA File Format, Version 2.0 (1989): an 18-byte
// header, the image ID, an optional colour map, the pixels (raw or run-length packets) and, in
// version 2.0 files, a footer "TRUEVISION-XFILE." that points at an extension area whose
// attributes type says what the alpha bits mean.
// Knows nothing of the plug-in records; results are plug-in result codes (1 done, negative
// failure).
// Thread: any; no shared state.

#include <cstdint>
#include <cstdio>
#include <span>

namespace vt::formats {

struct TgaHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t image_type = 0; // 1 mapped, 2 true colour, 3 grey; +8 run-length coded
    std::uint32_t depth = 0;      // bits per stored pixel (or index)
    std::uint32_t alpha_bits = 0; // descriptor bits 0-3
    bool right_to_left = false;
    bool top_down = false;
    std::uint32_t map_first = 0;
    std::uint32_t map_length = 0;
    std::uint32_t map_entry_bits = 0;
    std::size_t map_offset = 0;
    std::size_t data_offset = 0;
    // From the extension area: 0 no alpha, 1-2 undefined, 3 alpha, 4 premultiplied alpha;
    // -1 when the file has no extension area.
    int attributes_type = -1;
};

// Reads and checks the header, the colour map's place and the extension area; sizes are checked
// against the limits and against the least number of bytes the pixels can take, before anything
// is allocated. -1 not a Targa file, -2 a variant not read (Huffman-coded types 32 and 33),
// -13 sizes beyond the limits, -42 a file that ends early, -44 invalid data.
[[nodiscard]] std::int32_t read_tga_header(std::span<const std::uint8_t> file, TgaHeader& header);

// Decodes the pixels into 32-bit B, G, R, transparency rows (top-down). -42 for data that ends
// early, -44 for an index beyond the colour map.
[[nodiscard]] std::int32_t decode_tga(std::span<const std::uint8_t> file, const TgaHeader& header,
                                      std::uint32_t* pixels, std::uint32_t stride);

// Writes a bottom-up true-colour file: 24 bits, or 32 bits with 8 alpha bits when `alpha`;
// run-length coded when `rle`. 1 done, -43 write failure.
[[nodiscard]] std::int32_t write_tga(std::FILE* file, const std::uint32_t* pixels,
                                     std::uint32_t width, std::uint32_t height,
                                     std::uint32_t stride, bool alpha, bool rle);

} // namespace vt::formats
