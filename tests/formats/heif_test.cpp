#include <gtest/gtest.h>
#include <libheif/heif.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>

#include "formats/heif/avif_sequence.h"
#include "fuzz/format_fuzz_driver.h"
#include "tests/formats/deep_files.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

std::optional<Frame> heif_convert(const std::filesystem::path& file) {
    return decoded_by("heif-convert", file);
}

// heif-enc's files from ImageMagick's pictures: AVIF and HEIC, lossless and lossy.
void make_corpus(const std::filesystem::path& folder) {
    magick_sources(folder);
    for (const char* source : {"opaque", "alpha"}) {
        const std::filesystem::path png = folder / (std::string(source) + ".png");
        EXPECT_TRUE(
            run_tool("heif-enc -A -L -o " + quoted(folder / source) + ".avif " + quoted(png)));
        EXPECT_TRUE(
            run_tool("heif-enc -q 60 -o " + quoted(folder / source) + ".heic " + quoted(png)));
        // Named for the corpus extension: libheif goes by the bytes.
        std::filesystem::rename(folder / (std::string(source) + ".heic"),
                                folder / (std::string(source) + "-hevc.avif"));
    }
}

// Lossless AVIF round trips within 1 (libheif's RGB to GBR planes rounds); heif-convert decodes
// the saved files alike.
VT_FORMAT_CONFORMANCE(Heif,
                      FormatRow{
                          .plugin = "fmx_HEIF",
                          .extension = ".avif",
                          .header = nullptr,
                          .reference = heif_convert,
                          .corpus_extension = ".avif",
                          .compared = 4,
                          .tolerance = 1,
                          .round_trip_tolerance = 1,
                          .frame_sets = 2,
                          .prepare = [] { HarnessServices::set_state(u"fmx_HEIF.lossless", "1"); },
                          .make_corpus_in = make_corpus});

// --- more than 8 bits per channel

const char* const kRgb16 = "-size 37x23 gradient:'#0102ff-#fefd00' -seed 7 -attenuate 0.3 "
                           "+noise Uniform -depth 16 PNG48:";
const char* const kRgba16 =
    "-size 29x19 radial-gradient:'rgba(255,200,0,1)-rgba(0,0,255,0.25)' -depth 16 PNG64:";

// libheif's own samples of the primary image as planes, scaled to 16 bits by the documented
// rule: red, green, blue, alpha (opaque without one).
DeepFrame planar_reference(const std::filesystem::path& file) {
    DeepFrame d;
    heif_context* context = heif_context_alloc();
    heif_image_handle* handle = nullptr;
    heif_image* image = nullptr;
    if (heif_context_read_from_file(context, file.c_str(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok &&
        heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_444, nullptr).code ==
            heif_error_Ok) {
        d = {
            static_cast<std::uint32_t>(heif_image_get_width(image, heif_channel_R)),
            static_cast<std::uint32_t>(heif_image_get_height(image, heif_channel_R)), 4,
            static_cast<std::uint32_t>(heif_image_get_bits_per_pixel_range(image, heif_channel_R))};
        const std::uint32_t top = (1u << d.bits) - 1;
        const heif_channel planes[] = {heif_channel_R, heif_channel_G, heif_channel_B,
                                       heif_channel_Alpha};
        d.samples.assign(std::size_t{d.width} * d.height * 4, 65535);
        for (std::size_t c = 0; c < 4; ++c) {
            int stride = 0;
            const std::uint8_t* p = heif_image_get_plane_readonly(image, planes[c], &stride);
            for (std::uint32_t y = 0; p != nullptr && y < d.height; ++y)
                for (std::uint32_t x = 0; x < d.width; ++x) {
                    std::uint16_t v = 0;
                    std::memcpy(&v, p + std::size_t{y} * static_cast<std::size_t>(stride) + 2 * x,
                                2);
                    d.samples[(std::size_t{y} * d.width + x) * 4 + c] =
                        static_cast<std::uint16_t>((v * 65535u + top / 2) / top);
                }
        }
    }
    heif_image_release(image);
    heif_image_handle_release(handle);
    heif_context_free(context);
    return d;
}

class HeifPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_HEIF"); }
};

// heif-enc's 10 and 12-bit files give frame 0 at their depth, each sample libheif's value
// scaled, beside the 8-bit frame of a plain load; an 8-bit file gives none.
TEST_F(HeifPlugin, DeepFilesDeliverTheirSamplesBesideTheUnchangedEightBitFrame) {
    const struct {
        const char* name;
        const char* magick;
        const char* heif_enc;
        std::uint32_t bits; // 0: an 8-bit file
    } cases[] = {
        {"rgb12-lossless", kRgb16, "-L -b 12 -p chroma=444 --matrix_coefficients=0", 12},
        {"rgba12-lossless", kRgba16, "-L -b 12 -p chroma=444 --matrix_coefficients=0", 12},
        {"rgb10-hevc", kRgb16, "-b 10 -q 70", 10},
        {"rgb8", "-size 20x10 gradient:red-blue PNG24:", "-L", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path png = m_temp / (std::string(c.name) + ".png");
        const std::filesystem::path avif =
            m_temp / (std::string(c.name) + (c.bits == 10 ? ".heic" : ".avif"));
        if (!run_tool(std::string("convert ") + c.magick + quoted(png)) ||
            !run_tool(std::string("heif-enc ") + c.heif_enc + " -o " + quoted(avif) + " " +
                      quoted(png)))
            GTEST_SKIP() << "no ImageMagick or heif-enc";
        const LoadResult plain = load_with(api(), avif.string());
        LoadOptions ask;
        ask.want_deep = true;
        const LoadResult deep = load_with(api(), avif.string(), ask);
        ASSERT_EQ(deep.result, VT_OK);
        EXPECT_EQ(deep.frames[0].pixels, plain.frames[0].pixels);
        if (c.bits == 0) {
            EXPECT_TRUE(deep.deep.empty());
            continue;
        }
        ASSERT_FALSE(deep.deep.empty());
        EXPECT_EQ(deep.deep.bits, c.bits);
        const DeepFrame reference = planar_reference(avif);
        EXPECT_EQ(reference.bits, c.bits);
        EXPECT_EQ(deep.deep.samples, reference.samples);
        EXPECT_TRUE(fuzz::deep_stands_for(deep.deep, deep.frames[0], 1));
    }
}

// A deep picture saved at 10 or 12 bits comes back with those top bits of every sample exactly
// when lossless; lossy saves keep the depth; the depth 8 writes the 8-bit picture.
TEST_F(HeifPlugin, DeepPicturesSaveAtTheChosenDepth) {
    const struct {
        const char* name;
        const char* magick;
        const char* depth;
        const char* lossless;
        bool grey;
        const char* target;
        std::uint32_t bits; // what a deep load of the saved file gives (0: none)
    } cases[] = {
        {"rgb 12 lossless", kRgb16, "12", "1", false, "saved.avif", 12},
        {"rgba 12 lossless", kRgba16, "12", "1", false, "saved.avif", 12},
        {"grey 12 lossless", kRgb16, "12", "1", true, "saved.avif", 12},
        {"rgb 10 lossless", kRgb16, "10", "1", false, "saved.heic", 10},
        {"rgba 10 lossy", kRgba16, "10", "0", false, "saved.heic", 10},
        {"rgba 12 lossy", kRgba16, "12", "0", false, "saved.avif", 12},
        // libheif 1.15's AV1 path fails at 10 bits, aborting with libaom's assertions.
        {"rgb 10 as AVIF", kRgb16, "10", "1", false, "saved.avif",
         heif_get_version_number() < 0x01100000 ? 12u : 10u},
        {"rgb 8", kRgb16, "8", "1", false, "saved.avif", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path png = m_temp / "source.png";
        if (!run_tool(std::string("convert ") + c.magick + quoted(png)))
            GTEST_SKIP() << "no ImageMagick";
        const DeepFrame rgba = magick_deep(png);
        const DeepFrame offer = c.grey ? grey_of(rgba) : rgba;
        const DeepFrame expected{rgba.width, rgba.height, 4, 16, deep_rgba(offer)};
        HarnessServices::set_state(u"fmx_HEIF.depth", c.depth);
        HarnessServices::set_state(u"fmx_HEIF.lossless", c.lossless);
        const std::filesystem::path saved = m_temp / c.target;
        const Frame eight = frame_of(expected);
        const SaveResult result = save_with(api(), saved.string(), {eight}, 0, &offer);
        ASSERT_EQ(result.result, VT_OK);
        EXPECT_EQ(result.deep_written, c.bits != 0);
        LoadOptions ask;
        ask.want_deep = true;
        const LoadResult again = load_with(api(), saved.string(), ask);
        ASSERT_EQ(again.result, VT_OK);
        EXPECT_EQ(again.deep.bits, c.bits);
        if (c.bits == 0 || c.lossless[0] == '0') {
            // As close to the picture as an 8-bit save of it.
            const std::filesystem::path plain = m_temp / ("plain" + std::string(c.target));
            ASSERT_EQ(save_with(api(), plain.string(), {eight}).result, VT_OK);
            EXPECT_LE(
                mean_difference(again.frames[0].pixels, eight.pixels),
                mean_difference(load_with(api(), plain.string()).frames[0].pixels, eight.pixels) +
                    1.0);
            continue;
        }
        ASSERT_EQ(again.deep.samples.size(), expected.samples.size());
        std::size_t differ = 0;
        for (std::size_t i = 0; i < expected.samples.size(); ++i)
            differ +=
                (again.deep.samples[i] >> (16 - c.bits)) != (expected.samples[i] >> (16 - c.bits));
        EXPECT_EQ(differ, 0u);
    }
    HarnessServices::set_state(u"fmx_HEIF.depth", "12");
    HarnessServices::set_state(u"fmx_HEIF.lossless", "0");
}

// Twenty frames of different sizes saved losslessly as an AVIF sequence: our loader gives every
// frame, delay and the loop count back, and FFmpeg decodes the same twenty pictures; libavif's
// avifdec reads it. Without a count the sequence has no edit list, which viewers loop.
TEST_F(HeifPlugin, AnimationsSaveAsAvifSequencesWithDelaysAndLoops) {
    HarnessServices::set_state(u"fmx_HEIF.lossless", "1");
    std::vector<Frame> frames = animation_frames(20);
    for (const auto& [markup, plays] :
         {std::pair{"animation.plays=5;", 5u}, std::pair{"animation.plays=1;", 1u},
          std::pair{"animation.plays=65535;", 65535u}, std::pair{"", 0u}}) {
        SCOPED_TRACE(markup);
        frames[0].markup = std::string("\r\n") + markup;
        const std::filesystem::path avif = m_temp / "twenty.avif";
        ASSERT_EQ(save_with(api(), avif.string(), frames, 2).result, VT_OK);
        const std::string bytes = read_bytes(avif);
        EXPECT_EQ(formats::heif::sequence_plays(
                      {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}),
                  plays);
        const LoadResult back = load_with(api(), avif.string(), {.max_frames = 32});
        ASSERT_EQ(back.result, VT_OK);
        ASSERT_EQ(back.frames.size(), 20u);
        EXPECT_EQ(back.doc_kind, 2);
        EXPECT_EQ(back.warnings, 0);
        EXPECT_TRUE(has_entry(back.frames[0], "animation.plays=" + std::to_string(plays) + ";"));
        for (std::size_t i = 0; i < 20; ++i) {
            EXPECT_EQ(back.frames[i].delay, i == 5 ? 100 : 10 * (i + 1)) << i;
            EXPECT_TRUE(centred(back.frames[i], frames[i], 1)) << i;
        }
        if (run_tool("command -v avifdec")) {
            EXPECT_TRUE(run_tool("avifdec --info " + quoted(avif)));
        }
        // FFmpeg shows the colour track alone: the colours of the opaque pixels.
        const std::vector<Frame> theirs = ffmpeg_frames(avif);
        if (theirs.empty())
            continue; // no FFmpeg
        ASSERT_EQ(theirs.size(), 20u);
        for (std::size_t i = 0; i < 20; ++i) {
            int worst = 0;
            for (std::size_t p = 0; p < theirs[i].pixels.size(); ++p)
                if (back.frames[i].pixels.at(p) >> 24 == 0)
                    worst = std::max(worst, max_difference(theirs[i].pixels[p] & 0xFFFFFFu,
                                                           back.frames[i].pixels[p]));
            EXPECT_LE(worst, 1) << i;
        }
    }
    HarnessServices::set_state(u"fmx_HEIF.lossless", "0");
}

// The loop count lives in edit lists the plug-in adds to libavif's file: files it does not
// know are left alone, and every cut of a sequence fails cleanly or keeps its first frames.
TEST_F(HeifPlugin, LoopCountsOnlyChangeFilesTheyKnow) {
    std::vector<Frame> frames = animation_frames(3);
    const std::filesystem::path avif = m_temp / "three.avif";
    ASSERT_EQ(save_with(api(), avif.string(), frames, 2).result, VT_OK);
    const std::string made = read_bytes(avif);
    const std::vector<std::uint8_t> endless(made.begin(), made.end());
    std::vector<std::uint8_t> counted = endless;
    ASSERT_TRUE(formats::heif::set_sequence_plays(counted, 3));
    const std::vector<std::uint8_t> no_movie(endless.begin(), endless.begin() + 40);
    for (const auto& [what, file, plays] :
         {std::tuple{"counted already", counted, 2u}, std::tuple{"no count", endless, 0u},
          std::tuple{"no movie", no_movie, 2u}}) {
        std::vector<std::uint8_t> again = file;
        EXPECT_FALSE(formats::heif::set_sequence_plays(again, plays)) << what;
        EXPECT_EQ(again, file) << what;
    }
    for (std::size_t cut = 12; cut < made.size(); cut += 7) {
        const LoadResult part = load_bytes(made.substr(0, cut));
        EXPECT_TRUE(part.result != VT_OK || !part.frames.empty()) << cut;
    }
}

// After the first frame of a sequence the host gets only what changed.
TEST_F(HeifPlugin, LaterSequenceFramesArriveAsWhatChanged) {
    HarnessServices::set_state(u"fmx_HEIF.lossless", "1");
    std::vector<Frame> frames(3, make_picture(30, 20, false));
    frames[1].pixels[7 * 30 + 11] ^= 0x00FFFFFFu;
    frames[2] = frames[1];
    const std::filesystem::path avif = m_temp / "changes.avif";
    ASSERT_EQ(save_with(api(), avif.string(), frames, 2).result, VT_OK);
    const LoadResult back = load_with(api(), avif.string());
    ASSERT_EQ(back.result, VT_OK);
    using Box = std::array<std::int32_t, 4>;
    EXPECT_EQ(back.delivered, (std::vector<Box>{{0, 0, 30, 20}, {11, 7, 1, 1}, {0, 0, 1, 1}}));
    HarnessServices::set_state(u"fmx_HEIF.lossless", "0");
}

// libaom fails on the second frame of a very tall sequence at the usual speed.
TEST_F(HeifPlugin, VeryTallSequencesSave) {
    std::vector<Frame> frames(2, make_picture(7, 50000, false));
    for (std::uint32_t& pixel : frames[1].pixels)
        pixel ^= 0x00FFFFFFu;
    const std::filesystem::path avif = m_temp / "tall.avif";
    ASSERT_EQ(save_with(api(), avif.string(), frames, 2).result, VT_OK);
    const LoadResult back = load_with(api(), avif.string());
    ASSERT_EQ(back.result, VT_OK);
    ASSERT_EQ(back.frames.size(), 2u);
    EXPECT_EQ(back.frames[1].height, 50000u);
}

TEST_F(HeifPlugin, SaveCheckSaysItWritesUpTo12Bits) {
    EXPECT_EQ(check_with(api().check_save, u".avif").deep_bits, 12);
}

} // namespace
} // namespace vt::test
