#pragma once
// A text watermark: a line of text drawn with FreeType in a font that fontconfig finds, sized and
// placed by the picture watermark's rules (the extent in percent of the picture's width for a
// wide mark, of its height otherwise; X and Y in percent of the free space) and laid onto layer
// 0 with the engine's normal blend, the glyphs' coverage as the mark's own opacity.
// Thread: any; the font lookup is shared and locked, every drawing uses its own FreeType objects.

#include <cstdint>
#include <string>
#include <string_view>

#include "image/deep_image.h"
#include "sdk/vt_plugin.h"

namespace vt::pipeline {

struct TextMarkOptions {
    std::u16string_view text;        // one line; empty: no mark
    std::u16string_view font;        // a fontconfig name ("DejaVu Sans:bold") or a font file
    std::uint32_t size = 25;         // percent, as the picture watermark's size
    std::uint32_t colour = 0xFFFFFF; // 0xRRGGBB
    std::uint32_t opacity = 100;     // percent
    std::uint32_t x = 100, y = 100;  // percent of the free space
};

// The font file (and face index) fontconfig gives for `name`; a name that is an existing file
// is taken as it is. Empty when nothing matches.
struct FontFile {
    std::string path;
    int index = 0;
};
[[nodiscard]] FontFile find_font(std::u16string_view name) noexcept;

// Draws `text` at `pixel_size` into `out` (created; the caller frees it), cropped to the ink:
// every pixel is `colour` with the transparency 255 - coverage. False when there is no ink, the
// font cannot be read or memory runs out.
[[nodiscard]] bool render_text(Bitmap* out, std::u16string_view text, const FontFile& font,
                               std::uint32_t pixel_size, std::uint32_t colour) noexcept;

// Stamps the text onto layer 0, and the same mark onto `deep` (the 16-bit picture standing for
// layer 0) when given with a picture: the normal blend at 16 bits (gfx/deep_watermark.h); a
// deep picture that cannot take it (no memory) is freed. Returns 1 after stamping (also when
// the placement leaves the mark outside the picture), 0 when there is no layer, no font or the
// drawing fails.
[[nodiscard]] int TextWatermarkStep(Layer* layers, std::uint32_t count,
                                    const TextMarkOptions& options,
                                    image::DeepImage* deep = nullptr) noexcept;

} // namespace vt::pipeline
