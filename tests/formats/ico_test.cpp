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

} // namespace
} // namespace vt::test
