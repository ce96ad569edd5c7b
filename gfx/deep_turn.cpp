#include "gfx/deep_turn.h"

#include <cstdlib>
#include <cstring>

namespace vt::gfx {

bool turn_deep(image::DeepImage& deep, int turn) noexcept {
    turn = ((turn % 4) + 4) % 4;
    if (deep.empty())
        return false;
    if (turn == 0)
        return true;
    const VtDeepImage& from = deep.record();
    const std::uint32_t w = from.width, h = from.height, ch = from.channels;
    const std::uint32_t out_w = turn == 2 ? w : h, out_h = turn == 2 ? h : w;
    const std::size_t count = std::size_t{w} * h * ch;
    auto* samples = static_cast<std::uint16_t*>(std::malloc(count * sizeof(std::uint16_t)));
    if (samples == nullptr)
        return false;
    const std::size_t pixel_bytes = ch * sizeof(std::uint16_t);
    for (std::uint32_t y = 0; y < h; ++y) {
        const std::uint16_t* row = deep.row(y);
        for (std::uint32_t x = 0; x < w; ++x) {
            // Where (x, y) lands: clockwise (h-1-y, x), half (w-1-x, h-1-y), anti (y, w-1-x).
            const std::uint32_t tx = turn == 1 ? h - 1 - y : turn == 2 ? w - 1 - x : y;
            const std::uint32_t ty = turn == 1 ? x : turn == 2 ? h - 1 - y : w - 1 - x;
            std::memcpy(samples + (std::size_t{ty} * out_w + tx) * ch, row + std::size_t{x} * ch,
                        pixel_bytes);
        }
    }
    VtDeepImage turned{out_w, out_h, ch, out_w * ch, samples, from.bits, 0};
    return deep.adopt(turned);
}

} // namespace vt::gfx
