#include "gfx/deep_resize.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "gfx/scaled_copy_p.h"

namespace vt::gfx {
namespace {

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

} // namespace

bool deep_box_resize_fits(std::uint32_t w, std::uint32_t h, std::uint32_t new_w,
                          std::uint32_t new_h) noexcept {
    return w >= 1 && h >= 1 && new_w >= 1 && new_h >= 1 && new_w <= 65536 && new_h <= 65536 &&
           detail::choose_mode(new_w, w, new_h, h, 0, 0, true) == detail::SampleMode::kBox;
}

bool resize_deep_box(image::DeepImage& deep, std::uint32_t new_w, std::uint32_t new_h) noexcept {
    if (deep.empty())
        return false;
    const VtDeepImage& from = deep.record();
    if (!deep_box_resize_fits(from.width, from.height, new_w, new_h))
        return false;
    DeepAxis cols, rows;
    if (!cols.build(new_w, from.width, false) || !rows.build(new_h, from.height, true))
        return false;
    const std::uint32_t ch = from.channels;
    auto* out = static_cast<std::uint16_t*>(
        std::malloc(std::size_t{new_w} * new_h * ch * sizeof(std::uint16_t)));
    if (out == nullptr)
        return false;
    std::vector<std::uint64_t> sums;
    try {
        sums.assign(std::size_t{from.width} * ch, 0);
    } catch (...) {
        std::free(out);
        return false;
    }
    for (std::uint32_t y = 0; y < new_h; ++y) {
        const auto dy = static_cast<std::int32_t>(y);
        const std::int32_t r0 = rows.table.at(dy), r1 = rows.table.span_end(dy);
        // Column sums over the row span, then each destination pixel's column span.
        std::fill(sums.begin(), sums.end(), std::uint64_t{0});
        for (std::int32_t r = r0; r <= r1; ++r) {
            const std::uint16_t* row = deep.row(static_cast<std::uint32_t>(r));
            for (std::size_t i = 0; i < sums.size(); ++i)
                sums[i] += row[i];
        }
        const auto n_rows = static_cast<std::uint64_t>(r1 - r0 + 1);
        std::uint16_t* o = out + std::size_t{y} * new_w * ch;
        for (std::uint32_t x = 0; x < new_w; ++x) {
            const auto dx = static_cast<std::int32_t>(x);
            const std::int32_t c0 = cols.table.at(dx), c1 = cols.table.span_end(dx);
            const std::uint64_t area = static_cast<std::uint64_t>(c1 - c0 + 1) * n_rows;
            for (std::uint32_t c = 0; c < ch; ++c) {
                std::uint64_t sum = 0;
                for (std::int32_t i = c0; i <= c1; ++i)
                    sum += sums[static_cast<std::size_t>(i) * ch + c];
                o[std::size_t{x} * ch + c] = static_cast<std::uint16_t>((sum + area / 2) / area);
            }
        }
    }
    VtDeepImage resized{new_w, new_h, ch, new_w * ch, out, from.bits, 0};
    return deep.adopt(resized);
}

} // namespace vt::gfx
