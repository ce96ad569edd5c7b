#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

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

} // namespace
} // namespace vt::test
