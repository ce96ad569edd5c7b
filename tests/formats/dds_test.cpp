#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/formats/format_conformance.h"

namespace vt::test {
namespace {

// The magic and a 124-byte header; `format` is the pixel format's flags, code, bits and masks.
std::string dds(std::uint32_t w, std::uint32_t h, std::vector<std::uint32_t> format) {
    std::string s = "DDS ";
    for (const std::uint32_t v : {124u, 0x1007u, h, w, 0u, 0u, 1u})
        le32(s, v);
    s += std::string(44, '\0');
    le32(s, 32);
    format.resize(7, 0);
    for (const std::uint32_t v : format)
        le32(s, v);
    le32(s, 0x1000);
    return s + std::string(16, '\0');
}

// The DX10 header naming a DXGI format, as a 2D texture of one element.
std::string dxgi(std::uint32_t format) {
    std::string s;
    for (const std::uint32_t v : {format, 3u, 0u, 1u, 0u})
        le32(s, v);
    return s;
}

const std::vector<std::uint32_t> kBgra = {0x41, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000u};

std::string header(std::uint32_t width, std::uint32_t height) {
    return dds(width, height, kBgra) + "abcd";
}

int corpus(const std::filesystem::path& folder) {
    return magick_corpus(folder, ".dds",
                         {"-define dds:compression=none -define dds:mipmaps=0",
                          "-alpha off -define dds:compression=none",
                          "-alpha off -define dds:compression=dxt1",
                          "-define dds:compression=dxt5 -define dds:mipmaps=0"});
}

// ImageMagick rounds the interpolated block colours its own way.
VT_FORMAT_CONFORMANCE(Dds, FormatRow{.plugin = "fmx_DDS",
                                     .extension = ".dds",
                                     .header = header,
                                     .reference = magick_frame,
                                     .make_corpus = corpus,
                                     .compared = 4,
                                     .tolerance = 2});

class DdsPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_DDS"); }
    void TearDown() override { HarnessServices::state().clear(); }
};

TEST_F(DdsPlugin, BlockCompressedSavesDecodeAlikeHereAndElsewhere) {
    const Frame picture = smooth_picture(37, 21, true);
    for (const char* compression : {"1", "3"}) {
        SCOPED_TRACE(compression);
        HarnessServices::set_state(u"fmx_DDS.compression", compression);
        const std::string file = m_temp / "a.dds";
        ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        if (*compression == '3') {
            EXPECT_LT(mean_difference(loaded.frames[0].pixels, picture.pixels), 8.0);
        }
        const std::optional<Frame> outside = magick_frame(file);
        if (outside) {
            EXPECT_LE(max_difference(loaded.frames[0], *outside), 2);
        }
    }
}

// Pillow's files of every block kind against its reference pictures: exact where both round
// alike; BC6H (HDR clipped to 0..1) and signed BC5 are rounded to nearest here.
TEST_F(DdsPlugin, PillowFilesMatchTheirReferences) {
    VT_TESTDATA_OR_SKIP(folder, "pillow-testimages/dds");
    const std::pair<const char*, double> cases[] = {
        {"bc7-argb-8bpp_MipMaps-1", 99},
        {"DXGI_FORMAT_BC7_UNORM_SRGB", 99},
        {"ati1", 99},
        {"bc4_unorm", 99},
        {"bc5_unorm", 99},
        {"bc5s", 50},
        {"bc6h", 50},
        {"bc6h_sf", 50},
        {"uncompressed_l", 99},
        {"uncompressed_la", 99},
    };
    for (const auto& [name, least] : cases) {
        SCOPED_TRACE(name);
        const LoadResult loaded =
            load_with(api(), (folder / (std::string(name) + ".dds")).string());
        ASSERT_EQ(loaded.result, VT_OK);
        const std::optional<Frame> expected = png_frame(folder / (std::string(name) + ".png"));
        ASSERT_TRUE(expected);
        const Frame& got = loaded.frames.at(0);
        ASSERT_EQ(got.pixels.size(), expected->pixels.size());
        double squares = 0;
        for (std::size_t i = 0; i < got.pixels.size(); ++i)
            for (int shift = 0; shift < 32; shift += 8) {
                const double d = double((got.pixels[i] >> shift) & 0xFF) -
                                 double((expected->pixels[i] >> shift) & 0xFF);
                squares += d * d;
            }
        const auto samples = static_cast<double>(4 * got.pixels.size());
        EXPECT_GE(squares == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * samples / squares), least);
    }
    // The same blocks under their other names.
    for (const char* name : {"bc4u", "ati2", "bc5_snorm", "bc5s"})
        EXPECT_EQ(load_with(api(), (folder / (std::string(name) + ".dds")).string()).result, VT_OK)
            << name;
}

TEST_F(DdsPlugin, FormatsOfFewerBitsDecode) {
    const struct {
        const char* what;
        std::string bytes;
        std::uint32_t pixel;
    } cases[] = {
        {"16-bit 565", dds(1, 1, {0x40, 0, 16, 0xF800, 0x7E0, 0x1F}) + std::string("\x1f\xf8", 2),
         bgrt(255, 0, 255)},
        {"8-bit luminance", dds(1, 1, {0x20000, 0, 8, 0xFF}) + "\x80", bgrt(128, 128, 128)},
        {"BC1 transparent index",
         dds(1, 1, {0x4, 0x31545844}) + std::string("\x00\x00\xff\xff\x03\x00\x00\x00", 8),
         0xFF000000u},
    };
    for (const auto& c : cases) {
        const LoadResult loaded = load_bytes(c.bytes);
        ASSERT_EQ(loaded.result, VT_OK) << c.what;
        EXPECT_EQ(max_difference(loaded.frames[0].pixels[0], c.pixel), 0) << c.what;
    }
    expect_results({
        {"unknown DXGI format", dds(1, 1, {0x4, 0x30315844}) + std::string(20, 'b'),
         VT_ERR_NOT_IMPLEMENTED},
        {"BC7 blocks missing", dds(8, 8, {0x4, 0x30315844}) + dxgi(98) + std::string(63, 'x'),
         VT_ERR_READ},
        {"mask beyond the bits", dds(1, 1, {0x40, 0, 8, 0x1FF}) + "x", VT_ERR_INVALID_DATA},
        {"blocks missing", dds(8, 8, {0x4, 0x35545844}) + std::string(63, 'x'), VT_ERR_READ},
    });
}

} // namespace
} // namespace vt::test
