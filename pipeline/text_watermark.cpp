#include "pipeline/text_watermark.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <sys/stat.h>

#include "base/utf.h"
#include "gfx/compose.h"
#include "gfx/deep_watermark.h"
#include "gfx/watermark.h"
#include "image/bitmap.h"

namespace vt::pipeline {
namespace {

// Measured at this size first, then drawn at the size the mark needs.
constexpr std::uint32_t kProbePixels = 100;
constexpr std::uint32_t kMaxPixels = 4096;

struct FaceCloser {
    void operator()(FT_Face f) const noexcept { FT_Done_Face(f); }
};
struct LibraryCloser {
    void operator()(FT_Library l) const noexcept { FT_Done_FreeType(l); }
};

std::u32string code_points(std::u16string_view text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c >= 0x20)
            out.push_back(c);
    }
    return out;
}

// The coverage of a line of glyphs on a canvas holding every glyph box, then its ink box.
struct Coverage {
    std::vector<std::uint8_t> pixels;
    std::int64_t width = 0, height = 0;
    std::int64_t left = 0, top = 0, right = -1, bottom = -1; // ink, inclusive
};

bool draw_line(FT_Face face, const std::u32string& text, Coverage& cov) {
    // Pass 1: the extent of every glyph box around the pen's path (baseline at 0).
    std::int64_t min_x = 0, max_x = 0, min_y = 0, max_y = 0, pen = 0;
    FT_UInt previous = 0;
    const bool kerning = FT_HAS_KERNING(face);
    const auto advance = [&](char32_t c, auto&& at_glyph) {
        const FT_UInt glyph = FT_Get_Char_Index(face, c);
        if (kerning && previous != 0 && glyph != 0) {
            FT_Vector k{};
            if (FT_Get_Kerning(face, previous, glyph, FT_KERNING_DEFAULT, &k) == 0)
                pen += k.x >> 6;
        }
        previous = glyph;
        if (FT_Load_Glyph(face, glyph, FT_LOAD_RENDER) != 0)
            return;
        at_glyph(face->glyph);
        pen += face->glyph->advance.x >> 6;
    };
    for (const char32_t c : text)
        advance(c, [&](FT_GlyphSlot g) {
            min_x = std::min<std::int64_t>(min_x, pen + g->bitmap_left);
            max_x = std::max<std::int64_t>(max_x, pen + g->bitmap_left + g->bitmap.width);
            min_y = std::min<std::int64_t>(min_y, -g->bitmap_top);
            max_y = std::max<std::int64_t>(max_y, -g->bitmap_top + g->bitmap.rows);
        });
    cov.width = max_x - min_x;
    cov.height = max_y - min_y;
    if (cov.width < 1 || cov.height < 1 || cov.width * cov.height > 64LL * 1024 * 1024)
        return false;
    cov.pixels.assign(static_cast<std::size_t>(cov.width * cov.height), 0);
    // Pass 2: the glyphs' coverage, overlapping glyphs keeping the larger value.
    pen = 0;
    previous = 0;
    for (const char32_t c : text)
        advance(c, [&](FT_GlyphSlot g) {
            if (g->bitmap.pixel_mode != FT_PIXEL_MODE_GRAY)
                return;
            const std::int64_t ox = pen + g->bitmap_left - min_x, oy = -g->bitmap_top - min_y;
            for (unsigned r = 0; r < g->bitmap.rows; ++r)
                for (unsigned x = 0; x < g->bitmap.width; ++x) {
                    const std::uint8_t v = g->bitmap.buffer[r * g->bitmap.pitch + x];
                    std::uint8_t& out =
                        cov.pixels[static_cast<std::size_t>((oy + r) * cov.width + ox + x)];
                    out = std::max(out, v);
                }
        });
    cov.left = cov.width;
    cov.top = cov.height;
    for (std::int64_t y = 0; y < cov.height; ++y)
        for (std::int64_t x = 0; x < cov.width; ++x)
            if (cov.pixels[static_cast<std::size_t>(y * cov.width + x)] != 0) {
                cov.left = std::min(cov.left, x);
                cov.right = std::max(cov.right, x);
                cov.top = std::min(cov.top, y);
                cov.bottom = std::max(cov.bottom, y);
            }
    return cov.right >= cov.left;
}

bool rasterize(const FontFile& font, std::u16string_view text, std::uint32_t pixel_size,
               Coverage& cov) {
    FT_Library raw_library = nullptr;
    if (FT_Init_FreeType(&raw_library) != 0)
        return false;
    const std::unique_ptr<FT_LibraryRec_, LibraryCloser> library(raw_library);
    FT_Face raw_face = nullptr;
    if (FT_New_Face(library.get(), font.path.c_str(), font.index, &raw_face) != 0)
        return false;
    const std::unique_ptr<FT_FaceRec_, FaceCloser> face(raw_face);
    if (FT_Set_Pixel_Sizes(face.get(), 0, std::clamp<std::uint32_t>(pixel_size, 1, kMaxPixels)) !=
        0)
        return false;
    try {
        return draw_line(face.get(), code_points(text), cov);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool is_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

FontFile find_font(std::u16string_view name) noexcept {
    static std::mutex lock;
    static std::map<std::u16string, FontFile> found;
    try {
        const std::lock_guard guard(lock);
        const std::u16string key(name.empty() ? u"sans-serif" : name);
        if (const auto it = found.find(key); it != found.end())
            return it->second;
        FontFile font;
        const std::string utf8 = base::utf16_to_utf8(key);
        if (is_file(utf8)) {
            font.path = utf8;
        } else if (FcPattern* pattern =
                       FcNameParse(reinterpret_cast<const FcChar8*>(utf8.c_str()))) {
            FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
            FcDefaultSubstitute(pattern);
            FcResult result = FcResultNoMatch;
            if (FcPattern* match = FcFontMatch(nullptr, pattern, &result)) {
                FcChar8* file = nullptr;
                if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file)
                    font.path = reinterpret_cast<const char*>(file);
                (void)FcPatternGetInteger(match, FC_INDEX, 0, &font.index);
                FcPatternDestroy(match);
            }
            FcPatternDestroy(pattern);
        }
        found[key] = font;
        return font;
    } catch (...) {
        return {};
    }
}

bool render_text(Bitmap* out, std::u16string_view text, const FontFile& font,
                 std::uint32_t pixel_size, std::uint32_t colour) noexcept {
    Coverage cov;
    if (font.path.empty() || !rasterize(font, text, pixel_size, cov))
        return false;
    const std::int64_t w = cov.right - cov.left + 1, h = cov.bottom - cov.top + 1;
    if (image::CreateBitmap(out, static_cast<std::int32_t>(w), static_cast<std::int32_t>(h),
                            image::kCreateMemory | image::kCreateStrict) != 1)
        return false;
    const std::uint32_t bgr = colour & 0xFFFFFFu; // 0xRRGGBB is B, G, R in memory order
    for (std::int64_t y = 0; y < h; ++y) {
        std::uint32_t* row = out->pixels + static_cast<std::size_t>(y) * out->stride;
        const std::uint8_t* src =
            cov.pixels.data() + static_cast<std::size_t>((cov.top + y) * cov.width + cov.left);
        for (std::int64_t x = 0; x < w; ++x)
            row[x] = bgr | (std::uint32_t{static_cast<std::uint8_t>(255 - src[x])} << 24);
    }
    return true;
}

int TextWatermarkStep(Layer* layers, std::uint32_t count, const TextMarkOptions& options,
                      image::DeepImage* deep) noexcept {
    if (layers == nullptr || count == 0 || image::IsBitmapValid(&layers[0].bitmap) == 0)
        return 0;
    const FontFile font = find_font(options.font);
    Bitmap probe{};
    if (!render_text(&probe, options.text, font, kProbePixels, options.colour))
        return 0;
    // The size rule of the picture watermark decides the mark's extent; the text is then drawn
    // at the pixel size that gives it, so it stays sharp instead of being scaled.
    Bitmap& picture = layers[0].bitmap;
    gfx::WatermarkOptions rule{options.x, options.y, options.size, 0};
    gfx::clamp_watermark_options(rule);
    const gfx::WatermarkPlacement want =
        gfx::place_watermark(picture.width, picture.height, probe.width, probe.height, rule);
    const double scale = probe.width >= probe.height
                             ? static_cast<double>(want.width) / probe.width
                             : static_cast<double>(want.height) / probe.height;
    image::FreeBitmap(&probe);
    const auto pixels = static_cast<std::uint32_t>(
        std::clamp(kProbePixels * scale + 0.5, 1.0, static_cast<double>(kMaxPixels)));
    Bitmap mark{};
    if (!render_text(&mark, options.text, font, pixels, options.colour))
        return 0;
    int result = 1;
    if (mark.width <= picture.width && mark.height <= picture.height) {
        const auto x = static_cast<std::int32_t>(
            (std::uint64_t{picture.width - mark.width} * rule.watermarkX + 50) / 100);
        const auto y = static_cast<std::int32_t>(
            (std::uint64_t{picture.height - mark.height} * rule.watermarkY + 50) / 100);
        const int transparency =
            255 - static_cast<int>(std::min<std::uint32_t>(options.opacity, 100) * 255 / 100);
        const image::BitmapRect to{x, y, x + static_cast<std::int32_t>(mark.width) - 1,
                                   y + static_cast<std::int32_t>(mark.height) - 1};
        const image::BitmapRect from{0, 0, static_cast<std::int32_t>(mark.width) - 1,
                                     static_cast<std::int32_t>(mark.height) - 1};
        result =
            gfx::Blend(&picture, to, &mark, from, transparency, gfx::kOpNormal, 0) != 0 ? 1 : 0;
        if (result != 0 && deep != nullptr && !deep->empty() &&
            !gfx::blend_mark_deep(*deep, x, y, mark, transparency))
            deep->reset();
    }
    image::FreeBitmap(&mark);
    return result;
}

} // namespace vt::pipeline
