#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/formats/format_test_util.h"
#include "tests/formats/png_reference.h"

namespace vt::test {
namespace {

std::uint32_t crc32(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

void be32(std::string& s, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        s += static_cast<char>((v >> shift) & 0xFF);
}

std::string chunk(std::string_view type, std::string_view data) {
    std::string out;
    be32(out, static_cast<std::uint32_t>(data.size()));
    std::string body(type);
    body += data;
    out += body;
    be32(out, crc32(body));
    return out;
}

const std::string kSignature("\x89PNG\r\n\x1a\n", 8);

std::string ihdr(std::uint32_t width, std::uint32_t height, int depth = 8, int colour = 2) {
    std::string data;
    be32(data, width);
    be32(data, height);
    data += static_cast<char>(depth);
    data += static_cast<char>(colour);
    data += std::string(3, '\0');
    return kSignature + chunk("IHDR", data);
}

// Inserts chunks just before IEND.
std::string with_chunks_before_end(const std::string& png, const std::string& chunks) {
    const std::size_t end = png.size() - 12;
    return png.substr(0, end) + chunks + png.substr(end);
}

class PngPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_PNG"); }
};

TEST_F(PngPlugin, EveryValidPngSuiteFileDecodesLikeLibpng) {
    const auto folder = testdata("pngsuite/png");
    if (folder.empty())
        GTEST_SKIP() << "no conformance images";
    int compared = 0;
    for (const auto& path : files_in(folder, ".png")) {
        const std::string name = path.filename().string();
        if (name[0] == 'x')
            continue;
        SCOPED_TRACE(name);
        std::uint32_t w = 0;
        std::uint32_t h = 0;
        std::uint8_t* rgba = nullptr;
        ASSERT_EQ(reference_png_rgba(path.c_str(), &w, &h, &rgba), 1);
        const LoadResult loaded = load_with(api(), path.string());
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_EQ(loaded.frames.size(), 1u);
        const Frame& f = loaded.frames[0];
        ASSERT_EQ(f.width, w);
        ASSERT_EQ(f.height, h);
        std::size_t differing = 0;
        for (std::size_t i = 0; i < f.pixels.size(); ++i) {
            const std::uint8_t* p = rgba + i * 4;
            if (f.pixels[i] != bgrt(p[0], p[1], p[2], 255u - p[3]))
                ++differing;
        }
        std::free(rgba);
        EXPECT_EQ(differing, 0u);
        EXPECT_NE(f.markup.find("image.bpp="), std::string::npos);
        ++compared;
    }
    EXPECT_EQ(compared, 161);
}

TEST_F(PngPlugin, BrokenPngSuiteFilesFailCleanly) {
    const auto folder = testdata("pngsuite/png");
    if (folder.empty())
        GTEST_SKIP() << "no conformance images";
    int broken = 0;
    for (const auto& path : files_in(folder, ".png")) {
        if (path.filename().string()[0] != 'x')
            continue;
        SCOPED_TRACE(path.filename().string());
        const LoadResult loaded = load_with(api(), path.string());
        EXPECT_TRUE(loaded.result == VT_ERR_CORRUPT_OR_UNSUPPORTED ||
                    loaded.result == VT_ERR_READ || loaded.result == VT_ERR_INVALID_DATA)
            << loaded.result;
        ++broken;
    }
    EXPECT_EQ(broken, 14);
}

TEST_F(PngPlugin, BitDepthOfTheFileIsInTheMarkup) {
    const auto folder = testdata("pngsuite/png");
    if (folder.empty())
        GTEST_SKIP() << "no conformance images";
    const struct {
        const char* file;
        const char* bpp;
    } cases[] = {{"basn0g01.png", "image.bpp=1;"},
                 {"basn3p04.png", "image.bpp=4;"},
                 {"basn2c08.png", "image.bpp=24;"},
                 {"basn4a16.png", "image.bpp=32;"},
                 {"basn6a16.png", "image.bpp=64;"}};
    for (const auto& c : cases) {
        const LoadResult loaded = load_with(api(), (folder / c.file).string());
        ASSERT_EQ(loaded.result, VT_OK) << c.file;
        EXPECT_NE(loaded.frames[0].markup.find(c.bpp), std::string::npos)
            << c.file << ": " << loaded.frames[0].markup;
    }
}

TEST_F(PngPlugin, ExifChunkGoesToTheMarkupService) {
    const auto folder = testdata("pngsuite/png");
    if (folder.empty())
        GTEST_SKIP() << "no conformance images";
    HarnessServices::last_exif().clear();
    const LoadResult loaded = load_with(api(), (folder / "exif2c08.png").string());
    ASSERT_EQ(loaded.result, VT_OK);
    const auto& exif = HarnessServices::last_exif();
    ASSERT_GE(exif.size(), 8u);
    const std::string order(exif.begin(), exif.begin() + 4);
    EXPECT_TRUE(order == std::string("MM\0*", 4) || order == std::string("II*\0", 4));
}

TEST_F(PngPlugin, XmpFromItxtBecomesMarkup) {
    const std::string file = m_temp / "xmp.png";
    ASSERT_EQ(save_with(api(), file, {make_picture(4, 3, false)}).result, VT_OK);
    const std::string xmp = "<x:xmpmeta><rdf:Description><tiff:Make>Vantrel Cam</tiff:Make>"
                            "<exif:FNumber>28/10</exif:FNumber></rdf:Description></x:xmpmeta>";
    const std::string itxt = std::string("XML:com.adobe.xmp\0\0\0\0\0", 22) + xmp;
    write_bytes(file, with_chunks_before_end(read_bytes(file), chunk("iTXt", itxt)));
    const LoadResult loaded = load_with(api(), file);
    ASSERT_EQ(loaded.result, VT_OK);
    const std::string& markup = loaded.frames[0].markup;
    EXPECT_NE(markup.find("exif.make=Vantrel Cam;"), std::string::npos) << markup;
    EXPECT_NE(markup.find("exif.aperture=f/2.8;"), std::string::npos) << markup;
    EXPECT_NE(markup.find("image.bpp=24;"), std::string::npos) << markup;
}

TEST_F(PngPlugin, SavedPicturesLoadBackIdentical) {
    const struct {
        std::uint32_t w, h;
        bool transparent;
        char colour_type; // in the written header
    } cases[] = {{1, 1, false, 2}, {257, 3, false, 2}, {31, 17, true, 6}, {3, 64, true, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        const Frame picture = make_picture(c.w, c.h, c.transparent);
        const std::string file = m_temp / "round.png";
        ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        EXPECT_EQ(read_bytes(file)[25], c.colour_type);
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.frames[0].pixels, picture.pixels);
    }
}

TEST_F(PngPlugin, SeveralFramesAreSavedAsTheComposite) {
    const std::string file = m_temp / "frames.png";
    const SaveResult saved =
        save_with(api(), file, {make_picture(5, 5, false), make_picture(5, 5, true)});
    EXPECT_EQ(saved.result, VT_OK);
    EXPECT_TRUE(saved.composite_used);
    EXPECT_FALSE(save_with(api(), file, {make_picture(5, 5, false)}).composite_used);
}

TEST_F(PngPlugin, CompressionLevelComesFromTheStateStore) {
    const Frame picture = make_picture(200, 200, false);
    auto size_with = [&](std::string_view value) {
        if (value.empty())
            HarnessServices::state().erase(u"fmx_PNG.level");
        else
            HarnessServices::set_state(u"fmx_PNG.level", value);
        const std::string file = m_temp / "level.png";
        EXPECT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        return read_bytes(file).size();
    };
    const std::size_t stored = size_with("0");
    const std::size_t best = size_with(std::string("\x09\0\0\0", 4));
    const std::size_t standard = size_with("");
    HarnessServices::state().erase(u"fmx_PNG.level");
    EXPECT_GT(stored, 200u * 200u * 3u);
    EXPECT_LT(best, stored);
    EXPECT_LT(standard, stored);
}

TEST_F(PngPlugin, FailedSaveLeavesNoFile) {
    const std::string file = m_temp / "missing-folder/out.png";
    EXPECT_EQ(save_with(api(), file, {make_picture(4, 4, false)}).result, VT_ERR_OPEN_WRITE);
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(PngPlugin, HostileHeadersAreRefusedBeforeAllocating) {
    const std::string iend = chunk("IEND", "");
    // libpng reads up to the first image data chunk before the size is known.
    const std::string idat = chunk("IDAT", std::string("\x78\x9c", 2)) + iend;
    const struct {
        const char* what;
        std::string bytes;
        std::int32_t result;
    } cases[] = {
        {"not a png", "GIF89a and then some bytes", VT_ERR_CORRUPT_OR_UNSUPPORTED},
        {"signature only", kSignature, VT_ERR_READ},
        {"huge picture in a tiny file", ihdr(15000, 15000) + idat, VT_ERR_READ},
        {"wider than a bitmap", ihdr(70000, 1) + idat, VT_ERR_DIMENSIONS},
        {"more pixels than a bitmap", ihdr(20000, 20000, 1, 0) + idat, VT_ERR_DIMENSIONS},
        {"zero width", ihdr(0, 5) + iend, VT_ERR_INVALID_DATA},
        {"bad bit depth", ihdr(4, 4, 3, 2) + iend, VT_ERR_INVALID_DATA},
        {"no image data", ihdr(4, 4) + iend, VT_ERR_INVALID_DATA},
        {"cut after the header", ihdr(4, 4), VT_ERR_READ},
    };
    for (const auto& c : cases) {
        const std::string file = m_temp / "hostile.png";
        write_bytes(file, c.bytes);
        const LoadResult loaded = load_with(api(), file);
        EXPECT_EQ(loaded.result, c.result) << c.what;
    }
    EXPECT_EQ(load_with(api(), m_temp / "absent.png").result, VT_ERR_OPEN_READ);
}

TEST_F(PngPlugin, EveryCutOfAFileFailsCleanly) {
    const std::string file = m_temp / "whole.png";
    ASSERT_EQ(save_with(api(), file, {make_picture(40, 30, true)}).result, VT_OK);
    const std::string whole = read_bytes(file);
    for (std::size_t n = 0; n < whole.size(); ++n) {
        write_bytes(file, whole.substr(0, n));
        const std::int32_t result = load_with(api(), file).result;
        EXPECT_LT(result, 0) << n;
    }
}

TEST_F(PngPlugin, TimeLimitThatHasRunOutStopsTheLoad) {
    const std::string file = m_temp / "late.png";
    ASSERT_EQ(save_with(api(), file, {make_picture(8, 8, false)}).result, VT_OK);
    const LoadResult late = load_with(api(), file, {.time_limit_ms = 5, .elapsed_ms = 1000});
    EXPECT_EQ(late.result, VT_ERR_TIMEOUT);
    EXPECT_EQ(late.warnings & VT_WARN_TIMEOUT, VT_WARN_TIMEOUT);
    EXPECT_TRUE(late.frames.empty());
    EXPECT_EQ(load_with(api(), file, {.time_limit_ms = 60000}).result, VT_OK);
}

TEST_F(PngPlugin, ChecksPreferTheSignatureAndRefuseTheProbes) {
    const std::string png_head = kSignature + std::string("\0\0\0\x0dIHDR", 8);
    const int both = load_score(check_with(api().check_load, u".png", png_head));
    const int bytes_only = load_score(check_with(api().check_load, u"", png_head));
    const int name_only = load_score(check_with(api().check_load, u".png", "GIF89a.."));
    EXPECT_GT(both, bytes_only);
    EXPECT_GT(bytes_only, 1000);
    EXPECT_GT(name_only, 0);
    EXPECT_LT(name_only, 1000);
    EXPECT_EQ(load_score(check_with(api().check_load, u".***", "abcdefgh")), 0);
    EXPECT_GT(check_with(api().check_save, u".png").level, 0);
    for (const char16_t* probe : {u".***", u".sys", u".vxd", u".bmp"})
        EXPECT_EQ(check_with(api().check_save, probe).level, 0);
}

} // namespace
} // namespace vt::test
