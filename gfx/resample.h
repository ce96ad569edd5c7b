#pragma once
// The engine's scalers: the nearest-pixel copy, the table-driven scaled copy (balanced and high
// quality) that is also the general stretch between rectangles, and the advanced resampler with
// six filters, the last a windowed sinc with thirteen windows.
//
// Results follow the engine: nonzero success, 0 failure, with the outcome code left in the
// calling thread's slot (vt::gfx::last_engine_error(): 1 success, 3 invalid record, 4 argument
// out of range, 5 allocation failed, 7 being destroyed).
//
// Thread: any. A call uses only the caller's slot (tables, offsets, clip rectangle); two threads
// may scale into different destinations from one source at the same time.

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::gfx {

// StretchCopy / NearestCopy / ScaledBlend flags.
inline constexpr std::uint32_t kCopyClip = 0x100;       // clip to the thread's clip rectangle
inline constexpr std::uint32_t kCopySourceView = 0x200; // indices clamp to the source rectangle
inline constexpr std::uint32_t kCopyHighQuality = 0x10000000;

// ResizeBitmap methods.
inline constexpr int kResizeBalanced = 0;
inline constexpr int kResizeBlank = 1;
inline constexpr int kResizeHighQuality = 2;
inline constexpr int kResizeNearest = 3;
// ResizeBitmap result when the engine limits made the new bitmap smaller than asked.
inline constexpr int kResizeReduced = 99;

// AdvancedResample filters.
inline constexpr int kFilterNearest = 0;
inline constexpr int kFilterBilinear = 1;
inline constexpr int kFilterCardinal = 2;
inline constexpr int kFilterBSpline = 3;
inline constexpr int kFilterMitchell = 4;
inline constexpr int kFilterSinc = 5;

// Windows of the sinc filter.
inline constexpr int kWindowBartlett = 0;
inline constexpr int kWindowBlackman = 1;
inline constexpr int kWindowBlackmanHarris = 2;
inline constexpr int kWindowBohman = 3;
inline constexpr int kWindowCosine = 4;
inline constexpr int kWindowGauss = 5;
inline constexpr int kWindowHamming = 6;
inline constexpr int kWindowHann = 7;
inline constexpr int kWindowKaiser = 8;
inline constexpr int kWindowLanczos = 9;
inline constexpr int kWindowParzen = 10;
inline constexpr int kWindowRectangular = 11;
inline constexpr int kWindowWelch = 12;

// The window parameter P, which no option sets. Gauss 2^(-0.1 P t^2) with P = 3 keeps the
// central lobe (0.81 at one pixel) and halves the first side lobe at two pixels, so a size-4
// kernel still sharpens while large sizes stop ringing. Kaiser with P = 6.5 (a beta close to the
// Blackman window) tapers to about a third at half the window length, the farthest tap.
inline constexpr double kGaussParameter = 3.0;
inline constexpr double kKaiserParameter = 6.5;

// Tap counts above this are refused (error 4): they only cost time.
inline constexpr int kMaxSincTaps = 64;

// Replaces the bitmap's content by a version of width x height. Methods: 0 balanced scaled copy,
// 1 a blank (zero-filled) bitmap, 2 high-quality scaled copy, 3 nearest pixel. The new bitmap
// has the old one's kind (display memory stays display memory; everything else becomes engine
// memory). Returns 1 (also at once when the size already matches), kResizeReduced when the
// engine limits shrank the new bitmap and the picture was scaled into that, 0 on failure (sizes
// below 1 or an unknown method: 4; invalid or dying bitmap; out of memory: the old content
// stays). The bitmap must not be locked by anyone else.
[[nodiscard]] int ResizeBitmap(Bitmap* bmp, std::int32_t width, std::int32_t height,
                               int method) noexcept;

// The scaled copy from the inclusive source rectangle onto the inclusive destination rectangle.
// Destination pixels outside the destination bitmap (and, with kCopyClip, outside the thread's
// clip rectangle) are left alone; source positions outside the source bitmap (with
// kCopySourceView: outside the source rectangle) take the nearest edge pixel. The thread's
// offset_x / offset_y (1/256 pixel) shift the source positions. kCopyHighQuality selects the
// box average / cubic paths. Inverted rectangles, or a source rectangle that misses the source
// bitmap entirely under kCopySourceView, return 0 with 4. `dst` and `src` may be the same
// record (the source is then copied first); other overlaps are not supported.
[[nodiscard]] int StretchCopy(Bitmap* dst, std::int32_t left, std::int32_t top, std::int32_t right,
                              std::int32_t bottom, Bitmap* src, std::int32_t src_left,
                              std::int32_t src_top, std::int32_t src_right, std::int32_t src_bottom,
                              std::uint32_t flags) noexcept;

// The same mapping without interpolation: every destination pixel copies the source pixel at its
// table index (rows whose column mapping is the identity are copied as one block).
[[nodiscard]] int NearestCopy(Bitmap* dst, std::int32_t left, std::int32_t top, std::int32_t right,
                              std::int32_t bottom, Bitmap* src, std::int32_t src_left,
                              std::int32_t src_top, std::int32_t src_right, std::int32_t src_bottom,
                              std::uint32_t flags) noexcept;

// Resamples the bitmap to width x height with `filter` 0..5; the sinc filter uses `window`
// 0..12 (others weigh every tap but the centre 0) and max(size, 3) taps. Corner pixels stay on
// corner pixels; taps beyond the picture repeat the edge. Clears `resample_abort` when it starts
// and returns 0 when the flag stopped it (the rows already written stay in the bitmap), 1 when
// every row was produced; 0 with 4 for sizes below 1, a filter outside 0..5 or more than
// kMaxSincTaps taps; 0 when the work bitmaps cannot be made.
[[nodiscard]] int AdvancedResample(Bitmap* bmp, std::int32_t width, std::int32_t height, int filter,
                                   int window, int size) noexcept;

// Shrinks the bitmap to width x height (each at most its side) by area: each new pixel is the
// mean of the source area it covers, the source pixels at its edges counted by the part covered,
// rounded. Unlike the high-quality box average, whose spans hold whole pixels, this does not
// alias at small shrink factors: it follows a reduced decode. Returns 1, or 0: with 4 for a side
// below 1, above the bitmap's or shrunk more than kMaxAreaShrink times; 5 without memory; an
// invalid or dying bitmap. On failure the old content stays.
inline constexpr std::uint32_t kMaxAreaShrink = 63;
[[nodiscard]] int AreaResample(Bitmap* bmp, std::int32_t width, std::int32_t height) noexcept;
// Whether AreaResample takes a from_width x from_height picture to width x height.
[[nodiscard]] constexpr bool area_resample_fits(std::uint32_t from_width, std::uint32_t from_height,
                                                std::int32_t width, std::int32_t height) noexcept {
    return width >= 1 && height >= 1 && static_cast<std::uint32_t>(width) <= from_width &&
           static_cast<std::uint32_t>(height) <= from_height &&
           from_width <= static_cast<std::uint64_t>(width) * kMaxAreaShrink &&
           from_height <= static_cast<std::uint64_t>(height) * kMaxAreaShrink;
}

// The one-dimensional kernel k(t) of a filter (1..5) at distance t from the sample, with the
// sinc filter's window and tap count; filter 0 and unknown filters give 0.
[[nodiscard]] double resample_kernel(int filter, int window, int taps, double t) noexcept;
// The sinc window at t for a window of R = taps (1 at t = 0, 0 beyond R and for unknown indices).
[[nodiscard]] double sinc_window(int window, double taps, double t) noexcept;
// First tap offset and tap count of a filter: 0 -> (0, 1), 1 -> (0, 2), 2..4 -> (-1, 4),
// 5 -> (-((N - 1) / 2), N) with N = max(size, 3).
struct TapRange {
    int first;
    int count;
};
[[nodiscard]] TapRange filter_taps(int filter, int size) noexcept;

} // namespace vt::gfx
