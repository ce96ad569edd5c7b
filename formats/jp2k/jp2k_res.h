#pragma once
// The print resolution of JP2 files: the resolution superbox ('res ') inside the JP2 header box
// ('jp2h'), after the JPEG 2000 Part 1 (ISO/IEC 15444-1, Annex I) box layout. OpenJPEG neither
// reads nor writes it, so fmx_JP2K handles it around the library; and the colour profile of the
// colour box ('colr': u8 method, 2 for a profile, i8 precedence, u8 approximation,
// then the ICC profile), which OpenJPEG reads but does not write.
//
//   box: u32 length (1: a u64 length follows the type; 0: to the end), 4-character type
//   'res ' holds 'resc' (capture) and/or 'resd' (default display), each 10 bytes:
//     u16 VR_N, u16 VR_D, u16 HR_N, u16 HR_D, i8 VR_E, i8 HR_E (all big-endian)
//   resolution = N / D x 10^E grid points per metre, vertical first.
// Thread: any; no shared state.

#include <cstdint>
#include <span>
#include <string>

#include "sdk/kit/resolution.h"

namespace vt::formats::jp2k {

// The resolution a JP2 file states, the display one before the capture one; unknown when it
// states none (or the boxes are broken).
[[nodiscard]] vt::kit::PrintResolution jp2_resolution(std::span<const std::uint8_t> file) noexcept;

// Completes the JP2 header box of the file just written at `name` (UTF-8): a 'res ' box with
// both resolutions when the resolution is known, and with a profile its colour box
// ('colr') as method 2, the ICC profile, in place of the enumerated colour space OpenJPEG
// wrote (its encoder does not write one itself). VT_OK, -42 when it cannot be read back, -44
// when its header box is not where OpenJPEG puts it, -43 when it cannot be written again.
[[nodiscard]] std::int32_t add_jp2_header_boxes(const std::string& name,
                                                const vt::kit::PrintResolution& resolution,
                                                std::span<const std::uint8_t> icc);

} // namespace vt::formats::jp2k
