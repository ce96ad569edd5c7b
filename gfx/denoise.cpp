#include "gfx/denoise.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>

#include "gfx/levels.h"
#include "gfx/median_p.h"
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

// Runs the window over the picture in a serpentine (left to right, down one row, right to
// left, ...), so that every move, also between rows, changes one row or column of samples.
// The picture is filtered in place: only the 2r + 1 rows of YCbCr samples the window spans are
// kept, in a ring, and a row is converted just before the window first reaches it, while the
// picture still holds it unfiltered.
class MedianFilter {
public:
    // `ring` holds 2r + 1 rows of `width` samples; `rows` has a pointer for each of `height`.
    MedianFilter(std::uint32_t* ring, const std::uint32_t** rows, std::int32_t width,
                 std::int32_t height, std::int32_t radius, std::uint16_t* fine) noexcept
        : m_ring(ring), m_rows(rows), m_w(width), m_h(height), m_r(radius), m_hist(fine) {}

    void run(std::uint32_t* out, std::size_t out_stride) noexcept {
        std::int32_t x = 0;
        for (std::int32_t y = 0; y <= std::min(m_h - 1, m_r); ++y) {
            convert_row(y, out, out_stride);
            add_row(y, 0, std::min(m_w - 1, m_r));
        }
        for (std::int32_t y = 0; y < m_h; ++y) {
            if (y > 0) {
                const std::int32_t x0 = std::max(0, x - m_r);
                const std::int32_t x1 = std::min(m_w - 1, x + m_r);
                if (y - 1 - m_r >= 0)
                    remove_row(y - 1 - m_r, x0, x1);
                if (y + m_r < m_h) {
                    convert_row(y + m_r, out, out_stride);
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
    // Row y of the picture into the ring slot that row y - 2r - 1, no longer in the window,
    // held.
    void convert_row(std::int32_t y, const std::uint32_t* pixels, std::size_t stride) noexcept {
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
};

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
    // A live bitmap is within the engine limits, so the ring's size cannot overflow.
    const std::size_t window_rows =
        static_cast<std::size_t>(std::min(h, static_cast<std::uint32_t>(2 * r + 1)));
    std::unique_ptr<std::uint32_t[]> ring(new (std::nothrow) std::uint32_t[window_rows * w]);
    std::unique_ptr<const std::uint32_t*[]> rows(new (std::nothrow) const std::uint32_t*[h]);
    std::unique_ptr<std::uint16_t[]> fine(new (std::nothrow) std::uint16_t[65536]());
    if (!ring || !rows || !fine)
        return finish(slot, kErrorScratch, 0);
    MedianFilter filter(ring.get(), rows.get(), static_cast<std::int32_t>(w),
                        static_cast<std::int32_t>(h), r, fine.get());
    filter.run(bmp->pixels, bmp->stride);
    return finish(slot, kErrorNone, 1);
}

} // namespace vt::gfx
