#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tests/formats/deep_files.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"
#include "tests/formats/wide_profile.h"

namespace vt::test {
namespace {

// A codestream's main header for one 8-bit component in one tile: SIZ, COD (one layer, no
// levels, reversible), QCD and SOT, as {value, bytes} big-endian.
std::string header(std::uint32_t width, std::uint32_t height) {
    std::string s;
    const std::uint32_t fields[][2] = {
        {0xFF4FFF51, 4}, {41, 2},         {0, 2},          {width, 4},  {height, 4},
        {0, 8},          {width, 4},      {height, 4},     {0, 8},      {1, 2},
        {0x070101, 3},   {0xFF52000C, 4}, {1, 4},          {0x0404, 4}, {1, 2},
        {0xFF5C0004, 4}, {0x4040, 2},     {0xFF90000A, 4}, {0, 8},      {1, 1}};
    for (const auto& [value, bytes] : fields)
        for (int i = static_cast<int>(bytes) - 1; i >= 0; --i)
            s += static_cast<char>(i >= 4 ? 0 : (value >> (8 * i)) & 0xFF);
    return s;
}

// OpenJPEG's own decoder program with `options`, through a PNG.
std::optional<Frame> opj_frame_with(const std::filesystem::path& file, const std::string& options) {
    const std::string png = file.string() + ".opj.png";
    if (!run_tool("opj_decompress " + options + " -i '" + file.string() + "' -o '" + png + "'"))
        return std::nullopt;
    std::optional<Frame> frame = png_frame(png);
    std::filesystem::remove(png);
    return frame;
}

std::optional<Frame> opj_frame(const std::filesystem::path& file) {
    return opj_frame_with(file, "");
}

int corpus(const std::filesystem::path& folder) {
    const std::string png = (folder / "source.png").string();
    write_pam(folder / "source.pam", make_picture(37, 23, true));
    if (!run_tool("convert '" + (folder / "source.pam").string() + "' PNG32:'" + png + "'"))
        return 0;
    int made = 0;
    int i = 0;
    for (const char* options : {"-n 4", "-n 4 -r 20", "-n 2 -t 16,16", "-n 4 -I -r 8"})
        made += run_tool("opj_compress -i '" + png + "' -o '" +
                         (folder / (std::to_string(i++) + ".jp2")).string() + "' " + options);
    std::filesystem::remove(png);
    std::filesystem::remove(folder / "source.pam");
    return made;
}

VT_FORMAT_CONFORMANCE(Jp2k, FormatRow{.plugin = "fmx_JP2K",
                                      .extension = ".jp2",
                                      .header = header,
                                      .reference = opj_frame,
                                      .make_corpus = corpus,
                                      .compared = 4});

std::optional<Frame> ffmpeg_first_frame(const std::filesystem::path& file) {
    std::vector<Frame> frames = ffmpeg_frames(file);
    return frames.empty() ? std::nullopt : std::optional<Frame>(frames[0]);
}

// FFmpeg's movies of JPEG 2000 frames, branded Motion JPEG 2000: the header after the samples,
// bare codestreams.
int mj2_corpus(const std::filesystem::path& folder) {
    int made = 0;
    for (const std::string pixels : {"rgb24", "rgba", "gray"})
        made += run_tool("ffmpeg -v error -f lavfi -i testsrc=size=37x23:rate=5 -frames:v 3 -c:v "
                         "jpeg2000 -pix_fmt " +
                         pixels + " -f mov -brand mjp2 '" + (folder / pixels).string() + ".mj2'");
    return made;
}

VT_FORMAT_CONFORMANCE(Mj2, FormatRow{.plugin = "fmx_JP2K",
                                     .extension = ".mj2",
                                     .header = nullptr,
                                     .reference = ffmpeg_first_frame,
                                     .make_corpus = mj2_corpus,
                                     .compared = 3,
                                     .tolerance = 1,
                                     .frame_sets = 2});

class Jp2kPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_JP2K"); }
    void TearDown() override {
        HarnessServices::state().clear();
        HarnessServices::basic_query() = nullptr;
    }
};

TEST_F(Jp2kPlugin, CodestreamsAndLossySavesOpenElsewhere) {
    const Frame picture = smooth_picture(40, 30, true);
    for (const char* rate : {"0", "10"}) {
        SCOPED_TRACE(rate);
        HarnessServices::set_state(u"fmx_JP2K.rate", rate);
        const std::string file = m_temp / "a.j2k";
        ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        EXPECT_EQ(read_bytes(file).substr(0, 2), "\xff\x4f");
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_LT(mean_difference(loaded.frames[0].pixels, picture.pixels), *rate == '0' ? 0.1 : 3);
        const std::optional<Frame> outside = opj_frame(file);
        ASSERT_TRUE(outside.has_value());
        EXPECT_EQ(max_difference(*outside, loaded.frames[0]), 0);
    }
}

// A picture's profile goes into the JP2 colour box 'colr' (method 2), beside the
// resolution box, where ImageMagick (which reads JP2 through OpenJPEG; opj_dump shows only the
// main header) finds the same bytes; a codestream has no place for it.
TEST_F(Jp2kPlugin, ColourProfileIsWrittenIntoJp2Files) {
    const std::vector<std::uint8_t> icc = adobe_rgb_profile();
    const bool magick = run_tool("convert -version");
    for (const bool with_resolution : {false, true}) {
        SCOPED_TRACE(with_resolution ? "with a resolution" : "alone");
        Frame picture = make_picture(21, 13, with_resolution);
        picture.chunks[VT_TAG('I', 'C', 'C', 'P')] = icc;
        if (with_resolution)
            picture.chunks[VT_TAG('P', 'H', 'Y', 'S')] = {1,  0, 0, 0, 44, 1, 0, 0,
                                                          44, 1, 0, 0, 0,  0, 0, 0};
        const std::filesystem::path file = m_temp / "p.jp2";
        ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.frames[0].chunks.at(VT_TAG('I', 'C', 'C', 'P')), icc);
        EXPECT_EQ(max_difference(loaded.frames[0], picture), 0);
        if (with_resolution) {
            EXPECT_EQ(phys_text(loaded.frames[0]), phys_text(picture));
        }
        if (magick) {
            const std::filesystem::path out = m_temp / "out.icc";
            ASSERT_TRUE(run_tool("convert " + quoted(file) + " " + quoted(out)));
            const std::string bytes = read_bytes(out);
            EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), icc);
        }
        // OpenJPEG's own program takes the file (and converts its colours by the profile).
        const std::optional<Frame> outside = opj_frame(file);
        ASSERT_TRUE(outside.has_value());
        EXPECT_EQ(outside->width, picture.width);
    }
    Frame picture = make_picture(9, 7, false);
    picture.chunks[VT_TAG('I', 'C', 'C', 'P')] = icc;
    ASSERT_EQ(save_with(api(), m_temp / "p.j2k", {picture}).result, VT_OK);
    EXPECT_EQ(load_with(api(), m_temp / "p.j2k").frames[0].chunks.count(VT_TAG('I', 'C', 'C', 'P')),
              0u);
}

TEST_F(Jp2kPlugin, MotionFramesAndDurationsReadElsewhere) {
    std::vector<Frame> frames;
    for (std::uint16_t i = 0; i < 3; ++i) {
        frames.push_back(smooth_picture(24, 16, i == 1));
        frames.back().pixels[i] = bgrt(255, 0, 0);
        frames.back().delay = static_cast<std::uint16_t>(40 * (i + 1));
    }
    const std::string file = m_temp / "m.mj2";
    ASSERT_EQ(save_with(api(), file, frames, 2).result, VT_OK);
    const std::string probe = m_temp / "probe.txt";
    ASSERT_TRUE(run_tool("ffprobe -v error -o '" + probe + "' -show_entries packet=duration -of " +
                         "csv=p=0 -show_entries stream=codec_name,nb_frames '" + file + "'"));
    const std::string report = read_bytes(probe);
    EXPECT_NE(report.find("jpeg2000,3"), std::string::npos) << report;
    EXPECT_NE(report.find("40\n80\n120"), std::string::npos) << report;
    const std::vector<Frame> outside = ffmpeg_frames(file);
    ASSERT_EQ(outside.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(max_difference(outside[i], frames[i]), 0) << i;
}

// --- Drafts: a host that answers "load.draft_size" (asked with the full size) gets the smallest
// resolution level that still covers its answer, as opj_decompress -r gives that level.
std::uint32_t g_answer[2] = {};
std::uint32_t g_asked[2] = {};

std::int32_t draft_query(const char* key, void* buffer, std::int32_t capacity) {
    if (std::string_view(key) != "load.draft_size" || capacity < 8)
        return 0;
    std::memcpy(g_asked, buffer, sizeof g_asked);
    std::memcpy(buffer, g_answer, sizeof g_answer);
    return 8;
}
const pi_BasicQuery kDraftHost = {VT_BASIC_QUERY_VERSION, 0, nullptr, draft_query, nullptr};

// opj_compress's lossless files of a 37 x 23 picture of ramps (s.ppm), of 38 x 24 luma ramps
// beside flat 4:2:0 chroma (ramp.raw: opj_compress reads a quarter of the luma samples for each
// chroma plane) or of 37 x 23 busy samples (busy.raw).
struct DraftCase {
    const char* name;
    const char* options;
    bool ask;                // false: no query table
    std::uint32_t answer[2]; // the host's smallest usable size
    std::uint32_t factor, size[2];
    int tolerance; // of a draft pixel from its full pixels' mean
};

// Tiles are transformed apart: next to their edges a level strays a little further.
const DraftCase kDraftCases[] = {
    {"plain", "-n 4 -i s.ppm -o d.jp2", true, {10, 6}, 2, {10, 6}, 2},
    {"plain, one more than a level", "-n 4 -i s.ppm -o d.jp2", true, {11, 6}, 1, {19, 12}, 2},
    {"below the lowest level", "-n 4 -i s.ppm -o d.jp2", true, {0, 0}, 3, {5, 3}, 2},
    {"above the picture", "-n 4 -i s.ppm -o d.jp2", true, {999, 999}, 0, {37, 23}, 0},
    {"tiled", "-n 3 -t 16,16 -i s.ppm", true, {9, 5}, 2, {10, 6}, 4},
    {"odd origin", "-n 4 -d 5,3 -i s.ppm", true, {9, 6}, 2, {9, 6}, 2},
    {"odd origin, one more", "-n 4 -d 5,3 -i s.ppm", true, {10, 6}, 1, {18, 11}, 2},
    {"tiled, odd origins", "-n 3 -t 16,16 -d 5,3 -T 2,1 -i s.ppm", true, {1, 1}, 2, {9, 6}, 4},
    {"subsampled", "-n 3 -F 38,24,3,8,u@1x1:2x2:2x2 -i ramp.raw", true, {1, 1}, 2, {10, 6}, 2},
    {"subsampled, odd origin",
     "-n 3 -d 5,3 -F 38,24,3,8,u@1x1:2x2:2x2 -i ramp.raw",
     true,
     {19, 12},
     1,
     {19, 12},
     2},
    // Whole, against opj_decompress a component at a time (it spreads nothing right with an odd
    // origin): the pixels left of and above the chroma's first samples take them.
    {"subsampled, odd origin, whole",
     "-n 3 -d 5,3 -F 37,23,4,8,u@1x1:2x2:2x2:1x1 -i busy.raw",
     false,
     {},
     0,
     {37, 23},
     0},
};

std::uint32_t channel(std::uint32_t pixel, std::uint32_t k) {
    return pixel >> (16 - 8 * k) & 0xFF;
}

// A draft's inner pixels are the means of the full pixels they stand for (2^factor square from
// the picture's corner), so that the host's resize finds the picture where it is: a reduced
// level's sample lies on the first of them, 1.5 pixels off at a quarter.
::testing::AssertionResult stands_for(const Frame& draft, const Frame& full, std::uint32_t factor,
                                      int tolerance) {
    const std::uint32_t side = 1u << factor;
    for (std::uint32_t y = 1; y + 2 < draft.height; ++y)
        for (std::uint32_t x = 1; x + 2 < draft.width; ++x)
            for (std::uint32_t k = 0; k < 3; ++k) {
                double sum = 0;
                for (std::uint32_t v = 0; v < side; ++v)
                    for (std::uint32_t u = 0; u < side; ++u)
                        sum +=
                            channel(full.pixels.at((y * side + v) * full.width + x * side + u), k);
                const double mean = sum / (side * side);
                const std::uint32_t got = channel(draft.pixels[y * draft.width + x], k);
                if (std::abs(got - mean) > tolerance)
                    return ::testing::AssertionFailure()
                           << "component " << k << " at " << x << "," << y << ": " << got
                           << ", the full pixels' mean " << mean;
            }
    return ::testing::AssertionSuccess();
}

TEST_F(Jp2kPlugin, DraftIsTheSmallestLevelCoveringTheHostsSize) {
    std::string ppm = "P6\n37 23\n255\n", ramp, busy;
    for (std::uint32_t i = 0; i < 37 * 23 * 4; ++i) {
        const std::uint32_t x = i % 37, y = i / 37 % 23;
        if (i < 37 * 23)
            ppm += {static_cast<char>(6 * x), static_cast<char>(10 * y),
                    static_cast<char>(3 * x + 4 * y + 20)};
        busy += static_cast<char>((i * 37 + i / 37 * 11) % 256);
    }
    for (std::uint32_t i = 0; i < 38 * 24 * 3 / 2; ++i)
        ramp += static_cast<char>(i < 38 * 24 ? i % 38 * 5 + i / 38 * 3 : 128);
    const std::filesystem::path folder = m_temp.path();
    write_bytes(folder / "s.ppm", ppm);
    write_bytes(folder / "ramp.raw", ramp);
    write_bytes(folder / "busy.raw", busy);
    for (const DraftCase& c : kDraftCases) {
        SCOPED_TRACE(c.name);
        const bool jp2 = std::strstr(c.options, ".jp2") != nullptr; // else a codestream
        if (!run_tool("cd " + quoted(folder) + " && opj_compress " + c.options +
                      (jp2 ? "" : " -o d.j2k")))
            GTEST_SKIP() << "no opj_compress";
        const std::filesystem::path file = folder / (jp2 ? "d.jp2" : "d.j2k");
        std::memcpy(g_answer, c.answer, sizeof g_answer);
        g_asked[0] = g_asked[1] = 0;
        HarnessServices::basic_query() = c.ask ? &kDraftHost : nullptr;
        const LoadResult loaded = load_with(api(), file);
        HarnessServices::basic_query() = nullptr;
        ASSERT_EQ(loaded.result, VT_OK);
        const Frame& got = loaded.frames.at(0);
        EXPECT_EQ(got.width, c.size[0]);
        EXPECT_EQ(got.height, c.size[1]);
        const Frame full = load_with(api(), file).frames.at(0);
        if (c.ask) {
            EXPECT_EQ(g_asked[0], full.width);
            EXPECT_EQ(g_asked[1], full.height);
        }
        if (c.factor > 0) {
            // OpenJPEG's own program gives the level that size.
            const std::optional<Frame> level =
                opj_frame_with(file, "-c 0 -r " + std::to_string(c.factor));
            ASSERT_TRUE(level.has_value());
            EXPECT_EQ(level->width, c.size[0]);
            EXPECT_EQ(level->height, c.size[1]);
            EXPECT_TRUE(stands_for(got, full, c.factor, c.tolerance));
            continue;
        }
        if (c.ask) { // as without a query
            EXPECT_EQ(got.pixels, full.pixels);
            continue;
        }
        for (std::uint32_t k = 0; k < 3; ++k) {
            const std::optional<Frame> plane = opj_frame_with(file, "-c " + std::to_string(k));
            ASSERT_TRUE(plane.has_value());
            const std::uint32_t step = k == 0 ? 1 : 2;
            const auto at = [step](std::uint32_t v, std::uint32_t origin) {
                return std::max<std::int64_t>(0, (v + origin) / step -
                                                     std::int64_t{(origin + step - 1) / step});
            };
            for (std::uint32_t y = 0; y < got.height; ++y)
                for (std::uint32_t x = 0; x < got.width; ++x) {
                    const std::int64_t px = at(x, 5), py = at(y, 3);
                    ASSERT_TRUE(px < plane->width && py < plane->height);
                    ASSERT_EQ(channel(got.pixels[y * got.width + x], k),
                              channel(plane->pixels[py * plane->width + px], 0))
                        << k << " at " << x << "," << y;
                }
        }
    }
}

// A main header may promise more levels than a tile's own coding style gives: OpenJPEG refuses
// the draft's level only inside that tile, and the picture is read whole by a new decoder. Made
// from a one-level codestream whose main COD says three and whose tile-part says one.
TEST_F(Jp2kPlugin, DraftBeyondATilesLevelsIsReadWhole) {
    const std::filesystem::path source = m_temp / "s.pgm", file = m_temp / "lie.j2k";
    std::string pgm = "P5\n37 23\n255\n";
    for (std::uint32_t i = 0; i < 37 * 23; ++i)
        pgm += static_cast<char>(i % 37 * 6 + i / 37);
    write_bytes(source, pgm);
    if (!run_tool("opj_compress -n 1 -i " + quoted(source) + " -o " + quoted(file)))
        GTEST_SKIP() << "no opj_compress";
    std::string bytes = read_bytes(file);
    const std::size_t cod = bytes.find("\xFF\x52\x00\x0C"), sot = bytes.find("\xFF\x90");
    ASSERT_TRUE(cod != std::string::npos && sot != std::string::npos && cod < sot);
    const std::string tile_cod = bytes.substr(cod, 14); // no precincts: 14 bytes, levels at 9
    bytes[cod + 9] = 2;
    bytes.insert(sot + 12, tile_cod);
    std::uint32_t length = 0; // the tile-part's, big-endian at 6
    for (std::size_t i = 6; i < 10; ++i)
        length = length << 8 | static_cast<std::uint8_t>(bytes[sot + i]);
    for (std::size_t i = 6; i < 10; ++i)
        bytes[sot + i] = static_cast<char>((length + 14) >> (8 * (9 - i)) & 0xFF);
    write_bytes(file, bytes);

    const LoadResult whole = load_with(api(), file);
    ASSERT_EQ(whole.result, VT_OK);
    const std::optional<Frame> outside = opj_frame(file);
    ASSERT_TRUE(outside.has_value());
    EXPECT_EQ(max_difference(*outside, whole.frames[0]), 0);
    g_answer[0] = g_answer[1] = 1;
    HarnessServices::basic_query() = &kDraftHost;
    const LoadResult draft = load_with(api(), file);
    ASSERT_EQ(draft.result, VT_OK);
    EXPECT_EQ(draft.frames[0].width, 37u);
    EXPECT_EQ(draft.frames[0].pixels, whole.frames[0].pixels);
}

// The 16-bit picture comes at the draft's level too, its rounding the 8-bit draft.
TEST_F(Jp2kPlugin, DeepDraftFollowsTheFrame) {
    std::string pgm = "P5\n23 11\n4095\n";
    for (std::uint32_t i = 0; i < 23 * 11; ++i)
        pgm += {static_cast<char>(i * 37 % 4096 >> 8), static_cast<char>(i * 37 % 256)};
    const std::filesystem::path source = m_temp / "s.pgm", file = m_temp / "deep.jp2";
    write_bytes(source, pgm);
    if (!run_tool("opj_compress -n 3 -i " + quoted(source) + " -o " + quoted(file)))
        GTEST_SKIP() << "no opj_compress";
    LoadOptions ask;
    ask.want_deep = true;
    g_answer[0] = 6;
    g_answer[1] = 3;
    HarnessServices::basic_query() = &kDraftHost;
    const LoadResult loaded = load_with(api(), file, ask);
    ASSERT_EQ(loaded.result, VT_OK);
    EXPECT_EQ(loaded.frames[0].width, 6u);
    EXPECT_EQ(loaded.deep.width, 6u);
    EXPECT_EQ(loaded.deep.height, 3u);
    EXPECT_EQ(loaded.frames[0].pixels, rounded(loaded.deep));
}

// --- 9 to 16 bits per component: OpenJPEG's lossless files of ImageMagick's 16-bit PAMs
// (opj_compress reads 16-bit PNGs inexactly) and of a 12-bit PGM load at 16 bits as drawn and as
// opj_decompress gives them, beside the unchanged 8-bit frame that is their rounding; saved at
// 16 bits they come back sample for sample.
struct DeepJp2k {
    const char* name;
    const char* magick;  // ImageMagick's arguments that draw it; null: a 12-bit PGM
    const char* decoded; // what opj_decompress writes: "png", or "pgm" at the file's precision
    std::uint32_t channels, bits;
};

const DeepJp2k kDeepJp2ks[] = {
    {"rgb", "-size 37x23 gradient:'#0102ff-#fefd00' -seed 7 -attenuate 0.3 +noise Uniform", "png",
     4, 16},
    {"rgba", "-size 29x19 radial-gradient:'rgba(255,200,0,1)-rgba(0,0,255,0.25)'", "png", 4, 16},
    {"grey alpha",
     "-size 31x17 gradient:black-white -colorspace Gray -alpha set -channel A -fx 'i/w' +channel",
     "png", 2, 16},
    {"12-bit grey", nullptr, "pgm", 2, 12},
};

TEST_F(Jp2kPlugin, DeepComponentsLoadAndSaveBitExact) {
    LoadOptions ask;
    ask.want_deep = true;
    for (const DeepJp2k& c : kDeepJp2ks) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path source = m_temp / (c.magick ? "source.pam" : "source.pgm");
        if (c.magick != nullptr) {
            if (!run_tool(std::string("convert ") + c.magick + " -depth 16 PAM:" + quoted(source)))
                GTEST_SKIP() << "no ImageMagick";
        } else {
            std::string pgm = "P5\n23 11\n4095\n";
            for (std::uint32_t i = 0; i < 23 * 11; ++i)
                pgm += {static_cast<char>(i * 37 % 4096 >> 8), static_cast<char>(i * 37 % 256)};
            write_bytes(source, pgm);
        }
        const std::filesystem::path file = m_temp / "deep.jp2";
        if (!run_tool("opj_compress -n 4 -i " + quoted(source) + " -o " + quoted(file)))
            GTEST_SKIP() << "no opj_compress";
        const std::vector<std::uint16_t> drawn = magick_rgba16(source);
        const LoadResult plain = load_with(api(), file);
        const LoadResult loaded = load_with(api(), file, ask);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.frames[0].pixels, plain.frames[0].pixels);
        EXPECT_EQ(loaded.frames[0].pixels, rounded(loaded.deep));
        ASSERT_EQ(loaded.deep.channels, c.channels);
        EXPECT_EQ(loaded.deep.bits, c.bits);
        EXPECT_EQ(deep_rgba(loaded.deep), drawn);
        const std::filesystem::path outside = m_temp / (std::string("opj.") + c.decoded);
        ASSERT_TRUE(run_tool("opj_decompress -i " + quoted(file) + " -o " + quoted(outside)));
        EXPECT_EQ(magick_rgba16(outside), drawn);

        for (const char* name : {"saved.jp2", "saved.j2k"}) {
            const std::filesystem::path saved = m_temp / name;
            const SaveResult result = save_with(api(), saved, {loaded.frames[0]}, 0, &loaded.deep);
            ASSERT_EQ(result.result, VT_OK);
            EXPECT_TRUE(result.deep_written);
            const LoadResult again = load_with(api(), saved, ask);
            EXPECT_EQ(again.deep.samples, loaded.deep.samples);
            EXPECT_EQ(again.deep.bits, 16u);
            EXPECT_EQ(again.frames[0].pixels, loaded.frames[0].pixels);
            ASSERT_TRUE(run_tool("opj_decompress -i " + quoted(saved) + " -o " + quoted(outside)));
            EXPECT_EQ(magick_rgba16(outside), drawn);
        }
    }
    EXPECT_EQ(check_with(api().check_save, u".jp2").deep_bits, 16);
}

// Pillow's 16- and 9-bit files load at 16 bits as opj_decompress's PGM at their precision.
TEST_F(Jp2kPlugin, ConformanceFilesOfMoreThanEightBitsLoadDeep) {
    VT_TESTDATA_OR_SKIP(folder, "pillow-testimages/jpeg2000");
    LoadOptions ask;
    ask.want_deep = true;
    for (const auto& [name, bits] :
         {std::pair{"16bit.cropped.j2k", 16u}, std::pair{"16bit.cropped.jp2", 16u},
          std::pair{"9bit.j2k", 9u}}) {
        SCOPED_TRACE(name);
        const std::filesystem::path outside = m_temp / "opj.pgm";
        if (!run_tool("opj_decompress -i " + quoted(folder / name) + " -o " + quoted(outside)))
            GTEST_SKIP() << "no opj_decompress";
        const LoadResult loaded = load_with(api(), folder / name, ask);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.deep.bits, bits);
        EXPECT_EQ(deep_rgba(loaded.deep), magick_rgba16(outside));
        EXPECT_EQ(loaded.frames[0].pixels, rounded(loaded.deep));
    }
}

} // namespace
} // namespace vt::test
