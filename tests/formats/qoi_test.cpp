#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

std::string be32(std::uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

std::string qoi(std::uint32_t w, std::uint32_t h, int channels, int colour_space,
                const std::string& chunks) {
    return "qoif" + be32(w) + be32(h) + static_cast<char>(channels) +
           static_cast<char>(colour_space) + chunks + std::string(7, '\0') + '\1';
}

std::string header(std::uint32_t width, std::uint32_t height) {
    return qoi(width, height, 4, 0, {});
}

// The reference codec's own tool decodes what we read and write.
std::optional<Frame> qoiconv_frame(const std::filesystem::path& file) {
    if (!run_tool("command -v qoiconv"))
        return std::nullopt;
    return decoded_by("qoiconv", file);
}

int corpus(const std::filesystem::path& folder) {
    if (!run_tool("command -v qoiconv") || !run_tool("command -v convert"))
        return 0;
    magick_sources(folder);
    int made = 0;
    for (const char* name : {"opaque", "alpha"})
        made += run_tool("qoiconv " + quoted(folder / (std::string(name) + ".png")) + " " +
                         quoted(folder / (std::string(name) + ".qoi")));
    return made;
}

VT_FORMAT_CONFORMANCE(Qoi, FormatRow{.plugin = "fmx_QOI",
                                     .extension = ".qoi",
                                     .header = header,
                                     .reference = qoiconv_frame,
                                     .make_corpus = corpus,
                                     .compared = 2});

class QoiPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_QOI"); }
};

// Chunks: RGB(A) literals, an index hit, a difference, a luma difference and runs; the colour
// space byte comes back as markup and goes out again on save, and the channels follow the
// transparency.
TEST_F(QoiPlugin, ChunksDecodeAndTheColourSpaceTravels) {
    const std::uint32_t red = bgrt(200, 10, 20);
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::uint32_t> pixels;
        const char* space;
        char saved_channels;
    } cases[] = {
        {"RGB literal, run of two",
         qoi(3, 1, 3, 0, "\xFE\xC8\x0A\x14\xC1"),
         {red, red, red},
         "sRGB",
         3},
        {"linear, RGBA literal and a difference",
         qoi(2, 1, 4, 1, "\xFF\x0A\x14\x1E\x80\x7F"),
         {bgrt(10, 20, 30, 127), bgrt(11, 21, 31, 127)},
         "linear",
         4},
        {"luma difference, then an index hit of the first colour",
         qoi(3, 1, 3, 0, std::string("\xFE\x64\x64\x64\xA8\x88", 6) + static_cast<char>(17)),
         {bgrt(100, 100, 100), bgrt(108, 108, 108), bgrt(100, 100, 100)},
         "sRGB",
         3},
    };
    for (const auto& c : cases) {
        const LoadResult loaded = load_bytes(c.bytes);
        ASSERT_EQ(loaded.result, VT_OK) << c.what;
        EXPECT_EQ(loaded.frames[0].pixels, c.pixels) << c.what;
        EXPECT_TRUE(has_entry(loaded.frames[0], std::string("qoi.colorspace=") + c.space))
            << c.what;
        const std::string file = m_temp / "again.qoi";
        ASSERT_EQ(save_with(api(), file, loaded.frames).result, VT_OK) << c.what;
        const std::string again = read_bytes(file);
        ASSERT_GE(again.size(), 14u) << c.what;
        EXPECT_EQ(again[12], c.saved_channels) << c.what;
        EXPECT_EQ(again[13], std::string(c.space) == "linear" ? 1 : 0) << c.what;
        EXPECT_EQ(load_with(api(), file).frames.at(0).pixels, c.pixels) << c.what;
    }
}

// The reference codec writes the same bytes as the plug-in for the same picture.
TEST_F(QoiPlugin, SameBytesAsTheReferenceTool) {
    if (!run_tool("command -v qoiconv") || !run_tool("command -v convert"))
        GTEST_SKIP() << "no qoiconv or ImageMagick";
    magick_sources(m_temp.path());
    for (const char* name : {"opaque", "alpha"}) {
        SCOPED_TRACE(name);
        const std::filesystem::path png = m_temp / (std::string(name) + ".png");
        const std::filesystem::path theirs = m_temp / (std::string(name) + ".qoi");
        ASSERT_TRUE(run_tool("qoiconv " + quoted(png) + " " + quoted(theirs)));
        const LoadResult loaded = load_with(api(), theirs.string());
        ASSERT_EQ(loaded.result, VT_OK);
        const std::string ours = m_temp / (std::string(name) + "-ours.qoi");
        ASSERT_EQ(save_with(api(), ours, loaded.frames).result, VT_OK);
        EXPECT_EQ(read_bytes(ours), read_bytes(theirs));
    }
}

TEST_F(QoiPlugin, HostileFilesAreRefused) {
    expect_results({
        {"chunks stop before the last pixel", qoi(100, 1, 3, 0, "\xFE\x01\x02\x03\xC3"),
         VT_ERR_READ},
        {"a run cut by the end marker", qoi(63, 1, 3, 0, "\xC0"), VT_ERR_READ},
        {"five channels", qoi(1, 1, 5, 0, "\xC0"), VT_ERR_INVALID_DATA},
        {"colour space 2", qoi(1, 1, 3, 2, "\xC0"), VT_ERR_INVALID_DATA},
        {"cut header", std::string("qoif\0\0\0\1", 8), VT_ERR_READ},
        {"millions of pixels from a few runs", qoi(4000, 4000, 4, 0, std::string(100, '\xFD')),
         VT_ERR_READ},
    });
}

} // namespace
} // namespace vt::test
