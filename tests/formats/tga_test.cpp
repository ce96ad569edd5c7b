#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/formats/format_conformance.h"

namespace vt::test {
namespace {

// An 18-byte header; `map` is {first, length, entry bits} when there is a colour map.
std::string tga(std::uint32_t type, std::uint32_t w, std::uint32_t h, std::uint32_t depth,
                std::uint32_t descriptor, std::vector<std::uint32_t> map = {}) {
    std::string s;
    s += '\0';
    s += static_cast<char>(map.empty() ? 0 : 1);
    s += static_cast<char>(type);
    le16(s, map.empty() ? 0 : map[0]);
    le16(s, map.empty() ? 0 : map[1]);
    s += static_cast<char>(map.empty() ? 0 : map[2]);
    for (const std::uint32_t v : {0u, 0u, w, h})
        le16(s, v);
    s += static_cast<char>(depth);
    s += static_cast<char>(descriptor);
    return s;
}

// A literal with its embedded NULs.
template <std::size_t N>
std::string bin(const char (&text)[N]) {
    return std::string(text, N - 1);
}

std::string header(std::uint32_t width, std::uint32_t height) {
    return width > 65535 || height > 65535 ? std::string() : tga(2, width, height, 24, 0) + "abc";
}

// A version 2.0 extension area with `type` as its attributes type, and the footer.
std::string footer(std::size_t at, std::uint8_t type) {
    std::string s;
    le16(s, 495);
    s += std::string(492, '\0');
    s += static_cast<char>(type);
    le32(s, static_cast<std::uint32_t>(at));
    le32(s, 0);
    return s + std::string("TRUEVISION-XFILE.\0", 18);
}

int corpus(const std::filesystem::path& folder) {
    return magick_corpus(folder, ".tga",
                         {"-compress None", "-compress RLE", "-alpha off -compress None",
                          "-alpha off -compress RLE", "-alpha off -type Palette",
                          "-alpha off -type Palette -compress RLE", "-colorspace Gray",
                          "-alpha off -flip -orient TopLeft"});
}

VT_FORMAT_CONFORMANCE(Tga, FormatRow{.plugin = "fmx_TGA",
                                     .extension = ".tga",
                                     .header = header,
                                     .reference = magick_frame,
                                     .make_corpus = corpus,
                                     .compared = 8});

class TgaPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_TGA"); }
};

TEST_F(TgaPlugin, StoredFormsDecode) {
    const std::uint32_t red = bgrt(255, 0, 0);
    const std::uint32_t blue = bgrt(0, 0, 255);
    const std::string bgra = bin("\x00\x00\xff\x80\xff\x00\x00\xff");
    const std::string pair = tga(2, 2, 1, 32, 8) + bgra;
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::uint32_t> pixels;
    } cases[] = {
        {"16-bit with its alpha bit",
         tga(2, 2, 1, 16, 1) + std::string("\x00\xfc\x1f\x00", 4),
         {red, bgrt(0, 0, 255, 255)}},
        {"top-down, right to left",
         tga(3, 2, 2, 8, 0x30) + std::string("\x01\x02\x03\x04", 4),
         {bgrt(2, 2, 2), bgrt(1, 1, 1), bgrt(4, 4, 4), bgrt(3, 3, 3)}},
        {"mapped from index 5",
         tga(1, 2, 1, 8, 0, {5, 2, 24}) + bin("\x00\x00\xff\xff\x00\x00\x06\x05"),
         {blue, red}},
        {"run crossing rows",
         tga(11, 2, 2, 8, 0x20) + std::string("\x83\x07", 2),
         {bgrt(7, 7, 7), bgrt(7, 7, 7), bgrt(7, 7, 7), bgrt(7, 7, 7)}},
        {"alpha", pair, {bgrt(255, 0, 0, 127), blue}},
        {"grey and alpha",
         tga(3, 2, 1, 16, 8) + bin("\x40\xff\xc0\x00"),
         {bgrt(64, 64, 64), bgrt(192, 192, 192, 255)}},
        {"grey and alpha, run",
         tga(11, 2, 1, 16, 0x28) + bin("\x81\x40\x80"),
         {bgrt(64, 64, 64, 127), bgrt(64, 64, 64, 127)}},
        {"alpha type 0 means no alpha", pair + footer(pair.size(), 0), {red, blue}},
        {"premultiplied alpha", pair + footer(pair.size(), 4), {bgrt(255, 0, 0, 127), blue}},
    };
    for (const auto& c : cases) {
        const LoadResult loaded = load_bytes(c.bytes);
        ASSERT_EQ(loaded.result, VT_OK) << c.what;
        EXPECT_EQ(loaded.frames[0].pixels, c.pixels) << c.what;
    }
}

// GIMP's files in every origin and coding match Pillow's reference pictures exactly.
TEST_F(TgaPlugin, PillowCommonSetMatchesItsReferences) {
    VT_TESTDATA_OR_SKIP(folder, "pillow-testimages/tga/common");
    int compared = 0;
    for (const char* kind : {"l", "la", "p", "rgb", "rgba"}) {
        const auto reference = png_frame(folder / ("200x32_" + std::string(kind) + ".png"));
        ASSERT_TRUE(reference) << kind;
        for (const char* form : {"bl_raw", "bl_rle", "tl_raw", "tl_rle"}) {
            const std::string name = "200x32_" + std::string(kind) + "_" + form + ".tga";
            const LoadResult loaded = load_with(api(), (folder / name).string());
            ASSERT_EQ(loaded.result, VT_OK) << name;
            EXPECT_EQ(max_difference(loaded.frames.at(0), *reference), 0) << name;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 20);
}

TEST_F(TgaPlugin, HostileFilesAreRefused) {
    expect_results({
        {"index beyond the map", tga(1, 1, 1, 8, 0, {0, 1, 24}) + "abc\x01", VT_ERR_INVALID_DATA},
        {"index below the first", tga(1, 1, 1, 8, 0, {1, 1, 24}) + bin("abc\x00"),
         VT_ERR_INVALID_DATA},
        {"Huffman coded", tga(32, 1, 1, 8, 0) + "x", VT_ERR_NOT_IMPLEMENTED},
        {"grey of 24 bits", tga(3, 1, 1, 24, 0) + "xyz", VT_ERR_CORRUPT_OR_UNSUPPORTED},
        {"run past the data", tga(10, 300, 1, 24, 0) + "\xffxyz\xff", VT_ERR_READ},
        {"map beyond the file", tga(1, 1, 1, 8, 0, {0, 256, 24}) + "abc", VT_ERR_READ},
    });
}

} // namespace
} // namespace vt::test
