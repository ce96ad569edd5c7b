#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "session/desktop_rules.h"
#include "session/engine_limits.h"
#include "session/format_catalogue.h"
#include "tests/support/temp_folder.h"

namespace vt::session {
namespace {

// What the command line asks for wins, then VANTREL_MEMORY_BUDGET_MB for the budget, then the
// stored entries; stored values out of range count as absent.
TEST(EngineLimits, CommandLineThenEnvironmentThenStored) {
    struct Case {
        const char* workers;
        const char* memory;
        unsigned asked_workers;
        std::uint64_t asked_mb;
        const char* env;
        unsigned workers_out;
        std::uint64_t mb_out;
    } cases[] = {
        {nullptr, nullptr, 0, 0, nullptr, 0, 0}, {"4", "512", 0, 0, nullptr, 4, 512},
        {"4", "512", 2, 64, nullptr, 2, 64},     {"4", "512", 0, 0, "300", 4, 0},
        {"33", "15", 0, 0, nullptr, 0, 0},       {"-1", "1073741825", 0, 0, nullptr, 0, 0},
        {"many", "lots", 0, 0, nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        test::TempFolder tmp;
        plugins::StateStore store(tmp.path16());
        if (c.workers)
            set_plugin_option(kWorkersState, c.workers, store);
        if (c.memory)
            set_plugin_option(kMemoryBudgetState, c.memory, store);
        if (c.env)
            ::setenv("VANTREL_MEMORY_BUDGET_MB", c.env, 1);
        const EngineLimits got = job_limits(c.asked_workers, c.asked_mb, store);
        ::unsetenv("VANTREL_MEMORY_BUDGET_MB");
        EXPECT_EQ(got.workers, c.workers_out) << c.workers;
        EXPECT_EQ(got.memory_mb, c.mb_out) << c.memory;
    }
    test::TempFolder tmp;
    plugins::StateStore store(tmp.path16());
    EXPECT_FALSE(save_engine_limits({33, 0}, store));
    EXPECT_FALSE(save_engine_limits({0, 15}, store));
    EXPECT_EQ(store.size(kWorkersState), 0);
    // What vtconvert --set accepts.
    for (const auto& [name, value, ok] :
         {std::tuple{kWorkersState, "32", true}, std::tuple{kWorkersState, "33", false},
          std::tuple{kWorkersState, "-1", false}, std::tuple{kMemoryBudgetState, "0", true},
          std::tuple{kMemoryBudgetState, "15", false}, std::tuple{kMemoryBudgetState, "16", true},
          std::tuple{kMemoryBudgetState, "1073741825", false},
          std::tuple{kMemoryBudgetState, "lots", false}})
        EXPECT_EQ(!check_engine_limit(name, value).has_value(), ok) << value;
}

using test::TempFolder;

TEST(DesktopRules, MenusFollowTheJobAndTheTargetFolder) {
    struct Case {
        bool active, paused, target;
        bool new_job, pause, cancel, open;
        std::u16string pause_text;
    } cases[] = {
        {false, false, false, true, false, false, false, u"&Pause Job"},
        {true, false, true, false, true, true, true, u"&Pause Job"},
        {true, true, false, false, true, true, false, u"Un&pause Job"},
        {false, false, true, true, false, false, true, u"&Pause Job"},
    };
    for (const Case& c : cases) {
        const MenuState m = menu_state(c.active, c.paused, c.target);
        EXPECT_EQ((std::array{m.newJob, m.pauseJob, m.cancelJob, m.openTargetFolder}),
                  (std::array{c.new_job, c.pause, c.cancel, c.open}));
        EXPECT_EQ(m.pauseText, c.pause_text);
    }
    TempFolder target;
    engine::ConversionJob job{};
    EXPECT_FALSE(target_folder_exists(job));
    job.targetFolder.assign(target.sub16("out"));
    EXPECT_FALSE(target_folder_exists(job));
    target.write("out/a.png");
    EXPECT_TRUE(target_folder_exists(job));
    job.targetFolder.assign(target.sub16("out/a.png"));
    EXPECT_FALSE(target_folder_exists(job));
}

TEST(DesktopRules, LanguageItemCanBeFoundInAnyLanguage) {
    EXPECT_EQ(language_item_text(u"Language"), u"Language ...");
    EXPECT_EQ(language_item_text(u"Langue"), u"Langue (Language) ...");
    EXPECT_EQ(language_item_text(u"language"), u"language (Language) ...");
}

TEST(DesktopRules, CommandLinePresetsTheWizard) {
    TempFolder root;
    root.write("Pics/a.PNG");
    root.write("Pics/b.verylongext");
    root.write("Pics/noext");
    root.write("Pics/sub/c.jpg");
    const std::u16string pics = root.sub16("Pics");
    struct Case {
        std::u16string text;
        bool opens;
        std::u16string source, extension;
    } cases[] = {
        {u"\"" + pics + u"/a.PNG\" ", true, pics, u".png"},
        {u"  " + pics + u"/b.verylongext", true, pics, u""},
        {pics + u"/noext", true, pics, u""},
        {u"\"" + pics + u"/\"", true, pics, u""},
        {pics + u"/missing.png", false, u"", u""},
        {u"/tm", false, u"", u""},
        {u"\" /tm \"", false, u"", u""},
        {u"/" + std::u16string(516, u'x'), false, u"", u""},
    };
    for (const Case& c : cases) {
        engine::ConversionJob job{};
        job.targetExtension.assign(u"");
        EXPECT_EQ(preset_from_command_line(c.text, job), c.opens) << test::u8(c.text);
        EXPECT_EQ(job.sourceFolder.view(), c.source) << test::u8(c.text);
        EXPECT_EQ(job.targetFolder.view(), c.source) << test::u8(c.text);
        EXPECT_EQ(job.targetExtension.view(), c.extension) << test::u8(c.text);
    }
}

TEST(DesktopRules, SavedPlacementIsUsedOnlyWhereItFits) {
    PlacementMetrics m;
    m.monitors = {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
    m.virtual_screen = {0, 0, 3200, 1080};
    const auto record = [](int left, int top, int w, int h, int show) {
        engine::SettingsRecord r = engine::SettingsRecord::defaults();
        r.windowLeft = static_cast<std::int16_t>(left);
        r.windowTop = static_cast<std::int16_t>(top);
        r.clientWidth = static_cast<std::uint16_t>(w);
        r.clientHeight = static_cast<std::uint16_t>(h);
        r.showState = static_cast<std::uint16_t>(show);
        return r;
    };
    struct Case {
        engine::SettingsRecord r;
        bool corner;
        int width, height;
        bool maximized;
    } cases[] = {
        {record(0, 0, 800, 600, 0), false, 800, 600, false},      // (0, 0) means never saved
        {record(100, 50, 719, 600, 0), true, 720, 640, false},    // too narrow: default size
        {record(100, 50, 720, 500, 2), true, 720, 500, true},     // 2 reads as maximized
        {record(1700, 50, 800, 600, 0), false, 800, 600, false},  // corner + 240 leaves monitor 1
        {record(1930, 900, 800, 600, 1), false, 800, 600, true},  // corner + 160 leaves monitor 2
        {record(1930, 800, 3300, 600, 0), true, 720, 640, false}, // wider than the screen
        {record(-5, 10, 800, 600, 0), false, 800, 600, false},    // off every monitor
    };
    for (const Case& c : cases) {
        const Placement p = placement_from(c.r, m);
        EXPECT_EQ(p.top_left.has_value(), c.corner) << c.r.windowLeft << "," << c.r.windowTop;
        if (p.top_left) {
            EXPECT_EQ(*p.top_left, (std::pair{int{c.r.windowLeft}, int{c.r.windowTop}}));
        }
        EXPECT_EQ(std::pair(p.width, p.height), std::pair(c.width, c.height)) << c.r.clientWidth;
        EXPECT_EQ(p.maximized, c.maximized);
    }

    engine::SettingsRecord r = record(10, 20, 800, 600, 0);
    note_window_resized(r, true, {0, 0, 1920, 1040});
    EXPECT_EQ((std::array{r.windowLeft, r.windowTop}), (std::array<std::int16_t, 2>{10, 20}));
    EXPECT_EQ(r.showState, 1);
    EXPECT_EQ(r.clientWidth, 800);
    note_window_resized(r, false, {-40000, 70, 900, 700});
    EXPECT_EQ((std::array{r.windowLeft, r.windowTop}), (std::array<std::int16_t, 2>{-32768, 70}));
    EXPECT_EQ((std::array{r.clientWidth, r.clientHeight, r.showState}),
              (std::array<std::uint16_t, 3>{900, 700, 0}));
}

} // namespace
} // namespace vt::session
