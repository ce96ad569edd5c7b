#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/formats/format_test_util.h"
#include "tests/formats/png_reference.h"

namespace vt::test {
namespace {

constexpr std::uint32_t kClear = 0xFF000000u; // what an RLE stream leaves out

// A BMP with a 40-byte header; `pixels` is the raw pixel data as stored.
std::string make_bmp(std::int32_t width, std::int32_t height, std::uint32_t bpp,
                     std::uint32_t compression, const std::vector<std::uint32_t>& palette,
                     std::string_view pixels) {
    std::string head = "BM";
    const std::uint32_t offset = 14 + 40 + static_cast<std::uint32_t>(palette.size()) * 4;
    le32(head, offset + static_cast<std::uint32_t>(pixels.size()));
    le32(head, 0);
    le32(head, offset);
    le32(head, 40);
    le32(head, static_cast<std::uint32_t>(width));
    le32(head, static_cast<std::uint32_t>(height));
    le16(head, 1);
    le16(head, bpp);
    le32(head, compression);
    le32(head, static_cast<std::uint32_t>(pixels.size()));
    le32(head, 2835);
    le32(head, 2835);
    le32(head, static_cast<std::uint32_t>(palette.size()));
    le32(head, 0);
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

class BmpPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_BMP"); }

    LoadResult load_bytes(std::string_view file_bytes) {
        const std::string file = m_temp / "made.bmp";
        write_bytes(file, file_bytes);
        return load_with(api(), file);
    }
};

TEST_F(BmpPlugin, GoodSuiteFilesDecodeAndMatchTheirRenderings) {
    const auto folder = testdata("bmpsuite");
    if (folder.empty())
        GTEST_SKIP() << "no conformance images";
    int decoded = 0;
    int compared = 0;
    for (const auto& path : files_in(folder / "g", ".bmp")) {
        SCOPED_TRACE(path.filename().string());
        const LoadResult loaded = load_with(api(), path.string());
        ASSERT_EQ(loaded.result, VT_OK);
        ++decoded;
        const auto reference = folder / "html" / path.filename().replace_extension(".png");
        if (!std::filesystem::exists(reference))
            continue;
        std::uint32_t w = 0;
        std::uint32_t h = 0;
        std::uint8_t* rgba = nullptr;
        ASSERT_EQ(reference_png_rgba(reference.c_str(), &w, &h, &rgba), 1);
        const Frame& f = loaded.frames[0];
        ASSERT_EQ(f.width, w);
        ASSERT_EQ(f.height, h);
        int worst = 0;
        for (std::size_t i = 0; i < f.pixels.size(); ++i)
            for (int c = 0; c < 3; ++c) {
                const int ours = static_cast<int>((f.pixels[i] >> (16 - 8 * c)) & 0xFF);
                worst = std::max(worst, std::abs(ours - rgba[i * 4 + static_cast<std::size_t>(c)]));
            }
        std::free(rgba);
        // The renderings round 5- and 6-bit samples their own way.
        EXPECT_LE(worst, 1);
        ++compared;
    }
    EXPECT_EQ(decoded, 23);
    EXPECT_EQ(compared, 10);
}

TEST_F(BmpPlugin, BadSuiteFilesFailWithTheirReason) {
    const auto folder = testdata("bmpsuite/b");
    if (folder.empty())
        GTEST_SKIP() << "no conformance images";
    const std::map<std::string, std::int32_t> expected = {
        {"badbitcount.bmp", VT_ERR_INVALID_DATA},
        {"badbitssize.bmp", VT_ERR_INVALID_DATA},
        {"baddens1.bmp", VT_ERR_INVALID_DATA},
        {"baddens2.bmp", VT_ERR_INVALID_DATA},
        {"badfilesize.bmp", VT_ERR_READ},
        {"badheadersize.bmp", VT_ERR_INVALID_DATA},
        {"badpalettesize.bmp", VT_ERR_INVALID_DATA},
        {"badplanes.bmp", VT_ERR_INVALID_DATA},
        {"badrle.bmp", VT_ERR_INVALID_DATA},
        {"badwidth.bmp", VT_ERR_DIMENSIONS},
        {"pal8badindex.bmp", VT_ERR_INVALID_DATA},
        {"reallybig.bmp", VT_ERR_DIMENSIONS},
        {"rletopdown.bmp", VT_ERR_INVALID_DATA},
        {"shortfile.bmp", VT_ERR_READ}};
    int failed = 0;
    for (const auto& path : files_in(folder, ".bmp")) {
        const std::string name = path.filename().string();
        ASSERT_TRUE(expected.contains(name)) << name;
        EXPECT_EQ(load_with(api(), path.string()).result, expected.at(name)) << name;
        ++failed;
    }
    EXPECT_EQ(failed, 14);
}

TEST_F(BmpPlugin, QuestionableSuiteFilesNeverCrash) {
    const auto folder = testdata("bmpsuite/q");
    if (folder.empty())
        GTEST_SKIP() << "no conformance images";
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

TEST_F(BmpPlugin, SavedPicturesLoadBackIdentical) {
    const struct {
        std::uint32_t w, h;
        bool transparent;
        char bits; // in the written header
    } cases[] = {{1, 1, false, 24}, {3, 5, false, 24}, {17, 4, true, 32}, {64, 1, true, 32}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        const Frame picture = make_picture(c.w, c.h, c.transparent);
        const std::string file = m_temp / "round.bmp";
        ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        EXPECT_EQ(read_bytes(file)[28], c.bits);
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.frames[0].pixels, picture.pixels);
        EXPECT_NE(loaded.frames[0].markup.find("image.ppi=72 72;"), std::string::npos);
    }
}

TEST_F(BmpPlugin, PalettedRowsBottomUpAndTopDown) {
    // 3 x 2, 2 bits per pixel: rows of one byte padded to four.
    const std::string rows = bytes({0x1B, 0, 0, 0, 0xE4, 0, 0, 0});
    const std::vector<std::uint32_t> top = {bgrt(0, 0, 255), bgrt(0, 255, 0), bgrt(255, 0, 0)};
    const std::vector<std::uint32_t> bottom = {bgrt(0, 0, 0), bgrt(255, 0, 0), bgrt(0, 255, 0)};
    const LoadResult up = load_bytes(make_bmp(3, 2, 2, 0, kPalette, rows));
    ASSERT_EQ(up.result, VT_OK);
    std::vector<std::uint32_t> expected = top;
    expected.insert(expected.end(), bottom.begin(), bottom.end());
    EXPECT_EQ(up.frames[0].pixels, expected);
    const LoadResult down = load_bytes(make_bmp(3, -2, 2, 0, kPalette, rows));
    ASSERT_EQ(down.result, VT_OK);
    expected = bottom;
    expected.insert(expected.end(), top.begin(), top.end());
    EXPECT_EQ(down.frames[0].pixels, expected);
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
    const struct {
        const char* what;
        std::string bytes;
        std::int32_t result;
    } cases[] = {
        {"not a bmp", "GIF89a and then some", VT_ERR_CORRUPT_OR_UNSUPPORTED},
        {"header cut", std::string("BM\0\0\0\0", 6), VT_ERR_READ},
        {"huge picture in a tiny file", make_bmp(10000, 10000, 24, 0, {}, "abc"), VT_ERR_READ},
        {"huge RLE picture in a tiny file", make_bmp(10000, 10000, 8, 1, kPalette, bytes({0, 1})),
         VT_ERR_READ},
        {"zero width", make_bmp(0, 4, 24, 0, {}, std::string(64, 'x')), VT_ERR_DIMENSIONS},
        {"zero height", make_bmp(4, 0, 24, 0, {}, std::string(64, 'x')), VT_ERR_DIMENSIONS},
        {"wider than a bitmap", make_bmp(70000, 1, 24, 0, {}, "abc"), VT_ERR_DIMENSIONS},
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
    };
    for (const auto& c : cases)
        EXPECT_EQ(load_bytes(c.bytes).result, c.result) << c.what;
}

TEST_F(BmpPlugin, EveryCutOfAFileFailsCleanly) {
    const std::string file = m_temp / "whole.bmp";
    ASSERT_EQ(save_with(api(), file, {make_picture(7, 5, true)}).result, VT_OK);
    const std::string whole = read_bytes(file);
    for (std::size_t n = 0; n < whole.size(); ++n)
        EXPECT_LT(load_bytes(whole.substr(0, n)).result, 0) << n;
}

TEST_F(BmpPlugin, FailedSaveLeavesNoFile) {
    const std::string file = m_temp / "missing-folder/out.bmp";
    EXPECT_EQ(save_with(api(), file, {make_picture(4, 4, false)}).result, VT_ERR_OPEN_WRITE);
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(BmpPlugin, ChecksPreferTheSignatureAndRefuseTheProbes) {
    const std::string head = make_bmp(1, 1, 24, 0, {}, "1234").substr(0, 32);
    EXPECT_GT(load_score(check_with(api().check_load, u".bmp", head)),
              load_score(check_with(api().check_load, u"", head)));
    EXPECT_GT(load_score(check_with(api().check_load, u"", head)), 1000);
    EXPECT_LT(load_score(check_with(api().check_load, u".bmp", "GIF89a..")), 1000);
    EXPECT_EQ(load_score(check_with(api().check_load, u".***", "abcdefgh")), 0);
    EXPECT_GT(check_with(api().check_save, u".bmp").level, 0);
    for (const char16_t* probe : {u".***", u".sys", u".vxd", u".png"})
        EXPECT_EQ(check_with(api().check_save, probe).level, 0);
}

} // namespace
} // namespace vt::test
