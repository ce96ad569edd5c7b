#pragma once
// GIMP's XCF files, after the public description of the format in GIMP's sources
// (devel-docs/xcf.txt, the XCF file format description): the image structure with its
// properties, the layers (topmost first), their hierarchies, levels and 64 x 64 tiles, stored
// raw, run-length coded or zlib-compressed.
//
// Reading takes every version up to 64-bit pointers (version 11 on), RGB, grey and indexed
// images at every precision (8, 16 and 32-bit integers, half, single and double floats, linear
// ones converted to the gamma-encoded samples our pixels hold), layer masks applied to the
// alpha. Group layers (their children are in the list with their own positions) and a
// floating selection are left out. Writing gives 8-bit RGB with alpha in run-length coded
// tiles, version 3 (version 9 or 10 when a blend mode needs GIMP 2.10's modes), or one layer of
// 16-bit gamma-encoded RGB or grey with alpha, version 7 or later.
// Thread: any.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vt::formats {

inline constexpr std::uint32_t kXcfMaxSide = 65536;
inline constexpr std::uint64_t kXcfMaxPixels = 250000000;

struct XcfLayer {
    std::string name; // UTF-8
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t type = 0; // 0/1 RGB, 2/3 grey, 4/5 indexed; odd with alpha
    double opacity = 1.0;
    bool visible = true;
    std::uint32_t mode = 0; // the file's layer mode
    bool group = false;
    std::vector<std::uint32_t> path; // PROP_ITEM_PATH: indices from the top level down to it
    bool floating = false;
    bool apply_mask = true;
    std::uint64_t hierarchy = 0;
    std::uint64_t mask = 0; // the layer mask's channel structure, 0 for none
};

struct XcfImage {
    std::uint32_t version = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t base_type = 0; // 0 RGB, 1 grey, 2 indexed
    std::uint32_t sample_bytes = 1;
    bool linear = false;
    bool floating_point = false;
    std::uint8_t compression = 0; // 0 none, 1 RLE, 2 zlib
    double xres = 0;              // pixels per inch, 0 when not stated
    double yres = 0;
    std::vector<std::uint8_t> colormap; // R, G, B per entry
    std::vector<std::uint8_t> icc;      // the "icc-profile" parasite, empty without one
    std::vector<XcfLayer> layers;       // topmost first
};

// The file's head is "gimp xcf ".
[[nodiscard]] bool xcf_signature(std::span<const std::uint8_t> head);

// Reads the image and layer structures: VT_OK or -1 (no XCF), -2 (a variant not read),
// -13 (sizes beyond the limits), -42 (cut), -44 (invalid data).
[[nodiscard]] std::int32_t read_xcf_image(std::span<const std::uint8_t> file, XcfImage& image);

// Checks that the file holds the layer's level, its tile table and, one after another, tiles
// of at least their shortest coding before its frame is asked for: VT_OK or the result code.
[[nodiscard]] std::int32_t check_xcf_layer(std::span<const std::uint8_t> file,
                                           const XcfImage& image, const XcfLayer& layer);

// Decodes the layer into 32-bit pixels (B, G, R, transparency) of width x height.
[[nodiscard]] std::int32_t decode_xcf_layer(std::span<const std::uint8_t> file,
                                            const XcfImage& image, const XcfLayer& layer,
                                            std::uint32_t* pixels, std::uint32_t stride);

// A layer of more than 8 bits a sample (RGB or grey) also decodes at 16 bits: red, green, blue,
// alpha (4) or grey, alpha (2) samples, native order, alpha straight and 65535 opaque, colours
// gamma-encoded as the 8-bit pixels are and rounding to them. The number of channels, or 0.
[[nodiscard]] std::uint32_t xcf_deep_channels(const XcfImage& image, const XcfLayer& layer);

// Decodes the layer into width x height x xcf_deep_channels samples, rows packed; -2 for a
// layer whose mask is applied (the mask makes its alpha at 8 bits only).
[[nodiscard]] std::int32_t decode_xcf_layer_deep(std::span<const std::uint8_t> file,
                                                 const XcfImage& image, const XcfLayer& layer,
                                                 std::uint16_t* samples);

struct XcfOutLayer {
    std::string name;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    const std::uint32_t* pixels = nullptr;
    std::uint8_t opacity = 255;
    bool visible = true;
    std::uint32_t mode = 0; // the file's layer mode
    // Samples written at 16 bits instead of `pixels` (red, green, blue, alpha or grey, alpha,
    // `deep_stride` apart), for a file of this one layer; or null.
    const std::uint16_t* deep = nullptr;
    std::uint32_t deep_channels = 0, deep_stride = 0;
};

// The file of a canvas with its layers (topmost first) and, when `icc` is not empty, the colour
// profile as the image's "icc-profile" parasite: VT_OK, -13 beyond 4 GiB.
[[nodiscard]] std::int32_t write_xcf(std::uint32_t width, std::uint32_t height, double xres,
                                     double yres, const std::vector<XcfOutLayer>& layers,
                                     std::vector<std::uint8_t>& out,
                                     std::span<const std::uint8_t> icc = {});

// Layer modes of the file and our blend modes; `known` false for one drawn as normal.
[[nodiscard]] std::uint8_t blend_of_xcf_mode(std::uint32_t mode, bool& known) noexcept;
[[nodiscard]] std::uint32_t xcf_mode_of_blend(std::uint8_t blend) noexcept;

} // namespace vt::formats
