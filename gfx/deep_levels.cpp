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
    const std::uint32_t colours = d.channels - 1; // alpha last
    for (std::uint32_t y = 0; y < d.height; ++y) {
        std::uint16_t* row = deep.row(y);
        for (std::uint32_t x = 0; x < d.width; ++x) {
            std::uint16_t* p = row + std::size_t{x} * d.channels;
            for (std::uint32_t c = 0; c < colours; ++c)
                p[c] = table[p[c]];
        }
    }
    return true;
}

} // namespace vt::gfx
