#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

// One 32-bit bitmap image claiming width x height, its pixels left out.
std::string header(std::uint32_t width, std::uint32_t height) {
    std::string bmp;
    for (const std::uint32_t v : {40u, width, 2 * height})
        le32(bmp, v);
    le16(bmp, 1);
    le16(bmp, 32);
    bmp += std::string(24, '\0');
    std::string out;
    for (const std::uint32_t v : {0u, 1u, 1u})
        le16(out, v);
    out += static_cast<char>(width & 0xFF);
    out += static_cast<char>(height & 0xFF);
    out += std::string(2, '\0');
    le16(out, 1);
    le16(out, 32);
    le32(out, static_cast<std::uint32_t>(bmp.size()));
    le32(out, 22);
    return out + bmp;
}

// ImageMagick's decode of the file's first image, the largest in the files made here.
std::optional<Frame> magick_first(const std::filesystem::path& file) {
    return decoded_by("sh -c 'convert \"$0[0]\" PNG32:\"$1\"'", file);
}

// ImageMagick's icons: sizes 48 (a bitmap), 32 and 16; and 256 (PNG-compressed) with 16.
void make_corpus(const std::filesystem::path& folder) {
    magick_sources(folder);
    for (const char* source : {"opaque", "alpha"}) {
        const std::filesystem::path png = folder / (std::string(source) + ".png");
        EXPECT_TRUE(run_tool("convert " + quoted(png) + " -define icon:auto-resize=48,32,16 " +
                             quoted(folder / source) + ".ico"));
        EXPECT_TRUE(run_tool("convert " + quoted(png) + " -define icon:auto-resize=256,16 " +
                             quoted(folder / source) + "-256.ico"));
    }
}

VT_FORMAT_CONFORMANCE(Ico, FormatRow{.plugin = "fmx_ICO",
                                     .extension = ".ico",
                                     .header = header,
                                     .reference = magick_first,
                                     .corpus_extension = ".ico",
                                     .compared = 4,
                                     .cut_keeps_whole_frames = true,
                                     .make_corpus_in = make_corpus,
                                     .adds_sizes = true});

class IcoPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_ICO"); }
};

// A large picture saves as 256, 48, 32 and 16 with its aspect, and loads back largest first.
TEST_F(IcoPlugin, SavesTheIconSizesLargestFirst) {
    const std::string file = m_temp / "sizes.ico";
    ASSERT_EQ(save_with(api(), file, {make_picture(600, 300, true)}).result, VT_OK);
    const LoadResult loaded = load_with(api(), file);
    ASSERT_EQ(loaded.result, VT_OK);
    ASSERT_EQ(loaded.frames.size(), 4u);
    const std::uint32_t sides[][2] = {{256, 128}, {48, 24}, {32, 16}, {16, 8}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(loaded.frames[i].width, sides[i][0]) << i;
        EXPECT_EQ(loaded.frames[i].height, sides[i][1]) << i;
    }
}

// A cursor is one image with its hotspot: an option wins over the hotspot the picture kept (a
// loaded cursor's), the corner without either; it follows a reduction to 256. ImageMagick reads
// the cursor as the picture.
TEST_F(IcoPlugin, CursorsKeepOneImageAndTheirHotspot) {
    constexpr std::uint32_t kHot = VT_TAG('H', 'O', 'T', 'S');
    const struct {
        std::uint32_t width, height;
        std::vector<std::uint8_t> kept; // the picture's hotspot chunk
        const char *option_x, *option_y;
        std::uint32_t hot_x, hot_y, saved_width, saved_height;
    } cases[] = {
        {32, 32, {}, nullptr, nullptr, 0, 0, 32, 32},
        {31, 20, {5, 0, 7, 0}, nullptr, nullptr, 5, 7, 31, 20},
        {31, 20, {5, 0, 7, 0}, "9", nullptr, 9, 7, 31, 20},
        {31, 20, {}, "400", "400", 30, 19, 31, 20},
        {600, 300, {}, "300", "150", 128, 64, 256, 128},
    };
    const bool magick = run_tool("convert -version");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        HarnessServices::state().clear();
        if (c.option_x != nullptr)
            HarnessServices::set_state(u"fmx_ICO.hotspot_x", c.option_x);
        if (c.option_y != nullptr)
            HarnessServices::set_state(u"fmx_ICO.hotspot_y", c.option_y);
        Frame picture = make_picture(c.width, c.height, true);
        if (!c.kept.empty())
            picture.chunks[kHot] = c.kept;
        const std::filesystem::path file = m_temp / "x.cur";
        ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        const std::string bytes = read_bytes(file);
        ASSERT_GE(bytes.size(), 22u);
        EXPECT_EQ(bytes.substr(2, 4), std::string("\2\0\1\0", 4)); // a cursor of one image
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_EQ(loaded.frames.size(), 1u);
        const std::vector<std::uint8_t> hot = {
            static_cast<std::uint8_t>(c.hot_x), static_cast<std::uint8_t>(c.hot_x >> 8),
            static_cast<std::uint8_t>(c.hot_y), static_cast<std::uint8_t>(c.hot_y >> 8)};
        EXPECT_EQ(loaded.frames[0].chunks.at(kHot), hot);
        EXPECT_EQ(loaded.frames[0].width, c.saved_width);
        EXPECT_EQ(loaded.frames[0].height, c.saved_height);
        if (c.saved_width == c.width) {
            EXPECT_EQ(max_difference(loaded.frames[0], picture), 0);
        }
        if (magick) {
            const std::optional<Frame> outside = magick_first(file);
            ASSERT_TRUE(outside.has_value());
            EXPECT_EQ(max_difference(*outside, loaded.frames[0]), 0);
        }
    }
    HarnessServices::state().clear();
    EXPECT_EQ(check_with(api().check_save, u".cur").level, 100);
}

} // namespace
} // namespace vt::test
