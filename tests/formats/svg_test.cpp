#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

std::string svg(const std::string& size, const std::string& body) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" " + size + ">" + body + "</svg>";
}

const std::string kShapes =
    "<defs><linearGradient id=\"g\"><stop offset=\"0\" stop-color=\"#f80\"/><stop offset=\"1\" "
    "stop-color=\"#08f\" stop-opacity=\"0.3\"/></linearGradient></defs><rect x=\"2\" y=\"3\" "
    "width=\"40\" height=\"20\" fill=\"url(#g)\"/><circle cx=\"30\" cy=\"20\" r=\"9\" "
    "fill=\"green\" opacity=\"0.6\"/>";

std::optional<Frame> rsvg_convert(const std::filesystem::path& file) {
    return decoded_by("sh -c 'rsvg-convert -o \"$1\" \"$0\"'", file);
}

void make_corpus(const std::filesystem::path& folder) {
    write_bytes(folder / "sized.svg", svg("width=\"48\" height=\"32\"", kShapes));
    write_bytes(folder / "viewbox.svg", svg("viewBox=\"0 0 45 30\"", kShapes));
    write_bytes(folder / "units.svg", svg("width=\"1in\" height=\"0.5in\"", kShapes));
}

VT_FORMAT_CONFORMANCE(Svg, FormatRow{.plugin = "fmx_SVG",
                                     .extension = ".svg",
                                     .header = nullptr,
                                     .reference = rsvg_convert,
                                     .corpus_extension = ".svg",
                                     .compared = 3,
                                     .tolerance = 1,
                                     .make_corpus_in = make_corpus,
                                     .sample = [](const std::filesystem::path& file) {
                                         write_bytes(file,
                                                     svg("width=\"24\" height=\"20\"", kShapes));
                                     }});

class SvgPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_SVG"); }
    void TearDown() override {
        HarnessServices::state().erase(u"fmx_SVG.scale");
        HarnessServices::state().erase(u"fmx_SVG.width");
    }
};

TEST_F(SvgPlugin, ScaleAndWidthSizeTheRendering) {
    const std::string document = svg("width=\"48\" height=\"32\"", kShapes);
    HarnessServices::set_state(u"fmx_SVG.scale", "250");
    const LoadResult scaled = load_bytes(document);
    ASSERT_EQ(scaled.result, VT_OK);
    EXPECT_EQ(scaled.frames[0].width, 120u);
    EXPECT_EQ(scaled.frames[0].height, 80u);
    HarnessServices::set_state(u"fmx_SVG.width", "96");
    const LoadResult wide = load_bytes(document);
    ASSERT_EQ(wide.result, VT_OK);
    EXPECT_EQ(wide.frames[0].width, 96u);
    EXPECT_EQ(wide.frames[0].height, 64u);
    // Nothing drawn stays transparent.
    EXPECT_EQ(wide.frames[0].pixels[0] >> 24, 255u);
}

} // namespace
} // namespace vt::test
