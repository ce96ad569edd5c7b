#pragma once
// Animated PNG, read and written after the public APNG description on the Mozilla wiki (acTL,
// fcTL, fdAT chunks).
// libpng in Debian reads only the default image, so each frame is handed to it as a small PNG
// of its own (the header with the frame's size, the chunks before the image data, the frame's
// data as IDAT), then composed on the canvas by the frame's blend and dispose rules. Writing
// puts the frame controls and later frames' data around what libpng writes for the first.
// Thread: any; one call per load or save.

#include <cstdint>
#include <span>
#include <string>

#include "formats/png/png_glue.h"
#include "sdk/vt_plugin.h"

namespace vt::formats::png {

// The result when the file holds no animation to read (no acTL, no frame, or a first frame
// that does not decode): the caller reads it as a still picture.
inline constexpr std::int32_t kNotAnimated = 0;

// The type of the first chunk whose CRC does not match its bytes among those a picture is
// made of: the critical chunks (IHDR, PLTE, IDAT, IEND) and the animation's (acTL, fcTL,
// fdAT); empty when they are all sound. libpng refuses such a critical chunk in a still file,
// and the animated path rebuilds the frames' chunks, so this one check holds for both.
[[nodiscard]] std::string damaged_chunk(std::span<const std::uint8_t> file);

// Loads every frame of an animated PNG into the call's frames, the first whole and the later
// ones as what changed: VT_OK, kNotAnimated, or the host's result code.
[[nodiscard]] std::int32_t read_apng(std::span<const std::uint8_t> file, FilterCall* call);

// The call's frame animation as an animated PNG in `file`: frame 0 whole as the default image
// (which viewers without animation show) with `meta`, each later frame as the rectangle that
// changed, every frame centred on a canvas of the largest width and height, its delay from
// `mode2` (0: 100 ms), the loop count from the markup's "animation.plays". zlib `level` 0-9.
// VT_OK or the result code.
[[nodiscard]] std::int32_t write_apng(FilterCall* call, const VtPngWriteMetadata& meta, int level,
                                      std::string& file);

} // namespace vt::formats::png
