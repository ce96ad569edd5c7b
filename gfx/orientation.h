#pragma once
// Quarter turns and mirrors of bitmaps, the sky analysis, and the rotation step of the
// transform pipeline.
//
// A turn is 0 none, 1 a quarter turn clockwise, 2 a half turn, 3 a quarter turn anti-clockwise.
// Results: nonzero success, 0 failure with the outcome code in the thread's slot.
// Thread: any; the caller owns the bitmaps and layers it passes.

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::gfx {

// Turns `bmp` clockwise by `quarters` modulo 4 (negative counts turn anti-clockwise). The turned
// picture is built in a new bitmap of the same kind (engine memory for caller memory and views),
// created strictly, and swapped into the record; the old pixels are freed. 0 quarters: 1 at
// once. Returns 0 when the bitmap is invalid or being destroyed, or the new one cannot be made.
[[nodiscard]] int RotateBitmapQuarter(Bitmap* bmp, std::int32_t quarters) noexcept;

// Mirrors `bmp` in place: left-right, or top-bottom when `vertical`. Returns 1, 0 when invalid.
[[nodiscard]] int MirrorBitmap(Bitmap* bmp, bool vertical) noexcept;

// The side of the picture that holds the sky: 0 top, 1 right, 2 bottom, 3 left, -1 none.
// Each side's band (a third of the picture) is scored by its blue excess and its luma; a side
// qualifies when it beats both neighbours, which beat the opposite side, by more than
// 0.2 x threshold over the opposite side and reaches `threshold` itself.
[[nodiscard]] int SkyDirection(Bitmap* bmp, double threshold) noexcept;

// The score of the inclusive rectangle of a locked bitmap (0 when it has no blue and no light).
[[nodiscard]] double sky_band_score(const Bitmap& bmp, std::uint32_t left, std::uint32_t top,
                                    std::uint32_t right, std::uint32_t bottom) noexcept;
// The decision of SkyDirection from the four band scores (top, right, bottom, left): the
// qualifying side with the greatest score, the first on equal scores; -1 when none qualifies.
[[nodiscard]] int sky_side(const double scores[4], double threshold) noexcept;

inline constexpr double kSkyThreshold = 0.5;

// The turn the rotation step applies for a rotation mode: 1 fixed clockwise, 2 fixed
// anti-clockwise, 3 half turn, 4 the EXIF orientation in layer 0's markup, 5 the sky analysis
// of layer 0; other modes and a missing layer 0 turn nothing.
[[nodiscard]] int rotation_turn(Layer* layers, std::uint32_t count,
                                std::int32_t rotationMode) noexcept;

// The turn that brings a picture with this EXIF orientation upright (mirrored orientations
// turn like their unmirrored neighbours; nothing is mirrored). Unknown values: 0.
[[nodiscard]] int turn_for_orientation(long orientation) noexcept;

// Turns every layer by rotation_turn(): each layer's pixels, the positions of layers 1.. so the
// stack keeps its arrangement over the turned layer 0, then every layer's metadata (the EXIF
// orientation of a turned picture then says 1). Returns 1 when turned, -1 when the turn is 0,
// 0 when a turned bitmap cannot be made (earlier layers stay turned, no metadata is adjusted).
[[nodiscard]] int RotationStep(Layer* layers, std::uint32_t count,
                               std::int32_t rotationMode) noexcept;

} // namespace vt::gfx
