#pragma once
// The watermark step of the transform pipeline: one picture stamped onto layer 0, sized
// relative to the picture with its aspect kept, placed by percentages within the free space,
// scaled with the high-quality scaler and blended normally with a uniform fade.
//
// All size and position arithmetic is unsigned and truncating, with W x H the picture and
// Mw x Mh the mark:
//   Mw <= Mh: th = (H size + 50) / 100, tw = (Mh / 2 + Mw th) / Mh
//   else:     tw = (W size + 50) / 100, th = (Mw / 2 + Mh tw) / Mw
//   x = ((W - tw) X + 50) / 100,  y = ((H - th) Y + 50) / 100
// The fade becomes the blend's transparency trunc(fade x 2.55), so the mark keeps
// (255 - t) / 255 of its own opacity.
//
// Thread: any. The mark is shared by every conversion thread and only read (locked shared).

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::gfx {

// The job's watermark options (names as in the job record).
struct WatermarkOptions {
    std::uint32_t watermarkX = 100;   // percent of the free space, 0 left .. 100 right
    std::uint32_t watermarkY = 100;   // 0 top .. 100 bottom
    std::uint32_t watermarkSize = 25; // percent of the picture's width (wide mark) or height
    std::uint32_t watermarkFade = 20; // percent
};

// X and Y to at most 100, size 0 to 1 and otherwise to at most 100, fade to at most 99.
void clamp_watermark_options(WatermarkOptions& options) noexcept;

// Where the mark lands: the destination rectangle's corner and size. `visible` is false when
// nothing can be drawn: a side of 0, or a mark larger than the picture in one direction, which
// the unsigned free space would send far outside the picture.
struct WatermarkPlacement {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    bool visible = false;
};
[[nodiscard]] WatermarkPlacement place_watermark(std::uint32_t width, std::uint32_t height,
                                                 std::uint32_t mark_width,
                                                 std::uint32_t mark_height,
                                                 const WatermarkOptions& options) noexcept;

// The blend transparency of a fade in percent: trunc(fade x 2.55).
[[nodiscard]] int watermark_transparency(std::uint32_t fade) noexcept;

// Clamps `options` in place, then stamps `mark` onto layer 0. Returns 1 after stamping (also
// when the placement draws nothing), 0 when the mark is not a valid bitmap, there is no layer
// or the blend fails (its code in the thread's slot).
[[nodiscard]] int WatermarkStep(Layer* layers, std::uint32_t count, Bitmap* mark,
                                WatermarkOptions& options) noexcept;

} // namespace vt::gfx
