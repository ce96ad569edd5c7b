// The AVI plug-in: frames read through the host's video sessions (the real helper), Motion-JPEG
// files written by the plug-in and judged by FFmpeg's own tools, and the conformance suite.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "plugins/host_services.h"
#include "tests/formats/format_conformance.h"

namespace vt::test {
namespace {

// The host's tables, and the helper found beside the plug-ins as in an installation.
void lend_video() {
    ::setenv("VANTREL_PATH", std::filesystem::path(VT_PLUGINS_DIR).parent_path().c_str(), 1);
    HarnessServices::basic_query() = vt::plugins::basic_query_table();
}

// RIFF, the header list and the main header of a file that claims width x height.
std::string header(std::uint32_t width, std::uint32_t height) {
    std::string out = "RIFF";
    le32(out, 200);
    out += "AVI LIST";
    le32(out, 192);
    out += "hdrlavih";
    le32(out, 56);
    for (std::uint32_t word : {100000u, 0u, 0u, 16u, 1u, 0u, 1u, 0u, width, height, 0u, 0u, 0u, 0u})
        le32(out, word);
    return out;
}

std::string run(const std::string& command) {
    std::string out;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr)
            out += buffer;
        ::pclose(pipe);
    }
    return out;
}

class AviTest : public PluginTest {
protected:
    static void SetUpTestSuite() {
        lend_video();
        open("fmx_AVI");
    }
};

TEST_F(AviTest, ClipBecomesFramesAndAviKeepsThemForFfmpeg) {
    const std::string clip = m_temp / "clip.mp4";
    if (run("ffmpeg -loglevel error -y -f lavfi -i testsrc=size=48x32:rate=25 -frames:v 7 "
            "-pix_fmt yuv444p " +
            clip + " && echo made")
            .empty())
        GTEST_SKIP() << "ffmpeg is not installed";
    const LoadResult source = load_with(api(), clip);
    ASSERT_EQ(source.result, VT_OK);
    ASSERT_EQ(source.frames.size(), 7u);
    EXPECT_EQ(source.doc_kind, 2);
    const std::string avi = m_temp / "again.avi";
    HarnessServices::set_state(u"fmx_AVI.quality", "100");
    ASSERT_EQ(save_with(api(), avi, source.frames, 2).result, VT_OK);
    EXPECT_EQ(run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                  "stream=nb_read_frames,r_frame_rate -of csv=p=0 " +
                  avi),
              "25/1,7\n");
    const LoadResult again = load_with(api(), avi);
    ASSERT_EQ(again.result, VT_OK);
    ASSERT_EQ(again.frames.size(), 7u);
    HarnessServices::set_state(u"fmx_AVI.quality", "90");
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(again.frames[i].delay, 40) << i;
        EXPECT_LE(mean_difference(again.frames[i].pixels, source.frames[i].pixels), 3.0) << i;
    }
}

VT_FORMAT_CONFORMANCE(Avi, FormatRow{.plugin = "fmx_AVI",
                                     .extension = ".avi",
                                     .header = header,
                                     .round_trip_tolerance = 12,
                                     .keeps_transparency = false,
                                     .cut_keeps_whole_frames = true,
                                     .prepare = lend_video});

} // namespace
} // namespace vt::test
