#include "gfx/deep_resize.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gfx/advanced_weights_p.h"
#include "gfx/resample.h"
#include "gfx/scaled_copy_p.h"
#include "gfxcore/row_claim.h"
#include "gfxcore/runtime.h"

namespace vt::gfx {
namespace {

// The scaled copy draws destination coordinates up to 65535 only.
constexpr std::uint32_t kMaxSide = 65536;

// The axis table the scaled copy builds for a whole-bitmap resize along one axis.
struct DeepAxis {
    std::vector<std::int32_t> index;
    std::vector<std::uint8_t> fraction;
    detail::AxisTable table;

    bool build(std::uint32_t n_d, std::uint32_t n_s, bool rows) noexcept {
        try {
            index.assign(detail::kTableRoom, 0);
            fraction.assign(detail::kTableRoom, 0);
        } catch (...) {
            return false;
        }
        table.index = index.data();
        table.fraction = fraction.data();
        const detail::AxisSpec spec{0, n_d,
                                    0, n_s,
                                    0, rows,
                                    0, static_cast<std::int32_t>(n_s) - 1,
                                    0, static_cast<std::int32_t>(n_d) - 1};
        detail::build_axis_table(spec, table);
        return true;
    }
};

std::uint16_t round_sample(float v) noexcept {
    v = std::min(std::max(v, 0.0f), 65535.0f);
    return static_cast<std::uint16_t>(v + 0.5f);
}

// The scaled copy's cubic step, evaluated in the same order.
inline float cubic(float y0, float y1, float y2, float y3, float t) noexcept {
    const float a = ((y3 - y2) - y0) + y1;
    const float b = (y0 - y1) - a;
    const float c = y2 - y0;
    return ((a * t + b) * t + c) * t + y1;
}

// One destination picture being made from the source by one sampling path.
struct Job {
    const image::DeepImage& src;
    std::uint32_t ch;
    std::uint32_t dw, dh;
    std::uint16_t* out;

    std::uint16_t* out_row(std::uint32_t y) const noexcept {
        return out + std::size_t{y} * dw * ch;
    }
    const std::uint16_t* in_row(std::int32_t y) const noexcept {
        return src.row(static_cast<std::uint32_t>(y));
    }
};

// A pixel moved whole: 8 bytes (RGBA) or 4 (grey, alpha), from the column each destination
// pixel reads, looked up once for the picture.
template <class Pixel>
bool nearest_pixels(const Job& j, const DeepAxis& cols, const DeepAxis& rows) noexcept {
    std::vector<std::size_t> at;
    try {
        at.resize(j.dw);
    } catch (...) {
        return false;
    }
    for (std::uint32_t x = 0; x < j.dw; ++x)
        at[x] = static_cast<std::size_t>(cols.table.at(static_cast<std::int32_t>(x))) * j.ch;
    for (std::uint32_t y = 0; y < j.dh; ++y) {
        const std::uint16_t* r = j.in_row(rows.table.at(static_cast<std::int32_t>(y)));
        auto* o = reinterpret_cast<unsigned char*>(j.out_row(y));
        for (std::uint32_t x = 0; x < j.dw; ++x) {
            Pixel p;
            std::memcpy(&p, r + at[x], sizeof p);
            std::memcpy(o + std::size_t{x} * sizeof p, &p, sizeof p);
        }
    }
    return true;
}

bool nearest(const Job& j, const DeepAxis& cols, const DeepAxis& rows) noexcept {
    return j.ch == VT_DEEP_RGBA ? nearest_pixels<std::uint64_t>(j, cols, rows)
                                : nearest_pixels<std::uint32_t>(j, cols, rows);
}

// The balanced shrink: the mean of the four pixels at the middle and the end of each span.
void corner(const Job& j, const DeepAxis& cols, const DeepAxis& rows) noexcept {
    for (std::uint32_t y = 0; y < j.dh; ++y) {
        const auto dy = static_cast<std::int32_t>(y);
        const std::int32_t r_end = rows.table.span_end(dy);
        const std::uint16_t* mid = j.in_row((rows.table.at(dy) + r_end) / 2);
        const std::uint16_t* last = j.in_row(r_end);
        std::uint16_t* o = j.out_row(y);
        for (std::uint32_t x = 0; x < j.dw; ++x) {
            const auto dx = static_cast<std::int32_t>(x);
            const std::int32_t c_end = cols.table.span_end(dx);
            const auto a = static_cast<std::size_t>((cols.table.at(dx) + c_end) / 2) * j.ch;
            const auto b = static_cast<std::size_t>(c_end) * j.ch;
            for (std::uint32_t c = 0; c < j.ch; ++c)
                o[std::size_t{x} * j.ch + c] = static_cast<std::uint16_t>(
                    (std::uint32_t{mid[a + c]} + last[a + c] + mid[b + c] + last[b + c] + 2) / 4);
        }
    }
}

bool box(const Job& j, const DeepAxis& cols, const DeepAxis& rows) noexcept {
    const std::size_t width = std::size_t{j.src.record().width} * j.ch;
    // 65536 rows of 65535 still fit 32 bits.
    std::vector<std::uint32_t> sums;
    try {
        sums.assign(width, 0);
    } catch (...) {
        return false;
    }
    for (std::uint32_t y = 0; y < j.dh; ++y) {
        const auto dy = static_cast<std::int32_t>(y);
        const std::int32_t r0 = rows.table.at(dy), r1 = rows.table.span_end(dy);
        // Column sums over the row span, then each destination pixel's column span.
        std::fill(sums.begin(), sums.end(), 0u);
        for (std::int32_t r = r0; r <= r1; ++r) {
            const std::uint16_t* row = j.in_row(r);
            for (std::size_t i = 0; i < width; ++i)
                sums[i] += row[i];
        }
        const auto n_rows = static_cast<std::uint64_t>(r1 - r0 + 1);
        std::uint16_t* o = j.out_row(y);
        for (std::uint32_t x = 0; x < j.dw; ++x) {
            const auto dx = static_cast<std::int32_t>(x);
            const std::int32_t c0 = cols.table.at(dx), c1 = cols.table.span_end(dx);
            const std::uint64_t area = static_cast<std::uint64_t>(c1 - c0 + 1) * n_rows;
            for (std::uint32_t c = 0; c < j.ch; ++c) {
                std::uint64_t sum = 0;
                for (std::int32_t i = c0; i <= c1; ++i)
                    sum += sums[static_cast<std::size_t>(i) * j.ch + c];
                o[std::size_t{x} * j.ch + c] = static_cast<std::uint16_t>((sum + area / 2) / area);
            }
        }
    }
    return true;
}

// The 8.8 fixed-point blend of the scaled copy, rounded half up; 65535 x 65536 fits 32 bits.
void bilinear(const Job& j, const DeepAxis& cols, const DeepAxis& rows) noexcept {
    const detail::AxisTable& ct = cols.table;
    for (std::uint32_t y = 0; y < j.dh; ++y) {
        const auto dy = static_cast<std::int32_t>(y);
        const std::int32_t r = rows.table.at(dy);
        const std::uint32_t fy = rows.table.frac(dy);
        const std::uint16_t* top = j.in_row(r);
        const std::uint16_t* bottom = j.in_row(std::min(r + 1, rows.table.hi));
        std::uint16_t* o = j.out_row(y);
        for (std::uint32_t x = 0; x < j.dw; ++x) {
            const auto dx = static_cast<std::int32_t>(x);
            const auto i = static_cast<std::size_t>(ct.at(dx)) * j.ch;
            const auto i1 = static_cast<std::size_t>(std::min(ct.at(dx) + 1, ct.hi)) * j.ch;
            const std::uint32_t fx = ct.frac(dx);
            for (std::uint32_t c = 0; c < j.ch; ++c) {
                const std::uint64_t t = std::uint64_t{top[i + c]} * (256 - fx) + top[i1 + c] * fx;
                const std::uint64_t b =
                    std::uint64_t{bottom[i + c]} * (256 - fx) + bottom[i1 + c] * fx;
                o[std::size_t{x} * j.ch + c] =
                    static_cast<std::uint16_t>((t * (256 - fy) + b * fy + 32768) >> 16);
            }
        }
    }
}

// Across each source row first (kept for the four rows a destination row reads, as neighbouring
// destination rows share them), then down.
bool cubic_path(const Job& j, const DeepAxis& cols, const DeepAxis& rows) noexcept {
    const std::size_t across = std::size_t{j.dw} * j.ch;
    std::vector<float> cache;
    std::vector<std::int32_t> taps;
    std::vector<float> tx;
    try {
        cache.assign(across * 4, 0.0f);
        taps.assign(std::size_t{j.dw} * 4, 0);
        tx.assign(j.dw, 0.0f);
    } catch (...) {
        return false;
    }
    const detail::AxisTable& ct = cols.table;
    for (std::uint32_t x = 0; x < j.dw; ++x) {
        const auto dx = static_cast<std::int32_t>(x);
        for (int m = 0; m < 4; ++m)
            taps[std::size_t{x} * 4 + static_cast<std::size_t>(m)] =
                std::clamp(ct.at(dx) - 1 + m, ct.lo, ct.hi) * static_cast<std::int32_t>(j.ch);
        tx[x] = static_cast<float>(ct.frac(dx)) / 256.0f;
    }
    std::int32_t held[4] = {-1, -1, -1, -1};
    // Four consecutive source rows never share a slot.
    const auto across_row = [&](std::int32_t r) -> const float* {
        const auto slot = static_cast<std::size_t>(r & 3);
        float* a = cache.data() + slot * across;
        if (held[slot] == r)
            return a;
        held[slot] = r;
        const std::uint16_t* row = j.in_row(r);
        for (std::uint32_t x = 0; x < j.dw; ++x) {
            const std::int32_t* t = taps.data() + std::size_t{x} * 4;
            for (std::uint32_t c = 0; c < j.ch; ++c)
                a[std::size_t{x} * j.ch + c] =
                    cubic(static_cast<float>(row[static_cast<std::size_t>(t[0]) + c]),
                          static_cast<float>(row[static_cast<std::size_t>(t[1]) + c]),
                          static_cast<float>(row[static_cast<std::size_t>(t[2]) + c]),
                          static_cast<float>(row[static_cast<std::size_t>(t[3]) + c]), tx[x]);
        }
        return a;
    };
    const detail::AxisTable& rt = rows.table;
    for (std::uint32_t y = 0; y < j.dh; ++y) {
        const auto dy = static_cast<std::int32_t>(y);
        const float* a[4];
        for (int n = 0; n < 4; ++n)
            a[n] = across_row(std::clamp(rt.at(dy) - 1 + n, rt.lo, rt.hi));
        const float ty = static_cast<float>(rt.frac(dy)) / 256.0f;
        std::uint16_t* o = j.out_row(y);
        for (std::size_t i = 0; i < across; ++i)
            o[i] = round_sample(cubic(a[0][i], a[1][i], a[2][i], a[3][i], ty));
    }
    return true;
}

bool table_resize(const Job& j, detail::SampleMode mode) noexcept {
    const VtDeepImage& from = j.src.record();
    DeepAxis cols, rows;
    if (!cols.build(j.dw, from.width, false) || !rows.build(j.dh, from.height, true))
        return false;
    switch (mode) {
    case detail::SampleMode::kNearest:
        return nearest(j, cols, rows);
    case detail::SampleMode::kCorner:
        corner(j, cols, rows);
        return true;
    case detail::SampleMode::kBox:
        return box(j, cols, rows);
    case detail::SampleMode::kBilinear:
        bilinear(j, cols, rows);
        return true;
    case detail::SampleMode::kCubic:
        return cubic_path(j, cols, rows);
    }
    return false;
}

// The advanced resampler's two passes (down the taps into one row, then across) with its own
// float weights.
bool advanced(const Job& j, int filter, int window, int size) noexcept {
    const TapRange range = filter_taps(filter, size);
    if (filter < kFilterNearest || filter > kFilterSinc || range.count > kMaxSincTaps)
        return false;
    const VtDeepImage& from = j.src.record();
    const auto sw = static_cast<std::int32_t>(from.width);
    detail::AdvancedAxis cols, rows;
    std::vector<float> cw, rw, acc;
    if (!detail::build_advanced_axis(cols, filter, window, range, sw,
                                     static_cast<std::int32_t>(j.dw)) ||
        !detail::build_advanced_axis(rows, filter, window, range,
                                     static_cast<std::int32_t>(from.height),
                                     static_cast<std::int32_t>(j.dh)))
        return false;
    try {
        cw.assign(cols.weight.begin(), cols.weight.end());
        rw.assign(rows.weight.begin(), rows.weight.end());
        acc.assign(static_cast<std::size_t>(sw) * j.ch, 0.0f);
    } catch (...) {
        return false;
    }
    const auto taps = static_cast<std::size_t>(range.count);
    const auto compute_row = [&](std::uint32_t y) {
        std::fill(acc.begin(), acc.end(), 0.0f);
        for (std::size_t n = 0; n < taps; ++n) {
            const float w = rw[y * taps + n];
            if (w == 0.0f)
                continue;
            const std::uint16_t* line = j.in_row(rows.index[y * taps + n]);
            for (std::size_t i = 0; i < acc.size(); ++i)
                acc[i] += w * static_cast<float>(line[i]);
        }
        std::uint16_t* o = j.out_row(y);
        for (std::uint32_t x = 0; x < j.dw; ++x) {
            float v[4] = {0.0f, 0.0f, 0.0f, 0.0f};
            for (std::size_t m = 0; m < taps; ++m) {
                const float w = cw[x * taps + m];
                const float* a =
                    acc.data() + static_cast<std::size_t>(cols.index[x * taps + m]) * j.ch;
                for (std::uint32_t c = 0; c < j.ch; ++c)
                    v[c] += w * a[c];
            }
            for (std::uint32_t c = 0; c < j.ch; ++c)
                o[std::size_t{x} * j.ch + c] = round_sample(v[c]);
        }
    };
    // The 8-bit resampler's row loop, which stops when the job is cancelled; like that one it
    // clears the flag when it starts.
    resample_abort.store(false, std::memory_order_relaxed);
    std::atomic<std::uint32_t> next_row{0};
    if (run_claimed_rows(next_row, j.dh, compute_row) != j.dh)
        return false;
    return true;
}

} // namespace

bool resize_deep(image::DeepImage& deep, std::uint32_t new_w, std::uint32_t new_h,
                 const ResizeOptions& options) noexcept {
    if (deep.empty() || new_w < 1 || new_h < 1 || new_w > kMaxSide || new_h > kMaxSide)
        return false;
    const VtDeepImage& from = deep.record();
    if (from.width == new_w && from.height == new_h)
        return true;
    const int algorithm = options.resizeAlgorithm;
    if (algorithm != 0 && algorithm != 1 && algorithm != 3 && options.areaShrink != 0 &&
        area_resample_fits(from.width, from.height, static_cast<std::int32_t>(new_w),
                           static_cast<std::int32_t>(new_h)))
        return false;
    const std::uint32_t ch = from.channels;
    auto* out = static_cast<std::uint16_t*>(
        std::malloc(std::size_t{new_w} * new_h * ch * sizeof(std::uint16_t)));
    if (out == nullptr)
        return false;
    const Job job{deep, ch, new_w, new_h, out};
    bool done = false;
    switch (algorithm) {
    case 0:
        done = table_resize(job, detail::SampleMode::kNearest);
        break;
    case 1:
        done = table_resize(
            job, detail::choose_mode(new_w, from.width, new_h, from.height, 0, 0, false));
        break;
    case 3:
        done = advanced(job, options.scalingFilter, options.sincWindow, options.sincSize);
        break;
    default:
        done = table_resize(job,
                            detail::choose_mode(new_w, from.width, new_h, from.height, 0, 0, true));
        break;
    }
    if (!done) {
        std::free(out);
        return false;
    }
    VtDeepImage resized{new_w, new_h, ch, new_w * ch, out, from.bits, 0};
    return deep.adopt(resized);
}

} // namespace vt::gfx
