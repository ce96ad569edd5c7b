#pragma once
// Animated PNG, after the public APNG description on the Mozilla wiki (acTL, fcTL, fdAT chunks).
// libpng in Debian reads only the default image, so each frame is handed to it as a small PNG
// of its own (the header with the frame's size, the chunks before the image data, the frame's
// data as IDAT), then composed on the canvas by the frame's blend and dispose rules.
// Thread: any; one call per load.

#include <cstdint>
#include <span>

#include "sdk/vt_plugin.h"

namespace vt::formats::png {

// The result when the file holds no animation to read (no acTL, no frame, or a first frame
// that does not decode): the caller reads it as a still picture.
inline constexpr std::int32_t kNotAnimated = 0;

// Loads every frame of an animated PNG into the call's frames, the first whole and the later
// ones as what changed: VT_OK, kNotAnimated, or the host's result code.
[[nodiscard]] std::int32_t read_apng(std::span<const std::uint8_t> file, FilterCall* call);

} // namespace vt::formats::png
