#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/formats/deep_files.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

// A linear (already demosaiced) DNG of 16-bit RGB samples, made by hand from the DNG layout:
// one TIFF directory with the DNG version, a colour matrix, the camera's neutral and the
// orientation.
std::string make_dng(std::uint32_t width, std::uint32_t height, std::uint32_t orientation) {
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t count;
        std::string data; // the value's bytes
    };
    const auto shorts = [](std::vector<std::uint32_t> v) {
        std::string s;
        for (const std::uint32_t x : v)
            le16(s, x);
        return s;
    };
    const auto longs = [](std::vector<std::uint32_t> v) {
        std::string s;
        for (const std::uint32_t x : v)
            le32(s, x);
        return s;
    };
    std::string pixels;
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            for (const std::uint32_t v : {x * 65535 / width, y * 65535 / height, 30000u})
                le16(pixels, v);
    const std::string matrix = longs({10000, 10000, 0, 10000, 0, 10000, 0, 10000, 10000, 10000, 0,
                                      10000, 0, 10000, 0, 10000, 10000, 10000});
    std::vector<Entry> entries = {
        {254, 4, 1, longs({0})},
        {256, 4, 1, longs({width})},
        {257, 4, 1, longs({height})},
        {258, 3, 3, shorts({16, 16, 16})},
        {259, 3, 1, shorts({1, 0})},
        {262, 3, 1, shorts({34892, 0})},
        {271, 2, 8, std::string("Vantrel", 8)},
        {272, 2, 8, std::string("TestCam", 8)},
        {273, 4, 1, longs({0})}, // the pixels' offset, set below
        {274, 3, 1, shorts({orientation, 0})},
        {277, 3, 1, shorts({3, 0})},
        {278, 4, 1, longs({height})},
        {279, 4, 1, longs({static_cast<std::uint32_t>(pixels.size())})},
        {50706, 1, 4, std::string("\x01\x04\x00\x00", 4)},
        {50708, 2, 8, std::string("TestCam", 8)},
        {50721, 10, 9, matrix},
        {50728, 5, 3, longs({1, 2, 1, 1, 2, 3})},
    };
    std::string out("II*\0\x08\0\0\0", 8);
    const std::uint32_t directory_size = 2 + 12 * static_cast<std::uint32_t>(entries.size()) + 4;
    std::uint32_t extra_at = 8 + directory_size;
    std::string extra;
    for (Entry& e : entries)
        if (e.data.size() > 4)
            extra_at += static_cast<std::uint32_t>(e.data.size());
    entries[8].data = longs({extra_at});
    extra_at = 8 + directory_size;
    le16(out, static_cast<std::uint32_t>(entries.size()));
    for (const Entry& e : entries) {
        le16(out, e.tag);
        le16(out, e.type);
        le32(out, e.count);
        if (e.data.size() <= 4) {
            out += e.data + std::string(4 - e.data.size(), '\0');
        } else {
            le32(out, extra_at + static_cast<std::uint32_t>(extra.size()));
            extra += e.data;
        }
    }
    le32(out, 0);
    return out + extra + pixels;
}

// LibRaw's own command-line develop with the same choices: camera white balance, sRGB, 8 bits.
std::optional<Frame> dcraw_emu(const std::filesystem::path& file) {
    const std::filesystem::path ppm = file.string() + ".ppm";
    if (!run_tool("dcraw_emu -w -o 1 " + quoted(file)))
        return std::nullopt;
    std::optional<Frame> frame = decoded_by("convert", ppm);
    std::filesystem::remove(ppm);
    return frame;
}

void make_corpus(const std::filesystem::path& folder) {
    write_bytes(folder / "upright.dng", make_dng(40, 30, 1));
    write_bytes(folder / "turned.dng", make_dng(36, 24, 6));
}

VT_FORMAT_CONFORMANCE(Raw, FormatRow{.plugin = "fmx_RAW",
                                     .extension = ".dng",
                                     .header = nullptr,
                                     .reference = dcraw_emu,
                                     .corpus_extension = ".dng",
                                     .compared = 2,
                                     .tolerance = 0,
                                     .make_corpus_in = make_corpus,
                                     .sample = [](const std::filesystem::path& file) {
                                         write_bytes(file, make_dng(24, 22, 1));
                                     }});

class RawPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_RAW"); }
};

// Half size leaves a linear DNG (nothing to demosaic) as it is, so only the turn is checked.
TEST_F(RawPlugin, OrientationTurnsThePixels) {
    const LoadResult turned = load_bytes(make_dng(36, 24, 6));
    ASSERT_EQ(turned.result, VT_OK);
    EXPECT_EQ(turned.frames[0].width, 24u);
    EXPECT_EQ(turned.frames[0].height, 36u);
}

// A develop at 16 bits beside the 8-bit frame: the same picture (turned alike), whose rounding
// is exactly the 8-bit frame, and which keeps the steps the 8-bit one cannot.
TEST_F(RawPlugin, SixteenBitDevelopRoundsToTheEightBitFrame) {
    for (const std::uint32_t orientation : {1u, 6u}) {
        SCOPED_TRACE(orientation);
        LoadOptions ask;
        ask.want_deep = true;
        const LoadResult plain = load_bytes(make_dng(36, 24, orientation));
        const LoadResult loaded = load_bytes(make_dng(36, 24, orientation), ask);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.frames[0].pixels, plain.frames[0].pixels);
        ASSERT_EQ(loaded.deep.channels, 4u);
        ASSERT_EQ(loaded.deep.width, loaded.frames[0].width);
        ASSERT_EQ(loaded.deep.height, loaded.frames[0].height);
        EXPECT_EQ(frame_of(loaded.deep).pixels, loaded.frames[0].pixels);
        const std::set<std::uint16_t> levels(loaded.deep.samples.begin(),
                                             loaded.deep.samples.end());
        EXPECT_GT(levels.size(), 256u) << "no more steps than an 8-bit picture";
    }
}

} // namespace
} // namespace vt::test
