// The EXIF directories copied into a saved TIFF: libtiff must find them, and a block that is
// not what it claims leaves the file as it was.

#include <gtest/gtest.h>

#include <tiffio.h>

#include <cstdio>
#include <string>
#include <vector>

#include "formats/tiff/tiff_exif.h"
#include "tests/formats/format_test_util.h"
#include "tests/formats/tiff_test_util.h"

namespace vt::test {
namespace {

struct Block {
    std::vector<std::uint8_t> bytes{'I', 'I', 42, 0, 8, 0, 0, 0};
    void u16(std::uint32_t v) {
        bytes.push_back(static_cast<std::uint8_t>(v));
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    void entry(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
        u16(tag);
        u16(type);
        u32(count);
        u32(value);
    }
};

// IFD0 at 8: Copyright (at 50) and the EXIF pointer (to 70); EXIF IFD: ExposureTime 1/200 (at
// 88) and ISO 400 inline.
std::vector<std::uint8_t> camera_block() {
    Block b;
    b.u16(2);
    b.entry(0x8298, 2, 12, 50); // Copyright
    b.entry(0x8769, 4, 1, 70);  // EXIF directory
    b.u32(0);
    while (b.bytes.size() < 50)
        b.bytes.push_back(0);
    for (const char c : std::string("(c) Someone"))
        b.bytes.push_back(static_cast<std::uint8_t>(c));
    b.bytes.push_back(0);
    while (b.bytes.size() < 70)
        b.bytes.push_back(0);
    b.u16(2);
    b.entry(0x829A, 5, 1, 100); // ExposureTime
    b.entry(0x8827, 3, 1, 400); // ISO
    b.u32(0);
    while (b.bytes.size() < 100)
        b.bytes.push_back(0);
    b.u32(1);
    b.u32(200);
    return b.bytes;
}

class TiffExif : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_TIFF"); }
    std::string saved_picture() {
        Frame f;
        f.width = 3;
        f.height = 2;
        f.pixels.assign(6, 0x00336699u);
        const std::string path = m_temp / "picture.tif";
        EXPECT_EQ(save_with(api(), path, {f}).result, VT_OK);
        return path;
    }
};

TEST_F(TiffExif, DirectoriesAreFoundByLibtiff) {
    const std::string path = saved_picture();
    std::FILE* file = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(formats::tiff::attach_exif(file, camera_block()));
    std::fclose(file);

    int messages = 0;
    tiff::TiffHandle tif = tiff::open_quiet(path, "r", &messages);
    ASSERT_TRUE(tif);
    char* copyright = nullptr;
    ASSERT_EQ(TIFFGetField(tif.get(), TIFFTAG_COPYRIGHT, &copyright), 1);
    EXPECT_STREQ(copyright, "(c) Someone");
    toff_t exif_offset = 0;
    ASSERT_EQ(TIFFGetField(tif.get(), TIFFTAG_EXIFIFD, &exif_offset), 1);
    ASSERT_EQ(TIFFReadEXIFDirectory(tif.get(), exif_offset), 1);
    float exposure = 0; // libtiff hands EXIF rationals out as float
    ASSERT_EQ(TIFFGetField(tif.get(), EXIFTAG_EXPOSURETIME, &exposure), 1);
    EXPECT_FLOAT_EQ(exposure, 1.0f / 200);
    ASSERT_EQ(TIFFSetDirectory(tif.get(), 0), 1);
    EXPECT_EQ(TIFFNumberOfDirectories(tif.get()), 1);

    const LoadResult back = load_with(api(), path);
    ASSERT_EQ(back.result, VT_OK);
    EXPECT_EQ(back.frames.at(0).pixels, std::vector<std::uint32_t>(6, 0x00336699u));
}

TEST_F(TiffExif, ABrokenBlockLeavesTheFileAsItWas) {
    const std::string path = saved_picture();
    const std::string before = m_temp.read("picture.tif");
    std::vector<std::vector<std::uint8_t>> broken;
    const std::vector<std::uint8_t> good = camera_block();
    for (std::size_t cut = 0; cut < good.size(); cut += 3)
        broken.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    std::vector<std::uint8_t> big_endian = good;
    big_endian[0] = big_endian[1] = 'M';
    broken.push_back(big_endian);
    std::vector<std::uint8_t> loop = good;
    loop[70 + 2 + 12 + 8] = 70; // the ISO entry turned into a pointer to its own directory
    loop[70 + 2 + 12] = 0x05;
    loop[70 + 2 + 12 + 1] = 0xA0;
    loop[70 + 2 + 12 + 2] = 4;
    broken.push_back(loop);
    for (const auto& block : broken) {
        std::FILE* file = std::fopen(path.c_str(), "r+b");
        ASSERT_NE(file, nullptr);
        const bool attached = formats::tiff::attach_exif(file, block);
        std::fclose(file);
        if (!attached)
            EXPECT_EQ(m_temp.read("picture.tif"), before) << "block of " << block.size();
        else
            ASSERT_EQ(load_with(api(), path).result, VT_OK) << "block of " << block.size();
    }
}

} // namespace
} // namespace vt::test
