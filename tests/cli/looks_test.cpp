// Fast draft decode against the exact path, colour conversion against lcms's own tools and text
// watermark placement, end to end through vtconvert and the real plug-ins.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "tests/formats/wide_profile.h"
#include "tests/support/temp_folder.h"

namespace vt::test {
namespace {

struct Rgb {
    int w = 0, h = 0;
    std::vector<std::uint8_t> bytes; // R, G, B
};

std::string ppm_text(const Rgb& p) {
    return "P6\n" + std::to_string(p.w) + " " + std::to_string(p.h) + "\n255\n" +
           std::string(p.bytes.begin(), p.bytes.end());
}

Rgb read_ppm(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string magic, max;
    Rgb p;
    in >> magic >> p.w >> p.h >> max;
    in.get();
    p.bytes.resize(static_cast<std::size_t>(p.w) * p.h * 3);
    in.read(reinterpret_cast<char*>(p.bytes.data()), static_cast<std::streamsize>(p.bytes.size()));
    return magic == "P6" && in ? p : Rgb{};
}

// A photo-like picture: smooth light, fine texture, edges and sensor-like grain, mostly in
// brightness as a camera's processing leaves it (colour grain of the same strength would be
// pure chroma detail, which 4:2:0 files do not keep anyway).
Rgb photo(int w, int h) {
    Rgb p{w, h, {}};
    std::uint32_t seed = 12345;
    const auto grain = [&seed](int range) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<double>((seed >> 16) % static_cast<std::uint32_t>(range)) -
               (range - 1) / 2.0;
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double t =
                20 * std::sin(x * 0.21) * std::cos(y * 0.17) + 12 * std::sin((x + 2 * y) * 0.9);
            const int edge = ((x / 97 + y / 61) % 2) * 40;
            const double luma = grain(64);
            for (const double v :
                 {40 + x * 150.0 / w + t + edge, 60 + y * 120.0 / h - t, 90 + t + edge / 2.0})
                p.bytes.push_back(
                    static_cast<std::uint8_t>(std::clamp(v + luma + grain(16), 0.0, 255.0)));
        }
    return p;
}

double psnr(const Rgb& a, const Rgb& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.bytes.size(); ++i)
        sum += std::pow(a.bytes[i] - b.bytes[i], 2);
    return 10 * std::log10(65025.0 * static_cast<double>(a.bytes.size()) / std::max(sum, 1.0));
}

// A Lanczos-3 shrink in double precision, the kernel widened by the factor: a reference that
// neither of vtconvert's resize paths is built on. One axis: `along` steps along it, `across` to
// the next line, in pixels of three channels; the result keeps the layout (rows or columns).
std::vector<double> lanczos_axis(const std::vector<double>& in, int n_in, int n_out, int lines,
                                 bool rows) {
    const int along = rows ? 1 : lines, across = rows ? n_in : 1;
    const int out_along = rows ? 1 : lines, out_across = rows ? n_out : 1;
    const auto kernel = [](double t) {
        t = std::abs(t);
        return t < 1e-9 ? 1.0
               : t < 3  ? 3 * std::sin(M_PI * t) * std::sin(M_PI * t / 3) / (M_PI * M_PI * t * t)
                        : 0.0;
    };
    const double scale = static_cast<double>(n_in) / n_out;
    std::vector<double> out(static_cast<std::size_t>(n_out) * lines * 3);
    for (int o = 0; o < n_out; ++o) {
        const double centre = (o + 0.5) * scale - 0.5;
        for (int line = 0; line < lines; ++line)
            for (int c = 0; c < 3; ++c) {
                double sum = 0, weights = 0;
                for (int i = static_cast<int>(centre - 3 * scale) - 1; i <= centre + 3 * scale;
                     ++i) {
                    const double w = kernel((i - centre) / scale);
                    const int k = std::clamp(i, 0, n_in - 1);
                    sum += w * in[static_cast<std::size_t>((k * along + line * across) * 3 + c)];
                    weights += w;
                }
                out[static_cast<std::size_t>((o * out_along + line * out_across) * 3 + c)] =
                    sum / weights;
            }
    }
    return out;
}

Rgb lanczos(const Rgb& p, int w, int h) {
    const auto across = lanczos_axis({p.bytes.begin(), p.bytes.end()}, p.w, w, p.h, true);
    Rgb out{w, h, {}};
    for (const double v : lanczos_axis(across, p.h, h, w, false))
        out.bytes.push_back(static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)));
    return out;
}

class LooksTest : public ::testing::Test {
protected:
    ::testing::AssertionResult run(const std::string& args, const std::string& from,
                                   const std::string& to) {
        const int status = std::system(
            ("VANTREL_DATA_ROOT='" + work.path() + "/data' '" VTCONVERT "' -q --overwrite " + args +
             " '" + from + "' '" + to + "' >'" + (work / "out.txt") + "' 2>&1 </dev/null")
                .c_str());
        return WIFEXITED(status) && WEXITSTATUS(status) == 0
                   ? ::testing::AssertionSuccess()
                   : ::testing::AssertionFailure() << args << ": " << work.read("out.txt");
    }
    // Converts folder `from` to PPM with `args` in a fresh folder and reads picture `name`.
    Rgb to_ppm(const std::string& args, const std::string& from, const std::string& name) {
        TempFolder out;
        EXPECT_TRUE(run("-f .ppm " + args, from, out.path()));
        return read_ppm(out / (name + ".ppm"));
    }

    TempFolder work;
};

TEST_F(LooksTest, FastDecodeStaysWithinHalfADecibelOfTheExactPath) {
    const struct {
        const char* encode; // how the source is made from the PPM
        const char* resize;
        const char* turn = "";
    } cases[] = {
        {"-f .jpg --set fmx_JPEG.quality=90", "--resize 3:300x200"},
        {"-f .jpg --set fmx_JPEG.quality=90", "--resize 5:25x25"},
        // Above half the size: a full-size draft, shrunk by the cubic.
        {"-f .jpg --set fmx_JPEG.quality=90", "--resize 3:768x768"},
        {"-f .jpg --set fmx_JPEG.quality=90", "--resize 1:200x300", "--rotate 1"},
        // Shrunk by the cubic before the quarter turn, into a box that is not square.
        {"-f .jpg --set fmx_JPEG.quality=90", "--resize 3:700x1000", "--rotate 1"},
        {"-f .webp --set fmx_WebP.quality=90", "--resize 3:300x200"},
    };
    TempFolder plain;
    plain.write("p.ppm", ppm_text(photo(1200, 800)));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.encode) + " " + c.resize + " " + c.turn);
        TempFolder coded;
        ASSERT_TRUE(run(c.encode, plain.path(), coded.path()));
        const std::string args = std::string("--algorithm 2 ") + c.resize + " " + c.turn;
        const Rgb exact = to_ppm(args, coded.path(), "p");
        const Rgb fast = to_ppm(args + " --fast-decode", coded.path(), "p");
        const Rgb reference = lanczos(to_ppm(c.turn, plain.path(), "p"), exact.w, exact.h);
        ASSERT_EQ(std::pair(fast.w, fast.h), std::pair(exact.w, exact.h));
        EXPECT_NE(fast.bytes, exact.bytes) << "the draft decode did not happen";
        // Better than the exact path is fine.
        EXPECT_GT(psnr(fast, reference), psnr(exact, reference) - 0.5);
    }
}

void save_adobe_rgb_profile(const std::string& file) {
    const std::vector<std::uint8_t> icc = adobe_rgb_profile();
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(icc.data()), static_cast<std::streamsize>(icc.size()));
}

TEST_F(LooksTest, AdobeRgbJpegToSrgbMatchesTransicc) {
    if (std::system("command -v jpgicc transicc >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "liblcms2-utils is not installed";
    TempFolder plain, srgb, adobe;
    save_adobe_rgb_profile(work / "adobe.icc");
    plain.write("p.ppm", ppm_text(photo(48, 32)));
    ASSERT_TRUE(run("-f .jpg --set fmx_JPEG.quality=95", plain.path(), srgb.path()));
    ASSERT_EQ(std::system(("jpgicc -e -q95 '-o" + (work / "adobe.icc") + "' '" + (srgb / "p.jpg") +
                           "' '" + (adobe / "p.jpg") + "' >/dev/null 2>&1")
                              .c_str()),
              0);
    const Rgb raw = to_ppm("--to-srgb off", adobe.path(), "p");
    std::string values;
    for (std::size_t i = 0; i < raw.bytes.size(); i += 3)
        values += std::to_string(raw.bytes[i]) + " " + std::to_string(raw.bytes[i + 1]) + " " +
                  std::to_string(raw.bytes[i + 2]) + "\n";
    work.write("raw.txt", values);
    for (const auto& [option, intent] : {std::pair{"--to-srgb perceptual", 0},
                                         std::pair{"--to-srgb relative", 1}, std::pair{"", 0}}) {
        SCOPED_TRACE(option);
        const Rgb ours = to_ppm(option, adobe.path(), "p");
        ASSERT_EQ(ours.bytes.size(), raw.bytes.size());
        const std::string command = "transicc -n -s -t" + std::to_string(intent) + " '-i" +
                                    (work / "adobe.icc") + "' '-o*sRGB' <'" + (work / "raw.txt") +
                                    "' >'" + (work / "want.txt") + "' 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::istringstream want(work.read("want.txt"));
        double v = 0, worst = 0;
        for (std::size_t i = 0; i < ours.bytes.size() && want >> v; ++i)
            worst = std::max(worst, std::abs(ours.bytes[i] - v));
        EXPECT_LE(worst, 1.0);
    }
    TempFolder out; // a converted picture no longer carries its profile
    ASSERT_TRUE(run("-f .jpg --to-srgb relative", adobe.path(), out.path()));
    EXPECT_EQ(out.read("p.jpg").find("ICC_PROFILE"), std::string::npos);
}

// Under --to-srgb auto a wide-gamut picture reaches a target whose writer drops the profile as
// sRGB pixels: the same picture as lcms's own sRGB conversion sent through that writer. A writer
// that keeps the profile gets the pixels unchanged.
TEST_F(LooksTest, AutoConvertsForEveryWriterThatDropsTheProfile) {
    if (std::system("command -v jpgicc transicc >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "liblcms2-utils is not installed";
    TempFolder plain, srgb, adobe, want;
    save_adobe_rgb_profile(work / "adobe.icc");
    plain.write("p.ppm", ppm_text(photo(48, 32)));
    ASSERT_TRUE(run("-f .jpg --set fmx_JPEG.quality=95", plain.path(), srgb.path()));
    ASSERT_EQ(std::system(("jpgicc -e -q95 '-o" + (work / "adobe.icc") + "' '" + (srgb / "p.jpg") +
                           "' '" + (adobe / "p.jpg") + "' >/dev/null 2>&1")
                              .c_str()),
              0);
    const Rgb raw = to_ppm("--to-srgb off", adobe.path(), "p");
    std::string values;
    for (std::size_t i = 0; i < raw.bytes.size(); i += 3)
        values += std::to_string(raw.bytes[i]) + " " + std::to_string(raw.bytes[i + 1]) + " " +
                  std::to_string(raw.bytes[i + 2]) + "\n";
    work.write("raw.txt", values);
    ASSERT_EQ(std::system(("transicc -n -s -t0 '-i" + (work / "adobe.icc") + "' '-o*sRGB' <'" +
                           (work / "raw.txt") + "' >'" + (work / "want.txt") + "' 2>/dev/null")
                              .c_str()),
              0);
    Rgb converted{raw.w, raw.h, {}};
    std::istringstream in(work.read("want.txt"));
    for (double v = 0; in >> v;)
        converted.bytes.push_back(static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)));
    ASSERT_EQ(converted.bytes.size(), raw.bytes.size());
    want.write("p.ppm", ppm_text(converted));
    // Motion JPEG at its finest, so that a step of one in the colours stays one.
    for (const auto& [target, keeps_profile] :
         {std::pair{".j2k", false}, std::pair{".pam", false}, std::pair{".bmp", false},
          std::pair{".ora", false}, std::pair{".avi --set fmx_AVI.quality=100", false},
          std::pair{".png", true}, std::pair{".jp2", true}, std::pair{".xcf", true}}) {
        SCOPED_TRACE(target);
        TempFolder ours, theirs;
        ASSERT_TRUE(run(std::string("-f ") + target, adobe.path(), ours.path()));
        ASSERT_TRUE(run(std::string("-f ") + target, want.path(), theirs.path()));
        const Rgb got = to_ppm("--to-srgb off", ours.path(), "p");
        const Rgb expected = keeps_profile ? raw : to_ppm("--to-srgb off", theirs.path(), "p");
        ASSERT_EQ(got.bytes.size(), expected.bytes.size());
        EXPECT_GE(psnr(got, expected), 45.0);
    }
}

// The ink's box is as wide as the size rule says and sits where the X/Y rule puts it.
TEST_F(LooksTest, TextWatermarkLandsWhereTheXYRulePutsIt) {
    const char* font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    if (!std::filesystem::exists(font))
        GTEST_SKIP() << "fonts-dejavu-core is not installed";
    TempFolder plain;
    plain.write("p.ppm", ppm_text(Rgb{400, 300, std::vector<std::uint8_t>(400 * 300 * 3, 255)}));
    const struct {
        int x, y, size;
    } cases[] = {{0, 0, 50}, {100, 100, 25}, {50, 50, 40}, {100, 0, 30}, {0, 100, 60}};
    for (const auto& c : cases) {
        const std::string args = "--watermark-text Vantrel --watermark-color 102030 "
                                 "--watermark-opacity 100 --watermark-font " +
                                 std::string(font) + " --watermark-size " + std::to_string(c.size) +
                                 " --watermark-pos " + std::to_string(c.x) + "," +
                                 std::to_string(c.y);
        SCOPED_TRACE(args);
        const Rgb out = to_ppm(args, plain.path(), "p");
        int left = out.w, top = out.h, right = -1, bottom = -1, darkest = 255;
        for (int i = 0; i < out.w * out.h; ++i)
            if ((out.bytes[i * 3] & out.bytes[i * 3 + 1] & out.bytes[i * 3 + 2]) != 255) {
                left = std::min(left, i % out.w), right = std::max(right, i % out.w);
                top = std::min(top, i / out.w), bottom = std::max(bottom, i / out.w);
                darkest = std::min(darkest, out.bytes[i * 3] + 0);
            }
        ASSERT_GE(right, left);
        const int w = right - left + 1, h = bottom - top + 1;
        EXPECT_NEAR(w, (400 * c.size + 50) / 100, 400 * c.size / 100 / 25 + 2);
        EXPECT_EQ(left, ((400 - w) * c.x + 50) / 100);
        EXPECT_EQ(top, ((300 - h) * c.y + 50) / 100);
        EXPECT_EQ(darkest, 0x10); // full coverage somewhere: the colour itself
    }
}

} // namespace
} // namespace vt::test
