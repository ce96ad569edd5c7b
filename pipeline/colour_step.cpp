#include "pipeline/colour_step.h"

#include <lcms2.h>

#include <array>
#include <memory>

#include "base/text.h"
#include "image/bitmap.h"
#include "image/meta_block.h"

namespace vt::pipeline {
namespace {

constexpr std::uint32_t kTagIcc = image::meta_tag("ICCP");

struct ProfileCloser {
    void operator()(void* p) const noexcept { cmsCloseProfile(p); }
};
struct TransformDeleter {
    void operator()(void* t) const noexcept { cmsDeleteTransform(t); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;
using Transform = std::unique_ptr<void, TransformDeleter>;

// Rows in place: the pixels are B, G, R and the transparency byte, which lcms copies as an
// extra channel.
bool convert_rgb(Bitmap& bmp, cmsHPROFILE from, cmsHPROFILE srgb, int intent) {
    const Transform t(cmsCreateTransform(from, TYPE_BGRA_8, srgb, TYPE_BGRA_8,
                                         static_cast<cmsUInt32Number>(intent),
                                         cmsFLAGS_COPY_ALPHA));
    if (!t)
        return false;
    for (std::uint32_t y = 0; y < bmp.height; ++y) {
        std::uint32_t* row = bmp.pixels + static_cast<std::size_t>(y) * bmp.stride;
        cmsDoTransform(t.get(), row, row, bmp.width);
    }
    return true;
}

// A grey profile maps each grey level to one sRGB colour: a table of 256 entries, indexed by
// the pixel's green channel (grey pixels hold the level in all three).
bool convert_grey(Bitmap& bmp, cmsHPROFILE from, cmsHPROFILE srgb, int intent) {
    const Transform t(cmsCreateTransform(from, TYPE_GRAY_8, srgb, TYPE_BGR_8,
                                         static_cast<cmsUInt32Number>(intent), 0));
    if (!t)
        return false;
    std::array<std::uint8_t, 256> levels{};
    for (int i = 0; i < 256; ++i)
        levels[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    std::array<std::uint8_t, 256 * 3> bgr{};
    cmsDoTransform(t.get(), levels.data(), bgr.data(), 256);
    for (std::uint32_t y = 0; y < bmp.height; ++y) {
        std::uint32_t* row = bmp.pixels + static_cast<std::size_t>(y) * bmp.stride;
        for (std::uint32_t x = 0; x < bmp.width; ++x) {
            const std::size_t g = ((row[x] >> 8) & 0xFF) * 3;
            row[x] = (row[x] & 0xFF000000u) | bgr[g] | (std::uint32_t{bgr[g + 1]} << 8) |
                     (std::uint32_t{bgr[g + 2]} << 16);
        }
    }
    return true;
}

// 1 converted, -1 nothing to do (or a profile that cannot be used, kept).
int convert_layer(Layer& layer, cmsHPROFILE srgb, int intent) {
    image::MetaChunk icc{};
    if (!image::find_layer_chunk(layer, kTagIcc, icc) || icc.size < 128 ||
        image::IsBitmapValid(&layer.bitmap) == 0 || layer.bitmap.pixels == nullptr)
        return -1;
    const Profile from(cmsOpenProfileFromMem(icc.data, icc.size));
    if (!from)
        return -1;
    const cmsColorSpaceSignature space = cmsGetColorSpace(from.get());
    bool done = false;
    if (space == cmsSigRgbData)
        done = convert_rgb(layer.bitmap, from.get(), srgb, intent);
    else if (space == cmsSigGrayData)
        done = convert_grey(layer.bitmap, from.get(), srgb, intent);
    else
        return -1;
    // A profile no transform can be built from (tags missing) leaves the pixels untouched:
    // it is kept as it is, which is no failure of the picture.
    if (!done)
        return -1;
    // An empty profile chunk: every saver treats it as none.
    (void)image::replace_layer_chunk(layer, kTagIcc, 0, nullptr);
    return 1;
}

} // namespace

bool target_carries_profile(std::u16string_view extension) noexcept {
    static constexpr std::u16string_view kPlain[] = {u".bmp", u".gif", u".pcx", u".ppm",
                                                     u".pgm", u".pbm", u".pnm", u".tga",
                                                     u".xpm", u".dds", u".ico", u".cur"};
    for (const std::u16string_view plain : kPlain)
        if (base::ascii_iequal(extension, plain))
            return false;
    return true;
}

int srgb_intent(std::int32_t choice, std::u16string_view extension) noexcept {
    switch (choice) {
    case kSrgbForPlainTargets:
        return target_carries_profile(extension) ? kNoConversion : kIntentPerceptual;
    case kSrgbPerceptual:
        return kIntentPerceptual;
    case kSrgbRelative:
        return kIntentRelative;
    default:
        return kNoConversion;
    }
}

int ConvertToSrgb(Layer* layers, std::uint32_t count, int intent) noexcept {
    if (intent < 0 || layers == nullptr)
        return -1;
    const Profile srgb(cmsCreate_sRGBProfile());
    if (!srgb)
        return 0;
    int result = -1;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (convert_layer(layers[i], srgb.get(), intent) > 0)
            result = 1;
    }
    return result;
}

} // namespace vt::pipeline
