// Loading and saving pictures through the built library, as the host calls it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/utf.h"
#include "tests/suite_core/core_library.h"
#include "tests/support/temp_folder.h"

namespace vt::test {
namespace {

struct Picture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> pixels;
    bool operator==(const Picture&) const = default;
};

// The largest difference of a colour channel, 256 when the sizes differ.
int worst_colour_difference(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height)
        return 256;
    int worst = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i)
        for (int shift = 0; shift < 24; shift += 8)
            worst = std::max(worst, std::abs(static_cast<int>((a.pixels[i] >> shift) & 255) -
                                             static_cast<int>((b.pixels[i] >> shift) & 255)));
    return worst;
}

std::vector<std::uint32_t> transparencies(const Picture& p) {
    std::vector<std::uint32_t> out;
    for (const std::uint32_t px : p.pixels)
        out.push_back(px >> 24);
    return out;
}

std::uint32_t bgrt(std::uint32_t r, std::uint32_t g, std::uint32_t b, std::uint32_t t = 0) {
    return b | (g << 8) | (r << 16) | (t << 24);
}

// Colours, fully transparent pixels (colour 0) and, unless `binary`, partial transparency.
Picture make_picture(std::uint32_t w, std::uint32_t h, bool binary) {
    Picture p{w, h, std::vector<std::uint32_t>(static_cast<std::size_t>(w) * h)};
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            std::uint32_t& px = p.pixels[y * w + x];
            if ((x + y) % 5 == 0)
                px = bgrt(0, 0, 0, 255);
            else if (!binary && (x * y) % 7 == 1)
                px = bgrt(x * 20, 255 - y * 30, 77, 100 + x);
            else
                px = bgrt(x * 30 % 256, y * 40 % 256, (x ^ y) * 9 % 256);
        }
    return p;
}

// A smooth opaque picture, the kind lossy coding keeps well.
Picture make_photo(std::uint32_t w, std::uint32_t h) {
    Picture p{w, h, std::vector<std::uint32_t>(static_cast<std::size_t>(w) * h)};
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            p.pixels[y * w + x] = bgrt(x * 255 / w, y * 255 / h, 128);
    return p;
}

class CoreImages : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(core.complete()); }

    bool save(const Picture& p, const std::string& path, std::uint32_t flags = 0) {
        VtCoreImage image{p.width, p.height, p.width, const_cast<std::uint32_t*>(p.pixels.data())};
        VtCoreRequest request{};
        request.version = VT_CORE_REQUEST_VERSION;
        request.flags = flags;
        const std::u16string name = base::utf8_to_utf16(path);
        const bool ok =
            core.save(&image, reinterpret_cast<const std::uint16_t*>(name.c_str()), &request) != 0;
        EXPECT_EQ(request.answer, ok ? 1 : 0);
        return ok;
    }

    bool load(const std::string& path, Picture& out,
              std::uint32_t version = VT_CORE_REQUEST_VERSION) {
        VtCoreImage image{};
        VtCoreRequest request{};
        request.version = version;
        request.option = 1;
        const std::u16string name = base::utf8_to_utf16(path);
        const bool ok =
            core.load(&image, reinterpret_cast<const std::uint16_t*>(name.c_str()), &request) != 0;
        if (!ok) {
            EXPECT_EQ(image.pixels, nullptr);
            return false;
        }
        EXPECT_EQ(request.answer, 1);
        EXPECT_EQ(image.stride, image.width);
        out.width = image.width;
        out.height = image.height;
        out.pixels.assign(image.pixels,
                          image.pixels + static_cast<std::size_t>(image.width) * image.height);
        std::free(image.pixels);
        return true;
    }

    CoreLibrary core;
    TempFolder folder;
};

TEST_F(CoreImages, PicturesRoundTripExactlyOrCloseWhenLossy) {
    const Picture partial = make_picture(13, 7, false), binary = make_picture(13, 7, true),
                  small_photo = make_photo(9, 4), photo = make_photo(64, 48);
    const struct {
        const char* name;
        const Picture& picture;
        std::uint32_t flags;
        int tolerance; // of a colour channel; transparency is kept exactly, opaque stays opaque
    } cases[] = {{"a.png", partial, 0, 0},        {"b.bmp", partial, 0, 0},
                 {"c.webp", partial, 100, 0},     {"d.gif", binary, 0, 0},
                 {"e.PNG", partial, 0, 0},        {"f-\xc3\xa4.bmp", partial, 0, 0},
                 {"odd\xff.png", partial, 0, 0},  {"o.png", small_photo, 100, 0},
                 {"o.bmp", small_photo, 100, 0},  {"o.gif", small_photo, 100, 0},
                 {"o.webp", small_photo, 100, 0}, {"p.jpg", photo, 95, 16},
                 {"p.jpeg", photo, 95, 16},       {"p.JPE", photo, 95, 16},
                 {"p.webp", photo, 95, 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(save(c.picture, folder / c.name, c.flags));
        EXPECT_TRUE(std::filesystem::exists(folder / c.name)); // the very bytes of the name
        Picture back;
        ASSERT_TRUE(load(folder / c.name, back));
        EXPECT_LE(worst_colour_difference(back, c.picture), c.tolerance);
        EXPECT_EQ(transparencies(back), transparencies(c.picture));
    }
}

TEST_F(CoreImages, ManyColoursStillMakeAGif) {
    Picture picture{40, 40, {}};
    for (std::uint32_t i = 0; i < 1600; ++i)
        picture.pixels.push_back(
            bgrt(i % 40 * 6, i / 40 * 6, (i * 7) % 256, i % 97 == 0 ? 255 : 0));
    ASSERT_TRUE(save(picture, folder / "many.gif"));
    Picture back;
    ASSERT_TRUE(load(folder / "many.gif", back));
    EXPECT_EQ(transparencies(back), transparencies(picture));
}

TEST_F(CoreImages, UnknownExtensionIsSniffedOnLoad) {
    const Picture picture = make_picture(5, 5, false);
    for (const char* name : {"s.png", "s.bmp", "s.webp"}) {
        ASSERT_TRUE(save(picture, folder / name, 100));
        const std::string renamed = folder / (std::string(name) + ".data");
        std::filesystem::rename(folder / name, renamed);
        Picture back;
        ASSERT_TRUE(load(renamed, back)) << name;
        EXPECT_EQ(back, picture) << name;
    }
}

TEST_F(CoreImages, BrokenFilesFailCleanly) {
    const Picture picture = make_picture(24, 16, true);
    for (const char* name : {"t.png", "t.bmp", "t.webp", "t.gif", "t.jpg"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(save(picture, folder / name, 100));
        const std::string path = folder / name;
        const auto size = std::filesystem::file_size(path);
        for (const auto keep :
             {size / 2, std::uintmax_t{20}, std::uintmax_t{3}, std::uintmax_t{0}}) {
            std::filesystem::resize_file(path, keep);
            Picture back;
            EXPECT_FALSE(load(path, back)) << keep;
        }
    }
    Picture back;
    EXPECT_FALSE(load(folder / "missing.png", back));
    ASSERT_TRUE(save(picture, folder / "v.png"));
    EXPECT_FALSE(load(folder / "v.png", back, 0x00050320u)); // another version of the block
}

TEST_F(CoreImages, OversizedHeadersAreRefused) {
    // BMP: 70000 x 1 pixels in a file of a few bytes.
    std::vector<std::uint8_t> bmp = {'B', 'M', 0, 0,    0,    0,    0, 0, 0, 0, 54, 0, 0, 0,  40,
                                     0,   0,   0, 0x70, 0x11, 0x01, 0, 1, 0, 0, 0,  1, 0, 24, 0};
    bmp.resize(80, 0);
    // GIF: a 65535 x 65535 screen and frame.
    const std::vector<std::uint8_t> gif = {
        'G', 'I', 'F', '8', '9', 'a', 0xff, 0xff, 0xff, 0xff, 0x80, 0, 0, 0,    0,    0, 255, 255,
        255, ',', 0,   0,   0,   0,   0xff, 0xff, 0xff, 0xff, 0,    2, 2, 0x4c, 0x01, 0, ';'};
    for (const auto& [name, bytes] : {std::pair{"big.bmp", bmp}, std::pair{"big.gif", gif}}) {
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        Picture back;
        EXPECT_FALSE(load(folder / name, back)) << name;
    }
}

TEST_F(CoreImages, FailedSavesLeaveNoFile) {
    const Picture picture = make_picture(4, 4, false);
    EXPECT_FALSE(save(picture, folder / "x.xyz"));
    EXPECT_FALSE(std::filesystem::exists(folder / "x.xyz"));
    EXPECT_FALSE(save(picture, folder / "noext"));
    EXPECT_FALSE(std::filesystem::exists(folder / "noext"));
    EXPECT_FALSE(save(picture, folder / "no-such-folder/x.png"));
    // WebP cannot hold sides above 16383.
    Picture wide{20000, 1, std::vector<std::uint32_t>(20000, bgrt(1, 2, 3))};
    EXPECT_FALSE(save(wide, folder / "wide.webp"));
    EXPECT_FALSE(std::filesystem::exists(folder / "wide.webp"));
}

} // namespace
} // namespace vt::test
