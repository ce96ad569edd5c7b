#pragma once
// Colour reduction for fmx_GIF: an area of a picture becomes palette indices. Pictures with no
// more colours than allowed keep every colour exactly; others go through libimagequant.
// GIF has one transparent index and no partial transparency, so the area arrives prepared:
// every pixel is either kTransparentKey or an opaque 0x00RRGGBB colour.
// Thread: any; libimagequant's objects live inside one call.

#include <cstdint>
#include <vector>

namespace vt::formats::gif {

inline constexpr std::uint32_t kTransparentKey = 0xFF000000u;

struct PaletteOptions {
    int colors = 256;   // 2 to 256, the transparent entry included
    bool dither = true; // error diffusion when colours must be reduced
};

struct IndexedArea {
    std::vector<std::uint32_t> colours; // 0x00RRGGBB, at most `colors` entries
    int transparent = -1;               // the entry of kTransparentKey pixels, -1 when none
    std::vector<std::uint8_t> indices;  // width x height, rows packed
};

// Indexes `width` x `height` prepared pixels, rows `stride` pixels apart. VT_OK, -20 out of
// memory, -5 when libimagequant fails otherwise.
[[nodiscard]] std::int32_t index_area(const std::uint32_t* pixels, std::uint32_t stride,
                                      std::uint32_t width, std::uint32_t height,
                                      const PaletteOptions& options, IndexedArea& out);

} // namespace vt::formats::gif
