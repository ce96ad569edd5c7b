#pragma once
// Compositing: one Bitmap rectangle laid onto another with a blend operator, a transparency and
// optional scaling; rectangle fills; the span kernels the drawing services build on; and the
// routing of a layer's blend mode.
//
// Pixels are B, G, R and a transparency byte T (0 opaque, 255 invisible). Each call builds a
// 256-entry table in the caller's slot, T[a] = (65535 t + 32767 + 257 a (255 - t)) >> 16, that
// combines the call's transparency t with a source pixel's own; the result w is the source
// pixel's weight: w = 255 leaves the destination alone, otherwise the operator's result r is
// laid over the destination with opacity (255 - w) / 255:
//     out = (d w + r (255 - w) + 127) / 255          per colour channel
// The destination's transparency byte: operators 1..5 (bitwise and saturating on all four
// bytes) lay their result over like a colour channel. Otherwise the bitmap kernels let the
// source's opacity in, T' = (T w + 127) / 255, as painting a layer over another does; the
// constant-colour kernel moves the byte toward the colour's under operator 0 and keeps it under
// every other operator.
//
// Results: nonzero success, 0 failure, outcome code in the thread's slot.
// Thread: any; a call uses only the caller's slot.

#include <cstdint>
#include <span>

#include "image/bitmap.h"
#include "sdk/vt_plugin.h"

namespace vt::gfx {

// Operator codes.
inline constexpr int kOpNormal = 0;
inline constexpr int kOpOr = 1;
inline constexpr int kOpAnd = 2;
inline constexpr int kOpXor = 3;
inline constexpr int kOpAddAll = 4;      // min(d + s, 255) on all four bytes
inline constexpr int kOpSubtractAll = 5; // max(d - s, 0) on all four bytes
inline constexpr int kOpAdd = 6;
inline constexpr int kOpSubtract = 7;    // max(d - (255 - s), 0)
inline constexpr int kOpMultiply = 8;    // d (s + s / 128) / 256
inline constexpr int kOpDodge = 9;       // DodgeTableA[d][s]
inline constexpr int kOpGrainMerge = 10; // d + s - 128
inline constexpr int kOpDarken = 11;
inline constexpr int kOpLighten = 12;
inline constexpr int kOpDifference = 13;
inline constexpr int kOpGrainExtract = 14; // d - s + 128: the inverse of 10
inline constexpr int kOpPattern = 15;      // the thread's pattern colour, shaped by the source
inline constexpr int kOpPatternOwn = 16;   // the same, the pattern's transparency counting too
inline constexpr int kOpScreen = 17;
inline constexpr int kOpOverlay = 18;
inline constexpr int kOpColorDodge = 19; // DodgeTableB[d][s]
inline constexpr int kOpBurn = 20;
inline constexpr int kOpLuminosity = 21; // the source's luma, the destination's chroma
inline constexpr int kOpColor = 22;      // the destination's luma, the source's chroma
inline constexpr int kOpHue = 23;        // HSV: the source's hue
inline constexpr int kOpSaturation = 24; // HSV: the source's saturation
inline constexpr int kOpValue = 25;      // HSV: the source's value
inline constexpr int kOpLightness = 26;  // HSL: the source's lightness
inline constexpr int kOpLuminanceMask = 124;
inline constexpr int kOpTransparencyMask = 125;
inline constexpr int kOpDescription = 126;

// Layer modes with their own routing.
inline constexpr int kLayerModeTransparencyMask = 9;
inline constexpr int kLayerModeLuminanceMask = 23;
inline constexpr int kLayerModePattern = 254;
inline constexpr int kLayerModeCopy = 255;

// FillRect flags (with kCopyClip = 0x100 of resample.h).
inline constexpr std::uint32_t kFillExclusive = 1; // right and bottom are exclusive

// The operator of a layer blend mode (bits 0-7 of the layer's mode); unlisted modes are 0.
[[nodiscard]] int layer_mode_operator(int mode) noexcept;

// What operator 126 applies, built per call from a layer's data.
//   kFillAdjustment: an ADJU chunk (version 2). Its settings belong to the editor that wrote
//     them; the host cannot apply them, so the layer leaves the picture as it is instead of
//     painting its own pixels over it.
//   kFillPattern: a pattern (BLND chunk of layer mode 254): the colour comes from the pattern,
//     tiled from the destination's origin, the shape and opacity from the layer's pixels.
//     Pattern data: byte 0 must be 0; when byte 1 is 0x40 and the u16 at 2 exceeds 256, one
//     64 x 64 plane from offset 67; else the u16 at 2 is the side and the planes start at 72,
//     three (B, G, R) when byte 1 is 1, else one for all channels.
struct FillDescription {
    enum Kind : std::uint8_t { kFillNone, kFillAdjustment, kFillPattern } kind = kFillNone;
    std::uint32_t side = 0;
    std::uint32_t planes = 0; // 1 or 3
    const std::uint8_t* data = nullptr;
};
[[nodiscard]] bool build_pattern_description(std::span<const std::uint8_t> data,
                                             FillDescription& out) noexcept;
[[nodiscard]] bool build_adjustment_description(std::span<const std::uint8_t> data,
                                                FillDescription& out) noexcept;

// The packed colour models of operators 23-26: hue in bits 16-23, saturation in 8-15, value
// (HSV) or lightness (HSL) in 0-7; the transparency byte is kept.
[[nodiscard]] std::uint32_t PackHsv(std::uint32_t pixel) noexcept;
[[nodiscard]] std::uint32_t UnpackHsv(std::uint32_t packed) noexcept;
[[nodiscard]] std::uint32_t PackHsl(std::uint32_t pixel) noexcept;
[[nodiscard]] std::uint32_t UnpackHsl(std::uint32_t packed) noexcept;

// The combining table of a transparency t (clamped to 0..255).
void make_transparency_table(std::uint8_t table[256], int transparency) noexcept;

// What a kernel needs besides the pixels: the transparency table, the thread's pattern bitmap
// (locked, for operators 15 and 16) with its origin, and the description of operator 126.
struct BlendContext {
    const std::uint8_t* transparency = nullptr;
    const Bitmap* pattern = nullptr;
    std::int32_t pattern_x = 0;
    std::int32_t pattern_y = 0;
    const FillDescription* description = nullptr;
};

// Span kernels over columns a..b of destination row `y` (`row` points at column 0). `coverage`
// (one byte per pixel from column a, or null for full) of 64 or more is full; less weighs the
// result by coverage x 4 / 256 against the old pixel. The constant-colour kernel takes the
// colour's transparency byte through the table like a source pixel's.
void blend_span(std::uint32_t* row, std::int32_t y, std::int32_t a, std::int32_t b,
                std::uint32_t colour, const std::uint8_t* coverage, int op,
                const BlendContext& ctx) noexcept;
// The same with a source row (`src` holds the pixels for columns a..b).
void blend_span_source(std::uint32_t* row, std::int32_t y, std::int32_t a, std::int32_t b,
                       const std::uint32_t* src, const std::uint8_t* coverage, int op,
                       const BlendContext& ctx) noexcept;

// Unscaled compose when both rectangles (inclusive) have the same size and the thread has no
// sub-pixel offset; else ScaledBlend. Pixels outside either bitmap (or, with kCopyClip, the
// thread's clip rectangle) are skipped. A transparency of 255 or more draws nothing and succeeds.
// Inverted rectangles or an unknown operator: 0 with 4.
[[nodiscard]] int Blend(Bitmap* dst, const image::BitmapRect& rect, Bitmap* src,
                        const image::BitmapRect& src_rect, int transparency, int op,
                        std::uint32_t flags, const FillDescription* description = nullptr) noexcept;
// The source rectangle mapped onto the destination rectangle as the scaled copy maps it
// (kCopyHighQuality, kCopyClip, kCopySourceView as there), then composed.
[[nodiscard]] int ScaledBlend(Bitmap* dst, const image::BitmapRect& rect, Bitmap* src,
                              const image::BitmapRect& src_rect, int transparency, int op,
                              std::uint32_t flags,
                              const FillDescription* description = nullptr) noexcept;

// Fills a rectangle: corners put in order, kFillExclusive makes right and bottom exclusive,
// kCopyClip clips to the thread's clip rectangle, and the bitmap clips it. Operator 0 writes the
// colour as it is; others go through the constant-colour span kernel. Unknown operator: 4.
[[nodiscard]] int FillRect(Bitmap* dst, std::int32_t left, std::int32_t top, std::int32_t right,
                           std::int32_t bottom, std::uint32_t colour, int op,
                           std::uint32_t flags) noexcept;

// Composes a layer's bitmap (source rectangle 0, 0 .. src_right, src_bottom) into the
// destination rectangle. `offset_x`, `offset_y` (1/256 pixel) hold in the thread's slot for the
// call. Routing: an ADJU description that can be built -> operator 126; mode 9 / 23 -> the
// transparency / luminance mask (without the layer's transparency), then, when the transparency
// is at least 1, the rectangle filled with (transparency << 24) through the same mask operator;
// mode 255 -> plain copy (NearestCopy unscaled, else StretchCopy); mode 254 -> the pattern
// (operator 126; no pattern: normal); other modes -> their operator. Unscaled when `scaled` is
// false and there is no offset; scaled paths use the high-quality scaled copy.
[[nodiscard]] int BlendLayer(Bitmap* dst, std::int32_t left, std::int32_t top, std::int32_t right,
                             std::int32_t bottom, std::int32_t offset_x, std::int32_t offset_y,
                             Bitmap* src, std::int32_t src_right, std::int32_t src_bottom, int mode,
                             int transparency, bool scaled,
                             std::span<const std::uint8_t> pattern_data,
                             std::span<const std::uint8_t> fill_description) noexcept;

} // namespace vt::gfx
