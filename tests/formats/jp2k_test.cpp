#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/formats/format_conformance.h"

namespace vt::test {
namespace {

// A codestream's main header for one 8-bit component in one tile: SIZ, COD (one layer, no
// levels, reversible), QCD and SOT, as {value, bytes} big-endian.
std::string header(std::uint32_t width, std::uint32_t height) {
    std::string s;
    const std::uint32_t fields[][2] = {
        {0xFF4FFF51, 4}, {41, 2},         {0, 2},          {width, 4},  {height, 4},
        {0, 8},          {width, 4},      {height, 4},     {0, 8},      {1, 2},
        {0x070101, 3},   {0xFF52000C, 4}, {1, 4},          {0x0404, 4}, {1, 2},
        {0xFF5C0004, 4}, {0x4040, 2},     {0xFF90000A, 4}, {0, 8},      {1, 1}};
    for (const auto& [value, bytes] : fields)
        for (int i = static_cast<int>(bytes) - 1; i >= 0; --i)
            s += static_cast<char>(i >= 4 ? 0 : (value >> (8 * i)) & 0xFF);
    return s;
}

// OpenJPEG's own decoder program, through a PNG.
std::optional<Frame> opj_frame(const std::filesystem::path& file) {
    const std::string png = file.string() + ".opj.png";
    if (!run_tool("opj_decompress -i '" + file.string() + "' -o '" + png + "'"))
        return std::nullopt;
    std::optional<Frame> frame = png_frame(png);
    std::filesystem::remove(png);
    return frame;
}

int corpus(const std::filesystem::path& folder) {
    const std::string png = (folder / "source.png").string();
    write_pam(folder / "source.pam", make_picture(37, 23, true));
    if (!run_tool("convert '" + (folder / "source.pam").string() + "' PNG32:'" + png + "'"))
        return 0;
    int made = 0;
    int i = 0;
    for (const char* options : {"-n 4", "-n 4 -r 20", "-n 2 -t 16,16", "-n 4 -I -r 8"})
        made += run_tool("opj_compress -i '" + png + "' -o '" +
                         (folder / (std::to_string(i++) + ".jp2")).string() + "' " + options);
    std::filesystem::remove(png);
    std::filesystem::remove(folder / "source.pam");
    return made;
}

VT_FORMAT_CONFORMANCE(Jp2k, FormatRow{.plugin = "fmx_JP2K",
                                      .extension = ".jp2",
                                      .header = header,
                                      .reference = opj_frame,
                                      .make_corpus = corpus,
                                      .compared = 4});

std::optional<Frame> ffmpeg_first_frame(const std::filesystem::path& file) {
    std::vector<Frame> frames = ffmpeg_frames(file);
    return frames.empty() ? std::nullopt : std::optional<Frame>(frames[0]);
}

// FFmpeg's movies of JPEG 2000 frames, branded Motion JPEG 2000: the header after the samples,
// bare codestreams.
int mj2_corpus(const std::filesystem::path& folder) {
    int made = 0;
    for (const std::string pixels : {"rgb24", "rgba", "gray"})
        made += run_tool("ffmpeg -v error -f lavfi -i testsrc=size=37x23:rate=5 -frames:v 3 -c:v "
                         "jpeg2000 -pix_fmt " +
                         pixels + " -f mov -brand mjp2 '" + (folder / pixels).string() + ".mj2'");
    return made;
}

VT_FORMAT_CONFORMANCE(Mj2, FormatRow{.plugin = "fmx_JP2K",
                                     .extension = ".mj2",
                                     .header = nullptr,
                                     .reference = ffmpeg_first_frame,
                                     .make_corpus = mj2_corpus,
                                     .compared = 3,
                                     .tolerance = 1,
                                     .frame_sets = 2});

class Jp2kPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_JP2K"); }
    void TearDown() override { HarnessServices::state().clear(); }
};

TEST_F(Jp2kPlugin, CodestreamsAndLossySavesOpenElsewhere) {
    const Frame picture = smooth_picture(40, 30, true);
    for (const char* rate : {"0", "10"}) {
        SCOPED_TRACE(rate);
        HarnessServices::set_state(u"fmx_JP2K.rate", rate);
        const std::string file = m_temp / "a.j2k";
        ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        EXPECT_EQ(read_bytes(file).substr(0, 2), "\xff\x4f");
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_LT(mean_difference(loaded.frames[0].pixels, picture.pixels), *rate == '0' ? 0.1 : 3);
        const std::optional<Frame> outside = opj_frame(file);
        ASSERT_TRUE(outside.has_value());
        EXPECT_EQ(max_difference(*outside, loaded.frames[0]), 0);
    }
}

TEST_F(Jp2kPlugin, MotionFramesAndDurationsReadElsewhere) {
    std::vector<Frame> frames;
    for (std::uint16_t i = 0; i < 3; ++i) {
        frames.push_back(smooth_picture(24, 16, i == 1));
        frames.back().pixels[i] = bgrt(255, 0, 0);
        frames.back().delay = static_cast<std::uint16_t>(40 * (i + 1));
    }
    const std::string file = m_temp / "m.mj2";
    ASSERT_EQ(save_with(api(), file, frames, 2).result, VT_OK);
    const std::string probe = m_temp / "probe.txt";
    ASSERT_TRUE(run_tool("ffprobe -v error -o '" + probe + "' -show_entries packet=duration -of " +
                         "csv=p=0 -show_entries stream=codec_name,nb_frames '" + file + "'"));
    const std::string report = read_bytes(probe);
    EXPECT_NE(report.find("jpeg2000,3"), std::string::npos) << report;
    EXPECT_NE(report.find("40\n80\n120"), std::string::npos) << report;
    const std::vector<Frame> outside = ffmpeg_frames(file);
    ASSERT_EQ(outside.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(max_difference(outside[i], frames[i]), 0) << i;
}

} // namespace
} // namespace vt::test
