// Print resolution and colour profiles through vtconvert and the real plug-ins, read back by
// outside tools: ImageMagick's identify, exiftool for JP2's resolution boxes and for profiles.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/temp_folder.h"

namespace vt::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* kFormats[] = {"jpg", "png", "tif", "bmp", "pcx", "jp2"};

std::string output_of(const std::string& command) {
    std::string out;
    if (std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

std::string q(const fs::path& path) {
    return "'" + path.string() + "'";
}

// The horizontal print resolution outside readers find in the one file of `folder`, per inch,
// rounded; -1 when they find none.
int dpi_in(const fs::path& folder) {
    const fs::path file = fs::directory_iterator(folder)->path();
    double value = 0, exponent = 0; // JP2: N / D per metre times ten to the unit's power
    char unit[32] = {};
    if (file.extension() == ".jp2") {
        const std::string out =
            output_of("exiftool -s3 -n -DisplayXResolution -DisplayXResolutionUnit " + q(file));
        return std::sscanf(out.c_str(), "%lf %lf", &value, &exponent) == 2
                   ? static_cast<int>(std::lround(value * std::pow(10, exponent) * 0.0254))
                   : -1;
    }
    const std::string out = output_of("identify -format '%x %U' " + q(file));
    if (std::sscanf(out.c_str(), "%lf %31s", &value, unit) != 2 || unit == std::string("Undefined"))
        return -1;
    return static_cast<int>(
        std::lround(unit == std::string("PixelsPerCentimeter") ? value * 2.54 : value));
}

class PrintResolutionTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (output_of("identify -version").empty() || output_of("exiftool -ver").empty())
            GTEST_SKIP() << "ImageMagick or exiftool missing";
        fs::create_directories(src);
    }
    bool shell(const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    }
    bool convert(const std::string& format, const fs::path& from, const fs::path& to,
                 const std::string& options = "") {
        return shell("VANTREL_DATA_ROOT=" + q(work / "data") + " '" VTCONVERT "' -q -f " + format +
                     " " + options + " " + q(from) + " " + q(to));
    }
    // A profile of a header alone (size, version, class, colour spaces, signature, D50) is one
    // that readers carry; JPEG takes it as it is. Written to p.icc.
    std::string header_profile() {
        std::string icc(132, '\0');
        icc[3] = static_cast<char>(132);
        icc.replace(8, 16, std::string("\x02\x10\0\0mntrRGB XYZ ", 16));
        icc.replace(36, 4, "acsp");
        icc.replace(68, 12, std::string("\0\0\xf6\xd6\0\x01\0\0\0\0\xd3\x2d", 12));
        std::ofstream(work / "p.icc", std::ios::binary) << icc;
        return icc;
    }
    test::TempFolder work;
    const fs::path src = work / "src";
};

TEST_F(PrintResolutionTest, EveryPairKeepsItAndChangeDpiKeepsThePrintSize) {
    ASSERT_TRUE(shell("convert -size 40x30 gradient:red-blue -density 300 -units PixelsPerInch " +
                      q(src / "a.jpg")));
    for (const char* from : kFormats) {
        const fs::path first = work / from;
        ASSERT_TRUE(convert(from, src, first)) << from;
        EXPECT_EQ(dpi_in(first), 300) << from;
        for (const char* to : kFormats)
            for (const bool change : {false, true}) {
                const fs::path out = work / (std::string(from) + "-" + to + (change ? "-c" : ""));
                ASSERT_TRUE(convert(to, first, out,
                                    change ? "--resize 5:50x50 --change-dpi" : "--resize 5:50x50"));
                EXPECT_EQ(dpi_in(out), change ? 150 : 300)
                    << from << " -> " << to << (change ? " with" : " without") << " --change-dpi";
            }
    }
}

TEST_F(PrintResolutionTest, JpegWithoutJfifDensityTakesTheExifResolution) {
    ASSERT_TRUE(shell("convert -size 8x8 xc:gray " + q(src / "a.jpg") +
                      " && exiftool -q -overwrite_original -JFIF:ResolutionUnit=None"
                      " -IFD0:XResolution=200 -IFD0:YResolution=200 -IFD0:ResolutionUnit=cm " +
                      q(src / "a.jpg")));
    ASSERT_TRUE(convert("png", src, work / "png"));
    EXPECT_EQ(dpi_in(work / "png"), 508);
}

TEST_F(PrintResolutionTest, BmpAndGifKeepTheColourProfile) {
    const std::string icc = header_profile();
    ASSERT_TRUE(shell("convert -size 16x8 gradient:red-blue -profile " + q(work / "p.icc") + " " +
                      q(src / "a.jpg")));
    for (const std::string to : {"bmp", "gif"}) {
        ASSERT_TRUE(convert(to, src, work / to)) << to;
        const std::string file = q(fs::path(work / to) / ("a." + to));
        EXPECT_EQ(output_of("convert " + file + " icc:-"), icc) << to;
        EXPECT_EQ(output_of("exiftool -b -ICC_Profile " + file), icc) << to;
        // And back in: the plug-in reads what it wrote.
        ASSERT_TRUE(convert("jpg", work / to, work / (to + "-jpg"))) << to;
        EXPECT_EQ(
            output_of("exiftool -b -ICC_Profile " + q(fs::path(work / (to + "-jpg")) / "a.jpg")),
            icc)
            << to;
    }
}

TEST_F(PrintResolutionTest, ALayeredPictureFlattenedKeepsResolutionAndProfile) {
    const std::string icc = header_profile();
    // ImageMagick writes the first picture as the merged one, the others as layers.
    ASSERT_TRUE(shell("convert -size 40x30 gradient:red-blue -size 40x30 gradient:red-blue -size "
                      "20x10 xc:green -profile " +
                      q(work / "p.icc") + " -units PixelsPerInch -density 300 " +
                      q(src / "a.psd")));
    for (const std::string to : {"jpg", "png", "tif"}) {
        ASSERT_TRUE(convert(to, src, work / to)) << to;
        EXPECT_EQ(dpi_in(work / to), 300) << to;
        EXPECT_EQ(output_of("exiftool -b -ICC_Profile " + q(fs::path(work / to) / ("a." + to))),
                  icc)
            << to;
    }
}

} // namespace
} // namespace vt::cli
