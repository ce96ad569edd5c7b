#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "image/deep_image.h"
#include "tests/formats/format_conformance.h"

namespace vt::test {
namespace {

// A literal with its embedded NULs.
template <std::size_t N>
std::string bin(const char (&text)[N]) {
    return std::string(text, N - 1);
}

const std::uint32_t kBlack = bgrt(0, 0, 0);
const std::uint32_t kWhite = bgrt(255, 255, 255);

std::string header(std::uint32_t width, std::uint32_t height) {
    return "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
}

// No codec library to compare with: the suite's plain and binary twins are compared below.
VT_FORMAT_CONFORMANCE(Pnm, FormatRow{.plugin = "fmx_PNM", .extension = ".pam", .header = header});

class PnmPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_PNM"); }
};

TEST_F(PnmPlugin, EveryFormDecodes) {
    const std::uint32_t grey = bgrt(128, 128, 128);
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::uint32_t> pixels;
        const char* bpp;
    } cases[] = {
        {"P1 with adjacent digits", "P1\n# comment\n3 1\n101", {kBlack, kWhite, kBlack}, "1"},
        {"P2 with a maximum of 4", "P2 2 1 4\n0 2\n", {kBlack, grey}, "8"},
        {"P3 two pixels",
         "P3\n2 1\n255\n255 0 0  0 0 255\n",
         {bgrt(255, 0, 0), bgrt(0, 0, 255)},
         "24"},
        {"P4 nine pixels",
         bin("P4\n9 1\n\xA0\x80"),
         {kBlack, kWhite, kBlack, kWhite, kWhite, kWhite, kWhite, kWhite, kBlack},
         "1"},
        {"P5 16-bit", bin("P5\n2 1\n65535\n\x00\x00\x80\x80"), {kBlack, grey}, "16"},
        {"P6 with maximum 1000",
         bin("P6 1 1 1000\n\x03\xE8\x01\xF4\x00\x00"),
         {bgrt(255, 128, 0)},
         "48"},
        {"P6 16-bit", bin("P6 1 1 65535\n\xFF\xFF\x00\x00\x80\x80"), {bgrt(255, 0, 128)}, "48"},
        {"P7 grey with alpha",
         std::string("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\n"
                     "ENDHDR\n") +
             bin("\x80\xFF\x00\x00"),
         {grey, bgrt(0, 0, 0, 255)},
         "16"},
        {"P7 RGB alpha without a type",
         std::string("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nENDHDR\n\x01\x02\x03\x40"),
         {bgrt(1, 2, 3, 255 - 0x40)},
         "32"}};
    for (const auto& c : cases) {
        const LoadResult loaded = load_bytes(c.bytes);
        ASSERT_EQ(loaded.result, VT_OK) << c.what;
        EXPECT_EQ(loaded.frames[0].pixels, c.pixels) << c.what;
        EXPECT_TRUE(has_entry(loaded.frames[0], std::string("image.bpp=") + c.bpp + ";")) << c.what;
    }
}

TEST_F(PnmPlugin, PlainAndBinarySuiteFilesAgree) {
    VT_TESTDATA_OR_SKIP(folder, "pillow-testimages");
    const auto pnm = folder / "pnm";
    const std::pair<const char*, const char*> pairs[] = {
        {"hopper_8bit.ppm", "hopper_8bit_plain.ppm"},
        {"hopper_8bit.pgm", "hopper_8bit_plain.pgm"},
        {"hopper_16bit.pgm", "hopper_16bit_plain.pgm"},
        {"hopper_1bit.pbm", "hopper_1bit_plain.pbm"}};
    for (const auto& [binary, plain] : pairs) {
        const LoadResult a = load_with(api(), (pnm / binary).string());
        const LoadResult b = load_with(api(), (pnm / plain).string());
        ASSERT_EQ(a.result, VT_OK) << binary;
        ASSERT_EQ(b.result, VT_OK) << plain;
        EXPECT_EQ(a.frames[0].pixels, b.frames[0].pixels) << binary;
    }
    // The colour hopper is the original picture, pixel for pixel.
    const LoadResult colour = load_with(api(), (pnm / "hopper_8bit.ppm").string());
    ASSERT_EQ(colour.result, VT_OK);
    EXPECT_EQ(max_difference(colour.frames[0], *png_frame(folder / "reference/hopper.png")), 0);
    EXPECT_EQ(load_with(api(), (pnm / "hopper.pnm").string()).result, VT_OK);
    EXPECT_EQ(load_with(api(), (pnm / "negative_size.ppm").string()).result,
              VT_ERR_CORRUPT_OR_UNSUPPORTED);
}

TEST_F(PnmPlugin, EachExtensionSavesItsOwnForm) {
    const Frame colour = make_picture(9, 4, true);
    Frame grey = make_picture(9, 4, false);
    for (std::uint32_t& p : grey.pixels)
        p = (p & 0xFF) * 0x010101u;
    Frame bw = grey;
    for (std::uint32_t& p : bw.pixels)
        p = (p & 1) ? kWhite : kBlack;
    Frame opaque = colour;
    for (std::uint32_t& p : opaque.pixels)
        p &= 0xFFFFFF;
    // A greymap of colours keeps their luma.
    const Frame rgb{
        .width = 3, .height = 1, .pixels = {bgrt(255, 0, 0), bgrt(0, 255, 0), bgrt(0, 0, 255)}};

    const struct {
        const char* name;
        const Frame& picture;
        const char* magic;
        std::vector<std::uint32_t> loaded{}; // empty: the picture's own pixels
    } cases[] = {{"a.ppm", opaque, "P6"},
                 {"a.pgm", grey, "P5"},
                 {"a.pbm", bw, "P4"},
                 {"a.pnm", bw, "P4"},
                 {"b.pnm", grey, "P5"},
                 {"c.pnm", opaque, "P6"},
                 {"a.pam", colour, "P7"},
                 {"b.pam", grey, "P7"},
                 {"c.pgm", rgb, "P5", {0x4C4C4C, 0x969696, 0x1D1D1D}}};
    for (const auto& c : cases) {
        const std::string file = m_temp / c.name;
        ASSERT_EQ(save_with(api(), file, {c.picture}).result, VT_OK) << c.name;
        EXPECT_EQ(read_bytes(file).substr(0, 2), c.magic) << c.name;
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK) << c.name;
        EXPECT_EQ(loaded.frames[0].pixels, c.loaded.empty() ? c.picture.pixels : c.loaded)
            << c.name;
    }
}

TEST_F(PnmPlugin, BitmapOfAColourPictureIsRefusedWithoutAFile) {
    const std::string file = m_temp / "colour.pbm";
    EXPECT_EQ(save_with(api(), file, {make_picture(4, 4, false)}).result, VT_ERR_IMAGE_MODE);
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(PnmPlugin, HostileHeadersAreRefused) {
    expect_results({
        {"not netpbm", "GIF89a and more", VT_ERR_CORRUPT_OR_UNSUPPORTED},
        {"huge text picture in a tiny file", "P3\n10000 10000\n255\n1 2 3", VT_ERR_READ},
        {"size beyond 32 bits", "P5\n99999999999 1\n255\n", VT_ERR_INVALID_DATA},
        {"zero width", "P5\n0 4\n255\nxxxx", VT_ERR_DIMENSIONS},
        {"maximum zero", "P5\n1 1\n0\nx", VT_ERR_INVALID_DATA},
        {"maximum too large", "P5\n1 1\n65536\nxx", VT_ERR_INVALID_DATA},
        {"sample above the maximum", "P2\n2 1\n10\n3 11\n", VT_ERR_INVALID_DATA},
        {"binary sample above the maximum", "P5\n1 1\n10\n\x20", VT_ERR_INVALID_DATA},
        {"text that is not a number", "P2\n2 1\n10\n3 x\n", VT_ERR_INVALID_DATA},
        {"text bitmap digit 2", "P1\n2 1\n12", VT_ERR_INVALID_DATA},
        {"header cut", "P6\n12", VT_ERR_READ},
        {"no blank after the maximum", "P5\n1 1\n255x", VT_ERR_INVALID_DATA},
        {"unknown arbitrary type",
         "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE CMYK\n"
         "ENDHDR\nabcd",
         VT_ERR_NOT_IMPLEMENTED},
        {"arbitrary map without a depth", "P7\nWIDTH 1\nHEIGHT 1\nMAXVAL 255\nENDHDR\nabcd",
         VT_ERR_INVALID_DATA},
        {"unknown header line", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nCOLOUR 3\nENDHDR\na",
         VT_ERR_INVALID_DATA},
    });
}

// --- 16 bits per channel

struct DeepPnm {
    const char* name;
    const char* extension; // whose writer gives the same form back
    std::string head;      // up to the samples
    std::uint32_t channels, deep_channels, maxval;
    bool text = false;
};

// Samples that use every bit, from a fixed seed.
std::vector<std::uint32_t> deep_samples(std::size_t count, std::uint32_t maxval) {
    std::vector<std::uint32_t> out(count);
    std::uint32_t x = 2463534242u;
    for (auto& v : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = x % (maxval + 1);
    }
    return out;
}

std::string pnm_file(const DeepPnm& c, const std::vector<std::uint32_t>& samples) {
    std::string file = c.head;
    for (const std::uint32_t v : samples) {
        if (c.text) {
            file += std::to_string(v) + "\n";
        } else {
            file += static_cast<char>(v >> 8);
            file += static_cast<char>(v & 0xFF);
        }
    }
    return file;
}

const DeepPnm kDeepPnm[] = {
    {"P6", ".ppm", "P6\n7 5\n65535\n", 3, 4, 65535},
    {"P5", ".pgm", "P5\n7 5\n65535\n", 1, 2, 65535},
    {"P7 RGB_ALPHA", ".pam",
     "P7\nWIDTH 7\nHEIGHT 5\nDEPTH 4\nMAXVAL 65535\nTUPLTYPE RGB_ALPHA\nENDHDR\n", 4, 4, 65535},
    {"P7 GRAYSCALE_ALPHA", ".pam",
     "P7\nWIDTH 7\nHEIGHT 5\nDEPTH 2\nMAXVAL 65535\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n", 2, 2,
     65535},
    {"P3 text", nullptr, "P3\n7 5\n65535\n", 3, 4, 65535, true},
    {"P6 of 12 bits", nullptr, "P6\n7 5\n4095\n", 3, 4, 4095},
};

TEST_F(PnmPlugin, DeepFilesDeliverScaledSamplesBesideTheUnchangedFrame) {
    for (const DeepPnm& c : kDeepPnm) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint32_t> samples = deep_samples(7 * 5 * c.channels, c.maxval);
        const std::string bytes = pnm_file(c, samples);
        LoadOptions ask;
        ask.want_deep = true;
        const LoadResult plain = load_bytes(bytes);
        const LoadResult deep = load_bytes(bytes, ask);
        ASSERT_EQ(deep.result, VT_OK);
        EXPECT_EQ(deep.frames[0].pixels, plain.frames[0].pixels);
        ASSERT_EQ(deep.deep.channels, c.deep_channels);
        ASSERT_EQ(deep.deep.samples.size(), std::size_t{7} * 5 * c.deep_channels);
        EXPECT_EQ(deep.deep.bits, c.maxval == 65535 ? 16u : 12u);
        for (std::size_t i = 0; i < std::size_t{7} * 5; ++i) {
            for (std::uint32_t ch = 0; ch < c.deep_channels; ++ch) {
                // The file's sample, or opaque for an alpha it does not have.
                const bool alpha = ch == c.deep_channels - 1;
                const bool file_alpha = c.channels == 2 || c.channels == 4;
                const std::uint32_t from =
                    alpha && !file_alpha ? c.maxval : samples[i * c.channels + ch];
                const auto expected =
                    static_cast<std::uint16_t>(std::lround(from * 65535.0 / c.maxval));
                ASSERT_EQ(deep.deep.samples[i * c.deep_channels + ch], expected) << i << " " << ch;
            }
        }
        if (c.maxval == 65535) { // the 8-bit frame is the deep picture's rounding
            for (std::size_t i = 0; i < deep.frames[0].pixels.size(); ++i) {
                const std::uint16_t* s = &deep.deep.samples[i * c.deep_channels];
                const std::uint32_t grey = image::to_8bit(s[0]);
                const std::uint32_t r = grey,
                                    g = c.deep_channels == 4 ? image::to_8bit(s[1]) : grey,
                                    b = c.deep_channels == 4 ? image::to_8bit(s[2]) : grey,
                                    a = image::to_8bit(s[c.deep_channels - 1]);
                ASSERT_EQ(deep.frames[0].pixels[i], b | g << 8 | r << 16 | (255 - a) << 24) << i;
            }
        }
    }
}

TEST_F(PnmPlugin, DeepSavesGiveTheSameFileBack) {
    for (const DeepPnm& c : kDeepPnm) {
        if (c.extension == nullptr)
            continue;
        SCOPED_TRACE(c.name);
        const std::string bytes = pnm_file(c, deep_samples(7 * 5 * c.channels, c.maxval));
        LoadOptions ask;
        ask.want_deep = true;
        const LoadResult loaded = load_bytes(bytes, ask);
        ASSERT_FALSE(loaded.deep.empty());
        const std::string saved = m_temp / (std::string("saved") + c.extension);
        const SaveResult result = save_with(api(), saved, {loaded.frames[0]}, 0, &loaded.deep);
        ASSERT_EQ(result.result, VT_OK);
        EXPECT_TRUE(result.deep_written);
        EXPECT_EQ(read_bytes(saved), bytes);
    }
    // A bitmap holds one bit: the offer is left, the 8-bit picture written.
    const LoadResult grey = [&] {
        LoadOptions ask;
        ask.want_deep = true;
        return load_bytes(pnm_file(kDeepPnm[1], std::vector<std::uint32_t>(35, 65535)), ask);
    }();
    const SaveResult bitmap =
        save_with(api(), m_temp / "saved.pbm", {grey.frames[0]}, 0, &grey.deep);
    EXPECT_EQ(bitmap.result, VT_OK);
    EXPECT_FALSE(bitmap.deep_written);
}

} // namespace
} // namespace vt::test
