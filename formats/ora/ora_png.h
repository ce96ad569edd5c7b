#pragma once
// PNG layers held in memory for the zip formats (libpng's simplified interface); and the small
// copy of the picture a thumbnail needs.
// Thread: any.

#include <cstdint>
#include <span>
#include <vector>

#include "sdk/vt_plugin.h"

namespace vt::formats {

// The size in a PNG's header: VT_OK, -1 for no PNG, -42 for too few bytes.
[[nodiscard]] std::int32_t png_size(std::span<const std::uint8_t> png, std::uint32_t& width,
                                    std::uint32_t& height);
// Decodes a PNG into a new frame of the host (the record's layer fields set by the caller).
[[nodiscard]] std::int32_t load_png_frame(FilterCall* call, std::span<const std::uint8_t> png);
// A PNG of the pixels, RGBA when any is not opaque: VT_OK or the result code.
[[nodiscard]] std::int32_t encode_png(const std::uint32_t* pixels, std::uint32_t width,
                                      std::uint32_t height, std::uint32_t stride,
                                      std::vector<std::uint8_t>& out);

struct SmallPicture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> pixels;
};
// The picture reduced to at most `side` pixels a side (aspect kept) by the opacity-weighted
// mean of each area; a smaller picture is copied as it is.
[[nodiscard]] SmallPicture reduce_picture(const std::uint32_t* pixels, std::uint32_t width,
                                          std::uint32_t height, std::uint32_t stride,
                                          std::uint32_t side);

} // namespace vt::formats
