// The progress display's rules from snapshots and /proc texts, and the bubble's rules.

#include <gtest/gtest.h>

#include <string>

#include "base/utf.h"
#include "session/bubble_text.h"
#include "session/progress_display.h"

namespace vt::session {
namespace {

using engine::JobState;
using engine::JobStats;

constexpr platform::TimeStamp kSecond = 1000000000ull;

std::string u8(std::u16string_view text) {
    return base::utf16_to_utf8(text);
}

std::u16string bracket(std::u16string_view text) {
    return u"[" + std::u16string(text) + u"]";
}

std::string stat_text(unsigned long long user, unsigned long long system, unsigned long long idle,
                      unsigned long long iowait) {
    return "cpu  " + std::to_string(user) + " 0 " + std::to_string(system) + " " +
           std::to_string(idle) + " " + std::to_string(iowait) + " 0 0 0 0 0\ncpu0 1 2 3 4\n";
}

TEST(ProcessorGauge, LoadFromProcStatAveragedOverEightSamples) {
    // Each step adds 100 ticks: `busy` of them user and system, the rest idle and iowait.
    const struct {
        std::vector<int> busy; // per reading after the first, which sits at boot (all zero)
        int expected;
    } cases[] = {
        {{}, 0},
        {{100}, 13},                                       // (100 + 4) / 8
        {{50, 50, 50, 50, 50, 50, 50, 50}, 50},            // steady half load
        {{100, 100, 100, 100, 100, 100, 100, 100, 0}, 88}, // the oldest sample drops out
        {{3, 3, 3, 3}, 2},                                 // (12 + 4) / 8
    };
    for (const auto& c : cases) {
        ProcessorGauge gauge;
        unsigned long long user = 0, idle = 0;
        gauge.sample(platform::parse_processor_times(stat_text(0, 0, 0, 0)));
        for (const int busy : c.busy) {
            user += static_cast<unsigned long long>(busy);
            idle += static_cast<unsigned long long>(100 - busy);
            gauge.sample(platform::parse_processor_times(
                stat_text(user / 2, user - user / 2, idle / 2, idle - idle / 2)));
        }
        EXPECT_EQ(gauge.value(true), c.expected) << ::testing::PrintToString(c.busy);
    }
}

TEST(ProcessorGauge, UnreadableAtFirstMeansUnavailableForGood) {
    ProcessorGauge gauge;
    gauge.sample(platform::parse_processor_times("intr 5\n"));
    gauge.sample(platform::parse_processor_times(stat_text(90, 0, 10, 0)));
    EXPECT_FALSE(gauge.available());
    EXPECT_EQ(gauge.value(true), 100);
    EXPECT_EQ(gauge.value(false), 0);
    // Readable once, a later failure only skips a sample.
    ProcessorGauge later;
    later.sample(platform::parse_processor_times(stat_text(0, 0, 0, 0)));
    later.sample(std::nullopt);
    EXPECT_TRUE(later.available());
}

TEST(SystemLoad, ProcTextsParsedOrRefused) {
    EXPECT_FALSE(platform::parse_processor_times(""));
    EXPECT_FALSE(platform::parse_processor_times("cpu0 1 2 3 4\n"));
    EXPECT_FALSE(platform::parse_processor_times("cpu  1 2 x\n"));
    const auto t = platform::parse_processor_times("cpu  10 1 20 300 4 5 6 7 0 0\n");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->idle, 304u);
    EXPECT_EQ(t->kernel, 20u + 5 + 6 + 304);
    EXPECT_EQ(t->user, 10u + 1 + 7);
    EXPECT_EQ(platform::processor_load({}, {}), 0);
    EXPECT_EQ(platform::processor_load({50, 60, 40}, {40, 50, 30}), 0); // counters went back

    const struct {
        const char* meminfo;
        std::optional<int> load;
    } mem[] = {
        {"MemTotal:  1000 kB\nMemFree:  100 kB\nMemAvailable:  250 kB\n", 75},
        {"MemTotal: 1000 kB\nMemFree: 100 kB\nBuffers: 50 kB\nCached: 149 kB\n", 70},
        {"MemTotal: 1000 kB\nMemAvailable: 5000 kB\n", 0},
        {"MemFree: 100 kB\n", std::nullopt},
        {"MemTotal: 0 kB\n", std::nullopt},
    };
    for (const auto& m : mem)
        EXPECT_EQ(platform::parse_memory_load(m.meminfo), m.load) << m.meminfo;
    const std::optional<int> live = platform::read_memory_load();
    ASSERT_TRUE(live);
    EXPECT_GE(*live, 0);
    EXPECT_LE(*live, 100);
    EXPECT_TRUE(platform::read_processor_times());
}

TEST(ProgressDisplay, GaugeTextsButtonsAndBubblesFollowTheJob) {
    const struct {
        std::uint32_t converted, failed, unknown, total;
        bool active;
        JobState state;
        const char* label;
        const char* first_button;
        FirstButtonCommand command;
    } cases[] = {
        {0, 0, 0, 0, false, JobState::idle, "Waiting for new Job", "New Job",
         FirstButtonCommand::new_job},
        {3, 1, 1, 10, true, JobState::running, "50% (5 of 10)", "Pause Job",
         FirstButtonCommand::pause_or_resume},
        {1, 0, 0, 3, true, JobState::paused, "33% (1 of 3, Paused)", "Continue Job",
         FirstButtonCommand::pause_or_resume},
        // A finished job: the counters stay in the output pane, the gauge waits.
        {7, 0, 0, 7, false, JobState::finished, "Waiting for new Job", "New Job",
         FirstButtonCommand::new_job},
        {9999, 0, 0, 10000, true, JobState::running, "99% (9999 of 10000)", "Pause Job",
         FirstButtonCommand::pause_or_resume},
    };
    for (const auto& c : cases) {
        JobStats s;
        s.converted = c.converted;
        s.failed = c.failed;
        s.unknown = c.unknown;
        s.total = c.total;
        const ProgressView v = progress_view(s, c.active, c.state);
        EXPECT_EQ(u8(progress_label(v)), c.label);
        EXPECT_EQ(u8(part_bubble_text(ProgressPart::first_button, v)), c.first_button);
        EXPECT_EQ(first_button_command(v), c.command);
        EXPECT_EQ(part_bubble_text(ProgressPart::second_button, v), u"Cancel Job");
    }
    // Active with nothing counted yet keeps the previous progress.
    EXPECT_EQ(progress_view(JobStats{}, true, JobState::running, 1234).progress, 1234);
    EXPECT_EQ(u8(part_bubble_text(ProgressPart::processor, {})),
              "CPU Utilization\nPercentage, for all CPUs in the system");
    EXPECT_TRUE(part_bubble_text(ProgressPart::none, {}).empty());
}

TEST(ProgressDisplay, RefreshPeriodsStretchOnBattery) {
    const struct {
        bool active, on_battery;
        int charge, expected;
    } cases[] = {
        {true, false, 5, 50},   {false, false, 5, 100}, // on mains the charge does not matter
        {true, true, 25, 50},   {true, true, 10, 150},  // 1 + 15 x 3 / 22.5 = 3
        {true, true, 0, 217},   {false, true, 50, 100}, // 50 x 4.333 = 216.67
        {false, true, 20, 300}, {false, true, 0, 433},  // 100 x (1 + 50 x 3 / 45)
        {true, true, 24, 57},                           // 50 x 1.1333 = 56.67
    };
    for (const auto& c : cases)
        EXPECT_EQ(progress_refresh_ms(c.active, {c.on_battery, c.charge}), c.expected)
            << c.active << " " << c.on_battery << " " << c.charge;
    EXPECT_EQ(output_refresh_ms(false, false), 2000);
    EXPECT_EQ(output_refresh_ms(true, true), 1000);
    EXPECT_EQ(output_refresh_ms(true, false), 200);
}

TEST(ProgressDisplay, RowsStatusLineAndLastErrorFromASnapshot) {
    JobStats s;
    s.converted = 5;
    s.failed = 2;
    s.unknown = 1;
    s.total = 20;
    s.busyWorkers = 3;
    s.startTime = kSecond;
    const auto rows = output_rows(s, 3725, 4, 3724 * kSecond);
    std::string text;
    for (const OutputRow& r : rows)
        text += u8(r.label) + " " + u8(r.value) + "|";
    EXPECT_EQ(text, "Time Taken: 1:02:03|Time Left: 1:02:05|Converted: 5|Failed: 2|Unknown: 1|"
                    "Balance: 12|TOTAL: 20|Threads / CPUs: 3/4|");

    // Converted pictures that are not quite what was asked for are told apart.
    s.warned = 1;
    EXPECT_EQ(output_rows(s, 0, 4)[2].value, u"5 (1 with warnings)");
    s.cutShort = 2;
    EXPECT_EQ(output_rows(s, 0, 4)[2].value, u"5 (1 with warnings, 2 cut short)");
    s.warned = s.cutShort = 0;

    // A job that took 49 hours, and one that has no start: no times to show.
    s.endTime = s.startTime + 49 * 3600 * kSecond;
    EXPECT_EQ(output_rows(s, std::nullopt, 1)[0].value, u"-:--:--");
    EXPECT_EQ(output_rows(s, std::nullopt, 1)[1].value, u"-:--:--");
    EXPECT_EQ(output_rows(JobStats{}, 0, 1)[0].value, u"-:--:--");

    EXPECT_EQ(last_error_line(s), u"");
    s.lastError.assign(u"Failed while saving a.png");
    EXPECT_EQ(last_error_line(s), u"Last Error: \"Failed while saving a.png\"");

    // Only the phrase is translated, never the path.
    EXPECT_EQ(status_line(s, JobState::starting, bracket), u"[Starting, Please Wait] ...");
    EXPECT_EQ(status_line(s, JobState::finished, bracket), u"[Waiting for new Job] ...");
    s.currentFile.assign(u"/pics/Error.png");
    EXPECT_EQ(status_line(s, JobState::running, bracket), u"[Converting] \"/pics/Error.png\" ...");
}

TEST(ProgressDisplay, TaskbarShowsProgressOnlyBetweenFirstAndLastFile) {
    JobStats s;
    s.total = 4;
    EXPECT_FALSE(taskbar_progress(s, true));
    s.converted = 1;
    EXPECT_EQ(taskbar_progress(s, true), (TaskbarProgress{1, 4}));
    EXPECT_FALSE(taskbar_progress(s, false));
    s.failed = 3;
    EXPECT_FALSE(taskbar_progress(s, true));
}

TEST(Bubble, TitleBodySplitAndWarningWords) {
    const struct {
        std::u16string text;
        const char* title;
        const char* body;
        bool warning;
    } cases[] = {
        {u"New Job", "New Job", "", false},
        {u"CPU Utilization\nPercentage\nfor all", "CPU Utilization", "Percentage\nfor all", false},
        {u"Could not save\nOUT OF MEMORY", "Could not save", "OUT OF MEMORY", true},
        {u"Last Error", "Last Error", "", true},
        {u"\nWarning: disk", "", "Warning: disk", true},
        {u"Failure", "Failure", "", true},
        {u"Out of\nmemory", "Out of", "memory", false}, // the words must stand together
        {u"errand", "errand", "", false},
    };
    for (const auto& c : cases) {
        const BubbleText t = split_bubble_text(c.text);
        EXPECT_EQ(u8(t.title), c.title);
        EXPECT_EQ(u8(t.body), c.body);
        EXPECT_EQ(is_warning_text(c.text), c.warning) << c.title;
    }
    // Cut at 511 characters, the line feed beyond the cut is never seen.
    const BubbleText long_text = split_bubble_text(std::u16string(600, u'x') + u"\nbody");
    EXPECT_EQ(long_text.title.size(), kBubbleTextCapacity - 1);
    EXPECT_TRUE(long_text.body.empty());
}

TEST(Bubble, PlacementAroundThePointerAndFading) {
    const BubbleArea work{0, 0, 1000, 800};
    const struct {
        BubblePoint pointer, expected;
    } cases[] = {
        {{500, 400}, {500 - 30 - 200, 400 - 30 - 60}}, // above and to the left
        {{100, 400}, {128, 310}},                      // too far left: to the right
        {{500, 50}, {270, 74}},                        // too high: below
        {{10, 10}, {38, 34}},                          // both
    };
    for (const auto& c : cases)
        EXPECT_EQ(place_bubble(c.pointer, 200, 60, work), c.expected);
    EXPECT_EQ(place_bubble({2100, 40}, 200, 60, {1920, 30, 3840, 1080}),
              (BubblePoint{2128, 64})); // the second monitor's work area counts

    const struct {
        std::uint32_t ms;
        int opacity, next;
        bool visible;
    } fades[] = {{0, 255, 249, true},   {2000, 255, 249, true}, {2001, 254, 25, true},
                 {3500, 127, 25, true}, {4999, 0, 25, true},    {5000, 0, 999, false}};
    for (const auto& f : fades) {
        const BubbleFade fade = bubble_fade(f.ms);
        EXPECT_EQ(fade.opacity, f.opacity) << f.ms;
        EXPECT_EQ(fade.next_ms, f.next) << f.ms;
        EXPECT_EQ(fade.visible, f.visible) << f.ms;
    }
}

} // namespace
} // namespace vt::session
