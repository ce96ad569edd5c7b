#include <algorithm>
#include <cmath>
#include <cstring>

#include "gfx/resample.h"
#include "gfx/resample_testing.h"
#include "gfx/scaled_copy_p.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"

namespace vt::gfx {

namespace detail {

namespace {

// Box spans up to this many pixels per axis keep their sums in 16 bits (64 x 255 fits) and use
// the vector kernels; longer spans take the 32/64-bit path.
constexpr std::int32_t kMaxVectorBoxSpan = 64;

std::uint32_t channel(std::uint32_t p, int c) noexcept {
    return (p >> (8 * c)) & 255u;
}

} // namespace

std::int32_t AxisTable::span_end(std::int32_t d) const noexcept {
    const std::int32_t start = at(d);
    std::int32_t end = d >= d_last ? rect_last : at(d + 1) - 1;
    end = std::clamp(end, lo, hi);
    return std::max(end, start);
}

double axis_bias(std::int64_t n_d, std::int64_t n_s, bool rows) noexcept {
    const bool enlarging = rows ? n_d > n_s : n_d > 2 * n_s;
    if (enlarging)
        return 0.5 * static_cast<double>(n_s) / static_cast<double>(n_d);
    if (2 * n_d < n_s)
        return 0.5;
    return 0.0;
}

void build_axis_table(const AxisSpec& spec, AxisTable& table) noexcept {
    table.first = spec.vis0 - kTableMargin;
    table.count = std::min(spec.vis1 + kTableMargin - table.first + 1, kTableRoom);
    table.lo = spec.lo;
    table.hi = spec.hi;
    table.identity = spec.n_d == spec.n_s && spec.offset == 0;
    table.d_last = spec.d0 + spec.n_d - 1;
    table.rect_last = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(spec.s0 + spec.n_s - 1, spec.lo, spec.hi));
    const double bias = table.identity ? 0.0 : axis_bias(spec.n_d, spec.n_s, spec.rows);
    const double scale = static_cast<double>(spec.n_s) / static_cast<double>(spec.n_d);
    const double shift = static_cast<double>(spec.offset) / 256.0;
    const double base = 256.0 * static_cast<double>(spec.s0);
    // Far outside the source any index clamps the same; this keeps the conversion defined.
    constexpr double kLimit = 4.0e15;
    for (std::int32_t i = 0; i < table.count; ++i) {
        const std::int64_t d = static_cast<std::int64_t>(table.first) + i;
        std::int64_t index = 0;
        std::uint8_t fraction = 0;
        if (table.identity) {
            index = d - spec.d0 + spec.s0;
        } else {
            const double p = (static_cast<double>(d - spec.d0) - shift) * scale + bias;
            const double f = std::clamp(std::trunc(p * 256.0 + 0.000001 + base), -kLimit, kLimit);
            const auto fixed = static_cast<std::int64_t>(f);
            index = ((fixed + 4096) >> 8) - 16;
            fraction = static_cast<std::uint8_t>(fixed & 255);
        }
        // Before the first source pixel the edge repeats, as after the last one (where index
        // + 1 clamps): the fraction must not blend in the second pixel.
        if (index < spec.lo)
            fraction = 0;
        table.index[i] =
            static_cast<std::int32_t>(std::clamp<std::int64_t>(index, spec.lo, spec.hi));
        table.fraction[i] = fraction;
    }
}

SampleMode choose_mode(std::int64_t n_dx, std::int64_t n_sx, std::int64_t n_dy, std::int64_t n_sy,
                       std::int32_t ox, std::int32_t oy, bool high_quality) noexcept {
    const bool no_offset = ox == 0 && oy == 0;
    if (n_dx == n_sx && n_dy == n_sy && no_offset)
        return SampleMode::kNearest;
    if (n_dx <= n_sx && n_dy <= n_sy && no_offset) {
        if (!high_quality)
            return SampleMode::kCorner;
        return n_sx < 2 * n_dx && n_sy < 2 * n_dy ? SampleMode::kCubic : SampleMode::kBox;
    }
    if (!high_quality)
        return SampleMode::kBilinear;
    return n_dx > n_sx || n_dy > n_sy ? SampleMode::kCubic : SampleMode::kBilinear;
}

std::uint32_t RowSampler::prepare(EngineThreadSlot& slot, const Bitmap& src, SampleMode mode,
                                  const AxisSpec& cols, const AxisSpec& rows) noexcept {
    if (ensure_scratch(slot) == 0)
        return kErrorScratch;
    m_pixels = src.pixels;
    m_stride = src.stride;
    m_mode = mode;
    m_cols.index = reinterpret_cast<std::int32_t*>(slot.scratch + kColumnIndexOffset);
    m_cols.fraction = slot.scratch + kColumnFractionOffset;
    m_rows.index = reinterpret_cast<std::int32_t*>(slot.scratch + kRowIndexOffset);
    m_rows.fraction = slot.scratch + kRowFractionOffset;
    build_axis_table(cols, m_cols);
    build_axis_table(rows, m_rows);
    m_vis0 = cols.vis0;
    m_width = cols.vis1 - cols.vis0 + 1;

    if (mode == SampleMode::kBox) {
        m_box_first = m_cols.at(cols.vis0);
        m_box_count = m_cols.span_end(cols.vis1) - m_box_first + 1;
        std::int32_t widest = 0;
        for (std::int32_t x = cols.vis0; x <= cols.vis1; ++x)
            widest = std::max(widest, m_cols.span_end(x) - m_cols.at(x) + 1);
        m_box_vector = widest <= kMaxVectorBoxSpan;
        const auto entries = static_cast<std::size_t>(m_box_count) * 4;
        m_sums16 = try_alloc<std::uint16_t>(entries);
        m_sums = try_alloc<std::uint32_t>(entries);
        if (!m_sums16 || !m_sums)
            return kErrorScratch;
    } else if (mode == SampleMode::kCubic) {
        m_cubic_cols = try_alloc<std::int32_t>(static_cast<std::size_t>(m_width) * 4);
        m_cubic_t = try_alloc<float>(static_cast<std::size_t>(m_width));
        if (!m_cubic_cols || !m_cubic_t)
            return kErrorScratch;
        for (std::int32_t k = 0; k < m_width; ++k) {
            const std::int32_t x = m_vis0 + k;
            const std::int32_t i = m_cols.at(x);
            for (int m = 0; m < 4; ++m)
                m_cubic_cols[static_cast<std::size_t>(k) * 4 + static_cast<std::size_t>(m)] =
                    std::clamp(i - 1 + m, m_cols.lo, m_cols.hi);
            m_cubic_t[static_cast<std::size_t>(k)] = static_cast<float>(m_cols.frac(x)) / 256.0f;
        }
        m_cubic_vector = vector_paths_enabled();
    }
    return kErrorNone;
}

void RowSampler::sample_row(std::int32_t y, std::uint32_t* out) noexcept {
    switch (m_mode) {
    case SampleMode::kNearest: {
        const std::uint32_t* row = row_ptr(m_rows.at(y));
        const std::int32_t last = m_vis0 + m_width - 1;
        if (m_cols.identity && m_cols.at(last) - m_cols.at(m_vis0) == m_width - 1) {
            std::memcpy(out, row + m_cols.at(m_vis0), static_cast<std::size_t>(m_width) * 4);
            return;
        }
        for (std::int32_t k = 0; k < m_width; ++k)
            out[k] = row[m_cols.at(m_vis0 + k)];
        return;
    }
    case SampleMode::kCorner:
        corner_row(y, out);
        return;
    case SampleMode::kBox:
        box_row(y, out);
        return;
    case SampleMode::kBilinear:
        bilinear_row(y, out);
        return;
    case SampleMode::kCubic:
        cubic_row(y, out);
        return;
    }
}

void RowSampler::corner_row(std::int32_t y, std::uint32_t* out) const noexcept {
    const std::int32_t r_end = m_rows.span_end(y);
    const std::int32_t r_mid = (m_rows.at(y) + r_end) / 2;
    const std::uint32_t* mid_row = row_ptr(r_mid);
    const std::uint32_t* last_row = row_ptr(r_end);
    for (std::int32_t k = 0; k < m_width; ++k) {
        const std::int32_t x = m_vis0 + k;
        const std::int32_t c_end = m_cols.span_end(x);
        const std::int32_t c_mid = (m_cols.at(x) + c_end) / 2;
        const std::uint32_t p[4] = {mid_row[c_mid], last_row[c_mid], mid_row[c_end],
                                    last_row[c_end]};
        if (p[0] == p[1] && p[0] == p[2] && p[0] == p[3]) {
            out[k] = p[0];
            continue;
        }
        std::uint32_t v = 0;
        for (int c = 0; c < 4; ++c) {
            const std::uint32_t sum =
                channel(p[0], c) + channel(p[1], c) + channel(p[2], c) + channel(p[3], c);
            v |= (sum / 4) << (8 * c);
        }
        out[k] = v;
    }
}

void RowSampler::box_row(std::int32_t y, std::uint32_t* out) noexcept {
    const std::int32_t r0 = m_rows.at(y);
    const std::int32_t r1 = m_rows.span_end(y);
    const std::int32_t n_rows = r1 - r0 + 1;
    const auto entries = static_cast<std::size_t>(m_box_count) * 4;
    const std::uint32_t* first = row_ptr(r0) + m_box_first;
    const bool narrow = m_box_vector && n_rows <= kMaxVectorBoxSpan;
    if (narrow) {
        std::memset(m_sums16.get(), 0, entries * sizeof(std::uint16_t));
        if (avx2_enabled())
            box_sum_rows_avx2(first, m_stride, n_rows, m_box_count, m_sums16.get());
        else if (vector_paths_enabled())
            box_sum_rows_sse2(first, m_stride, n_rows, m_box_count, m_sums16.get());
        else
            box_sum_rows_portable(first, m_stride, n_rows, m_box_count, m_sums16.get());
        for (std::size_t i = 0; i < entries; ++i)
            m_sums[i] = m_sums16[i];
    } else {
        // Long spans: 32-bit column sums (65536 rows x 255 still fit), 64-bit across.
        std::memset(m_sums.get(), 0, entries * sizeof(std::uint32_t));
        for (std::int32_t r = 0; r < n_rows; ++r) {
            const std::uint32_t* row = first + static_cast<std::size_t>(r) * m_stride;
            for (std::int32_t i = 0; i < m_box_count; ++i)
                for (int c = 0; c < 4; ++c)
                    m_sums[static_cast<std::size_t>(i) * 4 + static_cast<std::size_t>(c)] +=
                        channel(row[i], c);
        }
    }
    for (std::int32_t k = 0; k < m_width; ++k) {
        const std::int32_t x = m_vis0 + k;
        const std::int32_t c0 = m_cols.at(x) - m_box_first;
        const std::int32_t c1 = m_cols.span_end(x) - m_box_first;
        std::uint64_t sum[4] = {0, 0, 0, 0};
        for (std::int32_t i = c0; i <= c1; ++i)
            for (int c = 0; c < 4; ++c)
                sum[c] += m_sums[static_cast<std::size_t>(i) * 4 + static_cast<std::size_t>(c)];
        const auto area =
            static_cast<std::uint64_t>(c1 - c0 + 1) * static_cast<std::uint64_t>(n_rows);
        std::uint32_t v = 0;
        for (int c = 0; c < 4; ++c)
            v |= static_cast<std::uint32_t>(sum[c] / area) << (8 * c);
        out[k] = v;
    }
}

void RowSampler::bilinear_row(std::int32_t y, std::uint32_t* out) const noexcept {
    const std::int32_t j = m_rows.at(y);
    const std::uint32_t fy = m_rows.frac(y);
    const std::uint32_t* top = row_ptr(j);
    const std::uint32_t* bottom = row_ptr(std::min(j + 1, m_rows.hi));
    for (std::int32_t k = 0; k < m_width; ++k) {
        const std::int32_t x = m_vis0 + k;
        const std::int32_t i = m_cols.at(x);
        const std::int32_t i1 = std::min(i + 1, m_cols.hi);
        const std::uint32_t fx = m_cols.frac(x);
        std::uint32_t v = 0;
        for (int c = 0; c < 4; ++c) {
            const std::uint32_t t = channel(top[i], c) * (256 - fx) + channel(top[i1], c) * fx;
            const std::uint32_t b =
                channel(bottom[i], c) * (256 - fx) + channel(bottom[i1], c) * fx;
            v |= ((t * (256 - fy) + b * fy + 32768) >> 16) << (8 * c);
        }
        out[k] = v;
    }
}

void RowSampler::cubic_row(std::int32_t y, std::uint32_t* out) const noexcept {
    const std::int32_t j = m_rows.at(y);
    const std::uint32_t* rows[4];
    for (int n = 0; n < 4; ++n)
        rows[n] = row_ptr(std::clamp(j - 1 + n, m_rows.lo, m_rows.hi));
    const float ty = static_cast<float>(m_rows.frac(y)) / 256.0f;
    if (m_cubic_vector)
        cubic_row_sse2(rows, m_cubic_cols.get(), m_cubic_t.get(), m_width, ty, out);
    else
        cubic_row_portable(rows, m_cubic_cols.get(), m_cubic_t.get(), m_width, ty, out);
}

namespace {

// One cubic step: a = y3 - y2 - y0 + y1, b = y0 - y1 - a, c = y2 - y0, a t^3 + b t^2 + c t + y1.
// The vector kernel evaluates the same expression in the same order.
inline float cubic(float y0, float y1, float y2, float y3, float t) noexcept {
    const float a = ((y3 - y2) - y0) + y1;
    const float b = (y0 - y1) - a;
    const float c = y2 - y0;
    return ((a * t + b) * t + c) * t + y1;
}

} // namespace

void cubic_row_portable(const std::uint32_t* const rows[4], const std::int32_t* cols,
                        const float* tx, std::int32_t count, float ty,
                        std::uint32_t* out) noexcept {
    for (std::int32_t k = 0; k < count; ++k) {
        const std::int32_t* ci = cols + static_cast<std::size_t>(k) * 4;
        std::uint32_t v = 0;
        for (int c = 0; c < 4; ++c) {
            float across[4];
            for (int n = 0; n < 4; ++n) {
                const std::uint32_t* r = rows[n];
                across[n] = cubic(static_cast<float>(channel(r[ci[0]], c)),
                                  static_cast<float>(channel(r[ci[1]], c)),
                                  static_cast<float>(channel(r[ci[2]], c)),
                                  static_cast<float>(channel(r[ci[3]], c)), tx[k]);
            }
            float value = cubic(across[0], across[1], across[2], across[3], ty);
            value = std::max(std::min(value, 255.0f), 0.0f);
            v |= static_cast<std::uint32_t>(value + 0.5f) << (8 * c);
        }
        out[k] = v;
    }
}

void box_sum_rows_portable(const std::uint32_t* first, std::size_t stride, std::int32_t rows,
                           std::int32_t count, std::uint16_t* sums) noexcept {
    for (std::int32_t r = 0; r < rows; ++r) {
        const std::uint32_t* row = first + static_cast<std::size_t>(r) * stride;
        for (std::int32_t i = 0; i < count; ++i)
            for (int c = 0; c < 4; ++c)
                sums[static_cast<std::size_t>(i) * 4 + static_cast<std::size_t>(c)] =
                    static_cast<std::uint16_t>(
                        sums[static_cast<std::size_t>(i) * 4 + static_cast<std::size_t>(c)] +
                        channel(row[i], c));
    }
}

bool plan_scaled(const EngineThreadSlot& slot, const Bitmap& dst, const Bitmap& src,
                 const image::BitmapRect& d, const image::BitmapRect& s, std::uint32_t flags,
                 std::int32_t offset_x, std::int32_t offset_y, ScaledPlan& plan,
                 std::uint32_t& code) noexcept {
    code = kErrorNone;
    // Destination coordinates beyond 65535 are never drawn: the tables have no room for them.
    constexpr std::int64_t kLastCoordinate = 65535;
    std::int64_t vx0 = std::max<std::int64_t>(d.left, 0);
    std::int64_t vy0 = std::max<std::int64_t>(d.top, 0);
    std::int64_t vx1 = std::min<std::int64_t>(
        {d.right, static_cast<std::int64_t>(dst.width) - 1, kLastCoordinate});
    std::int64_t vy1 = std::min<std::int64_t>(
        {d.bottom, static_cast<std::int64_t>(dst.height) - 1, kLastCoordinate});
    if ((flags & kCopyClip) != 0) {
        vx0 = std::max<std::int64_t>(vx0, slot.clip_left);
        vy0 = std::max<std::int64_t>(vy0, slot.clip_top);
        vx1 = std::min<std::int64_t>(vx1, slot.clip_right);
        vy1 = std::min<std::int64_t>(vy1, slot.clip_bottom);
    }
    std::int64_t lo_x = 0;
    std::int64_t lo_y = 0;
    std::int64_t hi_x = static_cast<std::int64_t>(src.width) - 1;
    std::int64_t hi_y = static_cast<std::int64_t>(src.height) - 1;
    if ((flags & kCopySourceView) != 0) {
        lo_x = std::max<std::int64_t>(lo_x, s.left);
        lo_y = std::max<std::int64_t>(lo_y, s.top);
        hi_x = std::min<std::int64_t>(hi_x, s.right);
        hi_y = std::min<std::int64_t>(hi_y, s.bottom);
        if (lo_x > hi_x || lo_y > hi_y) {
            code = kErrorArgument;
            return false;
        }
    }
    plan.empty = vx0 > vx1 || vy0 > vy1;
    if (plan.empty)
        return true;
    const auto n_dx = static_cast<std::int64_t>(d.right) - d.left + 1;
    const auto n_dy = static_cast<std::int64_t>(d.bottom) - d.top + 1;
    const auto n_sx = static_cast<std::int64_t>(s.right) - s.left + 1;
    const auto n_sy = static_cast<std::int64_t>(s.bottom) - s.top + 1;
    plan.cols = {d.left,
                 n_dx,
                 s.left,
                 n_sx,
                 offset_x,
                 false,
                 static_cast<std::int32_t>(lo_x),
                 static_cast<std::int32_t>(hi_x),
                 static_cast<std::int32_t>(vx0),
                 static_cast<std::int32_t>(vx1)};
    plan.rows = {d.top,
                 n_dy,
                 s.top,
                 n_sy,
                 offset_y,
                 true,
                 static_cast<std::int32_t>(lo_y),
                 static_cast<std::int32_t>(hi_y),
                 static_cast<std::int32_t>(vy0),
                 static_cast<std::int32_t>(vy1)};
    plan.mode =
        choose_mode(n_dx, n_sx, n_dy, n_sy, offset_x, offset_y, (flags & kCopyHighQuality) != 0);
    return true;
}

std::uint32_t scaled_copy(Bitmap* dst, const image::BitmapRect& d, Bitmap* src,
                          const image::BitmapRect& s, std::uint32_t flags, bool nearest,
                          std::int32_t offset_x, std::int32_t offset_y) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return kErrorInvalid;
    if (d.right < d.left || d.bottom < d.top || s.right < s.left || s.bottom < s.top)
        return kErrorArgument;
    Bitmap copy{};
    Bitmap* from = src;
    if (dst == src) {
        if (image::CopyBitmap(&copy, src) == 0)
            return last_engine_error();
        from = &copy;
    }
    std::uint32_t code = kErrorNone;
    {
        image::ScopedBitmapLock source_lock(from, 0);
        if (!source_lock.locked()) {
            code = last_engine_error();
        } else {
            image::ScopedBitmapLock target_lock(dst, 0);
            if (!target_lock.locked()) {
                code = last_engine_error();
            } else {
                ScaledPlan plan{};
                if (plan_scaled(*slot, *dst, *from, d, s, flags, offset_x, offset_y, plan, code) &&
                    !plan.empty) {
                    RowSampler sampler;
                    code = sampler.prepare(*slot, *from, nearest ? SampleMode::kNearest : plan.mode,
                                           plan.cols, plan.rows);
                    if (code == kErrorNone)
                        for (std::int32_t y = plan.rows.vis0; y <= plan.rows.vis1; ++y)
                            sampler.sample_row(y, dst->pixels +
                                                      static_cast<std::size_t>(y) * dst->stride +
                                                      plan.cols.vis0);
                }
            }
        }
    }
    if (from == &copy)
        image::FreeBitmap(&copy);
    return code;
}

} // namespace detail

int StretchCopy(Bitmap* dst, std::int32_t left, std::int32_t top, std::int32_t right,
                std::int32_t bottom, Bitmap* src, std::int32_t src_left, std::int32_t src_top,
                std::int32_t src_right, std::int32_t src_bottom, std::uint32_t flags) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    const std::uint32_t code = detail::scaled_copy(dst, {left, top, right, bottom}, src,
                                                   {src_left, src_top, src_right, src_bottom},
                                                   flags, false, slot->offset_x, slot->offset_y);
    return finish(slot, code, code == kErrorNone ? 1 : 0);
}

int NearestCopy(Bitmap* dst, std::int32_t left, std::int32_t top, std::int32_t right,
                std::int32_t bottom, Bitmap* src, std::int32_t src_left, std::int32_t src_top,
                std::int32_t src_right, std::int32_t src_bottom, std::uint32_t flags) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    const std::uint32_t code = detail::scaled_copy(dst, {left, top, right, bottom}, src,
                                                   {src_left, src_top, src_right, src_bottom},
                                                   flags, true, slot->offset_x, slot->offset_y);
    return finish(slot, code, code == kErrorNone ? 1 : 0);
}

int ResizeBitmap(Bitmap* bmp, std::int32_t width, std::int32_t height, int method) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (image::IsBitmapValid(bmp) == 0 || image::RefreshBitmapInfo(bmp) == 0)
        return 0;
    if (width < 1 || height < 1 || method < kResizeBalanced || method > kResizeNearest)
        return finish(slot, kErrorArgument, 0);
    if (bmp->width == static_cast<std::uint32_t>(width) &&
        bmp->height == static_cast<std::uint32_t>(height))
        return finish(slot, kErrorNone, 1);

    Bitmap fresh{};
    const std::uint32_t kind_flags = bmp->kind == image::kKindDisplay ? 0 : image::kCreateMemory;
    const int created = image::CreateBitmap(&fresh, width, height, kind_flags);
    if (created == 0)
        return 0;
    if (method != kResizeBlank) {
        const image::BitmapRect to{0, 0, static_cast<std::int32_t>(fresh.width) - 1,
                                   static_cast<std::int32_t>(fresh.height) - 1};
        const image::BitmapRect from{0, 0, static_cast<std::int32_t>(bmp->width) - 1,
                                     static_cast<std::int32_t>(bmp->height) - 1};
        const std::uint32_t flags = method == kResizeHighQuality ? kCopyHighQuality : 0;
        const std::uint32_t code =
            detail::scaled_copy(&fresh, to, bmp, from, flags, method == kResizeNearest, 0, 0);
        if (code != kErrorNone) {
            image::FreeBitmap(&fresh);
            return finish(slot, code, 0);
        }
    }
    if (image::SwapBitmaps(bmp, &fresh) == 0) {
        const std::uint32_t code = last_engine_error();
        image::FreeBitmap(&fresh);
        return finish(slot, code, 0);
    }
    image::FreeBitmap(&fresh);
    return finish(slot, kErrorNone, created == image::kCreateShrunk ? kResizeReduced : 1);
}

} // namespace vt::gfx
