#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/deep_image.h"
#include "tests/formats/deep_files.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

// jxrlib's own decoder program, through a TIFF that ImageMagick reads.
std::optional<Frame> jxr_frame(const std::filesystem::path& file) {
    const std::string tif = file.string() + ".dec.tif";
    if (!run_tool("JxrDecApp -i '" + file.string() + "' -o '" + tif + "'"))
        return std::nullopt;
    std::optional<Frame> frame = magick_frame(tif);
    std::filesystem::remove(tif);
    return frame;
}

// jxrlib's encoder program from ImageMagick's BMP, PNM and TIFF: 8 and 16 bits, grey, RGB and
// RGBA, lossless and lossy.
int corpus(const std::filesystem::path& folder) {
    const std::string pam = (folder / "source.pam").string();
    write_pam(pam, make_picture(37, 23, true));
    const struct {
        const char *made, *options;
    } inputs[] = {{"rgb.bmp", "-alpha off"},
                  {"rgb16.pnm", "-alpha off -depth 16"},
                  {"grey16.pnm", "-alpha off -colorspace gray -depth 16"},
                  {"rgba.tif", "-depth 8 -compress none -define tiff:alpha=unassociated"},
                  {"rgba16.tif", "-depth 16 -compress none"}};
    int made = 0;
    for (const auto& in : inputs) {
        const std::string source = (folder / in.made).string();
        if (!run_tool("convert '" + pam + "' " + in.options + " '" + source + "'"))
            return 0;
        for (const char* quality : {"1", "0.8"})
            made += run_tool("JxrEncApp -i '" + source + "' -o '" + source + "." + quality +
                             ".jxr' -q " + quality);
        std::filesystem::remove(source);
    }
    std::filesystem::remove(pam);
    return made;
}

void lossless() {
    HarnessServices::set_state(u"fmx_WIC.lossless", "1");
}

VT_FORMAT_CONFORMANCE(Wic, FormatRow{.plugin = "fmx_WIC",
                                     .extension = ".jxr",
                                     .header = nullptr,
                                     .reference = jxr_frame,
                                     .make_corpus = corpus,
                                     .compared = 10,
                                     .tolerance = 1,
                                     .prepare = lossless});

class WicPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_WIC"); }
    void TearDown() override { HarnessServices::state().clear(); }
};

TEST_F(WicPlugin, LossyQualityTradesSizeForDetail) {
    const Frame picture = smooth_picture(64, 48, true);
    std::size_t last_size = 0;
    for (const char* quality : {"100", "60", "20"}) {
        SCOPED_TRACE(quality);
        HarnessServices::set_state(u"fmx_WIC.quality", quality);
        const std::string file = m_temp / "q.jxr";
        ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_LT(mean_difference(loaded.frames[0].pixels, picture.pixels), 6);
        const std::optional<Frame> outside = jxr_frame(file);
        ASSERT_TRUE(outside.has_value());
        EXPECT_LE(max_difference(*outside, loaded.frames[0]), 1);
        if (last_size != 0) {
            EXPECT_LT(read_bytes(file).size(), last_size);
        }
        last_size = read_bytes(file).size();
    }
}

// The resolution loaders deliver (a "PHYS" chunk, per inch or per centimetre) is written, and
// jxrlib's decoder program finds it in the file; the older markup key still counts.
TEST_F(WicPlugin, ProfileAndResolutionComeBack) {
    const std::vector<std::uint8_t> icc = block_bytes(700);
    const auto phys = [](std::uint32_t x, std::uint32_t y, bool per_cm) {
        std::vector<std::uint8_t> c(16, 0);
        c[0] = 1;
        for (int i = 0; i < 4; ++i) {
            c[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(x >> (8 * i));
            c[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(y >> (8 * i));
        }
        c[12] = per_cm ? 1 : 0;
        return c;
    };
    const struct {
        std::vector<std::uint8_t> phys;
        const char* markup;
        const char* expected;
    } cases[] = {
        {phys(300, 150, false), "", "300 150 in"},
        {phys(118, 118, true), "", "300 300 in"},
        {{}, "\r\nimage.ppi=72 72;", "72 72 in"},
        {{}, "", "96 96 in"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        Frame picture = make_picture(16, 16, false);
        picture.chunks[VT_TAG('I', 'C', 'C', 'P')] = icc;
        if (!c.phys.empty())
            picture.chunks[VT_TAG('P', 'H', 'Y', 'S')] = c.phys;
        picture.markup = c.markup;
        const std::string file = m_temp / "meta.wdp";
        ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(phys_text(loaded.frames[0]), c.expected);
        EXPECT_EQ(loaded.frames[0].chunks.at(VT_TAG('I', 'C', 'C', 'P')), icc);
        const std::string tif = file + ".tif";
        if (run_tool("JxrDecApp -i '" + file + "' -o '" + tif + "'") &&
            run_tool("command -v identify")) {
            const std::string dpi =
                std::string(c.expected).substr(0, std::string(c.expected).size() - 3);
            EXPECT_TRUE(run_tool("test \"$(identify -units PixelsPerInch -format "
                                 "'%[fx:round(resolution.x)] %[fx:round(resolution.y)]' '" +
                                 tif + "')\" = '" + dpi + "'"));
        }
    }
}

// 16-bit integer pixels (48bppRGB, 64bppRGBA, 16bppGray) are read at 16 bits, sample for sample
// what jxrlib's encoder program was given, and written back at 16 bits that its decoder program
// returns exactly.
TEST_F(WicPlugin, SixteenBitPicturesRoundTripWithJxrlibsPrograms) {
    const struct {
        const char* source;
        const char* magick;
        std::uint32_t channels;
    } cases[] = {
        {"rgb.tif", "-size 37x23 gradient:'#0102ff-#fefd00' -seed 7 -attenuate 0.3 +noise Uniform",
         4},
        {"rgba.tif", "-size 29x19 radial-gradient:'rgba(255,200,0,1)-rgba(0,0,255,0.25)'", 4},
        {"grey.tif", "-size 31x17 gradient:black-white -colorspace Gray -type Grayscale", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        const std::string source = m_temp / c.source;
        const std::string file = source + ".jxr";
        // TIFF, as jxrlib's program reads 16-bit PNM samples in the wrong byte order.
        if (!run_tool(std::string("convert ") + c.magick +
                      " -depth 16 -compress none -endian LSB '" + source + "'") ||
            !run_tool("JxrEncApp -i '" + source + "' -o '" + file + "' -q 1"))
            GTEST_SKIP() << "no ImageMagick or JxrEncApp";
        LoadOptions ask;
        ask.want_deep = true;
        const LoadResult loaded = load_with(api(), file, ask);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.frames[0].pixels, load_with(api(), file).frames[0].pixels);
        ASSERT_EQ(loaded.deep.channels, c.channels);
        const std::vector<std::uint16_t> rgba = deep_rgba(loaded.deep);
        EXPECT_EQ(rgba, magick_rgba16(source));
        int worst = 0; // jxrlib's own 16-to-8 conversion against the host's rounding
        for (std::size_t i = 0; i < loaded.frames[0].pixels.size(); ++i) {
            const std::uint32_t p = loaded.frames[0].pixels[i];
            const int got[4] = {int(p >> 16 & 0xFF), int(p >> 8 & 0xFF), int(p & 0xFF),
                                255 - int(p >> 24)};
            for (int ch = 0; ch < 4; ++ch)
                worst = std::max(worst, std::abs(got[ch] - image::to_8bit(rgba[4 * i + ch])));
        }
        EXPECT_LE(worst, 1);

        lossless();
        const std::string saved = m_temp / "saved.jxr";
        const SaveResult result = save_with(api(), saved, {loaded.frames[0]}, 0, &loaded.deep);
        ASSERT_EQ(result.result, VT_OK);
        EXPECT_TRUE(result.deep_written);
        EXPECT_EQ(load_with(api(), saved, ask).deep.samples, loaded.deep.samples);
        const std::string decoded = saved + ".tif";
        ASSERT_TRUE(run_tool("JxrDecApp -i '" + saved + "' -o '" + decoded + "'"));
        EXPECT_EQ(magick_rgba16(decoded), rgba);
    }
}

// The codestream header's width and height (minus one), 16 or 32 bits as its flag says.
std::string with_size(std::string file, std::uint32_t width, std::uint32_t height) {
    const std::size_t at = file.find("WMPHOTO");
    if (at == std::string::npos)
        return {};
    const bool short_header = (static_cast<unsigned char>(file[at + 10]) & 0x80) != 0;
    const int bytes = short_header ? 2 : 4;
    std::size_t p = at + 12;
    for (const std::uint32_t v : {width - 1, height - 1})
        for (int i = bytes - 1; i >= 0; --i)
            file[p++] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return file;
}

TEST_F(WicPlugin, HostileSizesAreRefusedBeforeAnyFrame) {
    const std::string file = m_temp / "small.jxr";
    ASSERT_EQ(save_with(api(), file, {make_picture(8, 8, false)}).result, VT_OK);
    const std::string whole = read_bytes(file);
    const std::vector<Refusal> cases = {
        {"huge in a tiny file", with_size(whole, 15000, 15000), VT_ERR_READ},
        {"more pixels than a bitmap", with_size(whole, 20000, 20000), VT_ERR_DIMENSIONS},
        {"not the format", "II\xBC\x07 and more bytes", -1}};
    for (const Refusal& c : cases) {
        const LoadResult loaded = load_bytes(c.bytes);
        EXPECT_EQ(loaded.result, c.result) << c.what;
        EXPECT_TRUE(loaded.frames.empty()) << c.what;
    }
}

} // namespace
} // namespace vt::test
