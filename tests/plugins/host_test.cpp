#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <utility>
#include <vector>

#include "gfxcore/runtime.h"
#include "image/bitmap.h"
#include "image/deep_image.h"
#include "image/image_doc.h"
#include "platform/files.h"
#include "platform/ui_hooks.h"
#include "plugins/frame_changes.h"
#include "plugins/host_services.h"
#include "plugins/load_hints.h"
#include "plugins/load_save.h"
#include "plugins/plugin_interface.h"
#include "tests/support/temp_folder.h"

namespace vt::plugins {
namespace {

using test::TempFolder;

// The ".tst" file the good test plug-in reads: frames of w x h pixels with a frame delay.
std::string
tst_file(const std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>>& frames) {
    std::string out = "TST1";
    const auto put = [&](std::uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    put(static_cast<std::uint32_t>(frames.size()));
    std::uint32_t colour = 0x00102030;
    for (const auto& [w, h, delay] : frames) {
        put(w);
        put(h);
        put(delay);
        for (std::uint32_t i = 0; i < w * h; ++i)
            put(colour++);
    }
    return out;
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        char16_t why[128];
        ASSERT_TRUE(gfx::EngineStartup(why, 128));
        std::memset(layers.get(), 0, sizeof(Layer) * image::kMaxLayers);
        messages().clear();
        platform::UiHooks hooks;
        hooks.message_box = [](std::u16string_view text, std::u16string_view title,
                               platform::MessageButtons b, platform::MessageIcon) {
            messages().push_back(std::u16string(title) + u": " + std::u16string(text));
            return platform::default_answer(b);
        };
        platform::set_ui_hooks(hooks);
    }
    void TearDown() override {
        for (std::uint32_t i = 0; i < image::kMaxLayers; ++i)
            image::release_layer(layers[i]);
        platform::set_ui_hooks({});
        gfx::EngineShutdown();
    }
    static std::vector<std::u16string>& messages() {
        static std::vector<std::u16string> list;
        return list;
    }
    // A registry whose Plugins folder (in `folder`, else the test's) holds the named test plug-ins.
    std::unique_ptr<FilterRegistry> registry_with(std::initializer_list<const char*> kinds,
                                                  const TempFolder* folder = nullptr) {
        const TempFolder& in = folder ? *folder : tmp;
        std::filesystem::create_directories(in / "Plugins");
        // Copies: a link that leads out of the Plugins folder is not this installation's.
        for (const std::string kind : kinds)
            std::filesystem::copy_file(VT_TEST_PLUGINS_DIR "/fmx_Test" + kind + ".so",
                                       in / ("Plugins/fmx_Test" + kind + ".so"));
        FilterRegistry::Options o;
        o.plugins_folder = in.sub16("Plugins");
        o.data_root = in.path16();
        o.store = &store;
        return std::make_unique<FilterRegistry>(o);
    }

    TempFolder tmp;
    StateStore store{tmp.sub16("state")};
    std::unique_ptr<Layer[]> layers{new Layer[image::kMaxLayers]};
};

TEST(ResultText, CodesHintsAndModules) {
    EXPECT_EQ(result_text(1), u"Success: The operation completed successfully");
    EXPECT_EQ(result_text(3), u"Success: Operation completed successfully for 3 items");
    EXPECT_EQ(result_text(-31), u"Error: An internal error occurred");
    EXPECT_EQ(result_text(-8), u"Error: An unknown error occurred");
    EXPECT_EQ(result_text(0), u"Error: An unknown error occurred");
    EXPECT_EQ(result_text(-98, u"/p/fmx_X.so", u"try again"),
              u"Expired: The operation timed out\n\nHint: try again\n\nReporting Module: fmx_X.so");
    EXPECT_EQ(result_text(-1, u"ab"), // too short to name
              u"Error: The file is either corrupted or the file format is not supported");
    EXPECT_EQ(result_text(-44, u"/m.so", std::u16string(400, u'h')).size(), 255u);
}

TEST(CheckRecord, TemporaryNamesHaveNoExtensionAndTheRestIsLowerCase) {
    EXPECT_EQ(make_check(u"/x/file.TEMP").extension[0], 0);
    EXPECT_EQ(make_check(u"/x/a.b/Photo.PNG").extension[1], u'p');
}

TEST_F(HostTest, LoadNamesFramesAndFindsAnimations) {
    auto registry = registry_with({"GOOD"});
    tmp.write("anim.tst", tst_file({{4, 3, 0}, {2, 5, 40}, {3, 3, 40}}));
    LoadStatus status;
    ASSERT_EQ(load_image(tmp.sub16("anim.tst"), layers.get(), image::kMaxLayers, status, *registry),
              3u);
    // Frames with delays; the largest width and height of all frames.
    EXPECT_EQ(std::tuple(status.doc_kind, status.width, status.height), std::tuple(2, 4u, 5u));
    EXPECT_EQ(std::pair(image::layer_name(layers[0]), image::layer_name(layers[2])),
              std::pair(std::u16string(u"anim.tst#1"), std::u16string(u"anim.tst#3")));
    EXPECT_EQ(std::tuple(layers[1].mode2, layers[1].bitmap.pixels[0]),
              std::tuple(40, 0x00102030u + 12));
    EXPECT_TRUE(registry->library_kept());
}

TEST_F(HostTest, CrashingPluginIsSurvivedAndTheNextCandidateWins) {
    auto registry = registry_with({"CRASH", "GOOD"});
    tmp.write("a.tst", tst_file({{2, 2, 0}}));
    LoadStatus status;
    status.parent_window = 1; // not silent: the fault is reported
    EXPECT_EQ(load_image(tmp.sub16("a.tst"), layers.get(), image::kMaxLayers, status, *registry),
              1u);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].rfind(u"Plug-in Error!!: Continuable Error at ", 0), 0u);
    EXPECT_NE(messages()[0].find(u"Access Violation Reading"), std::u16string::npos);
    EXPECT_NE(messages()[0].find(u" in module\n"), std::u16string::npos);
    EXPECT_EQ(image::layer_name(layers[0]), u"a.tst");
}

TEST_F(HostTest, PluginClaimingTheProbeIsBlacklistedAndTriedLast) {
    auto registry = registry_with({"CLAIMALL", "GOOD"});
    tmp.write("a.tst", tst_file({{2, 2, 0}}));
    LoadStatus status;
    const auto list = candidates_for_load(make_check(tmp.sub16("a.tst")), *registry);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.back().score, -1);
    EXPECT_NE(tmp.read("plugin_blacklist.txt").find("fmx_TestCLAIMALL.so"), std::string::npos);
    EXPECT_EQ(load_image(tmp.sub16("a.tst"), layers.get(), image::kMaxLayers, status, *registry),
              1u);
}

TEST_F(HostTest, SlowPluginRunsIntoTheTimeLimit) {
    auto registry = registry_with({"SLEEP"});
    tmp.write("a.tst", tst_file({{2, 2, 0}}));
    LoadStatus status;
    status.time_limit = 100;
    EXPECT_EQ(load_image(tmp.sub16("a.tst"), layers.get(), image::kMaxLayers, status, *registry),
              0u);
    EXPECT_EQ(status.error_text.view().rfind(u"Expired: The operation timed out", 0), 0u);
    EXPECT_NE(status.error_text.view().find(u"fmx_TestSLEEP.so"), std::u16string_view::npos);
}

TEST_F(HostTest, LoadFailuresSayWhy) {
    auto registry = registry_with({"GOOD"});
    LoadStatus status;
    EXPECT_EQ(load_image(u"/x", layers.get(), 8, status, *registry), 0u);
    EXPECT_EQ(
        status.error_text.view().rfind(u"The specified file does not exist\n\nFor further", 0), 0u);
    tmp.write("tiny.tst", "TS");
    EXPECT_EQ(load_image(tmp.sub16("tiny.tst"), layers.get(), 8, status, *registry), 0u);
    EXPECT_EQ(status.error_text.view().rfind(u"Error reading data from file", 0), 0u);
    tmp.write("junk.tst", "not a picture at all");
    EXPECT_EQ(load_image(tmp.sub16("junk.tst"), layers.get(), 8, status, *registry), 0u);
    EXPECT_EQ(status.error_text.view().rfind(
                  u"Error: The file is either corrupted or the file format is not supported", 0),
              0u);
    EXPECT_FALSE(image::IsBitmapValid(&layers[0].bitmap)); // every slot freed
}

TEST_F(HostTest, FailedSaveBringsTheOldTargetBackAndLeavesNoBackup) {
    auto registry = registry_with({"GOOD", "FAILSAVE"});
    tmp.write("a.tst", tst_file({{2, 2, 0}}));
    LoadStatus status;
    ASSERT_EQ(load_image(tmp.sub16("a.tst"), layers.get(), 8, status, *registry), 1u);

    // The failing plug-in is asked first; the good one then writes the file.
    tmp.write("out/b.tst", "old target");
    EXPECT_GT(save_image(tmp.sub16("out/b.tst"), layers.get(), 1, status, *registry), 0);
    EXPECT_EQ(tmp.read("out/b.tst").substr(0, 4), "TST1");

    const TempFolder failing_only;
    const auto failing = registry_with({"FAILSAVE"}, &failing_only);
    tmp.write("out/c.tst", "old target");
    EXPECT_EQ(save_image(tmp.sub16("out/c.tst"), layers.get(), 1, status, *failing), 0);
    EXPECT_EQ(tmp.read("out/c.tst"), "old target");
    for (const auto& e : std::filesystem::directory_iterator(tmp / "out"))
        EXPECT_EQ(e.path().extension(), ".tst") << e.path();
    const std::u16string_view why = status.error_text.view();
    EXPECT_EQ(why.rfind(u"Error: Cannot write data to the file, check disk space", 0), 0u);
    EXPECT_NE(why.find(u"\nFile type: '.tst' ("), std::u16string_view::npos);

    // Without an earlier target nothing half-written stays behind.
    EXPECT_EQ(save_image(tmp.sub16("out/new.tst"), layers.get(), 1, status, *failing), 0);
    EXPECT_FALSE(tmp.exists("out/new.tst"));
}

TEST_F(HostTest, SavePathRulesAndReadOnlyTargets) {
    auto registry = registry_with({"GOOD"});
    tmp.write("a.tst", tst_file({{2, 2, 0}}));
    LoadStatus status;
    ASSERT_EQ(load_image(tmp.sub16("a.tst"), layers.get(), 8, status, *registry), 1u);
    EXPECT_EQ(save_image(u"b.tst", layers.get(), 1, status, *registry), 0);
    EXPECT_EQ(status.error_text, u"The path is not fully qualified");
    EXPECT_EQ(save_image(tmp.sub16("b"), layers.get(), 1, status, *registry), 0);
    EXPECT_EQ(status.error_text, u"The file does not have an extension");
    EXPECT_FALSE(tmp.exists("b"));

    tmp.write("ro.tst", "read-only");
    ASSERT_TRUE(platform::set_read_only(tmp.sub16("ro.tst"), true));
    status.parent_window = 1; // asked, and the quiet answer is No
    status.silent = 0;
    EXPECT_EQ(save_image(tmp.sub16("ro.tst"), layers.get(), 1, status, *registry), 0);
    EXPECT_EQ(status.error_text, u"The target file is marked as read-only.");
    status.parent_window = 0; // silent: replaced
    EXPECT_GT(save_image(tmp.sub16("ro.tst"), layers.get(), 1, status, *registry), 0);
    EXPECT_EQ(tmp.read("ro.tst").substr(0, 4), "TST1");
}

TEST_F(HostTest, SingleLayerPluginGetsTheFlattenedPictureButNotForAnimations) {
    auto registry = registry_with({"GOOD", "FLAT"});
    tmp.write("layers.tst", tst_file({{4, 3, 0}, {2, 2, 0}}));
    LoadStatus status;
    ASSERT_EQ(load_image(tmp.sub16("layers.tst"), layers.get(), 8, status, *registry), 2u);
    ASSERT_EQ(status.doc_kind, 0);
    EXPECT_GT(save_image(tmp.sub16("flat.flt"), layers.get(), 2, status, *registry), 0);
    EXPECT_TRUE(status.needs_flattening);
    EXPECT_TRUE(status.saved_flattened);
    const std::string flat = tmp.read("flat.flt");
    ASSERT_GE(flat.size(), 20u);
    std::uint32_t frames = 0, width = 0;
    std::memcpy(&frames, flat.data() + 4, 4);
    std::memcpy(&width, flat.data() + 8, 4);
    EXPECT_EQ(frames, 1u);
    EXPECT_EQ(width, 4u); // the canvas of layer 0

    for (std::uint32_t i = 0; i < 8; ++i)
        image::release_layer(layers[i]);
    tmp.write("anim.tst", tst_file({{4, 3, 50}, {4, 3, 50}}));
    ASSERT_EQ(load_image(tmp.sub16("anim.tst"), layers.get(), 8, status, *registry), 2u)
        << test::u8(status.error_text.view());
    ASSERT_EQ(status.doc_kind, 2);
    EXPECT_EQ(save_image(tmp.sub16("anim.flt"), layers.get(), 2, status, *registry), 0);
    EXPECT_FALSE(status.saved_flattened);
    EXPECT_EQ(status.error_text.view().rfind(
                  u"Error: This plug-in requires a flattened single-layer image", 0),
              0u);
    EXPECT_FALSE(tmp.exists("anim.flt"));
}

TEST_F(HostTest, PluginDrawsThroughTheImageServices) {
    // The test plug-in draws a script through pi_BasicImage and hands out a frame per stage.
    auto registry = registry_with({"GOOD"});
    tmp.write("draw.tst", "DRW1");
    LoadStatus status;
    ASSERT_EQ(load_image(tmp.sub16("draw.tst"), layers.get(), image::kMaxLayers, status, *registry),
              10u);
    const auto pixel = [&](std::size_t frame, std::uint32_t x, std::uint32_t y) {
        const Bitmap& b = layers[frame].bitmap;
        return b.pixels[std::size_t{y} * b.stride + x];
    };
    constexpr std::uint32_t red = 0x00FF0000u, green = 0x0000FF00u, blue = 0x000000FFu;
    const struct {
        std::size_t frame;
        std::uint32_t x, y, expected;
    } cases[] = {
        {0, 0, 0, red},         {0, 3, 3, green},       {0, 0, 3, green}, // a disc in a square
        {0, 7, 7, red},         {1, 7, 7, blue},        {1, 6, 6, blue},  // a corner copied
        {1, 5, 5, green},       {2, 0, 7, blue},        {2, 7, 7, red},   // mirrored
        {3, 0, 0, 0},           {3, 3, 3, 0x00FFFF00u}, {3, 0, 7, 0x00FF00FFu}, // red inverted
        {4, 0, 0, 0x00FF00FFu}, {4, 7, 0, 0},                                   // turned clockwise
        {5, 0, 0, 0x00FF00FFu}, {5, 1, 0, blue},        {5, 1, 1, blue},        // masked copy
        {6, 0, 0, 0x001C1C1Cu}, {6, 1, 1, 0x001C1C1Cu}, {6, 2, 1, 0x001C1C1Cu}, // 255 / 9
    };
    for (const auto& c : cases)
        EXPECT_EQ(pixel(c.frame, c.x, c.y), c.expected) << c.frame << " " << c.x << "," << c.y;
    // Blue with green at half strength over it, stretched and scaled: within rounding.
    for (const auto& [x, y] : {std::pair{0u, 0u}, std::pair{3u, 3u}, std::pair{1u, 2u}}) {
        const std::uint32_t p = pixel(7, x, y);
        EXPECT_NEAR(static_cast<int>(p & 0xFF), 128, 1);
        EXPECT_NEAR(static_cast<int>((p >> 8) & 0xFF), 127, 1);
        EXPECT_EQ(p >> 16, 0u);
    }
    EXPECT_EQ(std::pair(layers[8].bitmap.width, layers[8].bitmap.height), std::pair(6u, 2u));
    std::vector<std::uint32_t> results(layers[9].bitmap.pixels,
                                       layers[9].bitmap.pixels + layers[9].bitmap.width);
    // Every call succeeds but the last three: a slanted target, a one-column kernel, no image.
    std::vector<std::uint32_t> expected(12, 1);
    expected.insert(expected.end(), {0, 0, 0});
    EXPECT_EQ(results, expected);
}

TEST(HostServices, QueriesAndInterfaces) {
    const pi_BasicQuery* q = basic_query_table();
    std::uint8_t buffer[64];
    std::memset(buffer, 0xAB, sizeof buffer);
    EXPECT_EQ(q->query("host.version", buffer, 15), -16);
    EXPECT_EQ(buffer[0], 0xAB); // nothing written
    EXPECT_EQ(q->query("host.version", buffer, 16), 16);
    EXPECT_EQ(std::memcmp(buffer, u"5.08.01", 16), 0);
    EXPECT_EQ(q->query("host.name", buffer, 64), 32);
    EXPECT_EQ(std::memcmp(buffer, u"Vantrel", 16), 0);
    EXPECT_EQ(buffer[31], 0);
    EXPECT_GT(q->query("host.temp_path", buffer, 64), 0);
    EXPECT_EQ(q->query("host.nothing", buffer, 64), 0);
    EXPECT_EQ(q->query("host.name", buffer, 0), -4);
    EXPECT_EQ(q->query(nullptr, buffer, 64), 0);
    EXPECT_EQ(q->set("host.name", buffer, 4), 0);
    EXPECT_EQ(q->set("host.name", buffer, 0), -1);
    // Spare threads: none outside a job, the job's idle workers inside one.
    std::atomic<std::uint32_t> idle{2};
    std::uint32_t spare = 99;
    for (const auto* source : {static_cast<std::atomic<std::uint32_t>*>(nullptr), &idle}) {
        set_spare_threads(source);
        EXPECT_EQ(q->query("job.spare_threads", &spare, 3), -4);
        EXPECT_EQ(q->query("job.spare_threads", &spare, 4), 4);
        EXPECT_EQ(spare, source != nullptr ? 2u : 0u);
    }
    set_spare_threads(nullptr);

    const auto name = [](const char16_t* s) { return reinterpret_cast<const std::uint16_t*>(s); };
    EXPECT_EQ(q->get_interface(name(u"PI_METAMARKUP")), meta_markup_table());
    EXPECT_EQ(q->get_interface(name(u"pi_BasicVideo")), basic_video_table());
    EXPECT_EQ(q->get_interface(name(u"pi_BasicQuery")), nullptr);
}

TEST(HostServices, ImageHandlesAndColours) {
    char16_t why[64];
    ASSERT_TRUE(gfx::EngineStartup(why, 64));
    const pi_BasicImage* img = basic_image_table();
    VtImage handle{};
    ASSERT_TRUE(img->create(&handle, 7, 5));
    EXPECT_EQ(handle.width, 7u);
    EXPECT_NE(handle.pixels, nullptr);
    EXPECT_EQ(img->get_dc(&handle), 0u); // no device contexts here
    EXPECT_TRUE(img->free_image(&handle));
    EXPECT_EQ(handle.bitmap, nullptr);

    std::uint32_t pixels[2] = {0x80112233u, 0x00000000u};
    EXPECT_EQ(basic_color_table()->convert_pixels(pixels, 2, 0, 2), 2);
    EXPECT_EQ(pixels[0], 0x80EEDDCCu); // inverted, transparency kept
    EXPECT_EQ(basic_color_table()->convert_pixels(pixels, 2, 2, 0x1000), 2);
    EXPECT_EQ(pixels[0], 0x80332211u); // back, then red and blue exchanged

    // Every colour model comes back within rounding (hue has 256 steps); grey is one way.
    const pi_BasicColor* colour = basic_color_table();
    for (const std::uint32_t code : {3u, 4u, 5u, 0x1003u, 0x1004u})
        for (std::uint32_t p : {0x00FF8040u, 0x7F102030u, 0x00FFFFFFu, 0x00000000u, 0x0000FF00u}) {
            const std::uint32_t original = p;
            ASSERT_EQ(colour->convert_pixels(&p, 1, 1, code), 1);
            ASSERT_EQ(colour->convert_pixels(&p, 1, code, 1), 1);
            for (int shift = 0; shift < 32; shift += 8)
                EXPECT_NEAR(static_cast<int>((p >> shift) & 0xFF),
                            static_cast<int>((original >> shift) & 0xFF), 3)
                    << std::hex << original << " code " << code;
        }
    std::uint32_t hsv = 0x000000FFu; // pure blue: hue two thirds round, full saturation
    EXPECT_EQ(colour->convert_pixels(&hsv, 1, 1, 4), 1);
    EXPECT_EQ(hsv, 0x00ABFFFFu);
    const std::uint32_t codes[2] = {1, 6};
    std::uint32_t grey = 0x00FF0000u;
    EXPECT_EQ(colour->convert_colour(&grey, codes), 1);
    EXPECT_EQ(grey, 0x004C4C4Cu);
    // Rows: R, G, B bytes in and out; grey bytes in.
    const std::uint8_t rgb[6] = {10, 20, 30, 40, 50, 60};
    std::uint32_t row[2];
    EXPECT_EQ(colour->convert_row(row, rgb, 2, 3, 2), 2);
    EXPECT_EQ(row[1], 0x0028323Cu);
    std::uint8_t back[6] = {};
    EXPECT_EQ(colour->convert_row(back, row, 2, 3, 3), 2);
    EXPECT_EQ(std::vector<std::uint8_t>(back, back + 6), std::vector<std::uint8_t>(rgb, rgb + 6));
    EXPECT_EQ(colour->convert_row(row, rgb, 2, 1, 0), 2);
    EXPECT_EQ(row[1], 0x00141414u);
    EXPECT_EQ(colour->convert_row(row, rgb, 2, 2, 0), 0);
    gfx::EngineShutdown();
}

// Savers select the frames of an animation of changes in order, and the host composes each on
// from the one before: that must give what composing from the first frame gives.
TEST(FrameChanges, ComposingOnFromAnEarlierFrameEqualsComposingAnew) {
    using Rect = std::tuple<std::int32_t, std::int32_t, std::int32_t, std::int32_t>;
    const Rect rects[] = {{0, 0, 8, 6}, {2, 1, 3, 2}, {0, 0, 2, 2}, {5, 3, 3, 3}, {1, 2, 6, 1}};
    constexpr std::int32_t kFrames = 5;
    Layer layers[kFrames] = {};
    std::uint32_t colour = 0x00102030;
    for (std::int32_t i = 0; i < kFrames; ++i) {
        const auto [x, y, w, h] = rects[i];
        ASSERT_EQ(image::CreateBitmap(&layers[i].bitmap, w, h, image::kCreateMemory), 1);
        layers[i].x = x;
        layers[i].y = y;
        for (std::int32_t p = 0; p < w * h; ++p)
            layers[i].bitmap.pixels[p / w * layers[i].bitmap.stride + p % w] = colour++;
    }
    const auto pixels = [](const Bitmap& b) {
        std::vector<std::uint32_t> v;
        for (std::uint32_t y = 0; y < b.height; ++y)
            v.insert(v.end(), b.pixels + y * b.stride, b.pixels + y * b.stride + b.width);
        return v;
    };
    for (std::int32_t to = 0; to < kFrames; ++to) {
        Bitmap anew{};
        ASSERT_EQ(compose_frame(&anew, layers, kFrames, to), 1);
        for (std::int32_t from = 0; from <= to; ++from) {
            Bitmap on{};
            ASSERT_EQ(compose_frame(&on, layers, kFrames, from), 1);
            ASSERT_EQ(advance_frame(&on, layers, from, to), 1);
            EXPECT_EQ(pixels(on), pixels(anew)) << from << " -> " << to;
            image::FreeBitmap(&on);
        }
        image::FreeBitmap(&anew);
    }
    Bitmap back{};
    ASSERT_EQ(compose_frame(&back, layers, kFrames, 3), 1);
    EXPECT_EQ(advance_frame(&back, layers, 3, 1), 0); // never backwards
    image::FreeBitmap(&back);
    for (Layer& layer : layers)
        image::FreeBitmap(&layer.bitmap);
}

// Deep pictures across the plug-in boundary: an old plug-in never sees a difference, a newer
// one's deep picture is kept only when sound, and a writer that takes one says so.
TEST_F(HostTest, DeepPicturesAreAskedForOfferedAndCheckedAtTheBoundary) {
    auto registry = registry_with({"GOOD", "DEEP"});
    tmp.write("a.tst", tst_file({{3, 2, 0}}));
    image::DeepImage deep;
    {
        LoadStatus plain, asked;
        asked.deep = &deep;
        ASSERT_EQ(load_image(tmp.sub16("a.tst"), layers.get(), 8, plain, *registry), 1u);
        const std::string before = tmp.read("a.tst");
        ASSERT_EQ(save_image(tmp.sub16("plain.tst"), layers.get(), 1, plain, *registry), 1);
        ASSERT_EQ(load_image(tmp.sub16("a.tst"), layers.get(), 8, asked, *registry), 1u);
        EXPECT_TRUE(deep.empty()); // the old plug-in hands none
        ASSERT_TRUE(deep.create(3, 2, 4));
        asked.deep_offer = &deep;
        ASSERT_EQ(save_image(tmp.sub16("asked.tst"), layers.get(), 1, asked, *registry), 1);
        EXPECT_EQ(asked.deep_saved, 0);
        EXPECT_EQ(tmp.read("asked.tst"), tmp.read("plain.tst"));
    }
    const struct {
        const char* file;
        bool kept;
    } cases[] = {
        {"sound0.dpt", true},         {"wider1.dpt", false},      {"three2.dpt", false},
        {"short_stride3.dpt", false}, {"no_samples4.dpt", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        tmp.write(c.file, tst_file({{3, 2, 0}}));
        LoadStatus status;
        status.deep = &deep;
        ASSERT_EQ(load_image(tmp.sub16(c.file), layers.get(), 8, status, *registry), 1u);
        EXPECT_EQ(layers[0].bitmap.width, 3u); // the 8-bit picture goes on whatever came beside
        ASSERT_EQ(!deep.empty(), c.kept);
        if (c.kept) {
            EXPECT_EQ(deep.record().width, 3u);
            EXPECT_EQ(deep.record().samples[0], 0x1234);
        }
    }
    // A writer that takes 16 bits gets the offer and writes it.
    LoadStatus status;
    status.deep = &deep;
    ASSERT_EQ(load_image(tmp.sub16("sound0.dpt"), layers.get(), 8, status, *registry), 1u);
    ASSERT_FALSE(deep.empty());
    EXPECT_EQ(save_depth(u"x.dpt", *registry), 16);
    EXPECT_EQ(save_depth(u"x.tst", *registry), 8);
    status.deep_offer = &deep;
    ASSERT_EQ(save_image(tmp.sub16("out.dpt"), layers.get(), 1, status, *registry), 1);
    EXPECT_EQ(status.deep_saved, 16);
    const std::string written = tmp.read("out.dpt");
    const std::size_t at = written.find("DEEP");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(written.size() - at - 4, std::size_t{3} * 2 * 4 * 2);
    EXPECT_EQ(written.substr(at + 4, 2), std::string("\x34\x12", 2));
}

} // namespace
} // namespace vt::plugins
