// What a conversion's load tells the truth about, through the per-file step with the real
// plug-ins of bin/Plugins: a file its own plug-in refuses is never read in part by another, a
// failure names the plug-in that knew the file, pages beyond the room fail, damage is a
// warning, and a decompression bomb is refused before it takes memory. Inputs are made by
// ImageMagick or written here, small.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/utf.h"
#include "image/bitmap.h"
#include "image/image_doc.h"
#include "image/load_status.h"
#include "pipeline/pipeline_step.h"
#include "plugins/frame_budget.h"
#include "plugins/video_session.h"
#include "session/session.h"
#include "tests/support/temp_folder.h"
#include "vt5/vt5.h"

namespace vt {
namespace {

using test::TempFolder;

class LoadTruth : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        data_root = std::make_unique<TempFolder>();
        ::setenv("VANTREL_PATH", VT_BIN_DIR, 1);
        ::setenv("VANTREL_DATA_ROOT", data_root->path().c_str(), 1);
        session = std::make_unique<session::Session>();
    }
    static void TearDownTestSuite() {
        session.reset();
        data_root.reset();
    }

    struct Load {
        std::uint32_t frames = 0;
        std::string reason;
        std::vector<std::string> warnings;
        bool memory = false;
    };

    // Loads `name` from the test's folder through a fresh step with `budget`.
    Load load(const std::string& name,
              pipeline::PictureBudget budget = {std::uint64_t{512} << 20, false}) {
        const auto step = pipeline::make_pipeline_step(budget);
        const auto room = step->create_room();
        Load out;
        out.frames = step->load(*room, tmp.sub16(name), 60000);
        out.reason = base::utf16_to_utf8(step->failure_reason(*room));
        for (const std::u16string& w : step->warnings(*room))
            out.warnings.push_back(base::utf16_to_utf8(w));
        out.memory = step->failed_for_memory(*room);
        step->release_frames(*room);
        return out;
    }

    // Runs ImageMagick's convert in the test's folder; false when it cannot make the file.
    bool magick(const std::string& arguments) {
        const std::string command =
            "cd '" + tmp.path() + "' && convert " + arguments + " >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    }

    void write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        std::ofstream(tmp / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<std::uint8_t> read(const std::string& name) {
        std::ifstream in(tmp / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void cut(const std::string& from, const std::string& to, std::size_t keep) {
        std::vector<std::uint8_t> bytes = read(from);
        bytes.resize(std::min(keep, bytes.size()));
        write(to, bytes);
    }

    static inline std::unique_ptr<TempFolder> data_root;
    static inline std::unique_ptr<session::Session> session;
    TempFolder tmp;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// --- a plug-in that knew the file has the last word

TEST_F(LoadTruth, ManyPagesOverTheBudgetFailWithTheTiffReasonNeverAsOnePage) {
    ASSERT_TRUE(magick("-size 64x64 xc:red -duplicate 199 -compress lzw pages.tif"));
    const Load r = load("pages.tif", {std::uint64_t{1} << 20, true});
    EXPECT_EQ(r.frames, 0u);
    EXPECT_TRUE(r.memory);
    EXPECT_TRUE(contains(r.reason, "memory budget")) << r.reason;

    // With room enough every page is kept.
    const Load whole = load("pages.tif");
    EXPECT_EQ(whole.frames, 200u) << whole.reason;
    EXPECT_TRUE(whole.warnings.empty());
}

TEST_F(LoadTruth, MorePagesThanAPictureKeepsFailWithThatReason) {
    ASSERT_TRUE(magick("-size 4x4 xc:blue -duplicate 1999 -compress lzw many.tif"));
    const Load r = load("many.tif");
    EXPECT_EQ(r.frames, 0u);
    EXPECT_TRUE(r.memory);
    EXPECT_TRUE(contains(r.reason, "more than 1024 pages")) << r.reason;
}

TEST_F(LoadTruth, FailuresNameThePlugInThatKnewTheFile) {
    // A broken SVG, and a BMP whose header claims a picture beyond the picture limit.
    write("broken.svg",
          {'<', 's', 'v', 'g', ' ', 'x', 'm', 'l', 'n', 's', '=', '"', 'h', 't', 't', 'p', ':', '/',
           '/', 'w', 'w', 'w', '.', 'w', '3', '.', 'o', 'r', 'g', '/', '2', '0', '0', '0', '/', 's',
           'v', 'g', '"', '>', '<', 'r', 'e', 'c', 't', ' ', 'w', 'i', 'd', 't', 'h', '=', '"'});
    std::vector<std::uint8_t> bmp(54 + 64, 0);
    const auto put32 = [&bmp](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bmp[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    bmp[0] = 'B', bmp[1] = 'M';
    put32(2, static_cast<std::uint32_t>(bmp.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, 70000); // width
    put32(22, 70000); // height
    bmp[26] = 1;
    bmp[28] = 24;
    write("huge.bmp", bmp);

    const struct {
        const char* file;
        const char* module;
        const char* reason;
    } cases[] = {{"broken.svg", "fmx_SVG", "corrupted"},
                 {"huge.bmp", "fmx_BMP", "at most 65536 pixels a side"}};
    for (const auto& c : cases) {
        const Load r = load(c.file);
        EXPECT_EQ(r.frames, 0u) << c.file;
        EXPECT_TRUE(contains(r.reason, c.module)) << c.file << ": " << r.reason;
        EXPECT_TRUE(contains(r.reason, c.reason)) << c.file << ": " << r.reason;
        EXPECT_FALSE(contains(r.reason, "fmx_AVI")) << c.file << ": " << r.reason;
        EXPECT_FALSE(contains(r.reason, "fmx_RAW")) << c.file << ": " << r.reason;
    }
}

// Picture formats the video helper's library happens to decode are not videos: no plug-in
// lists them, so they are refused, never read by the helper.
TEST_F(LoadTruth, PictureFormatsTheVideoHelperReadsByAccidentAreRefused) {
    int made = 0;
    for (const char* name : {"pic.sgi", "pic.xwd", "pic.sun", "pic.dpx", "pic.mng", "pic.pict",
                             "pic.exr", "pic.qoi"}) {
        if (!magick(std::string("-size 16x16 gradient:red-blue ") + name))
            continue; // this ImageMagick does not write it
        ++made;
        const Load r = load(name);
        EXPECT_EQ(r.frames, 0u) << name;
        EXPECT_FALSE(contains(r.reason, "fmx_AVI")) << name << ": " << r.reason;
    }
    EXPECT_GE(made, 4);
}

TEST(VideoContainers, OnlyListedContainersGoToTheHelper) {
    const auto head = [](std::string bytes) {
        bytes.resize(200, '\0');
        return bytes;
    };
    const struct {
        std::string bytes;
        bool listed;
    } cases[] = {
        {head(std::string("RIFF\x10\0\0\0AVI LIST", 16)), true},
        {head(std::string("\0\0\0\x18"
                          "ftypisom",
                          12)),
         true},
        {head(std::string("\0\0\0\x14"
                          "ftypqt  ",
                          12)),
         true},
        {head("\x1A\x45\xDF\xA3"), true},
        {head(std::string("\0\0\x01\xBA", 4)), true},
        {head("OggS"), true},
        {head("FLV\x01"), true},
        {head(std::string("\0\0\0\x18"
                          "ftypheic",
                          12)),
         false},
        {head(std::string("\0\0\0\x18"
                          "ftypavif",
                          12)),
         false},
        {head("\x8AMNG\r\n\x1A\n"), false},
        {head("\x01\xDA\x01\x01"), false}, // SGI
        {head("qoif"), false},
        {head("\x76\x2F\x31\x01"), false}, // OpenEXR
        {head("SDPX"), false},
        {head("\x89PNG\r\n\x1A\n"), false},
        {head("\xFF\xD8\xFF\xE0"), false}, // a 12-bit JPEG the JPEG plug-in refuses stays refused
        {head("RIFF\x10\0\0\0WAVE"), false},
    };
    for (const auto& c : cases) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
        EXPECT_EQ(plugins::listed_video_container({bytes, c.bytes.size()}), c.listed)
            << c.bytes.substr(0, 12);
    }
}

// --- damage is said, and what was recovered is kept

TEST_F(LoadTruth, ACutJpegIsLoadedWithAWarningThatCountsTheRows) {
    ASSERT_TRUE(magick("-size 64x480 plasma:fractal -quality 95 whole.jpg"));
    const std::size_t size = read("whole.jpg").size();
    cut("whole.jpg", "cut.jpg", size * 6 / 10);
    const Load r = load("cut.jpg");
    ASSERT_EQ(r.frames, 1u) << r.reason;
    ASSERT_FALSE(r.warnings.empty());
    EXPECT_TRUE(contains(r.warnings[0], "cut short")) << r.warnings[0];
    EXPECT_TRUE(contains(r.warnings[0], "of 480 rows could be read")) << r.warnings[0];

    EXPECT_TRUE(load("whole.jpg").warnings.empty());

    // Cut inside its header it is no picture at all, and its own plug-in says so.
    cut("whole.jpg", "header.jpg", 300);
    const Load h = load("header.jpg");
    EXPECT_EQ(h.frames, 0u);
    EXPECT_TRUE(contains(h.reason, "fmx_JPEG")) << h.reason;
}

TEST_F(LoadTruth, ACutVt5FileKeepsWhatItHoldsWithAWarningOrFailsWithItsReason) {
    Layer layers[2] = {};
    for (Layer& layer : layers) {
        ASSERT_TRUE(image::CreateBitmap(&layer.bitmap, 200, 150, image::kCreateMemory));
        ASSERT_TRUE(image::LockBitmap(&layer.bitmap, 0));
        std::uint32_t seed = 12345;
        for (std::uint32_t y = 0; y < 150; ++y)
            for (std::uint32_t x = 0; x < 200; ++x) {
                seed = seed * 1103515245u + 12345u;
                layer.bitmap.pixels[y * layer.bitmap.stride + x] = (seed >> 8) & 0x00FFFFFFu;
            }
        image::UnlockBitmap(&layer.bitmap, 0);
    }
    image::LoadStatus status;
    status.silent = 1;
    ASSERT_GT(vt5::Vt5Write(layers, 2, status, tmp.sub16("whole.vt5")), 0u);
    for (Layer& layer : layers)
        image::release_layer(layer);
    const std::size_t size = read("whole.vt5").size();

    const Load whole = load("whole.vt5");
    EXPECT_EQ(whole.frames, 2u) << whole.reason;
    EXPECT_TRUE(whole.warnings.empty());

    // Cut anywhere: either the layers it holds with a warning that says so, or a failure with
    // a reason; never a silent blank picture.
    int warned = 0, failed = 0;
    for (const std::size_t keep : {size / 10, size / 3, size / 2, size * 3 / 4, size - 7}) {
        const std::string name = "cut" + std::to_string(keep) + ".vt5";
        cut("whole.vt5", name, keep);
        const Load r = load(name);
        if (r.frames > 0) {
            ++warned;
            ASSERT_FALSE(r.warnings.empty()) << keep;
            EXPECT_TRUE(contains(r.warnings[0], "cut short") || contains(r.warnings[0], "ends"))
                << r.warnings[0];
        } else {
            ++failed;
            EXPECT_FALSE(r.reason.empty()) << keep;
        }
    }
    EXPECT_GT(warned, 0);
    EXPECT_GT(failed, 0);
    // Cut inside the second layer, the first is kept whole.
    EXPECT_EQ(load("cut" + std::to_string(size * 3 / 4) + ".vt5").frames, 1u);
}

// --- decompression bombs

// A GIF of a 4000 x 4000 screen and 100 images that each claim all of it, with no pixel data:
// about 2 KB that would take 6.4 GB.
std::vector<std::uint8_t> gif_bomb(int images) {
    std::vector<std::uint8_t> b = {'G',  'I', 'F', '8', '9', 'a', 0xA0, 0x0F, 0xA0, 0x0F,
                                   0x80, 0,   0,   0,   0,   0,   255,  255,  255};
    const std::uint8_t loop[] = {0x21, 0xFF, 11,  'N', 'E', 'T', 'S', 'C', 'A', 'P',
                                 'E',  '2',  '.', '0', 3,   1,   0,   0,   0};
    b.insert(b.end(), std::begin(loop), std::end(loop));
    for (int i = 0; i < images; ++i) {
        const std::uint8_t frame[] = {0x21, 0xF9, 4,    0,    10,   0,    0, 0, 0x2C, 0,    0,
                                      0,    0,    0xA0, 0x0F, 0xA0, 0x0F, 0, 2, 1,    0x2C, 0};
        b.insert(b.end(), std::begin(frame), std::end(frame));
    }
    b.push_back(0x3B);
    return b;
}

TEST_F(LoadTruth, AGifBombIsRefusedBeforeItTakesMemory) {
    write("bomb.gif", gif_bomb(100));
    const Load r = load("bomb.gif", {std::uint64_t{16} << 30, false});
    EXPECT_EQ(r.frames, 0u);
    EXPECT_TRUE(r.memory);
    EXPECT_TRUE(contains(r.reason, "decompression bomb")) << r.reason;
    EXPECT_TRUE(contains(r.reason, "fmx_GIF") || contains(r.reason, "6104 MB")) << r.reason;
}

TEST_F(LoadTruth, AnOrdinaryAnimationStillLoadsWhole) {
    ASSERT_TRUE(magick("-delay 10 -size 300x200 xc:red xc:green xc:blue -loop 0 anim.gif"));
    const Load r = load("anim.gif");
    EXPECT_EQ(r.frames, 3u) << r.reason;
    EXPECT_TRUE(r.warnings.empty());
}

TEST(BombRule, RefusesOnlyHugeFramesFromSmallFilesWhileTheRuleIsOn) {
    constexpr std::uint64_t kGB = std::uint64_t{1} << 30;
    const struct {
        std::uint64_t file, frames;
        bool rule_on, fits;
    } cases[] = {
        {2320, 6 * kGB, true, false},    // the GIF bomb
        {2320, 6 * kGB, false, true},    // a budget the user chose lets it through
        {2320, kGB, true, true},         // never below the floor
        {8 << 20, 4 * kGB, true, true},  // 512 times its file: a real animation
        {2 << 20, 4 * kGB, true, false}, // 2048 times
        {0, 6 * kGB, true, true},        // size unknown: the budget alone decides
    };
    for (const auto& c : cases) {
        plugins::set_frame_budget(0);
        plugins::set_bomb_rule(c.rule_on);
        plugins::set_source_size(c.file);
        plugins::clear_memory_stop();
        EXPECT_EQ(plugins::frame_fits(0, c.frames), c.fits) << c.file << " " << c.frames;
        EXPECT_EQ(plugins::last_memory_stop().bomb, !c.fits);
        std::uint64_t asked = c.frames;
        EXPECT_EQ(plugins::answer_frame_bytes_query(&asked, 8), c.fits ? 8 : -20);
    }
    // An announcement is judged by the bomb rule alone: the budget judges what is held.
    plugins::set_frame_budget(std::uint64_t{1} << 20);
    plugins::set_source_size(std::uint64_t{1} << 30);
    std::uint64_t whole_frames = 4 * kGB;
    EXPECT_EQ(plugins::answer_frame_bytes_query(&whole_frames, 8), 8);
    plugins::set_frame_budget(0);
    plugins::set_bomb_rule(false);
    plugins::set_source_size(0);
    plugins::clear_memory_stop();
}

} // namespace
} // namespace vt
