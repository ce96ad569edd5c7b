#pragma once
// OpenRaster's stack.xml (the OpenRaster format description at openraster.org, version 0.0.5): the
// canvas, its resolution and the layers, read with expat and written back. Nested stacks are
// folded into their layers: positions add up, opacities multiply, a hidden stack hides all it
// holds; a stack's own composite-op is not kept.
//
// Composite operators and our layer blend modes:
//   svg:src-over 0, svg:plus 1, svg:multiply 3, svg:hue 5, svg:color 6, svg:luminosity 7,
//   svg:screen 8, svg:dst-in 9 (the transparency mask), svg:difference 11, svg:darken 12,
//   svg:lighten 13, svg:saturation 14, svg:overlay 15, svg:color-dodge 16, svg:color-burn 17.
// Others (svg:hard-light, svg:soft-light, svg:exclusion, svg:src-atop, svg:dst-out, ...) are
// drawn as normal and reported; modes without an operator are written as svg:src-over.
// Thread: any.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/ora/layer_util.h"

namespace vt::formats {

struct StackLayer {
    LayerFields fields;
    std::string src; // the layer's entry in the archive
    bool known_op = true;
};

struct StackDoc {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double xres = 0; // pixels per inch, 0 when not stated
    double yres = 0;
    std::vector<StackLayer> layers; // top first, as the file lists them
};

// Deepest nesting of stacks read; a deeper file is invalid data.
inline constexpr int kMaxStackDepth = 64;

// VT_OK, -44 for malformed XML, a missing or bad canvas size, or nesting too deep.
[[nodiscard]] std::int32_t parse_stack(std::span<const std::uint8_t> xml, StackDoc& doc);
[[nodiscard]] std::string write_stack(const StackDoc& doc);

// The blend mode of a composite operator (`known` false for one we draw as normal), and back.
[[nodiscard]] std::uint8_t blend_of_op(std::string_view op, bool& known) noexcept;
[[nodiscard]] const char* op_of_blend(std::uint8_t blend) noexcept;

} // namespace vt::formats
