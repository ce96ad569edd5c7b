#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <string>

#include "fuzz/format_fuzz_driver.h"
#include "tests/formats/deep_files.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"
#include "tests/formats/wide_profile.h"

namespace vt::test {
namespace {

std::optional<Frame> djxl(const std::filesystem::path& file) {
    return decoded_by("djxl", file);
}

// cjxl's files from ImageMagick's pictures, lossless and at distance 1.
void make_corpus(const std::filesystem::path& folder) {
    magick_sources(folder);
    for (const char* source : {"opaque", "alpha"}) {
        const std::filesystem::path png = folder / (std::string(source) + ".png");
        const std::string base = quoted(folder / source);
        EXPECT_TRUE(run_tool("cjxl -d 0 " + quoted(png) + " " + base + "-lossless.jxl"));
        EXPECT_TRUE(run_tool("cjxl -d 1 " + quoted(png) + " " + base + "-lossy.jxl"));
    }
}

VT_FORMAT_CONFORMANCE(Jxl,
                      FormatRow{
                          .plugin = "fmx_JXL",
                          .extension = ".jxl",
                          .header = nullptr,
                          .reference = djxl,
                          .corpus_extension = ".jxl",
                          .compared = 4,
                          .tolerance = 1,
                          .frame_sets = 2,
                          .prepare = [] { HarnessServices::set_state(u"fmx_JXL.lossless", "1"); },
                          .make_corpus_in = make_corpus});

class JxlPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_JXL"); }
};

// An animated GIF by ImageMagick, made a JPEG XL animation by cjxl: every frame composed, with
// its delay.
TEST_F(JxlPlugin, AnimationFramesKeepTheirDelays) {
    const std::filesystem::path gif = m_temp / "anim.gif";
    const std::filesystem::path jxl = m_temp / "anim.jxl";
    ASSERT_TRUE(
        run_tool("convert -size 12x10 -delay 20 xc:red -delay 50 xc:blue xc:lime " + quoted(gif)));
    ASSERT_TRUE(run_tool("cjxl -d 0 " + quoted(gif) + " " + quoted(jxl)));
    const LoadResult loaded = load_with(api(), jxl.string());
    ASSERT_EQ(loaded.result, VT_OK);
    ASSERT_EQ(loaded.frames.size(), 3u);
    EXPECT_EQ(loaded.doc_kind, 2);
    const std::uint32_t colours[] = {bgrt(255, 0, 0), bgrt(0, 0, 255), bgrt(0, 255, 0)};
    const std::uint16_t delays[] = {200, 500, 500};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(loaded.frames[i].pixels[0], colours[i]) << i;
        EXPECT_EQ(loaded.frames[i].delay, delays[i]) << i;
    }
}

// Twenty frames of different sizes saved losslessly as an animation: our loader gives every
// frame, delay and the loop count back, and djxl's animated PNG, decoded by FFmpeg, has the same
// twenty pictures. A frame without a delay shows 100 ms.
TEST_F(JxlPlugin, AnimationsSaveEveryFrameWithDelaysAndLoops) {
    HarnessServices::set_state(u"fmx_JXL.lossless", "1");
    std::vector<Frame> frames = animation_frames(20);
    for (const auto& [markup, plays] : {std::pair{"animation.plays=5;", "5"}, std::pair{"", "0"}}) {
        SCOPED_TRACE(plays);
        frames[0].markup = std::string("\r\n") + markup;
        const std::filesystem::path jxl = m_temp / "twenty.jxl";
        ASSERT_EQ(save_with(api(), jxl.string(), frames, 2).result, VT_OK);
        const LoadResult back = load_with(api(), jxl.string(), {.max_frames = 32});
        ASSERT_EQ(back.result, VT_OK);
        ASSERT_EQ(back.frames.size(), 20u);
        EXPECT_EQ(back.doc_kind, 2);
        EXPECT_TRUE(has_entry(back.frames[0], std::string("animation.plays=") + plays + ";"));
        for (std::size_t i = 0; i < 20; ++i) {
            EXPECT_EQ(back.frames[i].delay, i == 5 ? 100 : 10 * (i + 1)) << i;
            EXPECT_TRUE(centred(back.frames[i], frames[i], 0)) << i;
        }
        const std::filesystem::path apng = m_temp / "twenty.apng";
        if (!run_tool("djxl " + quoted(jxl) + " " + quoted(apng)))
            GTEST_SKIP() << "no djxl";
        const std::vector<Frame> theirs = ffmpeg_frames(apng);
        if (theirs.empty())
            continue; // no FFmpeg
        ASSERT_EQ(theirs.size(), 20u);
        for (std::size_t i = 0; i < 20; ++i)
            EXPECT_EQ(max_difference(theirs[i], back.frames[i]), 0) << i;
    }
    HarnessServices::set_state(u"fmx_JXL.lossless", "0");
}

// After the first frame the host gets only what changed: one pixel here, nothing (one pixel as
// it was) there.
TEST_F(JxlPlugin, LaterAnimationFramesArriveAsWhatChanged) {
    HarnessServices::set_state(u"fmx_JXL.lossless", "1");
    std::vector<Frame> frames(3, make_picture(30, 20, false));
    frames[1].pixels[7 * 30 + 11] ^= 0x00FFFFFFu;
    frames[2] = frames[1];
    const std::filesystem::path jxl = m_temp / "changes.jxl";
    ASSERT_EQ(save_with(api(), jxl.string(), frames, 2).result, VT_OK);
    const LoadResult back = load_with(api(), jxl.string());
    ASSERT_EQ(back.result, VT_OK);
    using Box = std::array<std::int32_t, 4>;
    EXPECT_EQ(back.delivered, (std::vector<Box>{{0, 0, 30, 20}, {11, 7, 1, 1}, {0, 0, 1, 1}}));
    ASSERT_EQ(back.frames.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(back.frames[i].pixels, frames[i].pixels) << i;
    HarnessServices::set_state(u"fmx_JXL.lossless", "0");
}

// --- more than 8 bits per channel

struct DeepSource {
    const char* name;
    const char* magick; // ImageMagick's arguments that draw it, then the file
    std::uint32_t bits; // what a deep load gives (0: the file has 8 bits, none)
    std::uint32_t channels;
    bool by_cjxl; // cjxl keeps it as it is (its 0.7 keeps 8 bits of a 16-bit PNG's alpha)
};

const DeepSource kDeepSources[] = {
    {"rgb16",
     "-size 37x23 gradient:'#0102ff-#fefd00' -seed 7 -attenuate 0.3 +noise Uniform "
     "-depth 16 PNG48:",
     16, 4, true},
    {"rgba16",
     "-size 29x19 radial-gradient:'rgba(255,200,0,1)-rgba(0,0,255,0.25)' -depth 16 PNG64:", 16, 4,
     false},
    {"grey16",
     "-size 31x17 gradient:black-white -seed 3 -attenuate 0.2 +noise Uniform "
     "-colorspace Gray -depth 16 -define png:color-type=0 ",
     16, 2, true},
    {"rgb8", "-size 20x10 gradient:red-blue PNG24:", 0, 4, true},
};

// cjxl's lossless files from ImageMagick's deep pictures: frame 0 at the file's depth, scaled to
// 16 bits as ImageMagick scales it, beside the 8-bit frame of a plain load.
TEST_F(JxlPlugin, DeepFilesDeliverTheirSamplesBesideTheUnchangedEightBitFrame) {
    for (const DeepSource& source : kDeepSources) {
        SCOPED_TRACE(source.name);
        const std::filesystem::path picture = m_temp / (std::string(source.name) + ".png");
        const std::filesystem::path jxl = m_temp / (std::string(source.name) + ".jxl");
        if (!source.by_cjxl)
            continue;
        if (!run_tool(std::string("convert ") + source.magick + quoted(picture)) ||
            !run_tool("cjxl -d 0 " + quoted(picture) + " " + quoted(jxl)))
            GTEST_SKIP() << "no ImageMagick or cjxl";
        const LoadResult plain = load_with(api(), jxl.string());
        LoadOptions ask;
        ask.want_deep = true;
        const LoadResult deep = load_with(api(), jxl.string(), ask);
        ASSERT_EQ(deep.result, VT_OK);
        EXPECT_EQ(deep.frames[0].pixels, plain.frames[0].pixels);
        if (source.bits == 0) {
            EXPECT_TRUE(deep.deep.empty());
            continue;
        }
        ASSERT_FALSE(deep.deep.empty());
        EXPECT_EQ(deep.deep.bits, source.bits);
        EXPECT_EQ(deep.deep.channels, source.channels);
        EXPECT_EQ(deep_rgba(deep.deep), magick_deep(picture).samples);
        EXPECT_TRUE(fuzz::deep_stands_for(deep.deep, deep.frames[0], 0));
    }
}

// A deep picture saved losslessly comes back sample for sample, through the plug-in and through
// djxl's 16-bit PNG; grey stays grey. Lossy saves are 16-bit too; without an offer, 8-bit.
TEST_F(JxlPlugin, DeepPicturesSaveAt16BitsAndComeBackBitExact) {
    HarnessServices::set_state(u"fmx_JXL.lossless", "1");
    for (const DeepSource& source : kDeepSources) {
        SCOPED_TRACE(source.name);
        const std::filesystem::path picture = m_temp / (std::string(source.name) + ".png");
        if (source.bits == 0 ||
            !run_tool(std::string("convert ") + source.magick + quoted(picture)))
            continue;
        const DeepFrame rgba = magick_deep(picture);
        const DeepFrame offer = source.channels == 2 ? grey_of(rgba) : rgba;
        const std::filesystem::path saved = m_temp / (std::string(source.name) + "-saved.jxl");
        const SaveResult result = save_with(api(), saved.string(), {frame_of(rgba)}, 0, &offer);
        ASSERT_EQ(result.result, VT_OK);
        EXPECT_TRUE(result.deep_written);
        LoadOptions ask;
        ask.want_deep = true;
        const LoadResult again = load_with(api(), saved.string(), ask);
        EXPECT_EQ(again.deep.bits, 16u);
        EXPECT_EQ(again.deep.samples, offer.samples);
        const std::filesystem::path png = saved.string() + ".png";
        if (run_tool("djxl " + quoted(saved) + " " + quoted(png))) {
            EXPECT_EQ(magick_deep(png).samples, rgba.samples);
        }
    }
    HarnessServices::set_state(u"fmx_JXL.lossless", "0");
    DeepFrame offer{2, 1, 4, 16, {0, 257, 65535, 65535, 1000, 40000, 65535, 30000}};
    const std::string lossy = m_temp / "lossy.jxl";
    ASSERT_TRUE(save_with(api(), lossy, {frame_of(offer)}, 0, &offer).deep_written);
    LoadOptions ask;
    ask.want_deep = true;
    EXPECT_EQ(load_with(api(), lossy, ask).deep.bits, 16u);
    ASSERT_EQ(save_with(api(), lossy, {frame_of(offer)}).result, VT_OK);
    EXPECT_TRUE(load_with(api(), lossy, ask).deep.empty());
}

// Red, green, blue, alpha 16-bit samples from profile `from` to profile `to`.
std::vector<std::uint16_t> convert16(std::vector<std::uint16_t> samples, const std::string& from,
                                     const std::vector<std::uint8_t>& to) {
    cmsHPROFILE in = cmsOpenProfileFromMem(from.data(), static_cast<cmsUInt32Number>(from.size()));
    cmsHPROFILE out = cmsOpenProfileFromMem(to.data(), static_cast<cmsUInt32Number>(to.size()));
    cmsHTRANSFORM t = cmsCreateTransform(in, TYPE_RGBA_16, out, TYPE_RGBA_16,
                                         INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_COPY_ALPHA);
    if (t != nullptr)
        cmsDoTransform(t, samples.data(), samples.data(),
                       static_cast<cmsUInt32Number>(samples.size() / 4));
    cmsDeleteTransform(t);
    cmsCloseProfile(in);
    cmsCloseProfile(out);
    return t != nullptr ? samples : std::vector<std::uint16_t>{};
}

double psnr(const std::vector<std::uint16_t>& a, const std::vector<std::uint16_t>& b, double top) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
        sum += d * d;
    }
    return a.size() != b.size() || a.empty() ? 0
           : sum == 0                        ? 99
                      : 10 * std::log10(top * top * static_cast<double>(a.size()) / sum);
}

// A lossy file with a profile that is not sRGB comes out in that profile's own numbers, as it
// is labelled: djxl's linear-sRGB output taken to the profile by Little CMS is the reference,
// for the 8-bit frame and the deep picture.
TEST_F(JxlPlugin, LossyFilesWithAProfileDecodeInTheirOwnColourSpace) {
    const std::vector<std::uint8_t> icc = adobe_rgb_profile();
    const std::filesystem::path profile = m_temp / "wide.icc";
    write_bytes(profile, std::string(icc.begin(), icc.end()));
    const std::filesystem::path png = m_temp / "wide.png", jxl = m_temp / "wide.jxl";
    const std::filesystem::path ref = m_temp / "ref.png", ref_icc = m_temp / "ref.icc";
    if (!run_tool("convert -size 64x48 gradient:'#ff2010-#10e0ff' -depth 16 -profile " +
                  quoted(profile) + " PNG48:" + quoted(png)) ||
        !run_tool("cjxl -d 1 " + quoted(png) + " " + quoted(jxl)) ||
        !run_tool("djxl " + quoted(jxl) + " " + quoted(ref) + " --icc_out=" + quoted(ref_icc)))
        GTEST_SKIP() << "no ImageMagick, cjxl or djxl";
    const std::vector<std::uint16_t> reference =
        convert16(magick_deep(ref).samples, read_bytes(ref_icc), icc);
    LoadOptions ask;
    ask.want_deep = true;
    const LoadResult loaded = load_with(api(), jxl.string(), ask);
    ASSERT_EQ(loaded.result, VT_OK);
    EXPECT_EQ(loaded.frames[0].chunks.at(VT_TAG('I', 'C', 'C', 'P')), icc);
    std::vector<std::uint16_t> eight, reference8;
    for (const std::uint32_t p : loaded.frames[0].pixels)
        eight.insert(eight.end(), {std::uint16_t(p >> 16 & 0xFF), std::uint16_t(p >> 8 & 0xFF),
                                   std::uint16_t(p & 0xFF), std::uint16_t(255 - (p >> 24))});
    for (const std::uint16_t v : reference)
        reference8.push_back(image::to_8bit(v));
    EXPECT_GE(psnr(eight, reference8, 255), 45);
    EXPECT_GE(psnr(loaded.deep.samples, reference, 65535), 45);
}

TEST_F(JxlPlugin, SaveCheckSaysItWrites16Bits) {
    EXPECT_EQ(check_with(api().check_save, u".jxl").deep_bits, 16);
}

} // namespace
} // namespace vt::test
