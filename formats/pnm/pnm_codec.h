#pragma once
// The Netpbm reader and writer of fmx_PNM, over bytes in memory and an open file. Knows nothing
// of the plug-in records; results are plug-in result codes (1 done, negative failure).
//
// Forms read: "P1" bitmap (text, 1 = black), "P2" greymap (text), "P3" pixmap (text), "P4"
// bitmap (binary, rows padded to bytes, most significant bit first), "P5" greymap and "P6"
// pixmap (binary), "P7" arbitrary map: header lines WIDTH, HEIGHT, DEPTH (1 grey, 2 grey +
// alpha, 3 RGB, 4 RGB + alpha), MAXVAL, TUPLTYPE, ENDHDR. "#" starts a comment up to the end
// of the line. Samples take one byte when the maximum value is below 256, else two (big-endian);
// they are scaled to 0..255 with rounding.
// Thread: any; no shared state.

#include <cstdint>
#include <cstdio>
#include <span>

namespace vt::formats {

inline constexpr std::uint32_t kPnmMaxSide = 65536;
inline constexpr std::uint64_t kPnmMaxPixels = 250000000;

struct PnmHeader {
    char form = 0; // '1' to '7'
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t maxval = 0;
    std::uint32_t channels = 0; // samples per pixel
    bool alpha = false;         // the last sample is an alpha
    std::size_t data_offset = 0;
    std::uint32_t bits_per_pixel = 0;
};

// Reads and checks the header; the size is checked against the limits and against the least
// number of bytes its pixels can take, before anything is allocated. -1 not a Netpbm file,
// -2 an unsupported tuple type, -13 a size beyond the limits, -42 the file ends early, -44
// invalid header data.
[[nodiscard]] std::int32_t read_pnm_header(std::span<const std::uint8_t> file, PnmHeader& header);

// Decodes the pixels into 32-bit B, G, R, transparency rows (top-down). -44 for a sample above
// the maximum value or a text that is not a number, -42 for data that ends early.
[[nodiscard]] std::int32_t decode_pnm(std::span<const std::uint8_t> file, const PnmHeader& header,
                                      std::uint32_t* pixels, std::uint32_t stride);

// What a save writes: the form an extension asks for (".pbm", ".pgm", ".ppm", ".pam"), or
// for ".pnm" the smallest of bitmap, greymap and pixmap that keeps every colour.
enum class PnmForm { kBitmap, kGreymap, kPixmap, kArbitrary, kNatural };

// Pixel tests over rows of 32-bit pixels; transparency is not looked at.
[[nodiscard]] bool pnm_black_and_white(const std::uint32_t* pixels, std::uint32_t width,
                                       std::uint32_t height, std::uint32_t stride);
[[nodiscard]] bool pnm_grey(const std::uint32_t* pixels, std::uint32_t width, std::uint32_t height,
                            std::uint32_t stride);

// Writes the binary form: "P4" (black and white pictures only, else -14), "P5" (colours become
// their luma), "P6", or "P7" with alpha when any pixel is not opaque. 1 done, -43 write
// failure, -14 a colour picture for a bitmap.
[[nodiscard]] std::int32_t write_pnm(std::FILE* file, const std::uint32_t* pixels,
                                     std::uint32_t width, std::uint32_t height,
                                     std::uint32_t stride, PnmForm form);

// 16 bits per channel (deep pictures): samples scaled to 0..65535 with rounding, red, green,
// blue, alpha (4 channels) for pixmaps and RGB maps, grey, alpha (2) for greymaps and grey maps;
// alpha 65535 when the file has none. Only for files of more than 8 bits (maxval above 255) that
// are not bitmaps: -2 otherwise. Errors as decode_pnm. `stride` counts samples.
[[nodiscard]] std::uint32_t pnm_deep_channels(const PnmHeader& header);
[[nodiscard]] std::int32_t decode_pnm_deep(std::span<const std::uint8_t> file,
                                           const PnmHeader& header, std::uint16_t* samples,
                                           std::uint32_t stride);

// Writes 16-bit samples (`channels` 4: RGBA, 2: grey + alpha; straight alpha) at maxval 65535:
// "P5" (colours become their luma), "P6", "P7" (grey when every pixel is, alpha when any is
// not opaque); the natural form is "P5" for grey pictures, else "P6". -14 for the bitmap form.
[[nodiscard]] std::int32_t write_pnm_deep(std::FILE* file, const std::uint16_t* samples,
                                          std::uint32_t width, std::uint32_t height,
                                          std::uint32_t stride, std::uint32_t channels,
                                          PnmForm form);

} // namespace vt::formats
