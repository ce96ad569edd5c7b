#include "gfx/denoise.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "gfx/levels.h"
#include "gfx/median_p.h"
#include "gfxcore/row_claim.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"

namespace vt::gfx {

namespace {

// The window's samples as histograms: Y in 256 bins under 16 groups, and the 16-bit chroma keys
// in a KeyHistogram (one block per Cb value). The window slides one row or column at a time, so
// only the entering and leaving samples are counted. The median's group (Y) is tracked together
// with the number of samples below it, as the chroma's block is.
class WindowHistogram {
public:
    explicit WindowHistogram(std::uint16_t* fine) noexcept : m_c(fine) {}

    void add(std::uint32_t v) noexcept {
        const std::uint32_t y = (v >> 16) & 255;
        ++m_y_fine[y];
        ++m_y_group[y >> 4];
        m_y_below += (y >> 4) < m_y_at ? 1u : 0u;
        m_c.add(v & 0xFFFF);
        ++m_count;
    }
    void remove(std::uint32_t v) noexcept {
        const std::uint32_t y = (v >> 16) & 255;
        --m_y_fine[y];
        --m_y_group[y >> 4];
        m_y_below -= (y >> 4) < m_y_at ? 1u : 0u;
        m_c.remove(v & 0xFFFF);
        --m_count;
    }
    [[nodiscard]] std::uint32_t count() const noexcept { return m_count; }

    // Y and chroma of rank count / 2, packed as Y << 16 | chroma. Needs count >= 1.
    [[nodiscard]] std::uint32_t median() noexcept {
        const std::uint32_t k = m_count / 2;
        detail::track_bins(m_y_group, m_y_at, m_y_below, k);
        std::uint32_t rest = k - m_y_below;
        const std::uint32_t y = detail::descend_bins(m_y_fine, m_y_at * 16, rest);
        return (y << 16) | m_c.rank(k, rest);
    }

private:
    std::uint16_t m_y_fine[256] = {};
    std::uint16_t m_y_group[16] = {};
    detail::KeyHistogram m_c;
    std::uint32_t m_count = 0;
    std::uint32_t m_y_at = 0;    // the Y group holding the median
    std::uint32_t m_y_below = 0; // samples in Y groups before it
};

// Runs the window over rows of the picture in a serpentine (left to right on even rows, right to
// left on odd ones), so that every move, also between rows, changes one row or column of
// samples. The picture is filtered in place: only the 2r + 1 rows of YCbCr samples the window
// spans are kept, in a ring, and a row is converted just before the window first reaches it,
// while the picture still holds it unfiltered. A band of rows that other threads filter at the
// same time takes the rows beyond its ends, converted before anyone wrote, from `edges`.
class MedianFilter {
public:
    // `ring` holds 2r + 1 rows of `width` samples; `rows` has a pointer for each of `height`;
    // `edges` (for a band only) the r rows before the band and the r rows after it.
    MedianFilter(std::uint32_t* ring, const std::uint32_t** rows, std::int32_t width,
                 std::int32_t height, std::int32_t radius, std::uint16_t* fine) noexcept
        : m_ring(ring), m_rows(rows), m_w(width), m_h(height), m_r(radius), m_hist(fine) {}

    // Filters rows first .. end - 1.
    void run(std::uint32_t* out, std::size_t out_stride, std::int32_t first, std::int32_t end,
             const std::uint32_t* edges) noexcept {
        m_first = first;
        m_end = end;
        m_edges = edges;
        std::int32_t x = (first & 1) == 0 ? 0 : m_w - 1;
        for (std::int32_t y = std::max(0, first - m_r); y <= std::min(m_h - 1, first + m_r); ++y) {
            fetch_row(y, out, out_stride);
            add_row(y, std::max(0, x - m_r), std::min(m_w - 1, x + m_r));
        }
        for (std::int32_t y = first; y < end; ++y) {
            if (y > first) {
                const std::int32_t x0 = std::max(0, x - m_r);
                const std::int32_t x1 = std::min(m_w - 1, x + m_r);
                if (y - 1 - m_r >= 0)
                    remove_row(y - 1 - m_r, x0, x1);
                if (y + m_r < m_h) {
                    fetch_row(y + m_r, out, out_stride);
                    add_row(y + m_r, x0, x1);
                }
            }
            const std::int32_t y0 = std::max(0, y - m_r);
            const std::int32_t y1 = std::min(m_h - 1, y + m_r);
            const bool rightwards = (y & 1) == 0;
            std::uint32_t* out_row = out + static_cast<std::size_t>(y) * out_stride;
            for (std::int32_t i = 0; i < m_w; ++i) {
                if (i > 0) {
                    if (rightwards) {
                        if (x - m_r >= 0)
                            remove_column(x - m_r, y0, y1);
                        if (x + 1 + m_r < m_w)
                            add_column(x + 1 + m_r, y0, y1);
                        ++x;
                    } else {
                        if (x + m_r < m_w)
                            remove_column(x + m_r, y0, y1);
                        if (x - 1 - m_r >= 0)
                            add_column(x - 1 - m_r, y0, y1);
                        --x;
                    }
                }
                const std::uint32_t centre = at(x, y);
                const std::uint32_t value =
                    m_hist.count() > 3 ? m_hist.median() | (centre & 0xFF000000u) : centre;
                out_row[x] = YccToRgb(value);
            }
        }
    }

private:
    // Row y of the band into the ring slot that row y - 2r - 1, no longer in the window, held;
    // a row beyond the band from the edges.
    void fetch_row(std::int32_t y, const std::uint32_t* pixels, std::size_t stride) noexcept {
        const auto width = static_cast<std::size_t>(m_w);
        if (y < m_first) {
            m_rows[y] = m_edges + static_cast<std::size_t>(y - (m_first - m_r)) * width;
            return;
        }
        if (y >= m_end) {
            m_rows[y] = m_edges + static_cast<std::size_t>(m_r + y - m_end) * width;
            return;
        }
        const auto slot = static_cast<std::size_t>(y % (2 * m_r + 1));
        std::uint32_t* dst = m_ring + slot * static_cast<std::size_t>(m_w);
        const std::uint32_t* row = pixels + static_cast<std::size_t>(y) * stride;
        for (std::int32_t x = 0; x < m_w; ++x)
            dst[x] = RgbToYcc(row[x]);
        m_rows[y] = dst;
    }
    [[nodiscard]] std::uint32_t at(std::int32_t x, std::int32_t y) const noexcept {
        return m_rows[y][x];
    }
    void add_row(std::int32_t y, std::int32_t x0, std::int32_t x1) noexcept {
        for (std::int32_t x = x0; x <= x1; ++x)
            m_hist.add(at(x, y));
    }
    void remove_row(std::int32_t y, std::int32_t x0, std::int32_t x1) noexcept {
        for (std::int32_t x = x0; x <= x1; ++x)
            m_hist.remove(at(x, y));
    }
    void add_column(std::int32_t x, std::int32_t y0, std::int32_t y1) noexcept {
        for (std::int32_t y = y0; y <= y1; ++y)
            m_hist.add(at(x, y));
    }
    void remove_column(std::int32_t x, std::int32_t y0, std::int32_t y1) noexcept {
        for (std::int32_t y = y0; y <= y1; ++y)
            m_hist.remove(at(x, y));
    }

    std::uint32_t* m_ring;
    const std::uint32_t** m_rows;
    std::int32_t m_w;
    std::int32_t m_h;
    std::int32_t m_r;
    WindowHistogram m_hist;
    std::int32_t m_first = 0;
    std::int32_t m_end = 0;
    const std::uint32_t* m_edges = nullptr;
};

// Work for one band of rows: its own ring, row pointers, histogram and edge rows.
struct Band {
    std::int32_t first = 0;
    std::int32_t end = 0;
    std::unique_ptr<std::uint32_t[]> ring;
    std::unique_ptr<const std::uint32_t*[]> rows;
    std::unique_ptr<std::uint16_t[]> fine;
    std::unique_ptr<std::uint32_t[]> edges;
};

// Rows a band should have at least, so that its set-up stays small beside its work.
constexpr std::uint32_t kMinBandRows = 64;

// Sets up `count` bands over the picture, the edges converted now; false without memory.
bool make_bands(std::vector<Band>& bands, std::uint32_t count, const Bitmap& bmp,
                std::int32_t r) noexcept {
    const std::uint32_t w = bmp.width;
    const std::uint32_t h = bmp.height;
    const std::size_t window_rows =
        static_cast<std::size_t>(std::min(h, static_cast<std::uint32_t>(2 * r + 1)));
    try {
        bands.resize(count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        Band& band = bands[i];
        band.first = static_cast<std::int32_t>(std::uint64_t{h} * i / count);
        band.end = static_cast<std::int32_t>(std::uint64_t{h} * (i + 1) / count);
        band.ring.reset(new (std::nothrow) std::uint32_t[window_rows * w]);
        band.rows.reset(new (std::nothrow) const std::uint32_t*[h]);
        band.fine.reset(new (std::nothrow) std::uint16_t[65536]());
        if (count > 1)
            band.edges.reset(new (std::nothrow) std::uint32_t[static_cast<std::size_t>(2 * r) * w]);
        if (!band.ring || !band.rows || !band.fine || (count > 1 && !band.edges))
            return false;
        if (count == 1)
            continue;
        for (std::int32_t e = 0; e < 2 * r; ++e) {
            const std::int32_t y = e < r ? band.first - r + e : band.end + e - r;
            if (y < 0 || y >= static_cast<std::int32_t>(h))
                continue;
            const std::uint32_t* row = bmp.pixels + static_cast<std::size_t>(y) * bmp.stride;
            std::uint32_t* dst = band.edges.get() + static_cast<std::size_t>(e) * w;
            for (std::uint32_t x = 0; x < w; ++x)
                dst[x] = RgbToYcc(row[x]);
        }
    }
    return true;
}

} // namespace

int MedianDenoise(Bitmap* bmp, std::int32_t radius) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (image::IsBitmapValid(bmp) == 0)
        return 0;
    if (radius < 1)
        return finish(slot, kErrorNone, 1);
    const std::int32_t r = std::min(radius, kMaxDenoiseRadius);

    image::ScopedBitmapLock lock(bmp, 0);
    if (!lock.locked())
        return 0;
    const std::uint32_t w = bmp->width;
    const std::uint32_t h = bmp->height;
    if (w == 0 || h == 0)
        return finish(slot, kErrorNone, 1);
    // A live bitmap is within the engine limits, so no buffer size can overflow. Bands are
    // independent once their edges are converted: the job's idle workers may filter some.
    const std::uint32_t most = h >= 2 * kMinBandRows ? h / kMinBandRows - 1 : 0;
    const std::uint32_t helpers = std::min(row_helpers(), most);
    std::vector<Band> bands;
    if (helpers == 0 || !make_bands(bands, helpers + 1, *bmp, r)) {
        bands.clear();
        if (!make_bands(bands, 1, *bmp, r))
            return finish(slot, kErrorScratch, 0);
    }
    std::atomic<std::uint32_t> next_band{0};
    const auto count = static_cast<std::uint32_t>(bands.size());
    run_with_helpers(count - 1, [&](bool) {
        for (std::uint32_t i; (i = next_band.fetch_add(1)) < count;) {
            Band& band = bands[i];
            MedianFilter filter(band.ring.get(), band.rows.get(), static_cast<std::int32_t>(w),
                                static_cast<std::int32_t>(h), r, band.fine.get());
            filter.run(bmp->pixels, bmp->stride, band.first, band.end, band.edges.get());
        }
    });
    return finish(slot, kErrorNone, 1);
}

} // namespace vt::gfx
