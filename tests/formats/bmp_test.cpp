#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/formats/format_conformance.h"

namespace vt::test {
namespace {

constexpr std::uint32_t kClear = 0xFF000000u; // what an RLE stream leaves out

// A BMP with a 40-byte header; `pixels` is the raw pixel data as stored.
std::string make_bmp(std::int32_t width, std::int32_t height, std::uint32_t bpp,
                     std::uint32_t compression, const std::vector<std::uint32_t>& palette,
                     std::string_view pixels) {
    std::string head = "BM";
    const auto size = static_cast<std::uint32_t>(pixels.size());
    const auto colours = static_cast<std::uint32_t>(palette.size());
    const std::uint32_t offset = 14 + 40 + colours * 4;
    for (const std::uint32_t v : {offset + size, 0u, offset, 40u, static_cast<std::uint32_t>(width),
                                  static_cast<std::uint32_t>(height), 1u | bpp << 16, compression,
                                  size, 2835u, 2835u, colours, 0u})
        le32(head, v); // planes and bit count share a word
    for (const std::uint32_t p : palette)
        le32(head, p);
    return head + std::string(pixels);
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values)
        out += static_cast<char>(v);
    return out;
}

const std::vector<std::uint32_t> kPalette = {bgrt(0, 0, 0), bgrt(255, 0, 0), bgrt(0, 255, 0),
                                             bgrt(0, 0, 255)};

std::string header(std::uint32_t width, std::uint32_t height) {
    return make_bmp(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), 24, 0, {},
                    "abc");
}

// The suite's renderings of its good files; the ones without a rendering must load too.
std::optional<Frame> rendering(const std::filesystem::path& file) {
    if (file.parent_path().filename() != "g")
        return std::nullopt;
    auto png = file.parent_path().parent_path() / "html" / file.filename();
    png.replace_extension(".png");
    return std::filesystem::exists(png) ? png_frame(png) : Frame{};
}

// The renderings round 5- and 6-bit samples their own way.
VT_FORMAT_CONFORMANCE(Bmp, FormatRow{.plugin = "fmx_BMP",
                                     .extension = ".bmp",
                                     .header = header,
                                     .reference = rendering,
                                     .corpus = "bmpsuite",
                                     .corpus_extension = ".bmp",
                                     .compared = 23,
                                     .tolerance = 1});

class BmpPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_BMP"); }
};

TEST_F(BmpPlugin, BadSuiteFilesFailWithTheirReason) {
    VT_TESTDATA_OR_SKIP(folder, "bmpsuite/b");
    // The rest are invalid data.
    const std::map<std::string, std::int32_t> other = {{"badfilesize.bmp", VT_ERR_READ},
                                                       {"shortfile.bmp", VT_ERR_READ},
                                                       {"badwidth.bmp", VT_ERR_DIMENSIONS},
                                                       {"reallybig.bmp", VT_ERR_DIMENSIONS}};
    int failed = 0;
    for (const auto& path : files_in(folder, ".bmp")) {
        const std::string name = path.filename().string();
        EXPECT_EQ(load_with(api(), path.string()).result,
                  other.contains(name) ? other.at(name) : VT_ERR_INVALID_DATA)
            << name;
        ++failed;
    }
    EXPECT_EQ(failed, 14);
}

TEST_F(BmpPlugin, QuestionableSuiteFilesNeverCrash) {
    VT_TESTDATA_OR_SKIP(folder, "bmpsuite/q");
    int decoded = 0;
    for (const auto& path : files_in(folder, ".bmp")) {
        const LoadResult loaded = load_with(api(), path.string());
        if (loaded.result == VT_OK) {
            ++decoded;
            EXPECT_EQ(loaded.frames.size(), 1u);
        } else {
            EXPECT_LT(loaded.result, 0) << path.filename();
        }
    }
    EXPECT_GE(decoded, 15);
}

TEST_F(BmpPlugin, OpaquePicturesAreSavedIn24BitsOthersIn32) {
    for (const bool transparent : {false, true}) {
        const std::string file = m_temp / "round.bmp";
        ASSERT_EQ(save_with(api(), file, {make_picture(3, 5, transparent)}).result, VT_OK);
        EXPECT_EQ(read_bytes(file)[28], transparent ? 32 : 24);
        EXPECT_EQ(phys_text(load_with(api(), file).frames.at(0)), "72 72 in");
    }
}

TEST_F(BmpPlugin, ProfileRoundTripsAndOneOutsideTheFileIsDropped) {
    constexpr std::uint32_t kIcc = VT_TAG('I', 'C', 'C', 'P');
    Frame picture = make_picture(5, 3, false);
    picture.chunks[kIcc] = block_bytes(300);
    const std::string file = m_temp / "icc.bmp";
    ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
    EXPECT_EQ(load_with(api(), file).frames.at(0).chunks[kIcc], picture.chunks[kIcc]);
    std::string stored = read_bytes(file);
    stored.replace(14 + 112, 4, std::string("\xf0\xff\0\0", 4)); // its offset: past the end
    const LoadResult loaded = load_bytes(stored);
    ASSERT_EQ(loaded.result, VT_OK);
    EXPECT_EQ(loaded.frames[0].pixels, picture.pixels);
    EXPECT_EQ(loaded.frames[0].chunks.count(kIcc), 0u);
}

TEST_F(BmpPlugin, PalettedRowsBottomUpAndTopDown) {
    // 3 x 2, 2 bits per pixel: rows of one byte padded to four.
    const std::string rows = bytes({0x1B, 0, 0, 0, 0xE4, 0, 0, 0});
    const std::vector<std::uint32_t> top = {bgrt(0, 0, 255), bgrt(0, 255, 0), bgrt(255, 0, 0)};
    const std::vector<std::uint32_t> bottom = {bgrt(0, 0, 0), bgrt(255, 0, 0), bgrt(0, 255, 0)};
    for (const std::int32_t height : {2, -2}) {
        std::vector<std::uint32_t> expected = height > 0 ? top : bottom;
        expected.insert(expected.end(), (height > 0 ? bottom : top).begin(),
                        (height > 0 ? bottom : top).end());
        EXPECT_EQ(load_bytes(make_bmp(3, height, 2, 0, kPalette, rows)).frames.at(0).pixels,
                  expected);
    }
}

TEST_F(BmpPlugin, RleStreamsDecodeRunsLiteralsAndSkips) {
    // RLE8, 4 x 3: the bottom row in runs, a skip over the middle row, a literal on top.
    const std::string rle8 = bytes({2, 1, 1, 3, 1, 2, 0, 0, /* runs, end of line */
                                    0, 2, 1, 1,             /* delta: one right, one up */
                                    0, 3, 3, 2, 1, 0,       /* literal of three, padded */
                                    0, 1});                 /* end */
    const LoadResult eight = load_bytes(make_bmp(4, 3, 8, 1, kPalette, rle8));
    ASSERT_EQ(eight.result, VT_OK);
    const std::uint32_t red = bgrt(255, 0, 0);
    const std::uint32_t green = bgrt(0, 255, 0);
    const std::uint32_t blue = bgrt(0, 0, 255);
    const std::vector<std::uint32_t> expected8 = {kClear, blue,   green,  red,    // top
                                                  kClear, kClear, kClear, kClear, // skipped
                                                  red,    red,    blue,   green};
    EXPECT_EQ(eight.frames[0].pixels, expected8);

    // RLE4, 6 x 1: a run alternating two colours, then a literal of three.
    const std::string rle4 = bytes({3, 0x12, 0, 3, 0x30, 0x30, 0, 1});
    const LoadResult four = load_bytes(make_bmp(6, 1, 4, 2, kPalette, rle4));
    ASSERT_EQ(four.result, VT_OK);
    const std::vector<std::uint32_t> expected4 = {red, green, red, blue, bgrt(0, 0, 0), blue};
    EXPECT_EQ(four.frames[0].pixels, expected4);
}

TEST_F(BmpPlugin, HostileFilesAreRefused) {
    expect_results({
        {"not a bmp", "GIF89a and then some", VT_ERR_CORRUPT_OR_UNSUPPORTED},
        {"header cut", std::string("BM\0\0\0\0", 6), VT_ERR_READ},
        {"huge RLE picture in a tiny file", make_bmp(10000, 10000, 8, 1, kPalette, bytes({0, 1})),
         VT_ERR_READ},
        {"run past the row end", make_bmp(4, 2, 8, 1, kPalette, bytes({5, 1, 0, 1})),
         VT_ERR_INVALID_DATA},
        {"literal past the row end",
         make_bmp(4, 2, 8, 1, kPalette, bytes({0, 5, 1, 1, 1, 1, 1, 0})), VT_ERR_INVALID_DATA},
        {"delta past the picture", make_bmp(4, 2, 8, 1, kPalette, bytes({0, 2, 0, 9, 1, 1})),
         VT_ERR_INVALID_DATA},
        {"rows past the picture", make_bmp(2, 1, 8, 1, kPalette, bytes({2, 1, 0, 0, 2, 1})),
         VT_ERR_INVALID_DATA},
        {"literal cut short", make_bmp(8, 1, 8, 1, kPalette, bytes({0, 6, 1, 1})), VT_ERR_READ},
        {"index beyond the palette", make_bmp(1, 1, 8, 0, kPalette, bytes({9, 0, 0, 0})),
         VT_ERR_INVALID_DATA},
        {"embedded png", make_bmp(1, 1, 24, 5, {}, "1234"), VT_ERR_NOT_IMPLEMENTED},
    });
}

} // namespace
} // namespace vt::test
