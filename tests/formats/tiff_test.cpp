#include <gtest/gtest.h>

#include <lcms2.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "formats/tiff/tiff_codec.h"
#include "formats/tiff/tiff_exif.h"
#include "image/deep_image.h"
#include "tests/formats/deep_files.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"
#include "tests/formats/tiff_test_util.h"

namespace vt::test {
namespace {

using tiff::Page;
using tiff::write_tiff;

constexpr std::uint32_t kTagIcc = VT_TAG('I', 'C', 'C', 'P');

class TiffPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_TIFF"); }
    void TearDown() override { HarnessServices::state().erase(u"fmx_TIFF.compression"); }
};

// A first directory's compression, samples, extra sample type (-1: none), predictor,
// photometric interpretation, and the file's number of directories, as one text.
std::string layout_text(int compression, int samples, int extra, int predictor, int photometric,
                        int directories) {
    return std::to_string(compression) + " " + std::to_string(samples) + " " +
           std::to_string(extra) + " " + std::to_string(predictor) + " " +
           std::to_string(photometric) + " " + std::to_string(directories);
}

// What libtiff finds in a saved file.
std::string saved_layout(const std::string& path) {
    tiff::TiffHandle tif = tiff::open_quiet(path, "r");
    std::uint16_t compression = 0, samples = 0, predictor = PREDICTOR_NONE, photometric = 0,
                  extras = 0, *extra = nullptr;
    if (!tif)
        return "unreadable";
    TIFFGetField(tif.get(), TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tif.get(), TIFFTAG_PREDICTOR, &predictor);
    TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tif.get(), TIFFTAG_EXTRASAMPLES, &extras, &extra);
    return layout_text(compression, samples,
                       extras == 0   ? -1
                       : extras == 1 ? extra[0]
                                     : 100 * extras,
                       predictor, photometric, TIFFNumberOfDirectories(tif.get()));
}

TEST_F(TiffPlugin, EveryCompressionRoundTrips) {
    const struct {
        const char* option;
        std::uint16_t opaque;      // the compression written for an opaque picture
        std::uint16_t transparent; // and for one with transparency
    } cases[] = {{"1", COMPRESSION_NONE, COMPRESSION_NONE},
                 {"5", COMPRESSION_LZW, COMPRESSION_LZW},
                 {"8", COMPRESSION_ADOBE_DEFLATE, COMPRESSION_ADOBE_DEFLATE},
                 {"32773", COMPRESSION_PACKBITS, COMPRESSION_PACKBITS},
                 {"7", COMPRESSION_JPEG, COMPRESSION_LZW}, // JPEG has no alpha: LZW instead
                 {"", COMPRESSION_LZW, COMPRESSION_LZW},
                 {"12345", COMPRESSION_LZW, COMPRESSION_LZW},
                 {"\x08\0\0\0", COMPRESSION_ADOBE_DEFLATE, COMPRESSION_ADOBE_DEFLATE}};
    for (const auto& c : cases) {
        const std::string option(c.option, c.option[0] == '\x08' ? 4 : std::strlen(c.option));
        if (!option.empty())
            HarnessServices::set_state(u"fmx_TIFF.compression", option);
        else
            HarnessServices::state().erase(u"fmx_TIFF.compression");
        for (const auto& size : {std::pair{1u, 1u}, std::pair{17u, 9u}, std::pair{300u, 257u}}) {
            for (const bool transparent : {false, true}) {
                SCOPED_TRACE(std::string(c.option) + " " + std::to_string(size.first) + "x" +
                             std::to_string(size.second) + (transparent ? " alpha" : ""));
                const bool lossy = c.opaque == COMPRESSION_JPEG && !transparent;
                Frame picture = lossy ? smooth_picture(size.first, size.second)
                                      : make_picture(size.first, size.second, transparent);
                if (transparent)
                    picture.pixels[0] |= 0x4D000000u; // 1x1 needs some transparency too
                const std::string file = m_temp / "round.tif";
                ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);

                const int compression = transparent ? c.transparent : c.opaque;
                const bool predicted =
                    compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE;
                EXPECT_EQ(saved_layout(file),
                          layout_text(compression, transparent ? 4 : 3,
                                      transparent ? EXTRASAMPLE_UNASSALPHA : -1,
                                      predicted ? PREDICTOR_HORIZONTAL : PREDICTOR_NONE,
                                      lossy ? PHOTOMETRIC_YCBCR : PHOTOMETRIC_RGB, 1));

                const LoadResult loaded = load_with(api(), file);
                ASSERT_EQ(loaded.result, VT_OK);
                ASSERT_EQ(loaded.frames.size(), 1u);
                EXPECT_EQ(loaded.doc_kind, 0);
                EXPECT_EQ(loaded.warnings, 0);
                const Frame& f = loaded.frames[0];
                // Chroma at half resolution: steep colour edges of the small pictures move
                // most, the picture as a whole stays close.
                EXPECT_LE(max_difference(f, picture), lossy ? 24 : 0);
                EXPECT_LE(mean_difference(f.pixels, picture.pixels), lossy ? 4.0 : 0.0);
                EXPECT_TRUE(has_entry(f, transparent ? "image.bpp=32;" : "image.bpp=24;"));
            }
        }
    }
}

// "fmx_TIFF.bigtiff" 1 writes a BigTIFF of every page, which we, libtiff, ImageMagick and
// tiffinfo (where installed) read back; without it only an output that may pass 4 GiB is one.
TEST_F(TiffPlugin, BigTiffIsForcedByTheOptionOrChosenBySize) {
    const bool magick = run_tool("convert -version");
    const bool tiffinfo = run_tool("command -v tiffinfo");
    for (const char* compression : {"1", "5"}) {
        HarnessServices::set_state(u"fmx_TIFF.compression", compression);
        HarnessServices::set_state(u"fmx_TIFF.bigtiff", "1");
        const std::vector<Frame> pages = {make_picture(37, 21, true), make_picture(9, 30, false)};
        const std::filesystem::path file = m_temp / "big.tif";
        ASSERT_EQ(save_with(api(), file, pages, 1).result, VT_OK);
        EXPECT_EQ(read_bytes(file).substr(0, 4), std::string("II+\0", 4));
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_EQ(loaded.frames.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(max_difference(loaded.frames[i], pages[i]), 0) << i;
            if (magick) {
                const std::optional<Frame> outside = decoded_by(
                    "sh -c 'convert \"$0[" + std::to_string(i) + "]\" PNG32:\"$1\"'", file);
                ASSERT_TRUE(outside.has_value());
                EXPECT_EQ(max_difference(*outside, pages[i]), 0) << i;
            }
        }
        if (tiffinfo) {
            const std::filesystem::path info = m_temp / "info.txt";
            const std::string command = "tiffinfo " + quoted(file) + " >" + quoted(info) + " 2>&1";
            ASSERT_EQ(std::system(command.c_str()), 0);
            const std::string text = read_bytes(info);
            EXPECT_NE(text.find("Image Width: 37 Image Length: 21"), std::string::npos) << text;
            EXPECT_NE(text.find("Image Width: 9 Image Length: 30"), std::string::npos) << text;
        }
        HarnessServices::state().erase(u"fmx_TIFF.bigtiff");
        ASSERT_EQ(save_with(api(), file, pages, 1).result, VT_OK);
        EXPECT_EQ(read_bytes(file).substr(0, 4), std::string("II*\0", 4));
    }
    HarnessServices::state().erase(u"fmx_TIFF.compression");
    const struct {
        std::uint64_t raw;
        std::uint16_t compression;
        bool big;
    } sizes[] = {
        {3'000'000'000, 1, false},       {4'200'000'000, 1, true},
        {4'200'000'000, 32773, true},    {2'000'000'000, 5, false},
        {3'000'000'000, 5, true},        {3'000'000'000, 8, true},
        {(1ull << 32) - 1, 32773, true}, {0, 5, false},
    };
    for (const auto& c : sizes)
        EXPECT_EQ(vt::formats::tiff::needs_bigtiff(c.raw, c.compression), c.big)
            << c.raw << " " << c.compression;
}

TEST_F(TiffPlugin, JpegQualityOptionTradesSizeForFidelity) {
    HarnessServices::set_state(u"fmx_TIFF.compression", "7");
    const Frame picture = smooth_picture(300, 257);
    const std::string file = m_temp / "quality.tif";
    std::vector<std::pair<std::size_t, double>> results; // bytes, mean difference
    for (const char* quality : {"30", "90", "", "100"}) {
        if (*quality != 0)
            HarnessServices::set_state(u"fmx_TIFF.jpeg_quality", quality);
        else
            HarnessServices::state().erase(u"fmx_TIFF.jpeg_quality");
        ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        results.emplace_back(read_bytes(file).size(),
                             mean_difference(loaded.frames.at(0).pixels, picture.pixels));
    }
    HarnessServices::state().erase(u"fmx_TIFF.jpeg_quality");
    HarnessServices::state().erase(u"fmx_TIFF.compression");
    EXPECT_LT(results[0].first, results[1].first);   // 30 is smaller than 90
    EXPECT_GT(results[0].second, results[1].second); // and further from the picture
    EXPECT_EQ(results[2], results[1]);               // 90 is the default
    EXPECT_GT(results[3].first, results[1].first);
}

TEST_F(TiffPlugin, MetadataComesFromTheFirstPageOnly) {
    const std::string file = m_temp / "pages.tif";
    ASSERT_EQ(
        save_with(api(), file, {make_picture(4, 3, false), make_picture(5, 2, true)}, 1).result,
        VT_OK);
    const LoadResult loaded = load_with(api(), file);
    ASSERT_EQ(loaded.frames.size(), 2u);
    EXPECT_FALSE(loaded.frames[0].markup.empty());
    EXPECT_TRUE(loaded.frames[1].markup.empty());
}

TEST_F(TiffPlugin, ReducedResolutionPreviewsAreLeftOut) {
    // Grey pages told apart by size and by their level.
    const auto grey = [](std::uint32_t w, std::uint32_t h, std::uint32_t level, bool preview) {
        return Page{
            .width = w,
            .height = h,
            .samples = 1,
            .photometric = PHOTOMETRIC_MINISBLACK,
            .subfile_type = preview ? FILETYPE_REDUCEDIMAGE : 0u,
            .sample = [level](std::uint32_t, std::uint32_t, std::uint32_t) { return level; }};
    };
    const std::string file = m_temp / "previews.tif";
    const struct {
        std::vector<Page> pages;
        std::vector<std::uint32_t> widths;                               // of the frames that load
    } cases[] = {{{grey(16, 8, 10, false), grey(4, 2, 20, true)}, {16}}, // thumbnail after
                 {{grey(4, 2, 20, true), grey(16, 8, 10, false)}, {16}}, // thumbnail first
                 {{grey(4, 2, 20, true), grey(16, 8, 10, false), grey(12, 6, 30, false)}, {16, 12}},
                 {{grey(4, 2, 20, true)}, {4}}, // nothing else
                 {{grey(4, 2, 20, true), grey(2, 1, 40, true)}, {4}}};
    for (const auto& c : cases) {
        ASSERT_TRUE(write_tiff(file, c.pages));
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.warnings, 0);
        ASSERT_EQ(loaded.frames.size(), c.widths.size());
        EXPECT_EQ(loaded.doc_kind, c.widths.size() > 1 ? 1 : 0);
        for (std::size_t i = 0; i < c.widths.size(); ++i)
            EXPECT_EQ(loaded.frames[i].width, c.widths[i]) << i;
        const std::uint32_t level = c.widths[0] == 16 ? 10 : 20;
        EXPECT_EQ(loaded.frames[0].pixels.at(0), bgrt(level, level, level));
    }
}

// Compares a loaded frame with libtiff's own decode. libtiff premultiplies alpha where the
// plug-in keeps colours whole, so colours are compared premultiplied, within rounding.
int count_differences(const Frame& frame, const tiff::Reference& reference) {
    int differing = 0;
    for (std::size_t i = 0; i < frame.pixels.size(); ++i) {
        const std::uint32_t p = frame.pixels[i];
        const std::uint32_t want = reference.abgr[i];
        const std::uint32_t alpha = 255 - (p >> 24);
        bool same = alpha == (want >> 24);
        for (int c = 0; c < 3 && same; ++c) {
            const std::uint32_t ours = (p >> (16 - 8 * c)) & 0xFF; // R, G, B
            const std::uint32_t theirs = (want >> (8 * c)) & 0xFF;
            const std::uint32_t premultiplied = alpha == 255 ? ours : (alpha * ours + 127) / 255;
            same = alpha == 255 ? ours == theirs
                                : std::abs(static_cast<int>(premultiplied - theirs)) <= 1;
        }
        differing += same ? 0 : 1;
    }
    return differing;
}

// A layout libtiff writes and the file's bit depth; the colours must come out as libtiff's own
// decode has them, or where that would hide a rounding, as `expected` says.
struct Layout {
    const char* name;
    Page page;
    std::uint32_t bpp;
    std::function<std::uint32_t(std::uint32_t x, std::uint32_t y)> expected = nullptr;
};

std::vector<std::uint16_t> palette(std::uint32_t entries) {
    std::vector<std::uint16_t> map(entries * 3);
    for (std::uint32_t i = 0; i < entries; ++i) {
        map[i] = static_cast<std::uint16_t>(i * 255 / (entries - 1) * 257);
        map[entries + i] = static_cast<std::uint16_t>((255 - i * 255 / (entries - 1)) * 257);
        map[2 * entries + i] = static_cast<std::uint16_t>((i * 37 & 0xFF) * 257);
    }
    return map;
}

std::uint32_t value8(std::uint32_t x, std::uint32_t y, std::uint32_t s) {
    return (x * 31 + y * 7 + s * 50) & 0xFF;
}

// A page of 37 x 21 pixels, or tiles of `tile` over 40 x 33.
Page make_page(
    std::uint16_t samples, std::uint16_t bits, std::uint16_t photometric, std::uint16_t compression,
    std::function<std::uint32_t(std::uint32_t, std::uint32_t, std::uint32_t)> sample = value8,
    std::uint32_t tile = 0) {
    Page p;
    p.width = tile != 0 ? 40 : 37;
    p.height = tile != 0 ? 33 : 21;
    p.tile = tile;
    p.samples = samples;
    p.bits = bits;
    p.photometric = photometric;
    p.compression = compression;
    p.sample = std::move(sample);
    if (samples == 2 || (samples == 4 && photometric == PHOTOMETRIC_RGB))
        p.extra = {EXTRASAMPLE_UNASSALPHA};
    return p;
}

std::vector<Layout> layouts() {
    const auto grey = [](std::function<std::uint32_t(std::uint32_t, std::uint32_t)> f) {
        return [f](std::uint32_t x, std::uint32_t y, std::uint32_t) { return f(x, y); };
    };
    Page fax = make_page(1, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_CCITTFAX4,
                         grey([](auto x, auto y) { return (x / 3 + y / 2) & 1; }));
    Page pal8 = make_page(1, 8, PHOTOMETRIC_PALETTE, COMPRESSION_LZW,
                          grey([](auto x, auto y) { return (x + y * 3) & 0xFF; }));
    pal8.colormap = palette(256);
    Page pal4 = make_page(1, 4, PHOTOMETRIC_PALETTE, COMPRESSION_NONE,
                          grey([](auto x, auto y) { return (x * 5 + y) & 15; }));
    pal4.colormap = palette(16);
    Page planar = make_page(3, 8, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, value8, 16);
    planar.planar = PLANARCONFIG_SEPARATE;
    Page planar_strips = planar;
    planar_strips.tile = 0;
    planar_strips.rows_per_strip = 4;
    Page turned = make_page(3, 8, PHOTOMETRIC_RGB, COMPRESSION_NONE);
    turned.orientation = ORIENTATION_BOTRIGHT; // rows come in the order stored
    // Colours that are multiples of 5 over alphas 0, 51 and 255 divide out exactly.
    const auto alpha_of = [](std::uint32_t x, std::uint32_t y) {
        return std::array<std::uint32_t, 3>{0, 51, 255}[(x + y) % 3];
    };
    const auto colour_of = [](std::uint32_t x, std::uint32_t y, std::uint32_t s) {
        return (value8(x, y, s) / 5) * 5;
    };
    Page associated =
        make_page(4, 8, PHOTOMETRIC_RGB, COMPRESSION_NONE, [=](auto x, auto y, auto s) {
            return s == 3 ? alpha_of(x, y) : colour_of(x, y, s) * alpha_of(x, y) / 255;
        });
    associated.extra = {EXTRASAMPLE_ASSOCALPHA};
    const auto sixteen = [](auto x, auto y, auto s) { return value8(x, y, s) * 257; };
    return {
        {"16-bit RGB", make_page(3, 16, PHOTOMETRIC_RGB, COMPRESSION_LZW, sixteen), 48},
        {"16-bit RGBA", make_page(4, 16, PHOTOMETRIC_RGB, COMPRESSION_LZW, sixteen), 64},
        {"8-bit grey", make_page(1, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_ADOBE_DEFLATE), 8},
        {"4-bit grey, white is zero",
         make_page(1, 4, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE,
                   grey([](auto x, auto y) { return (x + y) & 15; })),
         4},
        {"2-bit grey",
         make_page(1, 2, PHOTOMETRIC_MINISBLACK, COMPRESSION_PACKBITS,
                   grey([](auto x, auto y) { return (x * 3 + y) & 3; })),
         2},
        {"1-bit fax G4", fax, 1},
        {"8-bit palette", pal8, 8},
        {"4-bit palette", pal4, 4},
        {"CMYK", make_page(4, 8, PHOTOMETRIC_SEPARATED, COMPRESSION_LZW), 32},
        {"tiled RGB", make_page(3, 8, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, value8, 16), 24},
        {"planar RGB strips", planar_strips, 24},
        {"planar RGB tiles", planar, 24},
        {"RGBA, unassociated alpha", make_page(4, 8, PHOTOMETRIC_RGB, COMPRESSION_NONE), 32,
         [](auto x, auto y) {
             return bgrt(value8(x, y, 0), value8(x, y, 1), value8(x, y, 2), 255 - value8(x, y, 3));
         }},
        {"RGBA, associated alpha", associated, 32,
         [=](auto x, auto y) {
             const auto a = alpha_of(x, y);
             return a == 0
                        ? bgrt(0, 0, 0, 255)
                        : bgrt(colour_of(x, y, 0), colour_of(x, y, 1), colour_of(x, y, 2), 255 - a);
         }},
        {"grey with alpha", make_page(2, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE), 16,
         [](auto x, auto y) {
             const auto g = value8(x, y, 0);
             return bgrt(g, g, g, 255 - value8(x, y, 1));
         }},
        {"orientation 3", turned, 24}};
}

TEST_F(TiffPlugin, LayoutsWrittenByLibtiffLoadWithTheirColours) {
    for (const Layout& layout : layouts()) {
        SCOPED_TRACE(layout.name);
        const std::string file = m_temp / "layout.tif";
        ASSERT_TRUE(write_tiff(file, {layout.page}));
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_EQ(loaded.frames.size(), 1u);
        const Frame& f = loaded.frames[0];
        ASSERT_EQ(f.width, layout.page.width);
        ASSERT_EQ(f.height, layout.page.height);
        if (layout.expected) {
            for (std::uint32_t y = 0; y < f.height; ++y)
                for (std::uint32_t x = 0; x < f.width; ++x)
                    ASSERT_EQ(f.pixels[std::size_t{y} * f.width + x], layout.expected(x, y))
                        << x << "," << y;
        } else {
            const auto reference = tiff::reference_pages(file, 1);
            ASSERT_EQ(reference.size(), 1u);
            EXPECT_EQ(count_differences(f, reference[0]), 0);
        }
        EXPECT_TRUE(has_entry(f, "image.bpp=" + std::to_string(layout.bpp) + ";"));
    }
}

// A printer profile of our own whose inks darken along curves no naive inverse follows.
std::string cmyk_profile() {
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 2.1);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsPipeline* to_lab = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* table = cmsStageAllocCLut16bit(nullptr, 5, 4, 3, nullptr);
    const auto sample = [](const cmsUInt16Number in[], cmsUInt16Number out[], void*) -> int {
        const double c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0,
                     k = in[3] / 65535.0;
        const cmsCIELab lab{100 * (1 - k * k) * (1 - 0.4 * (c + m + y) / 3), 70 * (m - c) * (1 - k),
                            70 * (y - 0.5 * (c + m)) * (1 - k)};
        cmsFloat2LabEncoded(out, &lab);
        return 1;
    };
    cmsStageSampleCLut16bit(table, sample, nullptr, 0);
    cmsPipelineInsertStage(to_lab, cmsAT_BEGIN, table);
    cmsPipelineInsertStage(to_lab, cmsAT_BEGIN, cmsStageAllocToneCurves(nullptr, 4, nullptr));
    cmsPipelineInsertStage(to_lab, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, to_lab);
    cmsPipelineFree(to_lab);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

TEST_F(TiffPlugin, CmykWithAProfileGoesThroughItToSrgb) {
    Page page = make_page(4, 8, PHOTOMETRIC_SEPARATED, COMPRESSION_LZW);
    page.icc = cmyk_profile();
    // Strips and tiles; 16-bit inks (whose high bytes are the 8-bit ones) alike.
    for (const std::uint32_t tile : {0u, 16u, 17u}) {
        page.tile = tile == 17u ? 0u : tile;
        page.bits = tile == 17u ? 16 : 8;
        page.sample = [&page](std::uint32_t x, std::uint32_t y, std::uint32_t s) {
            return value8(x, y, s) * (page.bits == 16 ? 257u : 1u);
        };
        const std::string file = m_temp / "cmyk.tif";
        ASSERT_TRUE(write_tiff(file, {page}));
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        const Frame& f = loaded.frames.at(0);
        // lcms's own answer for each pixel's inks; the pixels are sRGB, so no profile is passed on.
        cmsHPROFILE from =
            cmsOpenProfileFromMem(page.icc.data(), static_cast<cmsUInt32Number>(page.icc.size()));
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        cmsHTRANSFORM reference =
            cmsCreateTransform(from, TYPE_CMYK_8, srgb, TYPE_BGRA_8, INTENT_PERCEPTUAL, 0);
        ASSERT_NE(reference, nullptr);
        int worst = 0, naive_worst = 0;
        for (std::uint32_t y = 0; y < f.height; ++y)
            for (std::uint32_t x = 0; x < f.width; ++x) {
                const std::uint8_t inks[4] = {static_cast<std::uint8_t>(value8(x, y, 0)),
                                              static_cast<std::uint8_t>(value8(x, y, 1)),
                                              static_cast<std::uint8_t>(value8(x, y, 2)),
                                              static_cast<std::uint8_t>(value8(x, y, 3))};
                std::uint32_t want = 0;
                cmsDoTransform(reference, inks, &want, 1);
                const std::uint32_t got = f.pixels[std::size_t{y} * f.width + x];
                for (int s = 0; s < 3; ++s) {
                    const int g = static_cast<int>((got >> (8 * s)) & 255);
                    const int naive = (255 - inks[2 - s]) * (255 - inks[3]) / 255;
                    worst =
                        std::max(worst, std::abs(g - static_cast<int>((want >> (8 * s)) & 255)));
                    naive_worst = std::max(naive_worst, std::abs(g - naive));
                }
                ASSERT_EQ(got >> 24, 0u);
            }
        cmsDeleteTransform(reference);
        cmsCloseProfile(srgb);
        cmsCloseProfile(from);
        EXPECT_LE(worst, 1) << tile;
        EXPECT_GT(naive_worst, 20) << tile;
        EXPECT_EQ(f.chunks.count(kTagIcc), 0u);
    }
}

TEST_F(TiffPlugin, FileGoesToTheExifImportWholeAndXmpBecomesMarkup) {
    const Page page{.width = 5,
                    .height = 4,
                    .orientation = ORIENTATION_RIGHTTOP,
                    .xmp = "<x:xmpmeta><rdf:Description><tiff:Make>Vantrel Cam</tiff:Make>"
                           "<tiff:Model>Model Nine</tiff:Model></rdf:Description></x:xmpmeta>",
                    .sample = value8};
    const std::string file = m_temp / "exif.tif";
    ASSERT_TRUE(write_tiff(file, {page}));
    HarnessServices::last_exif().clear();
    const LoadResult loaded = load_with(api(), file);
    ASSERT_EQ(loaded.result, VT_OK);
    const std::string bytes = read_bytes(file);
    EXPECT_EQ(HarnessServices::last_exif(), std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    EXPECT_TRUE(has_entry(loaded.frames[0], "exif.make=Vantrel Cam;"));
    EXPECT_TRUE(has_entry(loaded.frames[0], "exif.model=Model Nine;"));
}

TEST_F(TiffPlugin, ColourProfileRoundTrips) {
    Frame picture = make_picture(8, 6, false);
    const std::vector<std::uint8_t> profile = block_bytes(3001);
    picture.chunks[kTagIcc] = profile;
    const std::string file = m_temp / "icc.tif";
    ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
    {
        tiff::TiffHandle tif = tiff::open_quiet(file, "r");
        ASSERT_TRUE(tif);
        std::uint32_t count = 0;
        void* data = nullptr;
        ASSERT_NE(TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &count, &data), 0);
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + count), profile);
    }
    const LoadResult loaded = load_with(api(), file);
    ASSERT_EQ(loaded.result, VT_OK);
    ASSERT_EQ(loaded.frames[0].chunks.count(kTagIcc), 1u);
    EXPECT_EQ(loaded.frames[0].chunks.at(kTagIcc), profile);
    EXPECT_EQ(loaded.frames[0].pixels, picture.pixels);
}

// The baseline tags libtiff finds in a saved file, "name=value|" each.
std::string baseline_tags(const std::string& path) {
    tiff::TiffHandle tif = tiff::open_quiet(path, "r");
    std::string out;
    for (const auto& [tag, name] : {std::pair{TIFFTAG_MAKE, "make"},
                                    {TIFFTAG_MODEL, "model"},
                                    {TIFFTAG_SOFTWARE, "software"},
                                    {TIFFTAG_ARTIST, "artist"},
                                    {TIFFTAG_IMAGEDESCRIPTION, "description"},
                                    {TIFFTAG_DATETIME, "date"}}) {
        char* value = nullptr;
        if (tif && TIFFGetField(tif.get(), tag, &value) != 0)
            out += std::string(name) + "=" + value + "|";
    }
    std::uint16_t orientation = 0, unit = 0;
    float x = 0, y = 0;
    if (tif && TIFFGetField(tif.get(), TIFFTAG_ORIENTATION, &orientation) != 0)
        out += "orientation=" + std::to_string(orientation) + "|";
    if (tif && TIFFGetField(tif.get(), TIFFTAG_XRESOLUTION, &x) != 0 &&
        TIFFGetField(tif.get(), TIFFTAG_YRESOLUTION, &y) != 0 &&
        TIFFGetField(tif.get(), TIFFTAG_RESOLUTIONUNIT, &unit) != 0)
        out += "resolution=" + std::to_string(x) + " " + std::to_string(y) + " unit " +
               std::to_string(unit) + "|";
    return out;
}

TEST_F(TiffPlugin, MarkupBecomesBaselineTags) {
    // EXIF's own date form passes unchanged; a value that is no date and an orientation out of
    // range are left out.
    const struct {
        const char* markup;
        const char* tags;
    } cases[] = {{"\r\nexif.make=Vantrel Optics;\r\nexif.model=VT-2 Mark II;"
                  "\r\nexif.orientation=6 (right - top);\r\nexif.software=Darkroom 3;"
                  "\r\nexif.artist=A. Person;\r\nexif.description=A test card;"
                  "\r\nexif.date_time=2021-03-04 05:06:07;\r\nimage.ppi=300 150;",
                  "make=Vantrel Optics|model=VT-2 Mark II|software=Darkroom 3|artist=A. Person|"
                  "description=A test card|date=2021:03:04 05:06:07|orientation=6|"
                  "resolution=300.000000 150.000000 unit 2|"},
                 {"\r\nexif.date_time=2020:12:31 23:59:58;\r\nexif.orientation=9;\r\nexif.model=;",
                  "date=2020:12:31 23:59:58|"},
                 {"\r\nexif.date_time=yesterday;", ""}};
    Frame picture = make_picture(6, 5, false);
    const std::string file = m_temp / "tags.tif";
    for (const auto& c : cases) {
        picture.markup = c.markup;
        ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        EXPECT_EQ(baseline_tags(file), c.tags) << c.markup;
    }
    // The stored row order stays; the markup's resolution comes back as the print resolution.
    picture.markup = cases[0].markup;
    ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
    const LoadResult loaded = load_with(api(), file);
    ASSERT_EQ(loaded.result, VT_OK);
    EXPECT_EQ(loaded.frames[0].pixels, picture.pixels);
    EXPECT_EQ(phys_text(loaded.frames[0]), "300 150 in");
}

// ------------------------------------------------------------------------- hostile files

// A little-endian classic TIFF of 8-bit grey with the directory right after the header, its
// entries given as (tag, type, count, value) with values inline, then `tail`.
struct Entry {
    std::uint16_t tag;
    std::uint16_t type;
    std::uint32_t count;
    std::uint32_t value;
};

std::string tiny_tiff(std::vector<Entry> entries, std::uint32_t next, std::string_view tail,
                      std::uint32_t first = 8) {
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    std::string out("II*\0", 4);
    le32(out, first);
    le16(out, static_cast<std::uint32_t>(entries.size()));
    for (const Entry& e : entries) {
        le16(out, e.tag);
        le16(out, e.type);
        le32(out, e.count);
        if (e.type == TIFF_SHORT) {
            le16(out, e.value);
            le16(out, 0);
        } else {
            le32(out, e.value);
        }
    }
    le32(out, next);
    out += tail;
    return out;
}

// Where a tiny file's pixel data starts: after the header, the directory and its next offset.
std::uint32_t data_start(std::size_t entries) {
    return static_cast<std::uint32_t>(8 + 2 + 12 * entries + 4);
}

std::vector<Entry> grey_entries(std::uint32_t width, std::uint32_t height,
                                std::uint32_t strip_offset, std::uint32_t compression = 1) {
    return {{TIFFTAG_IMAGEWIDTH, TIFF_LONG, 1, width},
            {TIFFTAG_IMAGELENGTH, TIFF_LONG, 1, height},
            {TIFFTAG_BITSPERSAMPLE, TIFF_SHORT, 1, 8},
            {TIFFTAG_COMPRESSION, TIFF_SHORT, 1, compression},
            {TIFFTAG_PHOTOMETRIC, TIFF_SHORT, 1, PHOTOMETRIC_MINISBLACK},
            {TIFFTAG_STRIPOFFSETS, TIFF_LONG, 1, strip_offset},
            {TIFFTAG_SAMPLESPERPIXEL, TIFF_SHORT, 1, 1},
            {TIFFTAG_ROWSPERSTRIP, TIFF_LONG, 1, height},
            {TIFFTAG_STRIPBYTECOUNTS, TIFF_LONG, 1, width * height}};
}

std::string header(std::uint32_t width, std::uint32_t height) {
    return tiny_tiff(grey_entries(width, height, data_start(9)), 0, std::string(64, '\x40'));
}

// libtiff's own decode premultiplies alpha: the suites are compared with it below.
VT_FORMAT_CONFORMANCE(
    Tiff, FormatRow{.plugin = "fmx_TIFF", .extension = ".tif", .header = header, .frame_sets = 1});

TEST_F(TiffPlugin, HostileFilesAreRefusedBeforeAllocating) {
    const std::string pixels(64, '\x40');
    const std::uint32_t start = data_start(9);
    auto with = [](std::vector<Entry> entries, Entry extra) {
        entries.push_back(extra);
        return entries;
    };
    const Refusal cases[] = {
        {"header only", std::string("II*\0", 4), VT_ERR_READ},
        {"first directory beyond the end", tiny_tiff(grey_entries(8, 8, start), 0, pixels, 90000),
         VT_ERR_READ},
        {"huge raw picture in a tiny file", tiny_tiff(grey_entries(16000, 15000, start), 0, pixels),
         VT_ERR_READ},
        {"huge JPEG picture in a tiny file",
         tiny_tiff(grey_entries(16000, 15000, start, COMPRESSION_JPEG), 0, pixels), VT_ERR_READ},
        {"huge LZW picture in a tiny file",
         tiny_tiff(grey_entries(16000, 15000, start, COMPRESSION_LZW), 0, pixels), VT_ERR_READ},
        {"strip beyond the end",
         tiny_tiff(grey_entries(8, 8, 100000), 0, pixels + std::string(200, '\0')), VT_ERR_READ},
        {"32-bit float samples",
         tiny_tiff(with(grey_entries(8, 2, start),
                        {TIFFTAG_SAMPLEFORMAT, TIFF_SHORT, 1, SAMPLEFORMAT_IEEEFP}),
                   0, pixels),
         VT_ERR_NOT_IMPLEMENTED},
        {"tiles far larger than the picture",
         tiny_tiff({{TIFFTAG_IMAGEWIDTH, TIFF_LONG, 1, 8},
                    {TIFFTAG_IMAGELENGTH, TIFF_LONG, 1, 8},
                    {TIFFTAG_BITSPERSAMPLE, TIFF_SHORT, 1, 8},
                    {TIFFTAG_PHOTOMETRIC, TIFF_SHORT, 1, PHOTOMETRIC_MINISBLACK},
                    {TIFFTAG_TILEWIDTH, TIFF_LONG, 1, 65520},
                    {TIFFTAG_TILELENGTH, TIFF_LONG, 1, 65520},
                    {TIFFTAG_TILEOFFSETS, TIFF_LONG, 1, start},
                    {TIFFTAG_TILEBYTECOUNTS, TIFF_LONG, 1, 64}},
                   0, pixels),
         VT_ERR_INVALID_DATA}};
    for (const auto& c : cases) {
        const LoadResult loaded = load_bytes(c.bytes);
        EXPECT_EQ(loaded.result, c.result) << c.what;
        // Only the last case gets as far as a frame.
        if (std::string_view(c.what) != "strip beyond the end") {
            EXPECT_TRUE(loaded.frames.empty()) << c.what;
        }
    }
}

TEST_F(TiffPlugin, BrokenDirectoryChainsKeepTheGoodPages) {
    const std::string pixels(64, '\x40');
    const std::uint32_t start = data_start(9);
    const std::string first_of_two = tiny_tiff(grey_entries(8, 8, start), start + 64, pixels);
    const struct {
        const char* what;
        std::string bytes;
        std::size_t frames;
        std::uint8_t doc_kind;
    } cases[] = {
        {"names itself as the next", tiny_tiff(grey_entries(8, 8, start), 8, pixels), 1, 0},
        {"two pages that name each other",
         first_of_two + tiny_tiff(grey_entries(4, 4, start + 64 + data_start(9) - 8), 8,
                                  std::string(16, '\x10'))
                            .substr(8),
         2, 1},
        {"next beyond the end", tiny_tiff(grey_entries(8, 8, start), 1u << 30, pixels), 1, 0},
        {"second page's strip missing",
         first_of_two + tiny_tiff(grey_entries(4, 4, 1u << 20), 0, "").substr(8), 2, 1}};
    for (const auto& c : cases) {
        const LoadResult loaded = load_bytes(c.bytes);
        EXPECT_EQ(loaded.result, VT_OK) << c.what;
        ASSERT_EQ(loaded.frames.size(), c.frames) << c.what;
        EXPECT_EQ(loaded.doc_kind, c.doc_kind) << c.what;
        EXPECT_EQ(loaded.warnings, VT_WARN_DATA_LOST) << c.what;
        EXPECT_EQ(loaded.frames[0].pixels.at(9), bgrt(64, 64, 64)) << c.what;
    }
    const LoadResult two = load_bytes(cases[1].bytes);
    EXPECT_EQ(two.frames.at(1).width, 4u);
    EXPECT_EQ(two.frames.at(1).pixels.at(0), bgrt(16, 16, 16));
}

TEST_F(TiffPlugin, EveryCutOfAFileFailsCleanly) {
    // LZW is the harness's; JPEG and uncompressed strips end their own way.
    for (const char* compression : {"7", "1"}) {
        SCOPED_TRACE(compression);
        HarnessServices::set_state(u"fmx_TIFF.compression", compression);
        const std::string file = m_temp / "whole.tif";
        ASSERT_EQ(save_with(api(), file, {make_picture(32, 24, compression[0] != '7')}).result,
                  VT_OK);
        const std::string whole = read_bytes(file);
        // Every cut through the directory at the end, every fifth through the pixel data.
        const std::size_t directory = whole.size() - std::min<std::size_t>(whole.size(), 400);
        for (std::size_t n = 0; n < whole.size(); n += n < directory ? 5 : 1) {
            write_bytes(file, whole.substr(0, n));
            EXPECT_LT(load_with(api(), file).result, 0) << n;
        }
    }
}

TEST_F(TiffPlugin, ChecksKnowBothByteOrdersAndBigTiff) {
    for (const std::string& head :
         {std::string("II*\0\x08\0\0\0", 8), std::string("MM\0*\0\0\0\x08", 8),
          std::string("II+\0\x08\0\0\0", 8), std::string("MM\0+\0\x08\0\0", 8)})
        EXPECT_GT(load_score(check_with(api().check_load, u"", head)), 2000);
    EXPECT_EQ(check_with(api().check_save, u".tifff").level, 0);
}

// ------------------------------------------------------------------- conformance suites

// The TIFF files of a folder, not of its subfolders.
std::vector<std::filesystem::path> tiff_files(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files = files_in(folder, ".tif");
    for (const auto& path : files_in(folder, ".tiff"))
        files.push_back(path);
    std::erase_if(files, [&](const auto& path) { return path.parent_path() != folder; });
    std::sort(files.begin(), files.end());
    return files;
}

// CIELAB through Little CMS and 16-bit inks by the naive inverse: not libtiff's colours, but
// ImageMagick's (exactly, or within 45 dB) and closer to the original than libvips' decode
// (29.5 dB for hopper).
const std::set<std::string> kNotLibtiffsColours = {"hopper.Lab.tif", "lab.tif",
                                                   "tiff_strip_cmyk_16l_jpeg.tif"};

double psnr(const Frame& a, const Frame& b) {
    if (a.width != b.width || a.height != b.height)
        return 0;
    double squares = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i)
        for (int shift = 0; shift < 32; shift += 8) {
            const double d =
                double((a.pixels[i] >> shift) & 0xFF) - ((b.pixels[i] >> shift) & 0xFF);
            squares += d * d;
        }
    const auto samples = static_cast<double>(4 * a.pixels.size());
    return squares == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * samples / squares);
}

TEST_F(TiffPlugin, InksAndLabMatchTheOutsideDecoders) {
    VT_TESTDATA_OR_SKIP(folder, "pillow-testimages");
    const std::filesystem::path made = m_temp / "cmyk16.tif";
    if (!run_tool("convert -size 64x48 gradient:red-blue -colorspace CMYK -depth 16 " +
                  quoted(made)))
        GTEST_SKIP() << "no ImageMagick";
    const auto original = [&](const std::filesystem::path&) {
        return png_frame(folder / "reference/hopper.png");
    };
    // ImageMagick's sRGB picture, through PNG (its PAM would keep the inks or the Lab).
    const auto magick = [](const std::filesystem::path& file) {
        return decoded_by("convert", file);
    };
    const struct {
        std::filesystem::path file;
        std::function<std::optional<Frame>(const std::filesystem::path&)> reference;
        double least_psnr;
    } cases[] = {
        {made, magick, 45},
        {folder / "tiff/tiff_strip_cmyk_16l_jpeg.tif", magick, 45},
        {folder / "tiff/lab.tif", magick, 99},
        {folder / "tiff/hopper.Lab.tif", original, 35},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.filename().string());
        const LoadResult loaded = load_with(api(), c.file.string());
        ASSERT_EQ(loaded.result, VT_OK);
        const std::optional<Frame> expected = c.reference(c.file);
        ASSERT_TRUE(expected);
        EXPECT_GE(psnr(loaded.frames.at(0), *expected), c.least_psnr);
        for (const std::uint32_t p : loaded.frames[0].pixels)
            ASSERT_EQ(p >> 24, 0u) << "inks and Lab have no alpha";
    }
}

TEST_F(TiffPlugin, PillowFilesDecodeLikeLibtiff) {
    VT_TESTDATA_OR_SKIP(folder, "pillow-testimages/tiff");
    int compared = 0;
    int refused = 0;
    for (const auto& path : tiff_files(folder)) {
        SCOPED_TRACE(path.filename().string());
        if (kNotLibtiffsColours.contains(path.filename().string()))
            continue;
        const std::vector<tiff::Reference> reference = tiff::reference_pages(path.string(), 16);
        const LoadResult loaded = load_with(api(), path.string());
        if (reference.empty()) {
            // What libtiff cannot turn into colours (32-bit samples, codecs left out of the
            // build) is refused, never half-read.
            EXPECT_LT(loaded.result, 0);
            ++refused;
            continue;
        }
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_GE(loaded.frames.size(), reference.size());
        EXPECT_EQ(loaded.doc_kind, loaded.frames.size() > 1 ? 1 : 0);
        for (std::size_t page = 0; page < reference.size(); ++page) {
            const Frame& f = loaded.frames[page];
            ASSERT_EQ(f.width, reference[page].width) << page;
            ASSERT_EQ(f.height, reference[page].height) << page;
            EXPECT_EQ(count_differences(f, reference[page]), 0) << page;
        }
        ++compared;
    }
    EXPECT_GE(compared, 50);
    EXPECT_LE(refused, 6);
    // The multi-page files keep every page.
    EXPECT_EQ(load_with(api(), (folder / "multipage.tiff").string()).frames.size(), 3u);
    EXPECT_EQ(load_with(api(), (folder / "g4-multi.tiff").string()).frames.size(), 3u);
}

TEST_F(TiffPlugin, HopperFilesMatchTheOriginalExactly) {
    VT_TESTDATA_OR_SKIP(folder, "pillow-testimages");
    const std::optional<Frame> expected = png_frame(folder / "reference/hopper.png");
    ASSERT_TRUE(expected);
    for (const char* name : {"hopper.tif", "hopper_lzw.tif", "hopper_bigtiff.tif",
                             "hopper.iccprofile.tif", "hopper_lzma.tif"}) {
        SCOPED_TRACE(name);
        const LoadResult loaded = load_with(api(), (folder / "tiff" / name).string());
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_EQ(loaded.frames.size(), 1u);
        EXPECT_EQ(max_difference(loaded.frames[0], *expected), 0);
        EXPECT_TRUE(has_entry(loaded.frames[0], "image.bpp=24;"));
        const auto& chunks = loaded.frames[0].chunks;
        EXPECT_EQ(chunks.contains(kTagIcc) && chunks.at(kTagIcc).size() > 128,
                  std::string_view(name) == "hopper.iccprofile.tif");
    }
}

TEST_F(TiffPlugin, BrokenFilesFailCleanlyOrLoadBestEffort) {
    VT_TESTDATA_OR_SKIP(folder, "pillow-testimages/tiff");
    std::vector<std::filesystem::path> files = tiff_files(folder / "broken");
    files.push_back(folder / "separate_planar_extra_samples.tiff");
    int failed = 0;
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        const LoadResult loaded = load_with(api(), path.string());
        EXPECT_TRUE(whole_or_clean_failure(loaded));
        failed += loaded.result == VT_OK ? 0 : 1;
    }
    EXPECT_EQ(files.size(), 17u);
    EXPECT_GE(failed, 12);
}

TEST_F(TiffPlugin, ExiftoolFilesLoadWithTheirMetadata) {
    VT_TESTDATA_OR_SKIP(folder, "exiftool-metadata/other");
    for (const char* name : {"ExifTool.tif", "GeoTiff.tif", "BigTIFF.btf"}) {
        SCOPED_TRACE(name);
        HarnessServices::last_exif().clear();
        const LoadResult loaded = load_with(api(), (folder / name).string());
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_FALSE(loaded.frames.empty());
        EXPECT_TRUE(has_entry(loaded.frames[0], "image.bpp="));
        const std::string bytes = read_bytes(folder / name);
        EXPECT_EQ(HarnessServices::last_exif(),
                  std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    // Its resolution becomes the print resolution; the camera tags are the EXIF import's.
    const LoadResult exiftool = load_with(api(), (folder / "ExifTool.tif").string());
    EXPECT_EQ(phys_text(exiftool.frames[0]), "180 180 in");
}

// ---------------------------------------------------------------- EXIF directories

// IFD0 at 8: Copyright (at 50) and the EXIF pointer (to 70); EXIF IFD: ExposureTime 1/200 (at
// 88) and ISO 400 inline.
std::vector<std::uint8_t> camera_block() {
    std::string b = tiny_tiff({{0x8298, TIFF_ASCII, 12, 50}, {0x8769, TIFF_LONG, 1, 70}}, 0, "");
    b.resize(50, '\0');
    b += std::string("(c) Someone", 12);
    b.resize(70, '\0');
    b +=
        tiny_tiff({{0x829A, TIFF_RATIONAL, 1, 100}, {0x8827, TIFF_SHORT, 1, 400}}, 0, "").substr(8);
    le32(b, 1);
    le32(b, 200);
    return {b.begin(), b.end()};
}

class TiffExif : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_TIFF"); }
    std::string saved_picture() {
        const Frame f{
            .width = 3, .height = 2, .pixels = std::vector<std::uint32_t>(6, 0x00336699u)};
        const std::string path = m_temp / "picture.tif";
        EXPECT_EQ(save_with(api(), path, {f}).result, VT_OK);
        return path;
    }
    static bool attach(const std::string& path, const std::vector<std::uint8_t>& block) {
        std::FILE* file = std::fopen(path.c_str(), "r+b");
        const bool attached = file != nullptr && formats::tiff::attach_exif(file, block);
        if (file != nullptr)
            std::fclose(file);
        return attached;
    }
};

TEST_F(TiffExif, DirectoriesAreFoundByLibtiff) {
    const std::string path = saved_picture();
    EXPECT_TRUE(attach(path, camera_block()));

    tiff::TiffHandle tif = tiff::open_quiet(path, "r");
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
    // The ISO entry turned into a pointer (0xA005, a LONG) to its own directory.
    std::copy_n(std::array<std::uint8_t, 3>{0x05, 0xA0, 4}.begin(), 3, &loop[70 + 2 + 12]);
    loop[70 + 2 + 12 + 8] = 70;
    broken.push_back(loop);
    for (const auto& block : broken) {
        if (!attach(path, block))
            EXPECT_EQ(m_temp.read("picture.tif"), before) << "block of " << block.size();
        else
            ASSERT_EQ(load_with(api(), path).result, VT_OK) << "block of " << block.size();
    }
}

// --- 16 bits per channel

struct DeepTiff {
    const char* name;
    const char* magick; // ImageMagick's arguments that draw it, before "TIFF:file"
    std::uint32_t channels;
};

const DeepTiff kDeepTiffs[] = {
    {"rgb",
     "-size 37x23 gradient:'#0102ff-#fefd00' -seed 7 -attenuate 0.3 +noise Uniform "
     "-depth 16 -compress lzw",
     4},
    {"rgba",
     "-size 29x19 radial-gradient:'rgba(255,200,0,1)-rgba(0,0,255,0.25)' -depth 16 "
     "-compress zip",
     4},
    {"grey",
     "-size 31x17 gradient:black-white -seed 3 -attenuate 0.2 +noise Uniform "
     "-colorspace Gray -type Grayscale -depth 16 -compress none",
     2},
    // 32-bit floating point (0 to 1) is read at 16 bits.
    {"float rgb",
     "-size 37x23 gradient:'#0102ff-#fefd00' -seed 7 -attenuate 0.3 +noise Uniform "
     "-define quantum:format=floating-point -depth 32 -compress zip",
     4},
    {"float rgba",
     "-size 29x19 radial-gradient:'rgba(255,200,0,1)-rgba(0,0,255,0.25)' "
     "-define quantum:format=floating-point -depth 32 -compress zip",
     4},
    {"float grey",
     "-size 31x17 gradient:black-white -colorspace Gray -type Grayscale "
     "-define quantum:format=floating-point -depth 32 -compress lzw",
     2},
};

TEST_F(TiffPlugin, SixteenBitPagesLoadAndSaveBitExact) {
    for (const DeepTiff& c : kDeepTiffs) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path file = m_temp / (std::string(c.name) + ".tif");
        if (!run_tool(std::string("convert ") + c.magick + " TIFF:" + quoted(file)))
            GTEST_SKIP() << "no ImageMagick";
        LoadOptions ask;
        ask.want_deep = true;
        const LoadResult plain = load_with(api(), file);
        const LoadResult loaded = load_with(api(), file, ask);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.frames[0].pixels, plain.frames[0].pixels);
        ASSERT_EQ(loaded.deep.channels, c.channels);
        const std::vector<std::uint16_t> rgba = deep_rgba(loaded.deep);
        EXPECT_EQ(rgba, magick_rgba16(file));
        // The 8-bit frame, libtiff's own 16-to-8 scaling as ever, is within one step of the
        // deep picture's rounding.
        int worst = 0;
        for (std::size_t i = 0; i < loaded.frames[0].pixels.size(); ++i) {
            const std::uint32_t p = loaded.frames[0].pixels[i];
            const int got[4] = {int(p >> 16 & 0xFF), int(p >> 8 & 0xFF), int(p & 0xFF),
                                255 - int(p >> 24)};
            for (int ch = 0; ch < 4; ++ch)
                worst = std::max(worst, std::abs(got[ch] - image::to_8bit(rgba[4 * i + ch])));
        }
        EXPECT_LE(worst, 1);

        const std::string saved = m_temp / (std::string(c.name) + "-saved.tif");
        const SaveResult result = save_with(api(), saved, {loaded.frames[0]}, 0, &loaded.deep);
        ASSERT_EQ(result.result, VT_OK);
        EXPECT_TRUE(result.deep_written);
        const LoadResult again = load_with(api(), saved, ask);
        EXPECT_EQ(again.deep.samples, loaded.deep.samples);
        EXPECT_EQ(again.frames[0].pixels, loaded.frames[0].pixels);
        EXPECT_EQ(magick_rgba16(saved), rgba);
    }
}

} // namespace
} // namespace vt::test
