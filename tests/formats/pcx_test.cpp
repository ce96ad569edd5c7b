#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/formats/format_conformance.h"

namespace vt::test {
namespace {

// A 128-byte header; `palette` fills the header's 16 colours.
std::string pcx(std::uint32_t w, std::uint32_t h, std::uint32_t bits, std::uint32_t planes,
                std::uint32_t bytes_per_line, const std::string& palette = {}) {
    std::string s = {'\x0a', '\x05', '\x01', static_cast<char>(bits)};
    for (const std::uint32_t v : {0u, 0u, w - 1, h - 1, 300u, 300u})
        le16(s, v);
    s += (palette + std::string(48, '\0')).substr(0, 48);
    s += '\0';
    s += static_cast<char>(planes);
    le16(s, bytes_per_line);
    le16(s, 1);
    return s + std::string(58, '\0');
}

template <std::size_t N>
std::string bin(const char (&text)[N]) {
    return std::string(text, N - 1);
}

std::string header(std::uint32_t width, std::uint32_t height) {
    if (width > 65535 || height > 65535)
        return {};
    return pcx(width, height, 8, 3, width + (width & 1)) + "abc";
}

int corpus(const std::filesystem::path& folder) {
    return magick_corpus(folder, ".pcx",
                         {"", "-alpha off", "-alpha off -type Palette", "-alpha off -colors 16",
                          "-alpha off -monochrome", "-colorspace Gray -alpha off"});
}

VT_FORMAT_CONFORMANCE(Pcx, FormatRow{.plugin = "fmx_PCX",
                                     .extension = ".pcx",
                                     .header = header,
                                     .reference = magick_frame,
                                     .make_corpus = corpus,
                                     .compared = 6});

class PcxPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_PCX"); }
};

TEST_F(PcxPlugin, PlanarAndPackedLayoutsDecode) {
    const std::string palette = bin("\x00\x00\x00\xff\x00\x00\x00\xff\x00\x00\x00\xff");
    const std::uint32_t r = bgrt(255, 0, 0);
    const std::uint32_t g = bgrt(0, 255, 0);
    const std::uint32_t b = bgrt(0, 0, 255);
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::uint32_t> pixels;
    } cases[] = {
        // Index bits 0 and 1 in two planes: 1, 2, 3, 0.
        {"two planes of one bit",
         pcx(4, 1, 1, 2, 2, palette) + bin("\xa0\x00\x60\x00"),
         {r, g, b, bgrt(0, 0, 0)}},
        {"two bits packed",
         pcx(4, 1, 2, 1, 2, palette) + bin("\xc1\x6c\x00"),
         {r, g, b, bgrt(0, 0, 0)}},
        {"a run into the next line", pcx(2, 2, 8, 1, 2) + "\xc4\x07",
         std::vector(4, bgrt(7, 7, 7))},
        {"empty palette, black and white",
         pcx(2, 1, 1, 1, 2) + bin("\x80\x00"),
         {bgrt(255, 255, 255), bgrt(0, 0, 0)}},
    };
    for (const auto& c : cases) {
        const LoadResult loaded = load_bytes(c.bytes);
        ASSERT_EQ(loaded.result, VT_OK) << c.what;
        EXPECT_EQ(loaded.frames[0].pixels, c.pixels) << c.what;
        EXPECT_EQ(phys_text(loaded.frames[0]), "300 300 in") << c.what;
    }
}

TEST_F(PcxPlugin, HostileHeadersAreRefused) {
    expect_results({
        {"line shorter than the picture", pcx(9, 1, 8, 1, 8) + "abcdefgh", VT_ERR_INVALID_DATA},
        {"no planes", pcx(1, 1, 8, 0, 2) + "ab", VT_ERR_INVALID_DATA},
        {"eight bits in two planes", pcx(1, 1, 8, 2, 2) + "abcd", VT_ERR_NOT_IMPLEMENTED},
        {"a run at the end", pcx(3, 1, 8, 3, 4) + "\xcc", VT_ERR_READ},
        {"cut header", pcx(3, 1, 8, 3, 4).substr(0, 40), VT_ERR_READ},
    });
}

} // namespace
} // namespace vt::test
