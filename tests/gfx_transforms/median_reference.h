#pragma once
// The direct median filter: every window gathered into two lists and each list's element of
// rank n / 2 chosen by std::nth_element. Slow ((2r + 1)^2 per pixel) and obviously right: the
// fast filter must give exactly its pixels. Also used by the benchmark as the baseline.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "gfx/levels.h"

namespace vt::gfx::reference {

// The element of rank k (0-based) of a[0..n-1] in unsigned order; reorders a.
inline std::uint32_t nth_value(std::uint32_t* a, int n, int k) {
    std::nth_element(a, a + k, a + n);
    return a[k];
}

// Filters `pixels` (w x h, rows packed) in place with radius min(radius, 16).
inline void median_filter(std::vector<std::uint32_t>& pixels, int w, int h, int radius) {
    const int r = std::min(radius, 16);
    if (r < 1)
        return;
    std::vector<std::uint32_t> work(pixels.size());
    for (std::size_t i = 0; i < pixels.size(); ++i)
        work[i] = RgbToYcc(pixels[i]);
    std::uint32_t ys[33 * 33];
    std::uint32_t cs[33 * 33];
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int n = 0;
            for (int wy = y - r; wy <= y + r; ++wy)
                for (int wx = x - r; wx <= x + r; ++wx) {
                    if (wy < 0 || wy >= h || wx < 0 || wx >= w)
                        continue;
                    const std::uint32_t v = work[static_cast<std::size_t>(wy * w + wx)];
                    ys[n] = v & 0x00FF0000u;
                    cs[n] = v & 0x0000FFFFu;
                    ++n;
                }
            const std::uint32_t centre = work[static_cast<std::size_t>(y * w + x)];
            std::uint32_t value = centre;
            if (n > 3)
                value = nth_value(ys, n, n / 2) | nth_value(cs, n, n / 2) | (centre & 0xFF000000u);
            pixels[static_cast<std::size_t>(y * w + x)] = YccToRgb(value);
        }
}

} // namespace vt::gfx::reference
