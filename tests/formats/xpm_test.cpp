#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/formats/format_conformance.h"

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
