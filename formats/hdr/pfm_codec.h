#pragma once
// The Portable Float Map reader and writer of fmx_HDR. Written from Paul Debevec's description
// of the format ("PFM Portable File Format"): "PF" (three channels) or "Pf" (one, grey), the
// width and height, and a scale whose sign gives the byte order (negative little-endian,
// positive big-endian), each a text separated by white space, one white space character, then
// 32-bit IEEE floats, rows from the bottom of the picture to the top. Knows nothing of the
// plug-in records; results are plug-in result codes (1 done, negative failure).
// Thread: any; no shared state.

#include <cstdint>
#include <cstdio>
#include <span>

#include "formats/hdr/linear_light.h"

namespace vt::formats {

struct PfmHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t channels = 0; // 3 "PF", 1 "Pf"
    bool little_endian = false;
    std::size_t data_offset = 0;
};

// Whether the bytes start like a PFM file ("PF" or "Pf" and white space).
[[nodiscard]] bool pfm_signature(std::span<const std::uint8_t> head);

// Reads and checks the header; the samples must all be present before anything is allocated.
// -1 not a PFM file, -13 sizes beyond the limits, -42 a file that ends early, -44 an unreadable
// size or scale.
[[nodiscard]] std::int32_t read_pfm_header(std::span<const std::uint8_t> file, PfmHeader& header);

// Decodes the samples into `target` (top-down).
[[nodiscard]] std::int32_t decode_pfm(std::span<const std::uint8_t> file, const PfmHeader& header,
                                      const LinearTarget& target);

// Writes little-endian floats: "Pf" for a grey picture, else "PF". 1 done, -43 write failure.
[[nodiscard]] std::int32_t write_pfm(std::FILE* file, const LinearSource& source);

} // namespace vt::formats
