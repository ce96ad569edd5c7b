#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "tests/formats/deep_files.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

std::string rgbe_file(const std::string& resolution, const std::string& data,
                      const std::string& extra = {}) {
    return "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n" + extra + "\n" + resolution + "\n" + data;
}

std::string hdr_header(std::uint32_t width, std::uint32_t height) {
    return rgbe_file("-Y " + std::to_string(height) + " +X " + std::to_string(width), {});
}

std::string pfm_header(std::uint32_t width, std::uint32_t height) {
    return "PF\n" + std::to_string(width) + " " + std::to_string(height) + "\n-1.0\n";
}

std::string floats(const std::vector<float>& values, bool little_endian) {
    std::string s;
    for (const float v : values) {
        const auto bits = std::bit_cast<std::uint32_t>(v);
        for (int b = 0; b < 4; ++b)
            s += static_cast<char>(bits >> (8 * (little_endian ? b : 3 - b)));
    }
    return s;
}

// The inverse of the sRGB curve, in double precision.
double linear(std::uint16_t v) {
    const double s = v / 65535.0;
    return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
}

// ImageMagick reads the floats as linear RGB and takes them to sRGB, as we do.
const std::string kMagickLinearIn = " -set colorspace RGB -colorspace sRGB ";

std::optional<Frame> magick_linear(const std::filesystem::path& file) {
    if (!run_tool("command -v convert"))
        return std::nullopt;
    return decoded_by("convert" + kMagickLinearIn + "-depth 8", file);
}

// ImageMagick's files from its test pictures, written as linear RGB.
int magick_linear_corpus(const std::filesystem::path& folder, const char* extension) {
    if (!run_tool("command -v convert"))
        return 0;
    magick_sources(folder);
    int made = 0;
    for (const char* name : {"opaque", "alpha"})
        made += run_tool("convert " + quoted(folder / (std::string(name) + ".png")) +
                         " -colorspace RGB " + quoted(folder / (std::string(name) + extension)));
    return made;
}

// The RGBE mantissas are 8 bits of the largest colour: a dark colour beside a bright one keeps
// less, 13 steps of 8 bits at the foot of the sRGB curve in these pictures, whether a mantissa
// is read as its middle (Radiance, us) or its floor (ImageMagick).
constexpr int kRgbeTolerance = 13;

VT_FORMAT_CONFORMANCE(
    Hdr, FormatRow{.plugin = "fmx_HDR",
                   .extension = ".hdr",
                   .header = hdr_header,
                   .reference = magick_linear,
                   .make_corpus = [](const auto& f) { return magick_linear_corpus(f, ".hdr"); },
                   .compared = 2,
                   .tolerance = kRgbeTolerance,
                   .round_trip_tolerance = kRgbeTolerance,
                   .keeps_transparency = false});
VT_FORMAT_CONFORMANCE(
    Pfm, FormatRow{.plugin = "fmx_HDR",
                   .extension = ".pfm",
                   .header = pfm_header,
                   .reference = magick_linear,
                   .make_corpus = [](const auto& f) { return magick_linear_corpus(f, ".pfm"); },
                   .compared = 2,
                   .tolerance = 1,
                   .round_trip_tolerance = 1,
                   .keeps_transparency = false});

class HdrPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_HDR"); }

    LoadResult load_deep(const std::string& bytes) {
        LoadOptions options;
        options.want_deep = true;
        return load_bytes(bytes, options);
    }
};

// A 2 x 3 picture of six greys in each of the eight scanline orders the resolution line names.
TEST_F(HdrPlugin, EveryScanlineOrderGivesTheSamePicture) {
    const auto data = [](std::vector<int> order) {
        std::string s;
        for (const int k : order) {
            const char m = static_cast<char>(40 * k + 20);
            s += {m, m, m, static_cast<char>(128)};
        }
        return s;
    };
    const LoadResult standard = load_bytes(rgbe_file("-Y 3 +X 2", data({0, 1, 2, 3, 4, 5})));
    ASSERT_EQ(standard.result, VT_OK);
    ASSERT_EQ(standard.frames[0].width, 2u);
    const std::vector<std::uint32_t>& p = standard.frames[0].pixels;
    EXPECT_LT(p[0] & 0xFF, p[1] & 0xFF);
    EXPECT_LT(p[4] & 0xFF, p[5] & 0xFF);
    const std::pair<const char*, std::vector<int>> orders[] = {
        {"-Y 3 -X 2", {1, 0, 3, 2, 5, 4}}, {"+Y 3 +X 2", {4, 5, 2, 3, 0, 1}},
        {"+Y 3 -X 2", {5, 4, 3, 2, 1, 0}}, {"+X 2 -Y 3", {0, 2, 4, 1, 3, 5}},
        {"+X 2 +Y 3", {4, 2, 0, 5, 3, 1}}, {"-X 2 -Y 3", {1, 3, 5, 0, 2, 4}},
        {"-X 2 +Y 3", {5, 3, 1, 4, 2, 0}},
    };
    for (const auto& [resolution, order] : orders) {
        const LoadResult loaded = load_bytes(rgbe_file(resolution, data(order)));
        ASSERT_EQ(loaded.result, VT_OK) << resolution;
        EXPECT_EQ(loaded.frames[0].width, 2u) << resolution;
        EXPECT_EQ(loaded.frames[0].pixels, p) << resolution;
    }
}

// Runs and literals in each component decode like the flat scanline they stand for; the 8-bit
// frame is the rounding of the deep picture; EXPOSURE lines multiply, and go back out.
TEST_F(HdrPlugin, RunLengthScanlinesAndExposure) {
    const std::string flat_pixels = [] {
        std::string s;
        for (int x = 0; x < 8; ++x)
            s += {'\x80', static_cast<char>(10 * x + 1), static_cast<char>(x < 4 ? 0 : 30 + x),
                  '\x80'};
        return s;
    }();
    const std::string coded = std::string("\x02\x02\x00\x08\x88\x80\x08", 7) +
                              "\x01\x0b\x15\x1f\x29\x33\x3d\x47" +
                              std::string("\x84\x00\x04\x22\x23\x24\x25\x88\x80", 9);
    const LoadResult flat = load_deep(rgbe_file("-Y 1 +X 8", flat_pixels));
    const LoadResult runs =
        load_deep(rgbe_file("-Y 1 +X 8", coded, "EXPOSURE=2\nEXPOSURE=0.25\r\n"));
    ASSERT_EQ(flat.result, VT_OK);
    ASSERT_EQ(runs.result, VT_OK);
    EXPECT_EQ(runs.frames[0].pixels, flat.frames[0].pixels);
    ASSERT_EQ(runs.deep.samples, flat.deep.samples);
    EXPECT_EQ(runs.deep.bits, 16u);
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(flat.frames[0].pixels[i] >> 8 & 0xFF,
                  (flat.deep.samples[i * 4 + 1] * 255u + 32767) / 65535)
            << i;
    EXPECT_TRUE(has_entry(runs.frames[0], "hdr.exposure=0.5;"));
    EXPECT_FALSE(has_entry(flat.frames[0], "hdr.exposure="));
    const std::string file = m_temp / "again.hdr";
    ASSERT_EQ(save_with(api(), file, runs.frames).result, VT_OK);
    EXPECT_NE(read_bytes(file).find("\nEXPOSURE=0.5\n"), std::string::npos);
}

// Both byte orders, grey and colour, bottom-up rows; values clipped and sRGB-encoded.
TEST_F(HdrPlugin, FloatMapsDecodeByTheToneRule) {
    const std::vector<float> colour = {0.5f, 0.25f, 0.0f, 1.0f, 2.0f, -1.0f};
    const std::vector<std::uint16_t> colour_deep = {65535, 65535, 0, 65535, 48192, 35199, 0, 65535};
    const std::vector<std::uint32_t> colour_frame = {bgrt(255, 255, 0), bgrt(188, 137, 0)};
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::uint16_t> deep;
        std::vector<std::uint32_t> frame;
    } cases[] = {
        {"little-endian colour", "PF\n1 2\n-1.0\n" + floats(colour, true), colour_deep,
         colour_frame},
        {"big-endian colour, scale 2", "PF 1 2 2.0\n" + floats(colour, false), colour_deep,
         colour_frame},
        {"grey, not a number",
         "Pf\n2 1\n-1\n" + floats({0.25f, std::nanf("")}, true),
         {35199, 65535, 0, 65535},
         {bgrt(137, 137, 137), bgrt(0, 0, 0)}},
    };
    for (const auto& c : cases) {
        const LoadResult loaded = load_deep(c.bytes);
        ASSERT_EQ(loaded.result, VT_OK) << c.what;
        EXPECT_EQ(loaded.deep.samples, c.deep) << c.what;
        EXPECT_EQ(loaded.frames[0].pixels, c.frame) << c.what;
    }
}

// Every 16-bit value through a saved file and back: PFM exactly, RGBE within its mantissa's
// half step of the largest colour (in linear light, plus the 16-bit rounding).
TEST_F(HdrPlugin, DeepPicturesComeBack) {
    DeepFrame deep{.width = 256, .height = 256, .channels = 4, .bits = 16};
    Frame frame{.width = 256, .height = 256};
    for (std::uint32_t i = 0; i < 65536; ++i) {
        const std::uint16_t s[3] = {static_cast<std::uint16_t>(i),
                                    static_cast<std::uint16_t>(65535 - i),
                                    static_cast<std::uint16_t>(i * 7)};
        deep.samples.insert(deep.samples.end(), {s[0], s[1], s[2], 65535});
        frame.pixels.push_back(bgrt((s[0] * 255u + 32767) / 65535, (s[1] * 255u + 32767) / 65535,
                                    (s[2] * 255u + 32767) / 65535));
    }
    for (const char* name : {"deep.pfm", "deep.hdr"}) {
        const std::string file = m_temp / name;
        const SaveResult saved = save_with(api(), file, {frame}, 0, &deep);
        ASSERT_EQ(saved.result, VT_OK) << name;
        EXPECT_TRUE(saved.deep_written) << name;
        LoadOptions options;
        options.want_deep = true;
        const LoadResult back = load_with(api(), file, options);
        ASSERT_EQ(back.result, VT_OK) << name;
        ASSERT_EQ(back.deep.samples.size(), deep.samples.size()) << name;
        if (std::string(name) == "deep.pfm") {
            EXPECT_EQ(back.deep.samples, deep.samples);
            EXPECT_EQ(back.frames[0].pixels, frame.pixels);
            continue;
        }
        int outside = 0;
        for (std::size_t p = 0; p < deep.samples.size(); p += 4) {
            const double largest = std::max({linear(deep.samples[p]), linear(deep.samples[p + 1]),
                                             linear(deep.samples[p + 2])});
            for (std::size_t c = 0; c < 3; ++c)
                outside += std::abs(linear(back.deep.samples[p + c]) -
                                    linear(deep.samples[p + c])) > largest / 256 + 2e-5;
        }
        EXPECT_EQ(outside, 0);
    }
}

// ImageMagick's files read by us, and ours by ImageMagick, against the 16-bit source: PFM by
// PSNR; RGBE within one mantissa step of each pixel's largest colour in linear light (the
// format's own bound: ImageMagick takes a mantissa's floor, Radiance and we its middle), with
// the 16-bit rounding on both sides.
TEST_F(HdrPlugin, ImageMagickAgreesAtSixteenBits) {
    if (!run_tool("command -v convert"))
        GTEST_SKIP() << "no ImageMagick";
    const std::filesystem::path folder = m_temp.path();
    ASSERT_TRUE(run_tool("convert -size 64x48 gradient:'rgb(250,20,0)-rgb(0,90,255)' -depth 16 "
                         "PNG48:" +
                         quoted(folder / "source.png")));
    DeepFrame source{.width = 64, .height = 48, .channels = 4, .bits = 16};
    source.samples = magick_rgba16(folder / "source.png");
    ASSERT_EQ(source.samples.size(), 64u * 48 * 4);
    Frame frame{.width = 64, .height = 48};
    for (std::size_t i = 0; i < source.samples.size(); i += 4) {
        const auto eight = [&](std::size_t c) {
            return (source.samples[i + c] * 255u + 32767) / 65535;
        };
        frame.pixels.push_back(bgrt(eight(0), eight(1), eight(2)));
    }
    const auto psnr = [&](const std::vector<std::uint16_t>& a) {
        double sum = 0;
        for (std::size_t i = 0; i < source.samples.size(); ++i)
            sum += std::pow(double(a.at(i)) - source.samples[i], 2);
        return 10 *
               std::log10(65535.0 * 65535.0 / std::max(sum / static_cast<double>(a.size()), 1e-9));
    };
    const auto outside_rgbe_bound = [&](const std::vector<std::uint16_t>& a) {
        int outside = 0;
        for (std::size_t p = 0; p < source.samples.size(); p += 4) {
            double largest = 0;
            for (std::size_t c = 0; c < 3; ++c)
                largest = std::max(largest, linear(source.samples[p + c]));
            for (std::size_t c = 0; c < 3; ++c)
                outside += std::abs(linear(a.at(p + c)) - linear(source.samples[p + c])) >
                           largest / 128 + 4e-5;
        }
        return outside;
    };
    for (const char* extension : {".hdr", ".pfm"}) {
        SCOPED_TRACE(extension);
        const bool rgbe = std::string(extension) == ".hdr";
        const auto theirs = folder / (std::string("theirs") + extension);
        ASSERT_TRUE(run_tool("convert " + quoted(folder / "source.png") + " -colorspace RGB " +
                             quoted(theirs)));
        LoadOptions options;
        options.want_deep = true;
        const LoadResult loaded = load_with(api(), theirs.string(), options);
        ASSERT_EQ(loaded.result, VT_OK);

        const std::filesystem::path ours = folder / (std::string("ours") + extension);
        ASSERT_EQ(save_with(api(), ours.string(), {frame}, 0, &source).result, VT_OK);
        const auto back = folder / (std::string("back") + extension + ".png");
        ASSERT_TRUE(run_tool("convert " + quoted(ours) + kMagickLinearIn +
                             "-depth 16 PNG48:" + quoted(back)));
        for (const auto& decoded : {loaded.deep.samples, magick_rgba16(back)}) {
            if (rgbe)
                EXPECT_EQ(outside_rgbe_bound(decoded), 0) << psnr(decoded) << " dB";
            else
                EXPECT_GE(psnr(decoded), 45.0);
        }
    }
}

TEST_F(HdrPlugin, HostileFilesAreRefused) {
    const std::string line8 = std::string("\x02\x02\x00\x08", 4);
    expect_results({
        {"a run past the scanline",
         rgbe_file("-Y 1 +X 8", line8 + "\x89\x01" + std::string(9, 'a')), VT_ERR_INVALID_DATA},
        {"a literal of none",
         rgbe_file("-Y 1 +X 8", line8 + std::string("\x00\x01", 2) + std::string(9, 'a')),
         VT_ERR_INVALID_DATA},
        {"a coded length not the width",
         rgbe_file("-Y 1 +X 8", std::string("\x02\x02\x00\x09", 4) + std::string(40, '\x81')),
         VT_ERR_INVALID_DATA},
        {"scanlines cut short", rgbe_file("-Y 2 +X 8", line8 + std::string(20, '\x84')),
         VT_ERR_READ},
        {"XYZE pixels", "#?RADIANCE\nFORMAT=32-bit_rle_xyze\n\n-Y 1 +X 1\nabcd",
         VT_ERR_NOT_IMPLEMENTED},
        {"one axis twice", rgbe_file("-Y 1 +Y 1", "abcd"), VT_ERR_INVALID_DATA},
        {"no resolution line", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n", VT_ERR_READ},
        {"a huge picture in a tiny file", rgbe_file("-Y 15000 +X 15000", std::string(64, 'a')),
         VT_ERR_READ},
        {"float map cut short", "PF\n2 2\n-1.0\n" + std::string(40, '\0'), VT_ERR_READ},
        {"float map scale 0", "Pf\n1 1\n0\n" + std::string(4, '\0'), VT_ERR_INVALID_DATA},
        {"float map size not a number", "Pf\n1x 1\n-1\n" + std::string(4, '\0'),
         VT_ERR_INVALID_DATA},
    });
}

} // namespace
} // namespace vt::test
