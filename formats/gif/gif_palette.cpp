#include "formats/gif/gif_palette.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <memory>
#include <unordered_map>

#include <libimagequant.h>

#include "sdk/vt_plugin.h"

namespace vt::formats::gif {
namespace {

// libimagequant parallelises with OpenMP. The host already runs one worker per processor, so
// quantizing stays on the calling thread: with one thread asked for, OpenMP starts none.
extern "C" void omp_set_num_threads(int count) __attribute__((weak));

void quantize_on_this_thread() noexcept {
    if (omp_set_num_threads != nullptr)
        omp_set_num_threads(1);
}

struct AttrFree {
    void operator()(liq_attr* p) const noexcept { liq_attr_destroy(p); }
};
struct ImageFree {
    void operator()(liq_image* p) const noexcept { liq_image_destroy(p); }
};
struct ResultFree {
    void operator()(liq_result* p) const noexcept { liq_result_destroy(p); }
};

struct Area {
    const std::uint32_t* pixels;
    std::uint32_t stride;
    std::uint32_t width;
    std::uint32_t height;

    [[nodiscard]] const std::uint32_t* row(std::uint32_t y) const {
        return pixels + static_cast<std::size_t>(y) * stride;
    }
};

bool has_transparency(const Area& area) {
    for (std::uint32_t y = 0; y < area.height; ++y) {
        const std::uint32_t* row = area.row(y);
        if (std::find(row, row + area.width, kTransparentKey) != row + area.width)
            return true;
    }
    return false;
}

// Every colour kept: false when the area has more than `colors` of them.
bool index_exactly(const Area& area, int colors, IndexedArea& out) {
    std::unordered_map<std::uint32_t, std::uint8_t> entries;
    entries.reserve(512);
    const bool transparent = has_transparency(area);
    const std::size_t limit = static_cast<std::size_t>(colors - (transparent ? 1 : 0));
    out.colours.clear();
    for (std::uint32_t y = 0; y < area.height; ++y) {
        const std::uint32_t* row = area.row(y);
        for (std::uint32_t x = 0; x < area.width; ++x) {
            if (row[x] == kTransparentKey || entries.contains(row[x]))
                continue;
            if (entries.size() == limit)
                return false;
            entries.emplace(row[x], static_cast<std::uint8_t>(out.colours.size()));
            out.colours.push_back(row[x]);
        }
    }
    out.transparent = -1;
    if (transparent) {
        out.transparent = static_cast<int>(out.colours.size());
        out.colours.push_back(0);
    }
    out.indices.resize(static_cast<std::size_t>(area.width) * area.height);
    std::uint8_t* index = out.indices.data();
    for (std::uint32_t y = 0; y < area.height; ++y) {
        const std::uint32_t* row = area.row(y);
        for (std::uint32_t x = 0; x < area.width; ++x)
            *index++ = row[x] == kTransparentKey ? static_cast<std::uint8_t>(out.transparent)
                                                 : entries[row[x]];
    }
    return true;
}

void rgba_row(liq_color row_out[], int row, int width, void* user_info) {
    const auto* area = static_cast<const Area*>(user_info);
    const std::uint32_t* in = area->row(static_cast<std::uint32_t>(row));
    for (int x = 0; x < width; ++x) {
        const std::uint32_t p = in[x];
        if (p == kTransparentKey) {
            row_out[x] = liq_color{0, 0, 0, 0};
        } else {
            row_out[x] =
                liq_color{static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8),
                          static_cast<unsigned char>(p), 255};
        }
    }
}

std::int32_t liq_result_code(liq_error error) {
    return error == LIQ_OUT_OF_MEMORY ? VT_ERR_OUT_OF_MEMORY : VT_ERR_COMPONENT_FAILED;
}

int distance(std::uint32_t a, std::uint32_t b) {
    int sum = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        const int d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
        sum += d * d;
    }
    return sum;
}

std::uint8_t nearest_opaque(const IndexedArea& out, std::size_t opaque, std::uint32_t colour) {
    std::size_t best = 0;
    int best_distance = std::numeric_limits<int>::max();
    for (std::size_t i = 0; i < opaque; ++i) {
        const int d = distance(out.colours[i], colour);
        if (d < best_distance) {
            best_distance = d;
            best = i;
        }
    }
    return static_cast<std::uint8_t>(best);
}

// libimagequant's palette with every entry below half opacity merged into the one transparent
// index, and its indices made to agree with the source: transparent pixels get that index and
// no opaque pixel does, whatever the dithering did.
void merge_transparent(const Area& area, const liq_palette& palette, bool transparent,
                       IndexedArea& out) {
    std::array<int, 256> remap{};
    out.colours.clear();
    for (unsigned i = 0; i < palette.count && i < 256; ++i) {
        const liq_color& c = palette.entries[i];
        remap[i] = -1;
        if (c.a >= 128) {
            remap[i] = static_cast<int>(out.colours.size());
            out.colours.push_back(c.b | (static_cast<std::uint32_t>(c.g) << 8) |
                                  (static_cast<std::uint32_t>(c.r) << 16));
        }
    }
    const std::size_t opaque = out.colours.size();
    out.transparent = -1;
    if (transparent) {
        out.transparent = static_cast<int>(opaque);
        out.colours.push_back(0);
    }
    for (std::uint32_t y = 0; y < area.height; ++y) {
        const std::uint32_t* row = area.row(y);
        std::uint8_t* index = &out.indices[static_cast<std::size_t>(y) * area.width];
        for (std::uint32_t x = 0; x < area.width; ++x) {
            if (row[x] == kTransparentKey)
                index[x] = static_cast<std::uint8_t>(out.transparent);
            else if (remap[index[x]] >= 0)
                index[x] = static_cast<std::uint8_t>(remap[index[x]]);
            else
                index[x] = nearest_opaque(out, opaque, row[x]);
        }
    }
}

std::int32_t quantize(const Area& area, int colors, bool dither, bool transparent,
                      IndexedArea& out) {
    quantize_on_this_thread();
    const std::unique_ptr<liq_attr, AttrFree> attr(liq_attr_create());
    if (!attr)
        return VT_ERR_OUT_OF_MEMORY;
    if (liq_set_max_colors(attr.get(), colors) != LIQ_OK ||
        liq_set_quality(attr.get(), 0, 100) != LIQ_OK)
        return VT_ERR_COMPONENT_FAILED;
    Area source = area;
    const std::unique_ptr<liq_image, ImageFree> image(
        liq_image_create_custom(attr.get(), rgba_row, &source, static_cast<int>(area.width),
                                static_cast<int>(area.height), 0.0));
    if (!image)
        return VT_ERR_COMPONENT_FAILED;
    liq_result* made = nullptr;
    if (const liq_error e = liq_image_quantize(image.get(), attr.get(), &made); e != LIQ_OK)
        return liq_result_code(e);
    const std::unique_ptr<liq_result, ResultFree> result(made);
    liq_set_dithering_level(result.get(), dither ? 1.0f : 0.0f);
    out.indices.resize(static_cast<std::size_t>(area.width) * area.height);
    if (const liq_error e = liq_write_remapped_image(result.get(), image.get(), out.indices.data(),
                                                     out.indices.size());
        e != LIQ_OK)
        return liq_result_code(e);
    const liq_palette* palette = liq_get_palette(result.get());
    if (palette == nullptr || palette->count == 0)
        return VT_ERR_COMPONENT_FAILED;
    merge_transparent(area, *palette, transparent, out);
    return VT_OK;
}

} // namespace

std::int32_t index_area(const std::uint32_t* pixels, std::uint32_t stride, std::uint32_t width,
                        std::uint32_t height, const PaletteOptions& options, IndexedArea& out) {
    const Area area{pixels, stride, width, height};
    const int colors = std::clamp(options.colors, 2, 256);
    if (index_exactly(area, colors, out))
        return VT_OK;
    const bool transparent = has_transparency(area);
    std::int32_t r = quantize(area, colors, options.dither, transparent, out);
    // An all-opaque palette leaves no room for the transparent entry: ask for one colour less
    // (with two colours asked for, three entries are still a valid table).
    if (r == VT_OK && out.colours.size() > static_cast<std::size_t>(colors) && colors > 2)
        r = quantize(area, colors - 1, options.dither, transparent, out);
    return r;
}

} // namespace vt::formats::gif
