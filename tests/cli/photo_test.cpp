// Photos end to end: vtconvert with the real plug-ins and core library, and exiftool as the
// outside judge of what the written files hold.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "gfxcore/runtime.h"
#include "tests/support/plugin_harness.h"
#include "tests/support/temp_folder.h"

namespace vt::test {
namespace {

// "Group:Tag" -> value, as exiftool prints them with -G1 -a -s -n.
using Tags = std::map<std::string, std::string>;

std::string capture(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe)
        return out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe.get())) > 0;)
        out.append(buffer, n);
    return out;
}

bool have_exiftool() {
    return std::system("exiftool -ver >/dev/null 2>&1") == 0;
}

Tags exif_tags(const std::string& file) {
    Tags tags;
    std::istringstream text(capture("exiftool -G1 -a -s -n '" + file + "' 2>/dev/null"));
    for (std::string line; std::getline(text, line);) {
        const std::size_t close = line.find(']'), colon = line.find(" : ");
        if (line.empty() || line[0] != '[' || close == std::string::npos ||
            colon == std::string::npos)
            continue;
        std::string tag = line.substr(close + 1, colon - close - 1);
        tag.erase(0, tag.find_first_not_of(' '));
        tag.erase(tag.find_last_not_of(' ') + 1);
        tags[line.substr(1, close - 1) + ":" + tag] = line.substr(colon + 3);
    }
    return tags;
}

bool is_exif_group(const std::string& key) {
    for (const char* group : {"IFD0:", "ExifIFD:", "GPS:", "InteropIFD:"})
        if (key.rfind(group, 0) == 0)
            return true;
    return false;
}

// A P6 picture of w x h with a gradient.
std::string ppm(int w, int h) {
    std::string data = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            data.push_back(static_cast<char>(x * 255 / w));
            data.push_back(static_cast<char>(y * 255 / h));
            data.push_back(static_cast<char>(128));
        }
    return data;
}

// vtconvert, quiet, with its data and its output (out.txt) in `work`; fails with that output.
::testing::AssertionResult converts(const TempFolder& work, const std::string& args) {
    const std::string command = "VANTREL_DATA_ROOT='" + work.path() + "/data' '" VTCONVERT "' -q " +
                                args + " >'" + (work / "out.txt") + "' 2>&1 </dev/null";
    const int status = std::system(command.c_str());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << args << ": " << work.read("out.txt");
}

class ConvertTest : public ::testing::Test {
protected:
    // vtconvert with `args` from the folder `from` into `to`.
    ::testing::AssertionResult run(const std::string& args, const std::string& from,
                                   const std::string& to) {
        return converts(work, args + " '" + from + "' '" + to + "'");
    }

    TempFolder src, mid, dst, work;
};

class PhotoTest : public ConvertTest {
protected:
    void SetUp() override {
        if (!have_exiftool())
            GTEST_SKIP() << "exiftool is not installed (scripts/install-deps.sh installs it)";
    }
    // A camera-like JPEG: drawn, converted by vtconvert, then tagged by exiftool.
    std::string camera_jpeg(const std::string& name, int w, int h, const std::string& tags) {
        TempFolder ppm_folder, jpeg_folder;
        ppm_folder.write(name + ".ppm", ppm(w, h));
        EXPECT_TRUE(run("--overwrite -f .jpg", ppm_folder.path(), jpeg_folder.path()));
        const std::string file = src / (name + ".jpg");
        std::filesystem::copy_file(jpeg_folder / (name + ".jpg"), file);
        EXPECT_EQ(
            std::system(("exiftool -q -overwrite_original " + tags + " '" + file + "'").c_str()),
            0);
        return file;
    }
};

const std::string kCameraTags =
    "-IFD0:Make=Canon '-IFD0:Model=Canon EOS 5D' -IFD0:Orientation#=1 -IFD0:Software=Tester "
    "'-IFD0:Artist=A. Photographer' '-IFD0:Copyright=(c) 2026; all rights reserved' "
    "'-IFD0:ImageDescription=Harbour at dusk' '-IFD0:ModifyDate=2024:06:02 10:00:00' "
    "-IFD0:XResolution=300 -IFD0:YResolution=300 -IFD0:ResolutionUnit#=2 "
    "-ExifIFD:ExposureTime=1/200 -ExifIFD:FNumber=2.8 -ExifIFD:ISO=400 "
    "-ExifIFD:FocalLength=50 -ExifIFD:Flash#=16 '-ExifIFD:LensModel=EF50mm f/1.8 STM' "
    "'-ExifIFD:DateTimeOriginal=2024:06:01 12:34:56' '-ExifIFD:CreateDate=2024:06:01 12:34:56' "
    "-ExifIFD:SubSecTimeOriginal=42 -ExifIFD:OffsetTimeOriginal=+02:00 "
    "-ExifIFD:ExposureProgram#=3 -ExifIFD:WhiteBalance#=0 -ExifIFD:ExposureCompensation=-0.33 "
    "-ExifIFD:MeteringMode#=5 -ExifIFD:ColorSpace#=1 '-ExifIFD:UserComment=hello; world' "
    "-ExifIFD:FocalLengthIn35mmFormat=50 -ExifIFD:SceneCaptureType#=0 "
    "-GPS:GPSVersionID='2 3 0 0' -GPS:GPSLatitude=33.8688 -GPS:GPSLatitudeRef=S "
    "-GPS:GPSLongitude=151.2093 -GPS:GPSLongitudeRef=E -GPS:GPSAltitude=12.5 "
    "-GPS:GPSAltitudeRef#=1 -GPS:GPSMapDatum=WGS-84 -GPS:GPSDateStamp=2024:06:01 "
    "-GPS:GPSTimeStamp=10:34:56 -GPS:GPSSpeed=3 -GPS:GPSSpeedRef=K "
    "'-XMP-xmp:CreateDate=2024:06:01 12:34:56' -XMP-exif:GPSLatitude=33.8688 "
    "'-XMP-photoshop:DateCreated=2024:06:01' '-XMP-xmp:CreatorTool=An older editor' "
    "'-XMP-tiff:Model=Not the camera'"; // where XMP and EXIF disagree, EXIF is kept

TEST_F(PhotoTest, CameraJpegsKeepEveryExifTagInEveryTargetThatCarriesExif) {
    const std::string file = camera_jpeg("camera", 96, 64, kCameraTags);
    const Tags before = exif_tags(file);
    ASSERT_EQ(before.count("GPS:GPSLatitude"), 1u) << "exiftool wrote the source's tags";
    for (const std::string ext : {".jpg", ".png", ".webp", ".tif", ".avif", ".heic", ".jxl"}) {
        SCOPED_TRACE(ext);
        const std::string out = dst / ext.substr(1);
        ASSERT_TRUE(run("--set fmx_JPEG.quality=95 -f " + ext, src.path(), out));
        const Tags after = exif_tags(out + "/camera" + ext);
        int compared = 0;
        for (const auto& [key, value] : before) {
            if (!is_exif_group(key))
                continue;
            ++compared;
            const auto found = after.find(key);
            if (found == after.end())
                ADD_FAILURE() << key << " lost";
            else
                EXPECT_EQ(found->second, value) << key;
        }
        EXPECT_GT(compared, 35);
    }
}

TEST_F(PhotoTest, PrivacyOptionsLeaveNoLocationAndNoDateAnywhere) {
    camera_jpeg("private", 64, 48, kCameraTags);
    ASSERT_TRUE(run("--remove-gps --remove-dates -f .jpg", src.path(), dst.path()));
    const Tags after = exif_tags(dst / "private.jpg");
    ASSERT_EQ(after.count("IFD0:Make"), 1u) << "the camera data stays";
    EXPECT_EQ(after.count("ExifIFD:ExposureTime"), 1u);
    for (const auto& [key, value] : after) {
        // The file system's own times are not in the file.
        if (key.rfind("System:", 0) == 0 || key.rfind("ExifTool:", 0) == 0)
            continue;
        const std::string tag = key.substr(key.find(':') + 1);
        EXPECT_EQ(key.find("GPS"), std::string::npos) << key << " = " << value;
        for (const char* part : {"Date", "SubSecTime", "OffsetTime"})
            EXPECT_EQ(tag.find(part), std::string::npos) << key << " = " << value;
    }
}

TEST_F(PhotoTest, RotationByExifTurnsThePictureAndResetsTheTag) {
    camera_jpeg("turned", 80, 40,
                "-IFD0:Orientation#=6 -IFD0:Make=Maker -ExifIFD:ExifImageWidth=80 "
                "-ExifIFD:ExifImageHeight=40");
    ASSERT_TRUE(run("--rotate 4 -f .jpg", src.path(), dst.path()));
    Tags after = exif_tags(dst / "turned.jpg");
    EXPECT_EQ(after["File:ImageWidth"], "40");
    EXPECT_EQ(after["File:ImageHeight"], "80");
    EXPECT_EQ(after["IFD0:Orientation"], "1");
    EXPECT_EQ(after["IFD0:Make"], "Maker");
    EXPECT_EQ(after["ExifIFD:ExifImageWidth"], "40") << "the recorded size follows the turn";
    EXPECT_EQ(after["ExifIFD:ExifImageHeight"], "80");

    ASSERT_TRUE(run("--overwrite --rotate 0 --resize 5:25x25 -f .jpg", src.path(), dst.path()));
    after = exif_tags(dst / "turned.jpg");
    EXPECT_EQ(after["ExifIFD:ExifImageWidth"], "20") << "and the resize";
    EXPECT_EQ(after["ExifIFD:ExifImageHeight"], "10");
}

// Frames drawn for the multi-frame documents: each a different colour, some transparent.
std::vector<Frame> drawn_frames(const std::vector<std::uint16_t>& delays, std::uint32_t w,
                                std::uint32_t h) {
    std::vector<Frame> frames;
    for (std::size_t i = 0; i < delays.size(); ++i) {
        Frame& f = frames.emplace_back(Frame{.width = w, .height = h, .delay = delays[i]});
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x)
                f.pixels.push_back(x < 4 * (i + 1)
                                       ? 0xFF000000u
                                       : 0x00102030u * static_cast<std::uint32_t>(i + 1));
    }
    return frames;
}

// Conversions of whole documents: animations and page sets keep every frame.
class DocumentTest : public ConvertTest {
protected:
    void SetUp() override {
        char16_t why[128];
        ASSERT_TRUE(gfx::EngineStartup(why, 128));
    }
    static LoadResult load(const std::string& plugin, const std::string& file) {
        PluginLibrary library(plugin_path(plugin));
        EXPECT_TRUE(library.loaded()) << library.error();
        return library.loaded() ? load_with(library.api(), file) : LoadResult{};
    }
    static SaveResult save(const std::string& plugin, const std::string& file,
                           const std::vector<Frame>& frames, std::uint8_t kind) {
        PluginLibrary library(plugin_path(plugin));
        EXPECT_TRUE(library.loaded()) << library.error();
        return library.loaded() ? save_with(library.api(), file, frames, kind) : SaveResult{};
    }
};

TEST_F(DocumentTest, AnimatedGifToWebpAndBackKeepsFramesDelaysAndRuns) {
    const std::vector<std::uint16_t> delays = {40, 80, 120, 1000};
    std::vector<Frame> source = drawn_frames(delays, 24, 16);
    source[0].markup = "\r\nanimation.plays=3;"; // a looping extension's count of 2
    ASSERT_EQ(save("fmx_GIF", src / "anim.gif", source, 2).result, VT_OK);
    ASSERT_TRUE(run("-f .webp --set fmx_WebP.lossless=1", src.path(), mid.path()));
    const LoadResult webp = load("fmx_WebP", mid / "anim.webp");
    ASSERT_EQ(webp.frames.size(), delays.size());
    EXPECT_EQ(webp.doc_kind, 2);
    ASSERT_TRUE(run("-f .gif", mid.path(), dst.path()));
    const LoadResult gif = load("fmx_GIF", dst / "anim.gif");
    ASSERT_EQ(gif.frames.size(), delays.size());
    EXPECT_EQ(gif.doc_kind, 2);
    EXPECT_NE(webp.frames[0].markup.find("animation.plays=3;"), std::string::npos);
    EXPECT_NE(gif.frames[0].markup.find("animation.plays=3;"), std::string::npos);
    const std::vector<Frame> drawn = drawn_frames(delays, 24, 16);
    for (std::size_t i = 0; i < delays.size(); ++i) {
        EXPECT_EQ(webp.frames[i].delay, delays[i]) << "frame " << i;
        EXPECT_EQ(gif.frames[i].delay, delays[i]) << "frame " << i;
        ASSERT_EQ(gif.frames[i].pixels.size(), drawn[i].pixels.size());
        for (std::size_t p = 0; p < drawn[i].pixels.size(); ++p) {
            if (drawn[i].pixels[p] >> 24 == 0) {
                ASSERT_EQ(gif.frames[i].pixels[p], drawn[i].pixels[p]) << i << "/" << p;
            }
        }
    }
}

TEST_F(DocumentTest, MultiPageTiffKeepsEveryPage) {
    ASSERT_EQ(save("fmx_TIFF", src / "scan.tif", drawn_frames({0, 0, 0}, 20, 30), 1).result, VT_OK);
    ASSERT_TRUE(run("-f .tif --set fmx_TIFF.compression=8", src.path(), dst.path()));
    const LoadResult pages = load("fmx_TIFF", dst / "scan.tif");
    ASSERT_EQ(pages.frames.size(), 3u);
    EXPECT_EQ(pages.doc_kind, 1);
    const std::vector<Frame> drawn = drawn_frames({0, 0, 0}, 20, 30);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(pages.frames[i].pixels, drawn[i].pixels) << "page " << i;
}

} // namespace
} // namespace vt::test
