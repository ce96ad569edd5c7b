#pragma once
// The Radiance picture reader and writer of fmx_HDR. Written from Greg Ward's "Real Pixels"
// (Graphics Gems II, 1991) and the Radiance file format notes ("The RADIANCE Picture File
// Format"): a text header that starts with "#?" and ends at an empty line (FORMAT=
// 32-bit_rle_rgbe, EXPOSURE= multipliers already applied to the pixels, cumulative), a
// resolution line naming the scanline order ("-Y h +X w" top-down left to right; any sign and
// either axis first), then scanlines of 4-byte pixels: red, green and blue mantissas sharing an
// exponent byte (a value is (m + 0.5) x 2^(e - 136), 0 when e is 0), flat or run-length coded
// (2, 2 and the length, then each component on its own in runs of 1-127 repeats (count above
// 128) and literals (count 1-128)). Knows nothing of the plug-in records; results are plug-in
// result codes (1 done, negative failure).
// Thread: any; no shared state.

#include <cstdint>
#include <cstdio>
#include <span>

#include "formats/hdr/linear_light.h"

namespace vt::formats {

inline constexpr std::uint32_t kHdrMaxSide = 65536;
inline constexpr std::uint64_t kHdrMaxPixels = 250000000;

struct RgbeHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool columns = false; // scanlines run down the picture (X named first)
    bool right_to_left = false;
    bool bottom_up = false;
    double exposure = 1.0; // the product of every EXPOSURE line
    bool has_exposure = false;
    std::size_t data_offset = 0;
};

// Whether the bytes start like a Radiance picture ("#?" and a program name).
[[nodiscard]] bool rgbe_signature(std::span<const std::uint8_t> head);

// Reads and checks the header and the resolution line; sizes are checked against the limits
// and against the least number of bytes the scanlines can take, before anything is allocated.
// -1 not a Radiance picture, -2 another pixel format (XYZE), -13 sizes beyond the limits, -42 a
// file that ends early, -44 an unreadable resolution line.
[[nodiscard]] std::int32_t read_rgbe_header(std::span<const std::uint8_t> file, RgbeHeader& header);

// Decodes the scanlines into `target`, placing each pixel where the resolution line says. -42
// for data that ends early, -44 for a run that overruns its scanline.
[[nodiscard]] std::int32_t decode_rgbe(std::span<const std::uint8_t> file, const RgbeHeader& header,
                                       const LinearTarget& target);

// Writes "-Y h +X w" run-length coded scanlines (flat ones for widths below 8 or above 32767),
// with an EXPOSURE line when `exposure` is not 1. 1 done, -43 write failure.
[[nodiscard]] std::int32_t write_rgbe(std::FILE* file, const LinearSource& source, double exposure);

// One pixel: the shared exponent of the largest colour and three 8-bit mantissas, and back.
void float_to_rgbe(const float rgb[3], std::uint8_t out[4]) noexcept;
void rgbe_to_float(const std::uint8_t rgbe[4], float out[3]) noexcept;

} // namespace vt::formats
