#pragma once
// core_LoadImage and core_SaveImage without the export firewall.
//
// Formats by the path's extension (any letter case): .png .jpg .jpeg .jpe .bmp .gif .webp; a
// load whose extension names none of them looks at the file's first bytes instead. Pictures are
// 32-bit B, G, R, T (transparency = 255 - alpha) with rows top-down. Sides above 65535 or more
// than 250,000,000 pixels are refused before anything is allocated.
//
// Save: the low byte of the request's flags is the JPEG and WebP quality (0 means 90); WebP at
// quality 100 is written lossless. BMP is written with 24 bits, or 32 bits with an alpha mask
// when a pixel is not opaque; GIF with a palette of the picture's colours when it has at most
// 256 (one of them for the transparent pixels), otherwise a quantised one.
// Thread: any.

#include <cstdint>

#include "sdk/vt_core.h"

namespace vt::core {

std::int32_t load_image(VtCoreImage* image, const std::uint16_t* path, VtCoreRequest* request);
std::int32_t save_image(const VtCoreImage* image, const std::uint16_t* path,
                        VtCoreRequest* request);

} // namespace vt::core
