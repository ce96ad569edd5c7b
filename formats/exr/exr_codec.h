#pragma once
// The OpenEXR reader and writer of fmx_EXR, on the OpenEXR library, over bytes in memory and an
// open file. Reads the first part of scanline and tiled files: its R, G, B (colour) or Y (grey)
// channels and A, each half, float or unsigned int, as floats. Colours are linear light with
// associated alpha (the format's rule), taken to straight alpha and through the tone rule: each
// clipped to 0..1 and encoded with the sRGB transfer curve to 16 bits, rounded; the 8-bit frame
// is the rounding of those 16 bits. Writes half-float R, G, B and, when some pixel is not
// opaque, A. Knows nothing of the plug-in records; results are plug-in result codes (1 done,
// negative failure); no exception leaves it.
// Thread: any; the library's header limits are set once, for every thread.

#include <cstdint>
#include <cstdio>
#include <span>

#include "sdk/vt_plugin.h"

namespace vt::formats {

inline constexpr std::uint32_t kExrMaxSide = 65536;
inline constexpr std::uint64_t kExrMaxPixels = 250000000;
// Deflate's best ratio: a file smaller than its samples over this cannot hold them.
inline constexpr std::uint64_t kExrBestRatio = 1032;

struct ExrHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool grey = false;  // Y, no R, G or B
    bool alpha = false; // an A channel
    std::uint32_t bits_per_pixel = 0;
};

// Opens the first part and checks it; sizes are checked against the limits and against the
// bytes present before anything is allocated. -1 not an OpenEXR file, -2 deep data, luminance
// and chroma, or no colour channel, -13 sizes beyond the limits, -42 a file that ends before its
// samples can, -44 a header the library refuses.
[[nodiscard]] std::int32_t read_exr_header(std::span<const std::uint8_t> file, ExrHeader& header);

// Decodes into 32-bit B, G, R, transparency rows (top-down) and, when `deep` is set, 16-bit
// samples (RGBA, or grey + alpha for a grey file; rows of width x channels). -44 for data the
// library cannot read.
[[nodiscard]] std::int32_t decode_exr(std::span<const std::uint8_t> file, const ExrHeader& header,
                                      std::uint32_t* pixels, std::uint32_t stride,
                                      std::uint16_t* deep);

// The compressions a save offers, by the file's own numbers.
enum class ExrCompression : std::uint8_t { kNone = 0, kZip = 3, kPiz = 4 };

// Writes the picture: the deep one when `deep` is given (straight alpha, 2 or 4 channels),
// else the 8-bit pixels (each v read as 16-bit v x 257), decoded by the inverse sRGB curve to
// linear light, alpha associated. 1 done, -13 beyond the limits, -43 the library or the file
// failed.
[[nodiscard]] std::int32_t write_exr(std::FILE* file, const std::uint32_t* pixels,
                                     std::uint32_t width, std::uint32_t height,
                                     std::uint32_t stride, const VtDeepImage* deep, bool alpha,
                                     ExrCompression compression);

} // namespace vt::formats
