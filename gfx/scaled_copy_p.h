#pragma once
// Inside the scaled copy: the 8.8 fixed-point axis tables, the row sampler shared by StretchCopy,
// NearestCopy and ScaledBlend, and the portable and vector row kernels.
// Thread: a sampler belongs to the thread that built it (its tables live in that thread's slot).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "gfx/vector_paths.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"
#include "sdk/vt_plugin.h"

namespace vt::gfx::detail {

// Allocation that reports failure instead of throwing.
template <class T>
std::unique_ptr<T[]> try_alloc(std::size_t count) noexcept {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// Table entries kept around the visible destination span, and the room the slot's scratch
// buffer has for one axis.
inline constexpr std::int32_t kTableMargin = 4;
inline constexpr std::int32_t kTableRoom = 65552;

// One axis of the mapping from destination to source coordinates.
struct AxisSpec {
    std::int64_t d0;     // first destination coordinate of the rectangle
    std::int64_t n_d;    // destination pixels
    std::int64_t s0;     // first source coordinate
    std::int64_t n_s;    // source pixels
    std::int32_t offset; // 1/256 pixel
    bool rows;           // the row bias rule instead of the column one
    std::int32_t lo;     // source bounds the indices are clamped to
    std::int32_t hi;
    std::int32_t vis0; // visible destination span (inclusive)
    std::int32_t vis1;
};

struct AxisTable {
    std::int32_t first = 0; // destination coordinate of entry 0
    std::int32_t count = 0;
    std::int32_t* index = nullptr;
    std::uint8_t* fraction = nullptr;
    std::int32_t lo = 0;
    std::int32_t hi = 0;
    std::int32_t rect_last = 0; // last source coordinate of the rectangle, within lo..hi
    std::int64_t d_last = 0;    // last destination coordinate of the rectangle
    bool identity = false;

    [[nodiscard]] std::int32_t at(std::int32_t d) const noexcept { return index[d - first]; }
    [[nodiscard]] std::uint8_t frac(std::int32_t d) const noexcept { return fraction[d - first]; }
    // Source span a destination pixel covers: from its own index to one before the next one's.
    [[nodiscard]] std::int32_t span_end(std::int32_t d) const noexcept;
};

// Bias added to source positions: half a destination step when enlarging (columns: by more than
// two), half a source pixel when shrinking by more than two, else none.
[[nodiscard]] double axis_bias(std::int64_t n_d, std::int64_t n_s, bool rows) noexcept;

// Fills `table` (whose index and fraction arrays have room for kTableRoom entries) for the
// visible span plus the margins. The span must be at most 65536 wide.
void build_axis_table(const AxisSpec& spec, AxisTable& table) noexcept;

enum class SampleMode { kNearest, kCorner, kBox, kBilinear, kCubic };

[[nodiscard]] SampleMode choose_mode(std::int64_t n_dx, std::int64_t n_sx, std::int64_t n_dy,
                                     std::int64_t n_sy, std::int32_t ox, std::int32_t oy,
                                     bool high_quality) noexcept;

// Produces destination rows of a scaled copy. Build with prepare(), then sample_row() for each
// visible row. The source must stay locked meanwhile.
class RowSampler {
public:
    // Returns kErrorNone or an error code (5 when a buffer cannot be had).
    std::uint32_t prepare(EngineThreadSlot& slot, const Bitmap& src, SampleMode mode,
                          const AxisSpec& cols, const AxisSpec& rows) noexcept;
    // Writes the visible columns vis0..vis1 of destination row `y` to `out`.
    void sample_row(std::int32_t y, std::uint32_t* out) noexcept;

    [[nodiscard]] const AxisTable& columns() const noexcept { return m_cols; }
    [[nodiscard]] const AxisTable& rows() const noexcept { return m_rows; }

private:
    const std::uint32_t* row_ptr(std::int32_t y) const noexcept {
        return m_pixels + static_cast<std::size_t>(y) * m_stride;
    }
    void corner_row(std::int32_t y, std::uint32_t* out) const noexcept;
    void box_row(std::int32_t y, std::uint32_t* out) noexcept;
    void bilinear_row(std::int32_t y, std::uint32_t* out) const noexcept;
    void cubic_row(std::int32_t y, std::uint32_t* out) const noexcept;

    const std::uint32_t* m_pixels = nullptr;
    std::size_t m_stride = 0;
    SampleMode m_mode = SampleMode::kNearest;
    AxisTable m_cols;
    AxisTable m_rows;
    std::int32_t m_vis0 = 0;
    std::int32_t m_width = 0; // visible destination columns
    // Box path: first source column summed and the per-column sums.
    std::int32_t m_box_first = 0;
    std::int32_t m_box_count = 0;
    bool m_box_vector = false;
    std::unique_ptr<std::uint32_t[]> m_sums;
    std::unique_ptr<std::uint16_t[]> m_sums16;
    // Cubic path: four clamped source columns and t per visible destination column.
    std::unique_ptr<std::int32_t[]> m_cubic_cols;
    std::unique_ptr<float[]> m_cubic_t;
    bool m_cubic_vector = false;
};

// Row kernels. `rows` are the four source rows index - 1 .. index + 2; `cols` four clamped
// column indices per output pixel; `tx` its t; `ty` the row's t. Separable: across each row
// first, then down; single precision; rounded half up after clamping to 0..255.
void cubic_row_portable(const std::uint32_t* const rows[4], const std::int32_t* cols,
                        const float* tx, std::int32_t count, float ty, std::uint32_t* out) noexcept;
void cubic_row_sse2(const std::uint32_t* const rows[4], const std::int32_t* cols, const float* tx,
                    std::int32_t count, float ty, std::uint32_t* out) noexcept;

// Adds `rows` source rows (each `count` pixels from `first`) into per-channel 16-bit sums
// (`sums` has 4 x count entries, zeroed by the caller). At most 257 rows.
void box_sum_rows_portable(const std::uint32_t* first, std::size_t stride, std::int32_t rows,
                           std::int32_t count, std::uint16_t* sums) noexcept;
void box_sum_rows_sse2(const std::uint32_t* first, std::size_t stride, std::int32_t rows,
                       std::int32_t count, std::uint16_t* sums) noexcept;
void box_sum_rows_avx2(const std::uint32_t* first, std::size_t stride, std::int32_t rows,
                       std::int32_t count, std::uint16_t* sums) noexcept;

// A scaled operation between two locked bitmaps: the visible destination span and both axes.
struct ScaledPlan {
    AxisSpec cols;
    AxisSpec rows;
    SampleMode mode;
    bool empty; // nothing of the destination rectangle is visible
};

// Clips the destination rectangle to the bitmap (and the thread's clip rectangle under
// kCopyClip), sets the source bounds (the source rectangle under kCopySourceView) and picks the
// path. False with `code` set when the source rectangle misses the source bitmap under
// kCopySourceView. The rectangles must be in order.
[[nodiscard]] bool plan_scaled(const EngineThreadSlot& slot, const Bitmap& dst, const Bitmap& src,
                               const image::BitmapRect& d, const image::BitmapRect& s,
                               std::uint32_t flags, std::int32_t offset_x, std::int32_t offset_y,
                               ScaledPlan& plan, std::uint32_t& code) noexcept;

// StretchCopy (or NearestCopy) with explicit offsets; returns the outcome code.
[[nodiscard]] std::uint32_t scaled_copy(Bitmap* dst, const image::BitmapRect& d, Bitmap* src,
                                        const image::BitmapRect& s, std::uint32_t flags,
                                        bool nearest, std::int32_t offset_x,
                                        std::int32_t offset_y) noexcept;

} // namespace vt::gfx::detail
