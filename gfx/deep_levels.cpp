#include "gfx/deep_levels.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

namespace vt::gfx {

bool deep_levels(image::DeepImage& deep, const LevelEstimate& estimate) noexcept {
    if (deep.empty())
        return false;
    if (!(estimate.hi > estimate.lo))
        return true;
    std::unique_ptr<std::uint16_t[]> table(new (std::nothrow) std::uint16_t[65536]);
    if (!table)
        return false;
    const double k = 65535.0 / (estimate.hi - estimate.lo);
    for (std::uint32_t v = 0; v < 65536; ++v) {
        const double mapped = (static_cast<double>(v) / 257.0 - estimate.lo) * k;
        table[v] = static_cast<std::uint16_t>(std::clamp(std::round(mapped), 0.0, 65535.0));
    }
    const VtDeepImage& d = deep.record();
    const std::uint16_t* map = table.get();
    for (std::uint32_t y = 0; y < d.height; ++y) {
        std::uint16_t* row = deep.row(y);
        // All loads of a pixel before its stores: a store could alias the table as far as the
        // compiler knows, which would otherwise serialise every sample. Alpha (last) is kept.
        if (d.channels == VT_DEEP_RGBA) {
            for (std::uint32_t x = 0; x < d.width; ++x) {
                std::uint16_t* p = row + std::size_t{x} * 4;
                const std::uint16_t r = map[p[0]], g = map[p[1]], b = map[p[2]];
                p[0] = r;
                p[1] = g;
                p[2] = b;
            }
        } else {
            std::uint32_t x = 0;
            for (; x + 4 <= d.width; x += 4) {
                std::uint16_t* p = row + std::size_t{x} * 2;
                const std::uint16_t a = map[p[0]], b = map[p[2]], c = map[p[4]], e = map[p[6]];
                p[0] = a;
                p[2] = b;
                p[4] = c;
                p[6] = e;
            }
            for (; x < d.width; ++x)
                row[std::size_t{x} * 2] = map[row[std::size_t{x} * 2]];
        }
    }
    return true;
}

} // namespace vt::gfx
