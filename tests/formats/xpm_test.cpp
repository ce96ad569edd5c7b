#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/utf.h"
#include "gfxcore/runtime.h"
#include "image/image_doc.h"
#include "plugins/load_save.h"
#include "plugins/state_store.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

std::string xpm(const std::string& values, const std::vector<std::string>& lines) {
    std::string s = "/* XPM */\nstatic char *x[] = {\n/* values */\n\"" + values + "\",\n";
    for (const std::string& l : lines)
        s += "\"" + l + "\",\n";
    return s + "};\n";
}

std::string header(std::uint32_t width, std::uint32_t height) {
    return xpm(std::to_string(width) + " " + std::to_string(height) + " 1 1", {"a c red"});
}

int corpus(const std::filesystem::path& folder) {
    return magick_corpus(folder, ".xpm", {"", "-alpha off", "-alpha off -colors 16"});
}

// XPM keeps a pixel either opaque or fully transparent.
VT_FORMAT_CONFORMANCE(Xpm, FormatRow{.plugin = "fmx_XPM",
                                     .extension = ".xpm",
                                     .header = header,
                                     .reference = magick_frame,
                                     .make_corpus = corpus,
                                     .compared = 3,
                                     .keeps_transparency = false});

class XpmPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_XPM"); }
};

TEST_F(XpmPlugin, ColourTablesAndBitmapsDecode) {
    const std::uint32_t none = 0xFF000000u;
    const std::uint32_t black = bgrt(0, 0, 0);
    const std::uint32_t white = bgrt(255, 255, 255);
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::uint32_t> pixels;
    } cases[] = {
        {"names, grey levels, None and the colour key first",
         xpm("4 1 4 2", {"aa c Light Blue", "bb m white c gray50", "cc s mask c None",
                         "dd g4 black g #fff", "aabbccdd"}),
         {bgrt(0xAD, 0xD8, 0xE6), bgrt(128, 128, 128), none, white}},
        {"twelve hex digits", xpm("1 1 1 1", {"x c #FFFF80000000", "x"}), {bgrt(255, 128, 0)}},
        {"XPM2", "! XPM2\n2 1 2 1\n. c #000000\n# c #0000FF\n.#\n", {black, bgrt(0, 0, 255)}},
        {"XBM bytes",
         "#define a_width 9\n#define a_height 1\nstatic char a_bits[] = {0x05, 0x01};",
         {black, white, black, white, white, white, white, white, black}},
        {"X10 shorts",
         "#define b_width 2\n#define b_height 1\nstatic short b_bits[] = {0x0002};",
         {white, black}},
    };
    for (const auto& c : cases) {
        const LoadResult loaded = load_bytes(c.bytes);
        ASSERT_EQ(loaded.result, VT_OK) << c.what;
        EXPECT_EQ(loaded.frames[0].pixels, c.pixels) << c.what;
    }
}

TEST_F(XpmPlugin, ImageMagickBitmapsDecodeAlike) {
    const std::filesystem::path folder = m_temp / "xbm";
    std::filesystem::create_directories(folder);
    if (magick_corpus(folder, ".xbm", {"-monochrome"}) == 0)
        GTEST_SKIP() << "no ImageMagick";
    const LoadResult loaded = load_with(api(), (folder / "0.xbm").string());
    ASSERT_EQ(loaded.result, VT_OK);
    EXPECT_EQ(max_difference(loaded.frames[0], *magick_frame(folder / "0.xbm")), 0);
}

// X bitmaps are written for black-and-white pictures (fully transparent pixels are the
// background) and load back alike here and in ImageMagick; other pictures are refused before
// the target is touched.
TEST_F(XpmPlugin, BlackAndWhitePicturesSaveAsBitmaps) {
    const std::uint32_t black = bgrt(0, 0, 0);
    const std::uint32_t white = bgrt(255, 255, 255);
    const std::uint32_t clear = bgrt(9, 9, 9, 255);
    const auto pattern = [&](std::uint32_t w, std::uint32_t h, std::uint32_t other) {
        Frame f{.width = w, .height = h};
        for (std::uint32_t i = 0; i < w * h; ++i)
            f.pixels.push_back((i * 7 + i / w) % 3 == 0 ? black : i % 2 == 0 ? white : other);
        return f;
    };
    const struct {
        const char* what;
        Frame picture;
        std::int32_t result;
    } cases[] = {
        {"black and white across byte ends", pattern(13, 5, white), VT_OK},
        {"black on a transparent ground", pattern(8, 3, clear), VT_OK},
        {"a grey pixel", pattern(4, 2, bgrt(128, 128, 128)), VT_ERR_IMAGE_MODE},
        {"a partly transparent pixel", pattern(4, 2, bgrt(0, 0, 0, 100)), VT_ERR_IMAGE_MODE},
    };
    const bool magick = run_tool("convert -version");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::filesystem::path file = m_temp / "1 b-w.xbm";
        std::filesystem::remove(file);
        ASSERT_EQ(save_with(api(), file, {c.picture}).result, c.result);
        if (c.result != VT_OK) {
            EXPECT_FALSE(std::filesystem::exists(file));
            continue;
        }
        EXPECT_TRUE(read_bytes(file).starts_with("#define image_1_b_w_width "));
        std::vector<std::uint32_t> expected = c.picture.pixels;
        for (std::uint32_t& p : expected)
            p = p == black ? black : white;
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.frames[0].pixels, expected);
        if (magick) {
            const std::optional<Frame> outside = magick_frame(file);
            ASSERT_TRUE(outside.has_value());
            EXPECT_EQ(outside->pixels, expected);
        }
    }
    EXPECT_EQ(check_with(api().check_save, u".xbm").level, 100);
}

// Through the host, a refused bitmap says why, after the host's own words.
TEST(XbmSave, ColourPictureIsRefusedWithTheReason) {
    char16_t why[128];
    ASSERT_TRUE(gfx::EngineStartup(why, 128));
    TempFolder tmp;
    plugins::StateStore store{tmp.sub16("state")};
    plugins::FilterRegistry::Options options;
    options.plugins_folder = base::utf8_to_utf16(VT_PLUGINS_DIR);
    options.data_root = tmp.path16();
    options.store = &store;
    plugins::FilterRegistry registry(options);
    Layer layer;
    std::memset(&layer, 0, sizeof(layer));
    ASSERT_NE(image::CreateBitmap(&layer.bitmap, 3, 2, image::kCreateMemory), 0);
    ASSERT_NE(image::LockBitmap(&layer.bitmap, 0), 0);
    std::fill_n(layer.bitmap.pixels, 6, 0x00FF0000u);
    image::UnlockBitmap(&layer.bitmap, 0);
    image::LoadStatus status;
    status.silent = 1;
    EXPECT_EQ(plugins::save_image(tmp.sub16("red.xbm"), &layer, 1, status, registry), 0);
    const std::string text = base::utf16_to_utf8(status.error_text.view());
    EXPECT_NE(text.find("image-mode is invalid"), std::string::npos) << text;
    EXPECT_NE(text.find("XBM holds only black and white"), std::string::npos) << text;
    EXPECT_FALSE(std::filesystem::exists(tmp / "red.xbm"));
    // A black-and-white one is written; its names come from the target's, not from the
    // temporary file the host writes first.
    ASSERT_NE(image::LockBitmap(&layer.bitmap, 0), 0);
    std::fill_n(layer.bitmap.pixels, 6, 0x00FFFFFFu);
    image::UnlockBitmap(&layer.bitmap, 0);
    EXPECT_GT(plugins::save_image(tmp.sub16("bw.xbm"), &layer, 1, status, registry), 0);
    EXPECT_TRUE(read_bytes(tmp / "bw.xbm").starts_with("#define bw_width 3\n"));
    image::release_layer(layer);
    gfx::EngineShutdown();
}

TEST_F(XpmPlugin, HostileFilesAreRefused) {
    expect_results({
        {"unknown colour", xpm("1 1 1 1", {"a c nocolour", "a"}), VT_ERR_INVALID_DATA},
        {"pixel key not in the table", xpm("1 1 1 1", {"a c red", "b"}), VT_ERR_INVALID_DATA},
        {"row too short", xpm("2 1 1 1", {"a c red", "a"}), VT_ERR_READ},
        {"nine characters a pixel", xpm("1 1 1 9", {"aaaaaaaaa c red", "aaaaaaaaa"}),
         VT_ERR_NOT_IMPLEMENTED},
        {"more colours than lines", xpm("1 1 99999999 1", {"a c red", "a"}), VT_ERR_READ},
        {"a huge bitmap in a tiny file",
         "#define a_width 15000\n#define a_height 15000\nstatic char a_bits[] = {0x00};",
         VT_ERR_READ},
    });
}

} // namespace
} // namespace vt::test
