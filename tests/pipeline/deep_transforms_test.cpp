// The deep picture through the transform pipeline: colour management and the watermarks at 16
// bits, and whole vtconvert jobs that keep 16 bits through every step.

#include <gtest/gtest.h>
#include <lcms2.h>

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "gfx/compose.h"
#include "gfx/deep_watermark.h"
#include "gfx/resample.h"
#include "gfxcore/runtime.h"
#include "image/bitmap.h"
#include "image/deep_image.h"
#include "image/meta_block.h"
#include "pipeline/colour_step.h"
#include "pipeline/transforms.h"
#include "tests/gfx/gfx_test_util.h"
#include "tests/support/temp_folder.h"

namespace vt::pipeline {
namespace {

using gfx::testing::LayerStack;

class DeepTransforms : public ::testing::Test {
protected:
    void SetUp() override {
        char16_t why[128];
        ASSERT_TRUE(gfx::EngineStartup(why, 128));
    }
    void TearDown() override { gfx::EngineShutdown(); }
};

void fill_noise(image::DeepImage& deep, std::uint32_t w, std::uint32_t h, std::uint32_t ch) {
    ASSERT_TRUE(deep.create(w, h, ch));
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t i = 0; i < w * ch; ++i)
            deep.row(y)[i] = static_cast<std::uint16_t>(
                gfx::testing::noisy(static_cast<std::int32_t>(i), static_cast<std::int32_t>(y), 7));
}

// An RGB profile with wide primaries and a gamma of 2.2, or a grey one with a gamma of 1.8.
std::vector<std::uint8_t> profile(bool rgb) {
    cmsToneCurve* curve = cmsBuildGamma(nullptr, rgb ? 2.2 : 1.8);
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE p = rgb ? cmsCreateRGBProfile(&white, &primaries, curves)
                        : cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::vector<std::uint8_t> bytes(size);
    cmsSaveProfileToMem(p, bytes.data(), &size);
    cmsCloseProfile(p);
    cmsFreeToneCurve(curve);
    return bytes;
}

// Conversion to sRGB: within one step at 16 bits of the same profiles and intent in double
// precision, alpha kept, the profile left for the 8-bit step to drop; a grey picture stays grey.
TEST_F(DeepTransforms, ColourConversionMatchesTheDoublePrecisionTransform) {
    const struct {
        bool rgb_profile;
        std::uint32_t ch;
        int intent;
        int result;
    } cases[] = {{true, 4, kIntentPerceptual, 1},
                 {true, 4, kIntentRelative, 1},
                 {false, 4, kIntentPerceptual, 1},
                 {false, 2, kIntentRelative, 1},
                 {true, 2, kIntentPerceptual, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.rgb_profile ? "rgb" : "grey") + " profile, " +
                     std::to_string(c.ch) + " channels, intent " + std::to_string(c.intent));
        LayerStack doc;
        Layer& layer = doc.add(19, 11);
        const std::vector<std::uint8_t> icc = profile(c.rgb_profile);
        ASSERT_NE(image::replace_layer_chunk(layer, image::meta_tag("ICCP"),
                                             static_cast<std::uint32_t>(icc.size()), icc.data()),
                  0);
        image::DeepImage deep, source;
        fill_noise(deep, 19, 11, c.ch);
        fill_noise(source, 19, 11, c.ch);
        ASSERT_EQ(ConvertDeepToSrgb(layer, deep, c.intent), c.result);
        if (c.result != 1)
            continue;
        EXPECT_EQ(deep.record().channels, c.ch);
        cmsHPROFILE from =
            cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        cmsHTRANSFORM t =
            cmsCreateTransform(from, c.rgb_profile ? TYPE_RGB_DBL : TYPE_GRAY_DBL, srgb,
                               TYPE_RGB_DBL, static_cast<cmsUInt32Number>(c.intent), 0);
        ASSERT_NE(t, nullptr);
        double worst = 0;
        int alpha_moved = 0;
        for (std::uint32_t y = 0; y < 11; ++y)
            for (std::uint32_t x = 0; x < 19; ++x) {
                const std::uint16_t* s = source.row(y) + x * c.ch;
                const std::uint16_t* d = deep.row(y) + x * c.ch;
                // Colour values in double run 0..1; a grey picture keeps the green of its
                // (neutral) colour.
                double in[3], out[3];
                for (int k = 0; k < 3; ++k)
                    in[k] = s[c.ch == 4 ? (c.rgb_profile ? k : 1) : 0] / 65535.0;
                cmsDoTransform(t, in, out, 1);
                for (std::uint32_t k = 0; k < (c.ch == 4 ? 3u : 1u); ++k)
                    worst = std::max(
                        worst,
                        std::abs(std::clamp(out[c.ch == 4 ? k : 1], 0.0, 1.0) * 65535.0 - d[k]));
                alpha_moved += s[c.ch - 1] != d[c.ch - 1];
            }
        cmsDeleteTransform(t);
        cmsCloseProfile(from);
        cmsCloseProfile(srgb);
        EXPECT_LE(worst, 1.0);
        EXPECT_EQ(alpha_moved, 0);
        image::MetaChunk kept{};
        EXPECT_TRUE(image::find_layer_chunk(layer, image::meta_tag("ICCP"), kept));
    }
}

// The picture watermark: against the rule in double precision on the mark as the 8-bit blend
// samples it (a scaled copy of the mark compared pixel for pixel), and the rounding within a
// step of the 8-bit stamp of a picture it holds exactly; a grey picture becomes RGBA.
TEST_F(DeepTransforms, WatermarkComposesTheMarkByTheNormalBlendAtSixteenBits) {
    const struct {
        std::uint32_t w, h, ch;
        gfx::WatermarkOptions options;
    } cases[] = {{60, 40, 4, {100, 100, 25, 20}},
                 {60, 40, 4, {0, 30, 70, 0}},
                 {31, 45, 2, {50, 50, 100, 99}},
                 {40, 40, 4, {10, 90, 40, 55}}};
    gfx::testing::Picture mark(17, 9, [](std::int32_t x, std::int32_t y) {
        const std::uint32_t n = gfx::testing::noisy(x, y, 3);
        return (x + y) % 5 == 0 ? n | 0xFF000000u : n; // some pixels wholly transparent
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " size " +
                     std::to_string(c.options.watermarkSize) + " fade " +
                     std::to_string(c.options.watermarkFade));
        image::DeepImage deep, source;
        for (image::DeepImage* d : {&deep, &source}) {
            fill_noise(*d, c.w, c.h, c.ch);
            for (std::uint32_t y = 0; y < c.h; ++y) // samples the 8-bit picture holds exactly
                for (std::uint32_t i = 0; i < c.w * c.ch; ++i)
                    d->row(y)[i] = static_cast<std::uint16_t>(d->row(y)[i] / 257 * 257);
        }
        LayerStack doc;
        Layer& layer = doc.add(static_cast<std::int32_t>(c.w), static_cast<std::int32_t>(c.h));
        image::deep_to_pixels(deep, layer.bitmap.pixels, layer.bitmap.stride);
        ASSERT_TRUE(gfx::watermark_deep(deep, mark.get(), c.options));
        gfx::WatermarkOptions eight = c.options;
        ASSERT_EQ(gfx::WatermarkStep(doc.data(), 1, mark.get(), eight), 1);
        ASSERT_EQ(deep.record().channels, 4u);
        const gfx::WatermarkPlacement at = gfx::place_watermark(c.w, c.h, 17, 9, eight);
        ASSERT_TRUE(at.visible);
        const auto mw = static_cast<std::int32_t>(at.width),
                   mh = static_cast<std::int32_t>(at.height);
        gfx::testing::Picture scaled(mw, mh);
        ASSERT_NE(gfx::StretchCopy(scaled.get(), 0, 0, mw - 1, mh - 1, mark.get(), 0, 0, 16, 8,
                                   gfx::kCopyHighQuality),
                  0);
        const double t = gfx::watermark_transparency(eight.watermarkFade);
        double worst = 0;
        int apart = 0;
        for (std::uint32_t y = 0; y < c.h; ++y)
            for (std::uint32_t x = 0; x < c.w; ++x) {
                const std::uint16_t* s = source.row(y) + x * c.ch;
                const double d[4] = {double(s[0]), double(s[c.ch == 4 ? 1 : 0]),
                                     double(s[c.ch == 4 ? 2 : 0]), double(s[c.ch - 1])};
                double want[4] = {d[0], d[1], d[2], d[3]};
                const std::int64_t mx = std::int64_t{x} - static_cast<std::int64_t>(at.x);
                const std::int64_t my = std::int64_t{y} - static_cast<std::int64_t>(at.y);
                if (mx >= 0 && my >= 0 && mx < mw && my < mh) {
                    const std::uint32_t m =
                        scaled.at(static_cast<std::int32_t>(mx), static_cast<std::int32_t>(my));
                    const double weight = (t + (m >> 24) * (255 - t) / 255) / 255;
                    const double colour[3] = {double((m >> 16) & 255), double((m >> 8) & 255),
                                              double(m & 255)};
                    for (int k = 0; k < 3; ++k)
                        want[k] = d[k] * weight + colour[k] * 257 * (1 - weight);
                    want[3] = 65535 - (65535 - d[3]) * weight;
                }
                const std::uint16_t* got = deep.row(y) + x * 4;
                const std::uint32_t p = gfx::testing::pixel(
                    layer.bitmap, static_cast<std::int32_t>(x), static_cast<std::int32_t>(y));
                const int eight_bit[4] = {int((p >> 16) & 255), int((p >> 8) & 255), int(p & 255),
                                          255 - int(p >> 24)};
                for (int k = 0; k < 4; ++k) {
                    worst = std::max(worst, std::abs(want[k] - got[k]));
                    apart = std::max(apart, std::abs(image::to_8bit(got[k]) - eight_bit[k]));
                }
            }
        EXPECT_LE(worst, 0.5 + 1e-9);
        EXPECT_LE(apart, 1);
    }
}

// The pipeline carries the deep picture through the steps in their order: it keeps layer 0's
// size through turns and resizes, and its rounding stays within a step or two of the 8-bit
// result (from samples the 8-bit picture holds exactly); the area shrink after a reduced decode
// has no deep form and drops it, naming the step.
TEST_F(DeepTransforms, TheStepsCarryTheDeepPictureInOrder) {
    gfx::testing::Picture mark(9, 6, [](std::int32_t x, std::int32_t y) {
        return gfx::testing::noisy(x, y, 11) & 0x7FFFFFFFu;
    });
    const bool has_font = !find_font(u"DejaVu Sans").path.empty();
    const struct {
        const char* name;
        void (*set)(TransformOptions&);
        bool watermark;
        int apart;
        const char16_t* dropped;
    } cases[] = {
        {"turn and halve",
         [](TransformOptions& o) {
             o.rotationMode = 1;
             o.resizeAlgorithm = 2;
         },
         false, 1, nullptr},
        {"turn and nearest",
         [](TransformOptions& o) {
             o.rotationMode = 3;
             o.resizeAlgorithm = 0;
         },
         false, 0, nullptr},
        {"levels, watermark",
         [](TransformOptions& o) {
             o.autofixLevels = 1;
             o.resize = false;
             o.watermarkSize = 50;
         },
         true, 2, nullptr},
        {"text",
         [](TransformOptions& o) {
             o.resize = false;
             o.textMark.text = u"Vt";
             o.textMark.font = u"DejaVu Sans";
             o.textMark.size = 60;
             o.textMark.colour = 0x3080F0;
         },
         false, 1, nullptr},
        {"reduced decode",
         [](TransformOptions& o) {
             o.fullWidth = 80;
             o.fullHeight = 54;
             o.resizeAlgorithm = 2;
         },
         false, 255, u"resizing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "text" && !has_font)
            continue;
        TransformOptions o;
        o.resize = true;
        o.resizeMode = 5;
        o.resizeWidth = o.resizeHeight = 50;
        c.set(o);
        image::DeepImage deep;
        fill_noise(deep, 60, 40, 4);
        for (std::uint32_t y = 0; y < 40; ++y)
            for (std::uint32_t i = 0; i < 240; ++i)
                deep.row(y)[i] = static_cast<std::uint16_t>(deep.row(y)[i] / 257 * 257);
        LayerStack doc;
        Layer& layer = doc.add(60, 40);
        image::deep_to_pixels(deep, layer.bitmap.pixels, layer.bitmap.stride);
        DeepCarry carry{&deep, nullptr};
        ASSERT_EQ(RunTransforms(doc.data(), 1, image::LoadStatus{}, o,
                                c.watermark ? mark.get() : nullptr, &carry),
                  1);
        if (c.dropped != nullptr) {
            EXPECT_TRUE(deep.empty());
            EXPECT_EQ(std::u16string(carry.dropped ? carry.dropped : u""), c.dropped);
            continue;
        }
        EXPECT_EQ(carry.dropped, nullptr);
        ASSERT_FALSE(deep.empty());
        ASSERT_EQ(deep.record().width, layer.bitmap.width);
        ASSERT_EQ(deep.record().height, layer.bitmap.height);
        std::vector<std::uint32_t> rounded(std::size_t{layer.bitmap.width} * layer.bitmap.height);
        image::deep_to_pixels(deep, rounded.data(), layer.bitmap.width);
        const std::vector<std::uint32_t> eight = LayerStack::pixels(layer);
        int apart = 0;
        for (std::size_t i = 0; i < rounded.size(); ++i)
            for (int shift = 0; shift < 32; shift += 8)
                apart = std::max(apart, std::abs(static_cast<int>((rounded[i] >> shift) & 255) -
                                                 static_cast<int>((eight[i] >> shift) & 255)));
        EXPECT_LE(apart, c.apart);
    }
}

// A P6 file's header and samples (16-bit samples big-endian, as the format stores them).
struct Netpbm {
    int width = 0, height = 0, maxval = 0;
    std::vector<int> samples;
};
Netpbm read_ppm(const std::string& bytes) {
    Netpbm out;
    std::size_t at = 0;
    const auto number = [&] {
        while (at < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[at])))
            ++at;
        int v = 0;
        while (at < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[at])))
            v = v * 10 + (bytes[at++] - '0');
        return v;
    };
    if (bytes.rfind("P6", 0) != 0)
        return out;
    at = 2;
    out.width = number();
    out.height = number();
    out.maxval = number();
    ++at;
    const std::size_t size = out.maxval > 255 ? 2 : 1;
    for (; at + size <= bytes.size(); at += size)
        out.samples.push_back(size == 2 ? static_cast<unsigned char>(bytes[at]) << 8 |
                                              static_cast<unsigned char>(bytes[at + 1])
                                        : static_cast<unsigned char>(bytes[at]));
    return out;
}

int vtconvert(const test::TempFolder& work, const std::string& args) {
    const std::string command = "VANTREL_DATA_ROOT='" + work.path() + "/data' '" VTCONVERT "' " +
                                args + " >'" + work / "out" + "' 2>'" + work / "err" +
                                "' </dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A 16-bit PNG through every step with a deep form (advanced resize with a filter, levels,
// denoise, a picture watermark) stays 16-bit without a warning, and its rounding stays close to
// the 8-bit job's: the 8-bit steps start from rounded samples, truncate where the deep ones
// round, and the 8-bit denoise's colour round trip moves a channel by a step or two.
TEST(DeepJob, EveryStepKeepsSixteenBitsCloseToTheEightBitJob) {
    test::TempFolder work, src;
    // Blocks of colours whose lumas lie far apart, in 16 bits, with a little noise.
    const std::uint16_t palette[4][3] = {
        {52000, 9000, 14000}, {9000, 40000, 21000}, {20000, 21000, 61000}, {60000, 58000, 47000}};
    std::string ppm = "P6\n48 36\n65535\n";
    for (int y = 0; y < 36; ++y)
        for (int x = 0; x < 48; ++x)
            for (int c = 0; c < 3; ++c) {
                const int v = palette[(x / 6 + y / 6) % 4][c] +
                              static_cast<int>(gfx::testing::noisy(x, y * 3 + c, 5) % 201) - 100;
                ppm.push_back(static_cast<char>(v >> 8));
                ppm.push_back(static_cast<char>(v & 255));
            }
    work.write("deep.ppm", ppm);
    // The mark: a half-transparent 8-bit PAM.
    std::string pam = "P7\nWIDTH 8\nHEIGHT 5\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    for (int i = 0; i < 40; ++i)
        pam += std::string{char(i * 6), char(250 - i * 5), char(100), char(i % 3 ? 160 : 255)};
    work.write("mark.pam", pam);
    ASSERT_EQ(vtconvert(work, "-f .png -q '" + work / "deep.ppm" + "' '" + src.path() + "'"), 0)
        << work.read("err");
    const std::string steps = "--resize 5:75x75 --algorithm 3 --filter 4 --autofix-levels "
                              "--denoise 1 --watermark '" +
                              work / "mark.pam" + "' --watermark-size 40 --watermark-fade 30";
    Netpbm result[2];
    for (const int depth : {16, 8}) {
        const std::string folder = work / ("out" + std::to_string(depth));
        const std::string report = folder + ".json";
        ASSERT_EQ(vtconvert(work, "-f .png -q --depth " + std::to_string(depth) + " " + steps +
                                      " --report '" + report + "' '" + src.path() + "' '" + folder +
                                      "'"),
                  0)
            << work.read("err");
        const std::string json = work.read("out" + std::to_string(depth) + ".json");
        EXPECT_NE(json.find("\"bits\":" + std::to_string(depth)), std::string::npos) << json;
        EXPECT_EQ(json.find("converted at 8 bits"), std::string::npos) << json;
        // Back to a P6 file to read the samples: 16-bit PNG to 16-bit PPM keeps every sample.
        ASSERT_EQ(vtconvert(work, "-f .ppm -q '" + folder + "/deep.png' '" + folder + "-ppm'"), 0);
        result[depth == 16 ? 0 : 1] =
            read_ppm(work.read("out" + std::to_string(depth) + "-ppm/deep.ppm"));
    }
    ASSERT_EQ(result[0].maxval, 65535);
    ASSERT_EQ(result[1].maxval, 255);
    ASSERT_EQ(result[0].width, 36);
    ASSERT_EQ(result[0].samples.size(), result[1].samples.size());
    int apart = 0, fine = 0;
    for (std::size_t i = 0; i < result[0].samples.size(); ++i) {
        const int v = result[0].samples[i];
        apart = std::max(
            apart, std::abs(image::to_8bit(static_cast<std::uint16_t>(v)) - result[1].samples[i]));
        fine += v % 257 != 0; // samples between the 8-bit steps: the depth is real
    }
    EXPECT_LE(apart, 3);
    EXPECT_GT(fine, static_cast<int>(result[0].samples.size()) / 2);
}

// --to-srgb auto: the writer's answer decides; a writer that does not say is judged by the
// formats known to drop the profile.
TEST(SrgbForPlainTargets, TheWritersAnswerDecidesElseTheOldList) {
    constexpr std::uint16_t kSaid = VT_KEEPS_DECLARED;
    const struct {
        const char16_t* extension;
        std::uint16_t keeps;
        bool carries;
    } cases[] = {
        {u".jp2", 0, true},                        // not said: not on the list
        {u".jp2", kSaid | VT_KEEPS_ALPHA, false},  // said: no profile
        {u".bmp", 0, false},                       // not said: on the list
        {u".bmp", kSaid | VT_KEEPS_PROFILE, true}, // said: keeps it
        {u".PNG", kSaid | VT_KEEPS_PROFILE | VT_KEEPS_ALPHA, true},
        {u".tga", VT_KEEPS_PROFILE, false}, // flags without the declared bit
        {u".pam", kSaid, false},            // keeps nothing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.extension,
                                 c.extension + std::char_traits<char16_t>::length(c.extension)));
        EXPECT_EQ(target_carries_profile(c.extension, c.keeps), c.carries);
    }
}

} // namespace
} // namespace vt::pipeline
