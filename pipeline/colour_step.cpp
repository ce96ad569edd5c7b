#include "pipeline/colour_step.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "image/bitmap.h"
#include "image/meta_block.h"
#include "plugins/filter_registry.h"
#include "plugins/plugin_interface.h"

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

// Little CMS's optimised 16-bit transforms sample the whole conversion in a 3-D table, which
// misses by hundreds of steps where a colour leaves the sRGB gamut; the deep picture is converted
// by the profiles' own curves and colorants in double precision instead (a matrix-shaper profile,
// the kind nearly every RGB profile is), else by Little CMS unoptimised.
class MatrixShaper {
public:
    // False when the profile is not a matrix-shaper whose black is black.
    bool build(cmsHPROFILE from, cmsHPROFILE srgb) {
        if (!cmsIsMatrixShaper(from) || !cmsIsMatrixShaper(srgb))
            return false;
        double in[3][3], out[3][3];
        if (!colorants(from, in) || !colorants(srgb, out) || !invert(out))
            return false;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                m_matrix[i][j] = 0;
                for (int k = 0; k < 3; ++k)
                    m_matrix[i][j] += out[i][k] * in[k][j];
            }
        const cmsTagSignature trc[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
        for (int c = 0; c < 3; ++c) {
            const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(from, trc[c]));
            if (curve == nullptr || cmsEvalToneCurveFloat(curve, 0.0f) != 0.0f)
                return false;
            m_in[c].resize(65536);
            for (std::uint32_t v = 0; v < 65536; ++v) {
                const float lin = cmsEvalToneCurveFloat(curve, static_cast<float>(v / 65535.0));
                m_in[c][v] = std::isfinite(lin) ? lin : 0.0f; // a hostile curve stays finite
            }
        }
        const auto* green = static_cast<const cmsToneCurve*>(cmsReadTag(srgb, cmsSigGreenTRCTag));
        cmsToneCurve* reverse = green ? cmsReverseToneCurve(green) : nullptr;
        if (reverse == nullptr)
            return false;
        m_out.resize(kOutSteps + 2);
        for (std::uint32_t i = 0; i <= kOutSteps; ++i)
            m_out[i] =
                within_unit(cmsEvalToneCurveFloat(reverse, static_cast<float>(i) / kOutSteps)) *
                65535.0;
        m_out[kOutSteps + 1] = m_out[kOutSteps];
        cmsFreeToneCurve(reverse);
        return true;
    }

    void convert_row(std::uint16_t* p, std::uint32_t width) const noexcept {
        for (std::uint32_t x = 0; x < width; ++x, p += 4) {
            const double lin[3] = {m_in[0][p[0]], m_in[1][p[1]], m_in[2][p[2]]};
            for (int c = 0; c < 3; ++c) {
                const double v =
                    m_matrix[c][0] * lin[0] + m_matrix[c][1] * lin[1] + m_matrix[c][2] * lin[2];
                // Between two entries of the fine table of sRGB's curve.
                const double at = within_unit(v) * kOutSteps;
                const auto i = static_cast<std::uint32_t>(at);
                const double f = at - i;
                p[c] = static_cast<std::uint16_t>(m_out[i] + (m_out[i + 1] - m_out[i]) * f + 0.5);
            }
        }
    }

private:
    static constexpr std::uint32_t kOutSteps = 1u << 16;

    // 0..1, NaN as 0.
    static double within_unit(double v) noexcept { return v > 0.0 ? std::min(v, 1.0) : 0.0; }

    // Columns red, green, blue of the profile's XYZ colorants.
    static bool colorants(cmsHPROFILE p, double m[3][3]) {
        const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                         cmsSigBlueColorantTag};
        for (int c = 0; c < 3; ++c) {
            const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(p, tags[c]));
            if (xyz == nullptr)
                return false;
            m[0][c] = xyz->X;
            m[1][c] = xyz->Y;
            m[2][c] = xyz->Z;
        }
        return true;
    }
    static bool invert(double m[3][3]) {
        const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
        if (std::fabs(det) < 1e-12)
            return false;
        double r[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                const int a = (j + 1) % 3, b = (j + 2) % 3, c = (i + 1) % 3, d = (i + 2) % 3;
                r[i][j] = (m[a][c] * m[b][d] - m[a][d] * m[b][c]) / det;
            }
        std::copy(&r[0][0], &r[0][0] + 9, &m[0][0]);
        return true;
    }

    double m_matrix[3][3] = {};
    std::vector<float> m_in[3];
    std::vector<double> m_out;
};

// The deep picture's rows in place, alpha kept. 1 converted, -1 no transform.
int convert_deep_rgb(image::DeepImage& deep, cmsHPROFILE from, cmsHPROFILE srgb, int intent) {
    // Only where the 8-bit step can convert: a profile it keeps, the deep picture keeps too.
    if (!Transform(cmsCreateTransform(from, TYPE_BGRA_8, srgb, TYPE_BGRA_8,
                                      static_cast<cmsUInt32Number>(intent), cmsFLAGS_COPY_ALPHA)))
        return -1;
    const VtDeepImage& d = deep.record();
    MatrixShaper shaper;
    if (shaper.build(from, srgb)) {
        for (std::uint32_t y = 0; y < d.height; ++y)
            shaper.convert_row(deep.row(y), d.width);
        return 1;
    }
    const Transform t(cmsCreateTransform(from, TYPE_RGBA_16, srgb, TYPE_RGBA_16,
                                         static_cast<cmsUInt32Number>(intent),
                                         cmsFLAGS_COPY_ALPHA | cmsFLAGS_NOOPTIMIZE));
    if (!t)
        return -1;
    for (std::uint32_t y = 0; y < d.height; ++y)
        cmsDoTransform(t.get(), deep.row(y), deep.row(y), d.width);
    return 1;
}

// Each grey level (the green channel of RGBA) through the grey profile, by a table of every
// level. Grey profiles give neutral sRGB colours (to within rounding): a grey picture stays grey,
// each level becoming the green of its colour. 1 converted, -1 no transform, 0 no memory.
int convert_deep_grey(image::DeepImage& deep, cmsHPROFILE from, cmsHPROFILE srgb, int intent) {
    const Transform t(cmsCreateTransform(from, TYPE_GRAY_16, srgb, TYPE_RGB_16,
                                         static_cast<cmsUInt32Number>(intent),
                                         cmsFLAGS_NOOPTIMIZE));
    if (!t)
        return -1;
    std::vector<std::uint16_t> levels(65536), rgb(65536 * 3);
    for (std::uint32_t v = 0; v < 65536; ++v)
        levels[v] = static_cast<std::uint16_t>(v);
    cmsDoTransform(t.get(), levels.data(), rgb.data(), 65536);
    const VtDeepImage& d = deep.record();
    if (d.channels == VT_DEEP_GREY_ALPHA) {
        for (std::uint32_t y = 0; y < d.height; ++y)
            for (std::uint32_t x = 0; x < d.width; ++x) {
                std::uint16_t& level = deep.row(y)[std::size_t{x} * 2];
                level = rgb[std::size_t{level} * 3 + 1];
            }
        return 1;
    }
    for (std::uint32_t y = 0; y < d.height; ++y)
        for (std::uint32_t x = 0; x < d.width; ++x) {
            std::uint16_t* p = deep.row(y) + std::size_t{x} * 4;
            std::copy_n(rgb.data() + std::size_t{p[1]} * 3, 3, p);
        }
    return 1;
}

} // namespace

int ConvertDeepToSrgb(const Layer& layer, image::DeepImage& deep, int intent) noexcept {
    image::MetaChunk icc{};
    if (intent < 0 || deep.empty() || !image::find_layer_chunk(layer, kTagIcc, icc) ||
        icc.size < 128)
        return -1;
    try {
        const Profile from(cmsOpenProfileFromMem(icc.data, icc.size));
        if (!from)
            return -1; // unreadable: kept, as the 8-bit picture keeps it
        const Profile srgb(cmsCreate_sRGBProfile());
        if (!srgb)
            return 0;
        const cmsColorSpaceSignature space = cmsGetColorSpace(from.get());
        if (space == cmsSigRgbData)
            return deep.record().channels == VT_DEEP_RGBA
                       ? convert_deep_rgb(deep, from.get(), srgb.get(), intent)
                       : 0;
        if (space == cmsSigGrayData)
            return convert_deep_grey(deep, from.get(), srgb.get(), intent);
        return -1;
    } catch (...) {
        return 0; // no memory for the work rows
    }
}

bool target_carries_profile(std::u16string_view extension, std::uint16_t keeps) noexcept {
    if ((keeps & VT_KEEPS_DECLARED) != 0)
        return (keeps & VT_KEEPS_PROFILE) != 0;
    static constexpr std::u16string_view kPlain[] = {u".bmp", u".gif", u".pcx", u".ppm",
                                                     u".pgm", u".pbm", u".pnm", u".tga",
                                                     u".xpm", u".dds", u".ico", u".cur"};
    for (const std::u16string_view plain : kPlain)
        if (base::ascii_iequal(extension, plain))
            return false;
    return true;
}

bool target_carries_profile(std::u16string_view extension) noexcept {
    std::uint16_t keeps = 0;
    try {
        keeps =
            plugins::save_keeps(u"target" + std::u16string(extension), plugins::filter_registry());
    } catch (...) {
        keeps = 0; // no memory to ask: the writer is judged as one that does not say
    }
    return target_carries_profile(extension, keeps);
}

// BMP and GIF files can hold a profile, and their writers store it, but few viewers look for
// one there: the picture would show washed out almost everywhere.
bool profile_seldom_read(std::u16string_view extension) noexcept {
    for (const std::u16string_view ext : {u".bmp", u".dib", u".gif"})
        if (base::ascii_iequal(extension, ext))
            return true;
    return false;
}

int srgb_intent(std::int32_t choice, std::u16string_view extension) noexcept {
    switch (choice) {
    case kSrgbForPlainTargets:
        return target_carries_profile(extension) && !profile_seldom_read(extension)
                   ? kNoConversion
                   : kIntentPerceptual;
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
