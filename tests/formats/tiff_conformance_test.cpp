#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/formats/format_test_util.h"
#include "tests/formats/png_reference.h"
#include "tests/formats/tiff_test_util.h"

namespace vt::test {
namespace {

class TiffConformance : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_TIFF"); }
};

std::vector<std::filesystem::path> tiff_files(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files = files_in(folder, ".tif");
    for (const auto& path : files_in(folder, ".tiff"))
        files.push_back(path);
    std::sort(files.begin(), files.end());
    return files;
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

TEST_F(TiffConformance, PillowFilesDecodeLikeLibtiff) {
    const auto folder = testdata("pillow-testimages/tiff");
    if (folder.empty())
        GTEST_SKIP() << "no conformance images";
    int compared = 0;
    int refused = 0;
    for (const auto& path : tiff_files(folder)) {
        const std::string name = path.filename().string();
        SCOPED_TRACE(name);
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

TEST_F(TiffConformance, HopperFilesMatchTheOriginalExactly) {
    const auto folder = testdata("pillow-testimages");
    if (folder.empty())
        GTEST_SKIP() << "no conformance images";
    std::uint32_t w = 0;
    std::uint32_t h = 0;
    std::uint8_t* rgba = nullptr;
    ASSERT_EQ(reference_png_rgba((folder / "reference/hopper.png").c_str(), &w, &h, &rgba), 1);
    std::vector<std::uint32_t> expected;
    for (std::size_t i = 0; i < std::size_t{w} * h; ++i)
        expected.push_back(
            bgrt(rgba[i * 4], rgba[i * 4 + 1], rgba[i * 4 + 2], 255 - rgba[i * 4 + 3]));
    std::free(rgba);
    for (const char* name : {"hopper.tif", "hopper_lzw.tif", "hopper_bigtiff.tif",
                             "hopper.iccprofile.tif", "hopper_lzma.tif"}) {
        SCOPED_TRACE(name);
        const LoadResult loaded = load_with(api(), (folder / "tiff" / name).string());
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_EQ(loaded.frames.size(), 1u);
        EXPECT_EQ(loaded.frames[0].width, w);
        EXPECT_EQ(loaded.frames[0].height, h);
        EXPECT_TRUE(loaded.frames[0].pixels == expected);
        EXPECT_NE(loaded.frames[0].markup.find("image.bpp=24;"), std::string::npos);
    }
    const LoadResult icc = load_with(api(), (folder / "tiff/hopper.iccprofile.tif").string());
    ASSERT_EQ(icc.result, VT_OK);
    const auto profile = icc.frames[0].chunks.find(VT_TAG('I', 'C', 'C', 'P'));
    ASSERT_NE(profile, icc.frames[0].chunks.end());
    EXPECT_GT(profile->second.size(), 128u);
}

TEST_F(TiffConformance, BrokenFilesFailCleanlyOrLoadBestEffort) {
    const auto folder = testdata("pillow-testimages/tiff");
    if (folder.empty())
        GTEST_SKIP() << "no conformance images";
    std::vector<std::filesystem::path> files = tiff_files(folder / "broken");
    files.push_back(folder / "separate_planar_extra_samples.tiff");
    int failed = 0;
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        const LoadResult loaded = load_with(api(), path.string());
        if (loaded.result == VT_OK) {
            ASSERT_FALSE(loaded.frames.empty());
            EXPECT_GT(loaded.frames[0].width, 0u);
            continue;
        }
        ++failed;
        EXPECT_TRUE(loaded.result == VT_ERR_CORRUPT_OR_UNSUPPORTED ||
                    loaded.result == VT_ERR_NOT_IMPLEMENTED || loaded.result == VT_ERR_DIMENSIONS ||
                    loaded.result == VT_ERR_READ || loaded.result == VT_ERR_INVALID_DATA)
            << loaded.result;
    }
    EXPECT_EQ(files.size(), 17u);
    EXPECT_GE(failed, 12);
}

TEST_F(TiffConformance, ExiftoolFilesLoadWithTheirMetadata) {
    const auto folder = testdata("exiftool-metadata/other");
    if (folder.empty())
        GTEST_SKIP() << "no conformance images";
    for (const char* name : {"ExifTool.tif", "GeoTiff.tif", "BigTIFF.btf"}) {
        SCOPED_TRACE(name);
        HarnessServices::last_exif().clear();
        const LoadResult loaded = load_with(api(), (folder / name).string());
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_FALSE(loaded.frames.empty());
        EXPECT_GT(loaded.frames[0].width, 0u);
        EXPECT_NE(loaded.frames[0].markup.find("image.bpp="), std::string::npos);
        const std::string bytes = read_bytes(folder / name);
        EXPECT_EQ(HarnessServices::last_exif(),
                  std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    // Its resolution becomes markup; the camera tags are the EXIF import's to read.
    const LoadResult exiftool = load_with(api(), (folder / "ExifTool.tif").string());
    EXPECT_NE(exiftool.frames[0].markup.find("image.ppi=180 180;"), std::string::npos)
        << exiftool.frames[0].markup;
}

} // namespace
} // namespace vt::test
