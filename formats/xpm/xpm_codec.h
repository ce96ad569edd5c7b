#pragma once
// The X PixMap and X BitMap readers and writers of fmx_XPM, over bytes in memory and an
// open file. Written from the X.Org "XPM Manual" (Arnaud Le Hors, version 3.4): XPM3 is a C
// array of strings (values "width height colours chars-per-pixel", one string per colour with
// its keys c, g, g4, m, s, then one string per row), XPM2 the same lines after "! XPM2"; and
// from the X11 bitmap file format of Xlib's XReadBitmapFile: "#define name_width", "_height"
// and an array of bytes (or X10 shorts), the least significant bit first, 1 for black.
// Knows nothing of the plug-in records; results are plug-in result codes (1 done, negative
// failure).
// Thread: any; no shared state.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>
#include <vector>

namespace vt::formats {

struct XpmImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bits_per_pixel = 0;
    bool bitmap = false;
    // XPM: the strings; XBM: the data bytes' text.
    std::vector<std::string_view> lines;
    std::uint32_t colours = 0;
    std::uint32_t chars_per_pixel = 0;
};

// Whether the head of a file is an XPM (either form) or an XBM.
[[nodiscard]] bool xpm_head(std::span<const std::uint8_t> head);

// Reads and checks the header; sizes are checked against the limits and the text present before
// anything is allocated. -1 not XPM or XBM, -2 more than 8 characters a pixel, -13 sizes
// beyond the limits, -42 too little text, -44 invalid values.
[[nodiscard]] std::int32_t read_xpm_header(std::span<const std::uint8_t> file, XpmImage& image);

// Decodes into 32-bit B, G, R, transparency rows; "None" is fully transparent. -44 for an
// unknown colour or pixel key, -42 for rows or bytes missing.
[[nodiscard]] std::int32_t decode_xpm(const XpmImage& image, std::uint32_t* pixels,
                                      std::uint32_t stride);

// Writes XPM3 with "#RRGGBB" colours; pixels at least half transparent become "None".
[[nodiscard]] std::int32_t write_xpm(std::FILE* file, const std::uint32_t* pixels,
                                     std::uint32_t width, std::uint32_t height,
                                     std::uint32_t stride);

// Why the picture cannot be an X bitmap (a pixel neither black nor white, or partly transparent),
// or null when it can. Fully transparent pixels are the bitmap's background.
[[nodiscard]] const char* xbm_refusal(const std::uint32_t* pixels, std::uint32_t width,
                                      std::uint32_t height, std::uint32_t stride);

// Writes an X bitmap whose names start with `name` (made a C identifier): 1 bits for black,
// 0 for white and for fully transparent pixels. -14 for a picture xbm_refusal refuses, before
// anything is written.
[[nodiscard]] std::int32_t write_xbm(std::FILE* file, const std::uint32_t* pixels,
                                     std::uint32_t width, std::uint32_t height,
                                     std::uint32_t stride, std::string_view name);

} // namespace vt::formats
