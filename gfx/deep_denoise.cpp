#include "gfx/deep_denoise.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "gfx/denoise.h"
#include "gfx/median_p.h"

namespace vt::gfx {
namespace {

// Rounded half up, within 0..65535 (after the clamp truncation is the floor).
std::uint16_t to_sample(double v) noexcept {
    return static_cast<std::uint16_t>(std::clamp(v, 0.0, 65535.0) + 0.5);
}

// Cb and Cr of the pixels are counted by Cb; for each Cb value also the sum of the Cr values and
// of their squares, so that the Cr of a lone sample, or of samples that all share one, needs no
// look at the window. Only Cb values shared by different Cr send the filter to its window.
struct Buffers {
    std::unique_ptr<DeepYcc[]> work; // one pixel's three together: a window column is strided
    std::unique_ptr<std::uint16_t[]> y_fine, cb_fine, ties;
    struct CrSums {
        std::uint64_t squares;
        std::uint32_t sum;
    };
    std::unique_ptr<CrSums[]> cr; // by Cb

    bool make(std::size_t pixels) noexcept {
        work.reset(new (std::nothrow) DeepYcc[pixels]);
        y_fine.reset(new (std::nothrow) std::uint16_t[65536]());
        cb_fine.reset(new (std::nothrow) std::uint16_t[65536]());
        ties.reset(new (std::nothrow)
                       std::uint16_t[(2 * kMaxDenoiseRadius + 1) * (2 * kMaxDenoiseRadius + 1)]);
        cr.reset(new (std::nothrow) CrSums[65536]());
        return work && y_fine && cb_fine && ties && cr;
    }
};

class DeepMedian {
public:
    DeepMedian(Buffers& b, std::int32_t w, std::int32_t h, std::int32_t r) noexcept
        : m_b(b), m_w(w), m_h(h), m_r(r), m_y(b.y_fine.get()), m_cb(b.cb_fine.get()) {}

    // The serpentine of MedianDenoise: every move changes one row or column of samples.
    void run(image::DeepImage& deep) noexcept {
        const std::uint32_t ch = deep.record().channels;
        std::int32_t x = 0;
        for (std::int32_t y = 0; y <= std::min(m_h - 1, m_r); ++y)
            rows<true>(y, 0, std::min(m_w - 1, m_r));
        for (std::int32_t y = 0; y < m_h; ++y) {
            if (y > 0) {
                const std::int32_t x0 = std::max(0, x - m_r), x1 = std::min(m_w - 1, x + m_r);
                if (y - 1 - m_r >= 0)
                    rows<false>(y - 1 - m_r, x0, x1);
                if (y + m_r < m_h)
                    rows<true>(y + m_r, x0, x1);
            }
            const std::int32_t y0 = std::max(0, y - m_r), y1 = std::min(m_h - 1, y + m_r);
            const bool rightwards = (y & 1) == 0;
            std::uint16_t* out = deep.row(static_cast<std::uint32_t>(y));
            for (std::int32_t i = 0; i < m_w; ++i) {
                if (i > 0) {
                    const std::int32_t leave = rightwards ? x - m_r : x + m_r;
                    const std::int32_t enter = rightwards ? x + 1 + m_r : x - 1 - m_r;
                    if (leave >= 0 && leave < m_w)
                        column<false>(leave, y0, y1);
                    if (enter >= 0 && enter < m_w)
                        column<true>(enter, y0, y1);
                    x += rightwards ? 1 : -1;
                }
                DeepYcc v = m_b.work[at(x, y)];
                if (m_count > 3)
                    v = median(x, y0, y1);
                std::uint16_t rgb[3];
                deep_from_ycc(v, rgb);
                std::uint16_t* p = out + static_cast<std::size_t>(x) * ch;
                if (ch == VT_DEEP_GREY_ALPHA)
                    p[0] = rgb[0];
                else
                    std::copy(rgb, rgb + 3, p);
            }
        }
    }

private:
    [[nodiscard]] std::size_t at(std::int32_t x, std::int32_t y) const noexcept {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(m_w) +
               static_cast<std::size_t>(x);
    }
    // One sample into (In) or out of the window's counts.
    template <bool In>
    [[gnu::always_inline]] void count(std::size_t i) noexcept {
        const DeepYcc v = m_b.work[i];
        const std::uint32_t cb = v.cb, cr = v.cr;
        const std::uint64_t square = std::uint64_t{cr} * cr;
        Buffers::CrSums& sums = m_b.cr[cb];
        if constexpr (In) {
            m_y.add(v.y);
            m_cb.add(cb);
            sums.sum += cr;
            sums.squares += square;
            ++m_count;
        } else {
            m_y.remove(v.y);
            m_cb.remove(cb);
            sums.sum -= cr;
            sums.squares -= square;
            --m_count;
        }
    }
    template <bool In>
    void rows(std::int32_t y, std::int32_t x0, std::int32_t x1) noexcept {
        for (std::int32_t x = x0; x <= x1; ++x)
            count<In>(at(x, y));
    }
    template <bool In>
    void column(std::int32_t x, std::int32_t y0, std::int32_t y1) noexcept {
        for (std::int32_t y = y0; y <= y1; ++y)
            count<In>(at(x, y));
    }

    DeepYcc median(std::int32_t x, std::int32_t y0, std::int32_t y1) noexcept {
        const std::uint32_t k = m_count / 2;
        std::uint32_t rest = 0;
        const auto luma = static_cast<std::uint16_t>(m_y.rank(k, rest));
        const std::uint32_t cb = m_cb.rank(k, rest);
        const std::uint64_t n = m_cb.count_of(cb);
        const std::uint64_t sum = m_b.cr[cb].sum;
        std::uint32_t cr = 0;
        if (n * m_b.cr[cb].squares == sum * sum) {
            cr = static_cast<std::uint32_t>(sum / n); // every sample with this Cb has this Cr
        } else {
            std::uint16_t* ties = m_b.ties.get();
            std::size_t found = 0;
            const std::int32_t x0 = std::max(0, x - m_r), x1 = std::min(m_w - 1, x + m_r);
            for (std::int32_t yy = y0; yy <= y1; ++yy)
                for (std::int32_t xx = x0; xx <= x1; ++xx)
                    if (m_b.work[at(xx, yy)].cb == cb)
                        ties[found++] = m_b.work[at(xx, yy)].cr;
            std::nth_element(ties, ties + rest, ties + found);
            cr = ties[rest];
        }
        return {luma, static_cast<std::uint16_t>(cb), static_cast<std::uint16_t>(cr)};
    }

    Buffers& m_b;
    std::int32_t m_w, m_h, m_r;
    detail::KeyHistogram m_y;
    detail::KeyHistogram m_cb;
    std::uint32_t m_count = 0;
};

} // namespace

DeepYcc deep_to_ycc(std::uint16_t r, std::uint16_t g, std::uint16_t b) noexcept {
    const double R = r, G = g, B = b;
    return {to_sample(0.299 * R + 0.587 * G + 0.114 * B),
            to_sample(32768.0 - 0.168736 * R - 0.331264 * G + 0.5 * B),
            to_sample(32768.0 + 0.5 * R - 0.418688 * G - 0.081312 * B)};
}

void deep_from_ycc(const DeepYcc& ycc, std::uint16_t rgb[3]) noexcept {
    const double y = ycc.y, cb = ycc.cb - 32768.0, cr = ycc.cr - 32768.0;
    rgb[0] = to_sample(y + 1.402 * cr);
    rgb[1] = to_sample(y - 0.344136 * cb - 0.714136 * cr);
    rgb[2] = to_sample(y + 1.772 * cb);
}

bool deep_denoise(image::DeepImage& deep, std::int32_t radius) noexcept {
    if (deep.empty())
        return false;
    if (radius < 1)
        return true;
    const VtDeepImage& d = deep.record();
    const std::size_t pixels = std::size_t{d.width} * d.height;
    // The histograms are large: they live on the heap, not the worker's stack.
    auto buffers = std::unique_ptr<Buffers>(new (std::nothrow) Buffers);
    if (!buffers || !buffers->make(pixels))
        return false;
    for (std::uint32_t y = 0; y < d.height; ++y) {
        const std::uint16_t* row = deep.row(y);
        for (std::uint32_t x = 0; x < d.width; ++x) {
            const std::uint16_t* p = row + std::size_t{x} * d.channels;
            const bool grey = d.channels == VT_DEEP_GREY_ALPHA;
            buffers->work[std::size_t{y} * d.width + x] =
                deep_to_ycc(p[0], grey ? p[0] : p[1], grey ? p[0] : p[2]);
        }
    }
    auto filter = std::unique_ptr<DeepMedian>(new (std::nothrow) DeepMedian(
        *buffers, static_cast<std::int32_t>(d.width), static_cast<std::int32_t>(d.height),
        std::min(radius, kMaxDenoiseRadius)));
    if (!filter)
        return false;
    filter->run(deep);
    return true;
}

} // namespace vt::gfx
