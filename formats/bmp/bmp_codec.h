#pragma once
// The BMP reader and writer of fmx_BMP, over bytes in memory and an open file. Knows nothing of
// the plug-in records; results are plug-in result codes (1 done, negative failure).
//
// File layout read here (little-endian):
//   0  2  "BM"              2  4  file size      6  4  zero      10  4  offset of the pixels
//  14  4  information header size: 12 (OS/2 1.x: u16 width, u16 height), 16-64 (OS/2 2.x),
//         40, 52, 56, 108 (V4), 124 (V5) (i32 width, i32 height: negative means top-down)
//  then u16 planes (1), u16 bits per pixel (1, 2, 4, 8, 16, 24, 32), u32 compression (0 none,
//  1 RLE8, 2 RLE4, 3 bit fields, 6 bit fields with alpha), u32 image size, i32 x and y pixels
//  per metre, u32 colours used; V3+ headers of 52 bytes and more hold the red, green, blue
//  (and from 56 bytes alpha) masks; a 40-byte header with compression 3 or 6 is followed by
//  them. The palette (4 bytes B, G, R, 0 per entry; 3 for OS/2 1.x) follows the masks.
//  A V5 header (after Microsoft's BITMAPV5HEADER description) holds at 56 the colour space
//  type, "MBED" (PROFILE_EMBEDDED) for an ICC profile in the file, at 108 the rendering
//  intent, at 112 the profile's offset from the header's start and at 116 its size.
// Thread: any; no shared state.

#include <cstdint>
#include <cstdio>
#include <span>

namespace vt::formats {

inline constexpr std::uint32_t kBmpMaxSide = 65536;
inline constexpr std::uint64_t kBmpMaxPixels = 250000000;

struct BmpHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bits_per_pixel = 0;
    std::uint32_t compression = 0;
    bool top_down = false;
    bool alpha = false;          // the alpha mask counts
    std::uint32_t masks[4] = {}; // red, green, blue, alpha
    std::uint32_t palette[256] = {};
    std::uint32_t palette_size = 0;
    std::int32_t ppm_x = 0; // pixels per metre, 0 when unknown
    std::int32_t ppm_y = 0;
    std::size_t data_offset = 0;
    std::size_t data_size = 0;  // bytes of pixel data present
    std::size_t icc_offset = 0; // an embedded profile inside the file; 0 when none
    std::size_t icc_size = 0;
};

// What a save writes besides the pixels.
struct BmpExtras {
    std::uint32_t ppm_x = 2835; // pixels per metre; 2835 is 72 per inch
    std::uint32_t ppm_y = 2835;
    std::span<const std::uint8_t> icc; // empty: none
};

// Reads and checks the headers and the palette of a whole file. The picture's size is checked
// against the limits and, for uncompressed pixels, against the bytes present, before anything
// is allocated. -1 not a BMP, -2 embedded JPEG/PNG or OS/2 Huffman/RLE24, -13 a size beyond the
// limits, -42 the file ends early, -44 invalid header data.
[[nodiscard]] std::int32_t read_bmp_header(std::span<const std::uint8_t> file, BmpHeader& header);

// Decodes the pixels into 32-bit B, G, R, transparency rows (top-down). Pixels that an RLE
// stream leaves out are fully transparent. -44 for a bad palette index or an RLE stream that
// leaves the picture, -42 for data that ends early.
[[nodiscard]] std::int32_t decode_bmp(std::span<const std::uint8_t> file, const BmpHeader& header,
                                      std::uint32_t* pixels, std::uint32_t stride);

// Writes a bottom-up BMP: 24-bit with a 40-byte header, or with `alpha` 32-bit bit fields with
// a V4 header and an alpha mask; with a profile, a V5 header and the profile after the pixels.
// An embedded profile that does not fit is not a BMP header's business: it is left out when the
// file would pass 4 GiB. 1 done, -13 a picture too large for the format, -43 write failure,
// -20 out of memory.
[[nodiscard]] std::int32_t write_bmp(std::FILE* file, const std::uint32_t* pixels,
                                     std::uint32_t width, std::uint32_t height,
                                     std::uint32_t stride, bool alpha, const BmpExtras& extras);

} // namespace vt::formats
