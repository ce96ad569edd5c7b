// A job over many tiny files under random pause, resume and cancel: every file handed out is
// converted, failed or unknown exactly once, and the counters add up with the files a cancel
// left undone. VT_CHURN_FILES sets the file count, VT_RELIABILITY_ROUNDS the number of jobs.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>

#include "engine/conversion_run.h"
#include "tests/support/fake_step.h"
#include "tests/support/prepared.h"
#include "tests/support/temp_folder.h"

namespace vt::engine {
namespace {

int env_number(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

bool ends_with(const std::u16string& text, std::u16string_view tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(JobChurn, CountersAddUpUnderPauseResumeAndCancel) {
    const int files = env_number("VT_CHURN_FILES", 10000);
    const int rounds = env_number("VT_RELIABILITY_ROUNDS", 2);
    test::TempFolder src, dst;
    const char* kinds[] = {".ok", ".ok", ".ok", ".bad", ".nosave"};
    for (int i = 0; i < files; ++i)
        src.write("d" + std::to_string(i % 16) + "/f" + std::to_string(i) + kinds[i % 5]);
    ConversionJob job = default_job();
    job.sourceFolder.assign(src.path16());
    job.targetFolder.assign(dst.path16());
    job.targetExtension.assign(u".png");
    job.includeSubfolders = 1;
    job.overwrite = 1; // each round writes into the folder the one before filled

    for (int round = 0; round < rounds; ++round) {
        auto step = std::make_shared<test::FakeStep>();
        step->on_load = [](const std::u16string& s) { return ends_with(s, u".bad") ? 0u : 1u; };
        step->on_save = [](const std::u16string& s, const std::u16string&) {
            return !ends_with(s, u".nosave");
        };
        std::mt19937 rng(static_cast<unsigned>(round * 7919 + 1));
        const bool cancels = round % 2 == 1;
        const auto cancel_at = std::chrono::milliseconds(rng() % 400);
        ConversionRun run(
            step, {.workers = 1u + static_cast<unsigned>(round % 4), .preview = round % 3 == 0});
        ASSERT_TRUE(run.start_job(test::prepared(job)));
        const auto start = std::chrono::steady_clock::now();
        bool paused = false, cancelled = false;
        while (!run.wait_for_end(std::chrono::milliseconds(rng() % 8))) {
            if (cancels && !cancelled && std::chrono::steady_clock::now() - start > cancel_at)
                cancelled = run.cancel_job();
            else if (rng() % 3 == 0)
                paused = run.pause_or_resume(!paused) ? !paused : paused;
            else if (paused)
                paused = !run.pause_or_resume(false);
        }
        JobStats stats;
        run.take_snapshot(stats);
        const auto loaded = step->loaded();
        std::uint32_t ok = 0, bad = 0, nosave = 0;
        for (const auto& [source, times] : loaded) {
            ASSERT_EQ(times, 1) << base::utf16_to_utf8(source);
            (ends_with(source, u".bad") ? bad : ends_with(source, u".nosave") ? nosave : ok)++;
        }
        EXPECT_EQ(stats.total, static_cast<std::uint32_t>(files));
        EXPECT_EQ(stats.converted, ok) << "round " << round;
        EXPECT_EQ(stats.unknown, bad) << "round " << round;
        EXPECT_EQ(stats.failed, nosave) << "round " << round;
        // A cancel that lands while a picture is transformed cuts that one short.
        EXPECT_EQ(run.outcomes().size(), std::size_t{bad} + nosave + stats.cutShort);
        const std::uint32_t skipped = stats.total - stats.converted - stats.failed - stats.unknown;
        EXPECT_EQ(stats.total, stats.converted + stats.failed + stats.unknown + skipped);
        EXPECT_TRUE(cancelled || skipped == 0) << "round " << round;
        EXPECT_EQ(run.state(), JobState::finished);
    }
}

} // namespace
} // namespace vt::engine
