#pragma once
// The QOI reader and writer of fmx_QOI, over bytes in memory and an open file, on the format's
// reference codec (qoi.h). A 14-byte header ("qoif", width and height as big-endian 32-bit
// numbers, 3 or 4 channels, colour space 0 sRGB with linear alpha or 1 all linear), the chunks,
// and eight bytes of end marker. Knows nothing of the plug-in records; results are plug-in
// result codes (1 done, negative failure).
// Thread: any; no shared state.

#include <cstdint>
#include <cstdio>
#include <span>

namespace vt::formats {

inline constexpr std::uint32_t kQoiMaxSide = 65536;
inline constexpr std::uint64_t kQoiMaxPixels = 250000000;

struct QoiHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t channels = 0; // 3 RGB, 4 RGBA
    bool linear = false;        // colour space byte 1
};

// Reads and checks the header; the size is checked against the limits and against the least
// number of bytes its chunks can take (a run byte covers 62 pixels), before anything is
// allocated. -1 not a QOI file, -44 invalid channels or colour space, -13 a size beyond the
// limits, -42 a file that ends before its pixels can.
[[nodiscard]] std::int32_t read_qoi_header(std::span<const std::uint8_t> file, QoiHeader& header);

// Decodes into 32-bit B, G, R, transparency rows (top-down). The chunks are walked first: a
// file whose chunks stop before the last pixel, or are not followed by the end marker, is -42,
// not a picture padded with its last colour.
[[nodiscard]] std::int32_t decode_qoi(std::span<const std::uint8_t> file, const QoiHeader& header,
                                      std::uint32_t* pixels, std::uint32_t stride);

// Writes RGBA when `alpha`, else RGB, with the colour space byte `linear`. -13 beyond the
// limits, -20 out of memory, -43 write failure.
[[nodiscard]] std::int32_t write_qoi(std::FILE* file, const std::uint32_t* pixels,
                                     std::uint32_t width, std::uint32_t height,
                                     std::uint32_t stride, bool alpha, bool linear);

} // namespace vt::formats
