// The host's video sessions against broken helpers and against the real one.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <signal.h>

#include "base/utf.h"
#include "plugins/video_session.h"

namespace {

using vt::plugins::VideoSession;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::u16string u16(const std::string& s) {
    return {s.begin(), s.end()};
}

bool gone(int pid) {
    return pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH);
}

// A short clip made by ffmpeg: 12 frames of 64x48 at 10 frames per second.
std::string make_clip(const char* name) {
    const fs::path clip = fs::temp_directory_path() / name;
    const std::string command = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=64x48:rate=10 "
                                "-frames:v 12 -c:v mjpeg -q:v 2 " +
                                clip.string() + " 2>/dev/null";
    return std::system(command.c_str()) == 0 ? clip.string() : std::string();
}

struct BrokenHelper {
    const char* mode;
    bool opens;
    std::int32_t open_result;
};

TEST(VideoSession, BrokenHelpersFailWithinTheirTime) {
    const BrokenHelper cases[] = {{"absent", false, VT_ERR_COMPONENT_MISSING},
                                  {"garbage", false, VT_ERR_COMPONENT_MISSING},
                                  {"mute", true, VT_OK},
                                  {"dies", true, VT_OK}};
    for (const BrokenHelper& c : cases) {
        SCOPED_TRACE(c.mode);
        ::setenv("VT_FAKE_VIDEO", c.mode, 1);
        const auto start = Clock::now();
        std::int32_t result = 0;
        VideoSession* s = VideoSession::open(u16(VT_FAKE_VIDEO_HELPER), u"clip.avi", 2000, result);
        EXPECT_EQ(result, c.open_result);
        ASSERT_EQ(s != nullptr, c.opens);
        if (s != nullptr) {
            EXPECT_EQ(s->read_frame(0), nullptr);
            EXPECT_EQ(s->last_result(), VT_ERR_COMPONENT_MISSING);
            const int pid = s->helper_pid();
            delete s;
            EXPECT_TRUE(gone(pid));
        }
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(c.opens ? 2500 : 3500));
    }
    ::unsetenv("VT_FAKE_VIDEO");
}

TEST(VideoSession, MissingHelperOrFileAnswersTheirCodes) {
    std::int32_t result = 0;
    EXPECT_EQ(VideoSession::open(u"", u"clip.avi", 1000, result), nullptr);
    EXPECT_EQ(result, VT_ERR_COMPONENT_MISSING);
    EXPECT_EQ(VideoSession::open(u16(VT_VIDEO_HELPER), u"/nonexistent/clip.avi", 1000, result),
              nullptr);
    EXPECT_EQ(result, VT_ERR_OPEN_READ);
}

TEST(VideoSession, TwoSessionsReadTheSameClipAtOnce) {
    // A name that is not UTF-8 reaches the helper as the same bytes.
    const std::string clip = make_clip("vt_video_session_cl\xffp.avi");
    if (clip.empty())
        GTEST_SKIP() << "ffmpeg is not installed";
    const std::u16string path = vt::base::utf8_to_utf16(clip);
    auto read_all = [&path](int& frames, double& rate, std::int64_t& count, std::uint32_t& first) {
        std::int32_t result = 0;
        VideoSession* s = VideoSession::open(u16(VT_VIDEO_HELPER), path.c_str(), 5000, result);
        ASSERT_NE(s, nullptr) << result;
        EXPECT_EQ(s->query_count(count), VT_OK);
        EXPECT_EQ(s->query_value4(rate), VT_OK);
        for (const VtVideoFrame* f; (f = s->read_frame(frames)) != nullptr; ++frames)
            if (frames == 0)
                first = f->pixels[0];
        EXPECT_EQ(s->last_result(), VT_ERR_PARAMETER_RANGE); // past the last frame
        ASSERT_NE(s->read_frame(3), nullptr);                // and back again
        const int pid = s->helper_pid();
        delete s;
        EXPECT_TRUE(gone(pid));
    };
    int frames[2] = {};
    double rate[2] = {};
    std::int64_t count[2] = {};
    std::uint32_t first[2] = {};
    std::thread other([&] { read_all(frames[1], rate[1], count[1], first[1]); });
    read_all(frames[0], rate[0], count[0], first[0]);
    other.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(frames[i], 12);
        EXPECT_EQ(count[i], 12);
        EXPECT_DOUBLE_EQ(rate[i], 10.0);
        EXPECT_EQ(first[i] >> 24, 0u); // opaque
    }
    fs::remove(clip);
}

} // namespace
