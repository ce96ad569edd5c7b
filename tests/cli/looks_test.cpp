// The picture options beyond the classic job, end to end through vtconvert and the real plug-ins:
// fast draft decode against the exact path, colour conversion against lcms's own tools, and the
// placement of a text watermark.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <lcms2.h>
#include <sys/wait.h>

#include "tests/support/temp_folder.h"

namespace vt::test {
namespace {

struct Rgb {
    int w = 0, h = 0;
    std::string bytes; // R, G, B
    [[nodiscard]] int at(int x, int y, int c) const {
        return static_cast<unsigned char>(bytes[(static_cast<std::size_t>(y) * w + x) * 3 + c]);
    }
};

std::string ppm_text(const Rgb& p) {
    return "P6\n" + std::to_string(p.w) + " " + std::to_string(p.h) + "\n255\n" + p.bytes;
}

Rgb read_ppm(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string magic;
    Rgb p;
    int max = 0;
    in >> magic >> p.w >> p.h >> max;
    in.get();
    p.bytes.resize(static_cast<std::size_t>(p.w) * p.h * 3);
    in.read(p.bytes.data(), static_cast<std::streamsize>(p.bytes.size()));
    return magic == "P6" && in ? p : Rgb{};
}

// A photo-like picture: smooth light, fine texture, edges and sensor-like grain.
Rgb photo(int w, int h) {
    Rgb p{w, h, {}};
    std::uint32_t seed = 12345;
    const auto grain = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<double>((seed >> 16) & 63) - 31.5;
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double t =
                20 * std::sin(x * 0.21) * std::cos(y * 0.17) + 12 * std::sin((x + 2 * y) * 0.9);
            const int edge = ((x / 97 + y / 61) % 2) * 40;
            for (const double v :
                 {40 + x * 150.0 / w + t + edge, 60 + y * 120.0 / h - t, 90 + t + edge / 2.0})
                p.bytes.push_back(static_cast<char>(std::clamp(v + grain(), 0.0, 255.0)));
        }
    return p;
}

double psnr(const Rgb& a, const Rgb& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.bytes.size(); ++i) {
        const double d =
            static_cast<unsigned char>(a.bytes[i]) - static_cast<unsigned char>(b.bytes[i]);
        sum += d * d;
    }
    const double mse = sum / static_cast<double>(a.bytes.size());
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

bool have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

class LooksTest : public ::testing::Test {
protected:
    // vtconvert from folder `from` into `to` (which it may fill).
    ::testing::AssertionResult run(const std::string& args, const std::string& from,
                                   const std::string& to) {
        const std::string command = "VANTREL_DATA_ROOT='" + work.path() +
                                    "/data' '" VTCONVERT "' -q --overwrite " + args + " '" + from +
                                    "' '" + to + "' >'" + (work / "out.txt") + "' 2>&1 </dev/null";
        const int status = std::system(command.c_str());
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << args << ": " << work.read("out.txt");
    }
    // Converts folder `from` to PPM with `args` in a fresh folder and reads picture `name`.
    Rgb to_ppm(const std::string& args, const std::string& from, const std::string& name) {
        TempFolder out;
        EXPECT_TRUE(run("-f .ppm " + args, from, out.path()));
        return read_ppm(out / (name + ".ppm"));
    }

    TempFolder work;
};

struct DraftCase {
    const char* encode; // how the source is made from the PPM
    const char* resize;
};

TEST_F(LooksTest, FastDecodeStaysWithinHalfADecibelOfTheExactPath) {
    const DraftCase cases[] = {
        {"-f .jpg --set fmx_JPEG.quality=90", "--resize 3:300x200"},
        {"-f .jpg --set fmx_JPEG.quality=90", "--resize 5:25x25"},
        {"-f .jpg --set fmx_JPEG.quality=90", "--resize 1:200x300 --rotate 1"},
        {"-f .webp --set fmx_WebP.quality=90", "--resize 3:300x200"},
    };
    TempFolder plain, coded;
    plain.write("p.ppm", ppm_text(photo(1200, 800)));
    for (const DraftCase& c : cases) {
        SCOPED_TRACE(std::string(c.encode) + " " + c.resize);
        ASSERT_TRUE(run(c.encode, plain.path(), coded.path()));
        const std::string args = std::string("--algorithm 2 ") + c.resize;
        const Rgb reference = to_ppm(args, plain.path(), "p");
        const Rgb exact = to_ppm(args, coded.path(), "p");
        const Rgb fast = to_ppm(args + " --fast-decode", coded.path(), "p");
        ASSERT_GT(reference.w, 0);
        ASSERT_EQ(exact.w, reference.w);
        ASSERT_EQ(exact.h, reference.h);
        ASSERT_EQ(fast.w, exact.w);
        ASSERT_EQ(fast.h, exact.h);
        EXPECT_NE(fast.bytes, exact.bytes) << "the draft decode did not happen";
        EXPECT_NEAR(psnr(fast, reference), psnr(exact, reference), 0.5);
        std::filesystem::remove_all(coded.path());
        std::filesystem::create_directory(coded.path());
    }
}

// Adobe RGB (1998): D65 white, its primaries, gamma 563/256.
void save_adobe_rgb_profile(const std::string& file) {
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 563.0 / 256.0);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    ASSERT_NE(profile, nullptr);
    ASSERT_TRUE(cmsSaveProfileToFile(profile, file.c_str()));
    cmsCloseProfile(profile);
    cmsFreeToneCurve(gamma);
}

TEST_F(LooksTest, AdobeRgbJpegToSrgbMatchesTransicc) {
    if (!have("jpgicc") || !have("transicc"))
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
    ASSERT_EQ(raw.w, 48);
    std::string values;
    for (std::size_t i = 0; i < raw.bytes.size(); i += 3)
        values += std::to_string(static_cast<unsigned char>(raw.bytes[i])) + " " +
                  std::to_string(static_cast<unsigned char>(raw.bytes[i + 1])) + " " +
                  std::to_string(static_cast<unsigned char>(raw.bytes[i + 2])) + "\n";
    work.write("raw.txt", values);
    const struct {
        const char* option;
        int intent;
    } cases[] = {{"--to-srgb perceptual", 0}, {"--to-srgb relative", 1}, {"", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        const Rgb ours = to_ppm(c.option, adobe.path(), "p");
        ASSERT_EQ(ours.bytes.size(), raw.bytes.size());
        const std::string command = "transicc -n -s -t" + std::to_string(c.intent) + " '-i" +
                                    (work / "adobe.icc") + "' '-o*sRGB' <'" + (work / "raw.txt") +
                                    "' >'" + (work / "want.txt") + "' 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::istringstream want(work.read("want.txt"));
        double v = 0, worst = 0;
        for (std::size_t i = 0; i < ours.bytes.size() && want >> v; ++i)
            worst = std::max(worst, std::abs(static_cast<unsigned char>(ours.bytes[i]) - v));
        EXPECT_LE(worst, 1.0);
    }
    // A target that carries profiles keeps it unless asked; converted pictures lose it.
    for (const auto& [option, kept] :
         {std::pair{"", true}, std::pair{"--to-srgb relative", false}}) {
        TempFolder out;
        ASSERT_TRUE(run(std::string("-f .jpg ") + option, adobe.path(), out.path()));
        EXPECT_EQ(out.read("p.jpg").find("ICC_PROFILE") != std::string::npos, kept) << option;
    }
}

} // namespace
} // namespace vt::test
