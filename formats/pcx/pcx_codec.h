#pragma once
// The PCX reader and writer of fmx_PCX, over bytes in memory and an open file. Written from
// ZSoft's "Technical Reference Manual" for the PC Paintbrush file format (version 5): a 128-byte
// header, scan lines of one or more colour planes, each plane's bytes run-length coded (a byte
// with the top two bits set repeats the next byte its low six bits times), and for 8-bit
// single-plane pictures a 256-colour palette after a 0x0C byte at the end of the file.
// Knows nothing of the plug-in records; results are plug-in result codes (1 done, negative
// failure).
// Thread: any; no shared state.

#include <cstdint>
#include <cstdio>
#include <span>

namespace vt::formats {

struct PcxHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bits = 0;   // per pixel per plane: 1, 2, 4 or 8
    std::uint32_t planes = 0; // 1-4
    std::uint32_t bytes_per_line = 0;
    std::uint32_t dpi = 0; // 0 when the header does not say one
    bool encoded = false;
    bool grey = false; // palette info 2
};

// Reads and checks the header; sizes are checked against the limits and the least number of
// bytes the pixels can take, before anything is allocated. -1 not a PCX file, -2 a layout not
// read, -13 sizes beyond the limits, -42 a file that ends early.
[[nodiscard]] std::int32_t read_pcx_header(std::span<const std::uint8_t> file, PcxHeader& header);

// Decodes into 32-bit B, G, R, transparency rows (top-down); a fourth 8-bit plane is alpha.
// -42 for data that ends early.
[[nodiscard]] std::int32_t decode_pcx(std::span<const std::uint8_t> file, const PcxHeader& header,
                                      std::uint32_t* pixels, std::uint32_t stride);

// Writes version 5, run-length coded, three 8-bit planes, or four with alpha when `alpha`, with
// the horizontal and vertical dots per inch (1-65535).
[[nodiscard]] std::int32_t write_pcx(std::FILE* file, const std::uint32_t* pixels,
                                     std::uint32_t width, std::uint32_t height,
                                     std::uint32_t stride, bool alpha, std::uint32_t dpi_x,
                                     std::uint32_t dpi_y);

} // namespace vt::formats
