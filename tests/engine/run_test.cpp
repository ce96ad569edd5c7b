#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <tuple>
#include <utility>

#include <sys/stat.h>

#include "base/text.h"
#include "base/utf.h"
#include "engine/conversion_run.h"
#include "engine/error_log.h"
#include "engine/job_plan.h"
#include "platform/files.h"
#include "tests/support/fake_step.h"
#include "tests/support/prepared.h"
#include "tests/support/temp_folder.h"

namespace vt::engine {
namespace {

using namespace std::chrono_literals;
using test::FakeStep;
using test::Gate;
using test::TempFolder;

bool contains(const std::u16string& text, std::u16string_view part) {
    return text.find(part) != std::u16string::npos;
}

class RunTest : public ::testing::Test {
protected:
    ConversionJob job_for(const TempFolder& from, const TempFolder& to) {
        ConversionJob job = default_job();
        job.sourceFolder.assign(from.path16());
        job.targetFolder.assign(to.path16());
        job.targetExtension.assign(u".png");
        job.overwrite = 1; // these jobs write into folders the tests fill beforehand
        return job;
    }
    JobStats finish(ConversionRun& run) {
        EXPECT_TRUE(run.wait_for_end(60s));
        JobStats stats;
        run.take_snapshot(stats);
        return stats;
    }
    JobStats run_to_end(ConversionRun& run, const ConversionJob& job) {
        EXPECT_TRUE(run.start_job(test::prepared(job)));
        return finish(run);
    }
    TempFolder src, dst;
    std::shared_ptr<FakeStep> step = std::make_shared<FakeStep>();
};

// A tree with no file to convert is refused before the run: no worker, nothing created.
TEST_F(RunTest, EmptyFolderIsRefusedBeforeAnyWorkerStarts) {
    src.write("Thumbs.db");
    src.write("sub/a.jpg"); // sub-folders are not searched without the option
    ConversionJob job = job_for(src, dst);
    job.targetFolder.assign(dst.sub16("new"));
    const Prepared prepared = prepare_job(job, {}, {}, PrepareMode::run);
    ASSERT_TRUE(std::holds_alternative<JobRefusal>(prepared));
    EXPECT_EQ(std::get<JobRefusal>(prepared).text, u"Could not search folder for files!");
    EXPECT_FALSE(dst.exists("new"));
    ConversionRun run(step, {.workers = 2});
    EXPECT_EQ(step->rooms, 0);
    EXPECT_FALSE(run.job_active());
    EXPECT_FALSE(run.cancel_job());
}

TEST_F(RunTest, CountersAddUpAndOnlyFailedSavesAreLogged) {
    for (const char* name : {"ok1.jpg", "ok2.jpg", "ok3.jpg", "unreadable.jpg", "bad-save.jpg",
                             "broken-edit.jpg", "desktop.ini"})
        src.write(name);
    step->on_load = [](const std::u16string& s) { return contains(s, u"unreadable") ? 0u : 1u; };
    step->on_transform = [](const std::u16string& s) {
        return contains(s, u"broken") ? kTransformFailed : kTransformChanged;
    };
    step->on_save = [](const std::u16string& s, const std::u16string&) {
        return !contains(s, u"bad-save");
    };
    dst.write("_error_log.txt", "from the previous job");
    ConversionRun run(step, {.workers = 3});
    const JobStats stats = run_to_end(run, job_for(src, dst));
    EXPECT_EQ(run.state(), JobState::finished);
    // Total, converted (a failed edit is still saved), failed, unknown, balance, live workers.
    EXPECT_EQ(std::tuple(stats.total, stats.converted, stats.failed, stats.unknown, balance(stats),
                         stats.liveWorkers),
              std::tuple(6u, 4u, 1u, 1u, 0u, 0u));
    EXPECT_TRUE(stats.currentFile.empty());
    EXPECT_GT(stats.endTime, stats.startTime);

    const std::u16string line = src.sub16("bad-save.jpg") + u"\r\n";
    std::string expected;
    for (char16_t c : line)
        expected += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    EXPECT_EQ(dst.read("_error_log.txt"), expected);
    EXPECT_EQ(step->kept_releases, 1);
}

TEST_F(RunTest, LastErrorTextsNameTheFileWithoutItsFolder) {
    src.write("only.jpg");
    for (int outcome = 0; outcome < 3; ++outcome) {
        step->on_load = [&](const std::u16string&) { return outcome == 0 ? 0u : 1u; };
        step->on_transform = [&](const std::u16string&) {
            return outcome == 1 ? kTransformFailed : kTransformUnchanged;
        };
        step->on_save = [&](const std::u16string&, const std::u16string&) { return outcome != 2; };
        ConversionRun run(step, {.workers = 1});
        const JobStats stats = run_to_end(run, job_for(src, dst));
        const char16_t* expected[] = {u"Failed while loading only.jpg",
                                      u"Image processing failed - only.jpg",
                                      u"Failed while saving only.jpg"};
        EXPECT_EQ(stats.lastError, expected[outcome]);
        EXPECT_EQ(dst.exists("_error_log.txt"), outcome == 2);
    }
}

TEST_F(RunTest, WalkNumbersFilesPerFolderAndMirrorsTheTree) {
    for (const char* name : {"a.jpg", "b.jpg", "photo.final.jpg", "README"})
        src.write(name);
    for (int i = 0; i < 11; ++i)
        src.write("sub.dir/f" + std::to_string(i) + ".tif");
    src.write("sub.dir/deep/x.gif");
    ConversionJob job = job_for(src, dst);
    job.includeSubfolders = 1;
    job.rename = 1;
    job.renamePattern.assign(u"%nn %s");
    ConversionRun run(step, {.workers = 1});
    const JobStats stats = run_to_end(run, job);
    EXPECT_EQ(stats.converted, 16u);

    std::set<std::u16string> targets;
    for (const auto& t : step->saved_targets())
        targets.insert(t);
    std::set<std::u16string> top, sub, deep;
    for (const auto& t : targets) {
        const std::u16string rel = t.substr(dst.path16().size() + 1);
        if (rel.rfind(u"sub.dir/deep/", 0) == 0)
            deep.insert(rel);
        else if (rel.rfind(u"sub.dir/", 0) == 0)
            sub.insert(rel.substr(8, 3)); // the zero-filled number
        else
            top.insert(rel.substr(2));
    }
    const std::set<std::u16string> top_names = {u"a.png", u"b.png", u"photo.final.png",
                                                u"README.png"};
    EXPECT_EQ(top, top_names);
    EXPECT_EQ(sub.size(), 11u) << [&] {
        std::string all;
        for (const auto& t : targets)
            all += test::u8(t) + "\n";
        return all;
    }();
    EXPECT_TRUE(sub.count(u"00 ") && sub.count(u"10 ")); // 11 files: two digits from 0
    EXPECT_EQ(deep, std::set<std::u16string>{u"sub.dir/deep/0 x.png"});
    EXPECT_TRUE(dst.exists("sub.dir/deep")); // folders made along the target path
}

// Name order (bytes of the UTF-8 names); clutter, pipes and the target folder are passed by.
TEST_F(RunTest, OneWorkerTakesFilesInNameOrder) {
    std::vector<std::u16string> listed, loaded;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "n" + std::to_string(i * 7919 % 1000) + ".jpg";
        src.write(name);
        listed.push_back(src.path16() + u"/" + base::utf8_to_utf16(name));
    }
    std::sort(listed.begin(), listed.end());
    for (const char* clutter : {".DS_Store", "._n1.jpg", ".directory", "out/old.jpg"})
        src.write(clutter);
    ASSERT_EQ(::mkfifo((src / "pipe.jpg").c_str(), 0600), 0);
    std::mutex lock;
    step->on_load = [&](const std::u16string& s) {
        std::lock_guard guard(lock);
        loaded.push_back(s);
        return 1u;
    };
    ConversionRun run(step, {.workers = 1});
    ConversionJob job = job_for(src, dst);
    job.targetFolder.assign(src.sub16("out"));
    job.includeSubfolders = 1;
    run_to_end(run, job);
    EXPECT_EQ(loaded, listed);
}

TEST_F(RunTest, PassThruCopiesUnchangedFilesByteForByte) {
    src.write("a.jpg", "jpeg bytes of a");
    src.write("B.JPG", "jpeg bytes of B");
    src.write("turned.jpg", "sideways");
    src.write("c.png", "png");
    src.write("noext", "raw");
    dst.write("a.jpg", "older target");
    step->on_transform = [](const std::u16string& s) {
        return contains(s, u"turned") ? kTransformChanged : kTransformUnchanged;
    };
    ConversionJob job = job_for(src, dst);
    job.targetExtension.assign(u".jpg");
    job.passThru = 1;
    ConversionRun run(step, {.workers = 2});
    EXPECT_EQ(run_to_end(run, job).converted, 5u);
    EXPECT_EQ(dst.read("a.jpg"), "jpeg bytes of a");
    EXPECT_EQ(dst.read("B.jpg"), "jpeg bytes of B");
    std::set<std::u16string> saved;
    for (const auto& t : step->saved_targets())
        saved.insert(t.substr(dst.path16().size() + 1));
    EXPECT_EQ(saved, (std::set<std::u16string>{u"turned.jpg", u"c.jpg", u"noext.jpg"}));
}

TEST_F(RunTest, AJobIntoItsOwnSourceFolderIsRefusedBeforeAnythingIsWritten) {
    src.write("a.png", "original");
    ConversionJob job = job_for(src, src); // target folder = source folder, same extension
    job.passThru = 1;
    const Prepared prepared = prepare_job(job, {}, {}, PrepareMode::run);
    ASSERT_TRUE(std::holds_alternative<JobRefusal>(prepared));
    EXPECT_EQ(std::get<JobRefusal>(prepared).text, u"Source and target must be different folders");
    EXPECT_EQ(src.read("a.png"), "original");
    EXPECT_FALSE(src.exists("_error_log.txt"));
}

TEST_F(RunTest, PassThruCopyIntoReadOnlyTargetFails) {
    src.write("a.jpg", "new");
    dst.write("a.jpg", "old");
    ASSERT_TRUE(platform::set_read_only(dst.sub16("a.jpg"), true));
    ConversionJob job = job_for(src, dst);
    job.targetExtension.assign(u".jpg");
    job.passThru = 1;
    ConversionRun run(step, {.workers = 1});
    const JobStats stats = run_to_end(run, job);
    EXPECT_EQ(stats.failed, 1u);
    EXPECT_EQ(dst.read("a.jpg"), "old");
    EXPECT_EQ(stats.lastError, u"Failed while saving a.jpg");
}

TEST_F(RunTest, PauseHoldsAWorkerBetweenLoadAndProcessing) {
    for (const char* name : {"1.jpg", "2.jpg", "3.jpg", "4.jpg"})
        src.write(name);
    Gate loading;
    bool first = true;
    step->on_load = [&](const std::u16string&) {
        if (std::exchange(first, false))
            loading.wait();
        return 1u;
    };
    ConversionRun run(step, {.workers = 1});
    ASSERT_TRUE(run.start_job(test::prepared(job_for(src, dst))));
    loading.wait_for_waiters(1);
    EXPECT_EQ(run.worker_state(0), WorkerState::loading);
    ASSERT_TRUE(run.pause_or_resume(true));
    while (run.state() != JobState::paused)
        std::this_thread::sleep_for(1ms);
    loading.open();
    while (run.worker_state(0) != WorkerState::paused)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(step->transforms, 0); // the load finished, processing waits
    JobStats stats;
    EXPECT_TRUE(run.take_snapshot(stats));
    EXPECT_EQ(std::pair(stats.busyWorkers, stats.liveWorkers), std::pair(0u, 1u));
    std::this_thread::sleep_for(120ms);
    run.take_snapshot(stats);
    EXPECT_GE(stats.pausedMs, 100u); // grows while the pause lasts
    EXPECT_EQ(step->transforms, 0);

    ASSERT_TRUE(run.pause_or_resume(false));
    stats = finish(run);
    EXPECT_EQ(stats.converted, 4u);
    EXPECT_EQ(run.state(), JobState::finished);
}

TEST_F(RunTest, CancelDuringALongSaveFinishesThatFileAndTakesNoOther) {
    for (int i = 0; i < 20; ++i)
        src.write("f" + std::to_string(i) + ".jpg");
    Gate saving;
    step->on_save = [&](const std::u16string&, const std::u16string&) {
        saving.wait();
        return true;
    };
    ConversionRun run(step, {.workers = 1});
    ASSERT_TRUE(run.start_job(test::prepared(job_for(src, dst))));
    saving.wait_for_waiters(1);
    auto cancelled = std::async(std::launch::async, [&] { return run.cancel_job(); });
    while (step->aborts == 0)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(cancelled.wait_for(50ms), std::future_status::timeout); // waits for the save
    saving.open();
    EXPECT_TRUE(cancelled.get());
    const JobStats stats = finish(run);
    EXPECT_EQ(run.state(), JobState::finished);
    EXPECT_EQ(step->loads, 1);
    EXPECT_EQ(std::tuple(stats.converted, stats.total, balance(stats)), std::tuple(1u, 20u, 19u));
}

TEST_F(RunTest, WorkersStillBusyLongAfterCancelAreLeftBehind) {
    src.write("hangs.jpg");
    src.write("next.jpg");
    Gate plugin;
    step->on_load = [&](const std::u16string&) {
        plugin.wait(); // a plug-in that never comes back on its own
        return 1u;
    };
    {
        ConversionRun run(step, {.workers = 1, .cancel_limit = 150ms});
        ASSERT_TRUE(run.start_job(test::prepared(job_for(src, dst))));
        plugin.wait_for_waiters(1);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(run.cancel_job());
        EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
        const JobStats stats = finish(run);
        EXPECT_EQ(run.state(), JobState::finished);
        EXPECT_EQ(stats.liveWorkers, 0u);
        EXPECT_FALSE(run.job_active());
    }
    // The plug-in returns after all: the left-behind worker stops without touching anything.
    plugin.open();
    while (step.use_count() > 1) // the worker's hold on the job goes with it
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(step->transforms, 0);
    EXPECT_EQ(step->saves, 0);
}

TEST_F(RunTest, WorkersWithoutMemoryEndTheJobCleanly) {
    src.write("a.jpg");
    step->fail_rooms = true;
    ConversionRun run(step, {.workers = 2});
    run.start_job(test::prepared(job_for(src, dst)));
    const JobStats stats = finish(run);
    EXPECT_EQ(stats.converted + stats.failed + stats.unknown, 0u);
    EXPECT_EQ(step->loads, 0);
}

TEST_F(RunTest, PreviewIsScaledToFitAndWatermarkIsLoadedOnce) {
    src.write("big.jpg");
    src.write("mark.png");
    step->on_size = [](const std::u16string&) { return FrameSize{6000, 4000}; };
    ConversionJob job = job_for(src, dst);
    job.watermarkFile.assign(src.sub16("mark.png"));
    ConversionRun run(step, {.workers = 1});
    run_to_end(run, job);
    const auto preview = run.preview();
    ASSERT_TRUE(preview);
    EXPECT_EQ(std::pair(preview->width(), preview->height()), std::pair(2048u, 1365u));
    EXPECT_EQ(step->watermark_requests(), std::vector<std::u16string>{src.sub16("mark.png")});
    EXPECT_NE(step->last_watermark_seen(), nullptr);
}

TEST_F(RunTest, NoPreviewWhenTheFrontEndShowsNone) {
    src.write("big.jpg");
    step->on_size = [](const std::u16string&) { return FrameSize{6000, 4000}; };
    ConversionRun run(step, {.workers = 1, .preview = false});
    EXPECT_EQ(run_to_end(run, job_for(src, dst)).converted, 1u);
    EXPECT_FALSE(run.preview());
}

TEST_F(RunTest, MissingWatermarkIsSilentlyAbsent) {
    src.write("a.jpg");
    ConversionJob job = job_for(src, dst);
    // Gone between the checks and the start: the job goes on without it.
    job.watermarkFile.assign(dst.sub16("gone.png"));
    dst.write("gone.png");
    const PreparedJob prepared = test::prepared(job);
    ASSERT_TRUE(platform::delete_file(dst.sub16("gone.png"), false));
    ConversionRun run(step, {.workers = 1});
    ASSERT_TRUE(run.start_job(prepared));
    EXPECT_EQ(finish(run).converted, 1u);
    EXPECT_TRUE(step->watermark_requests().empty());
    EXPECT_EQ(step->last_watermark_seen(), nullptr);
}

TEST(PreviewSize, LongerSideFitsAndSidesRound) {
    EXPECT_EQ(preview_size({6000, 4000}).width, 2048u);
    EXPECT_EQ(preview_size({6000, 4000}).height, 1365u);
    EXPECT_EQ(preview_size({1000, 3000}).width, 683u);
    EXPECT_EQ(preview_size({100000, 1}).height, 1u);
    EXPECT_EQ(preview_size({2048, 2048}).width, 2048u);
}

// Many files with random outcomes, and random pause, resume and cancel from the outside: every
// file a worker takes is counted exactly once and the job always ends.
TEST_F(RunTest, StressRandomOutcomesPausesAndCancels) {
    constexpr int kFiles = 2000;
    for (int i = 0; i < kFiles; ++i)
        src.write("s" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".jpg");
    step->on_load = [](const std::u16string& s) {
        return std::hash<std::u16string>{}(s) % 11 == 0 ? 0u : 1u;
    };
    step->on_transform = [](const std::u16string& s) {
        const auto h = std::hash<std::u16string>{}(s) % 13;
        return h == 0 ? kTransformFailed : (h < 6 ? kTransformChanged : kTransformUnchanged);
    };
    step->on_save = [](const std::u16string& s, const std::u16string&) {
        return std::hash<std::u16string>{}(s) % 17 != 0;
    };
    std::mt19937 random(20261205);
    for (int round = 0; round < 4; ++round) {
        auto fresh = std::make_shared<FakeStep>();
        fresh->on_load = step->on_load;
        fresh->on_transform = step->on_transform;
        fresh->on_save = step->on_save;
        step = fresh;
        ConversionJob job = job_for(src, dst);
        job.includeSubfolders = 1;
        ConversionRun run(step, {.workers = 4});
        ASSERT_TRUE(run.start_job(test::prepared(job)));
        const bool cancel = round % 2 == 1;
        for (int i = 0; i < 6 && run.job_active(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 15));
            run.pause_or_resume(i % 2 == 0);
        }
        run.pause_or_resume(false);
        if (cancel)
            run.cancel_job();
        const JobStats stats = finish(run);
        EXPECT_EQ(run.state(), JobState::finished);
        const auto loaded = step->loaded();
        for (const auto& [source, times] : loaded)
            EXPECT_EQ(times, 1);
        EXPECT_EQ(stats.converted + stats.failed + stats.unknown, loaded.size());
        EXPECT_EQ(stats.total, static_cast<std::uint32_t>(kFiles));
        EXPECT_TRUE(cancel || loaded.size() == static_cast<std::size_t>(kFiles)) << loaded.size();
        EXPECT_EQ(stats.liveWorkers, 0u);
    }
}

// Every file ends in one outcome, told alike by the counters, the records and the report; a
// later run redoes what was cut short and leaves what was converted, warnings or not.
TEST_F(RunTest, OutcomesTellWhatBecameOfEachFile) {
    struct Case {
        const char* name;
        Outcome outcome;
        const char* reason_part;
    };
    const Case cases[] = {
        {"plain.jpg", Outcome::converted, ""},
        {"warn.jpg", Outcome::warned, ""},
        {"broken.jpg", Outcome::cut_short, "Image processing failed - broken.jpg"},
        {"unreadable.jpg", Outcome::not_loaded, "Failed while loading"},
        {"bad-save.jpg", Outcome::failed, ""},
    };
    for (const Case& c : cases)
        src.write(c.name, c.name);
    step->on_load = [](const std::u16string& s) { return contains(s, u"unreadable") ? 0u : 1u; };
    step->on_transform = [](const std::u16string& s) {
        return contains(s, u"broken") ? kTransformFailed : kTransformChanged;
    };
    step->on_save = [](const std::u16string& s, const std::u16string& t) {
        // A target on disk, so that a later run can see it done.
        if (contains(s, u"bad-save"))
            return false;
        std::ofstream(platform::to_os_path(t)) << "picture";
        return true;
    };
    step->on_warnings = [](const std::u16string& s) {
        return contains(s, u"warn") ? std::vector<std::u16string>{u"120 of 480 rows could be read"}
                                    : std::vector<std::u16string>{};
    };
    ConversionJob job = job_for(src, dst);
    job.extras.reportFile.assign(dst.sub16("report.jsonl"));
    ConversionRun run(step, {.workers = 2});
    const JobStats stats = run_to_end(run, job);
    EXPECT_EQ(
        std::tuple(stats.converted, stats.warned, stats.cutShort, stats.failed, stats.unknown),
        std::tuple(3u, 1u, 1u, 1u, 1u));

    std::map<std::u16string, FileOutcome> records;
    for (const FileOutcome& r : run.outcomes())
        records[std::u16string(platform::file_name_of(r.source))] = r;
    std::map<std::u16string, ReportRecord> lines;
    const std::string text = dst.read("report.jsonl");
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const auto line = parse_report_line(std::string_view(text).substr(at, end - at));
        ASSERT_TRUE(line);
        lines[std::u16string(platform::file_name_of(line->source))] = *line;
    }
    for (const Case& c : cases) {
        const std::u16string name = base::utf8_to_utf16(c.name);
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(lines.count(name));
        EXPECT_EQ(lines[name].outcome, outcome_name(c.outcome));
        EXPECT_NE(lines[name].reason.find(c.reason_part), std::string::npos) << lines[name].reason;
        EXPECT_EQ(records.count(name), c.outcome == Outcome::converted ? 0u : 1u);
        if (c.outcome != Outcome::converted) {
            EXPECT_EQ(records[name].outcome, c.outcome);
        }
    }
    EXPECT_EQ(lines[u"warn.jpg"].warnings,
              std::vector<std::string>{"120 of 480 rows could be read"});
    EXPECT_EQ(records[u"warn.jpg"].warnings.size(), 1u);

    DoneList done;
    ASSERT_TRUE(done.load(dst.sub16("report.jsonl")));
    EXPECT_TRUE(done.target_of(src.sub16("plain.jpg")));
    EXPECT_TRUE(done.target_of(src.sub16("warn.jpg")));
    EXPECT_FALSE(done.target_of(src.sub16("broken.jpg")));
}

// A cancel that comes while a picture's transforms run leaves that picture saved but cut short:
// the long pixel loops stop after their current row and the step fails, so it is not the
// picture asked for.
TEST_F(RunTest, CancelDuringTheTransformsCutsThePictureShort) {
    src.write("big.jpg");
    std::atomic<bool> transforming{false};
    step->on_transform = [&](const std::u16string&) {
        transforming = true;
        while (step->aborts == 0)
            std::this_thread::sleep_for(1ms);
        return kTransformFailed;
    };
    ConversionJob job = job_for(src, dst);
    job.extras.reportFile.assign(dst.sub16("report.jsonl"));
    ConversionRun run(step, {.workers = 1});
    ASSERT_TRUE(run.start_job(test::prepared(job)));
    while (!transforming)
        std::this_thread::sleep_for(1ms);
    run.cancel_job();
    const JobStats stats = finish(run);
    EXPECT_EQ(std::pair(stats.converted, stats.cutShort), std::pair(1u, 1u));
    ASSERT_EQ(run.outcomes().size(), 1u);
    EXPECT_EQ(run.outcomes()[0].outcome, Outcome::cut_short);
    EXPECT_NE(run.outcomes()[0].reason.find(u"cancelled"), std::u16string::npos);
    EXPECT_NE(dst.read("report.jsonl").find("\"outcome\":\"cut short\""), std::string::npos);
}

// The run hands out the plan the checks made: the tree is not walked again, so a file that
// appears after the job was prepared is not part of it, and the total is the plan's.
TEST_F(RunTest, TheRunHandsOutThePlanItWasGiven) {
    src.write("a.jpg");
    src.write("b.jpg");
    const PreparedJob prepared = test::prepared(job_for(src, dst));
    src.write("late.jpg");
    ConversionRun run(step, {.workers = 1});
    ASSERT_TRUE(run.start_job(prepared));
    EXPECT_EQ(finish(run).total, 2u);
    EXPECT_EQ(step->loaded().count(src.sub16("late.jpg")), 0u);
    EXPECT_EQ(step->loaded().size(), 2u);
}

TEST_F(RunTest, SecondJobStartsWhileTheFirstRunsByCancellingIt) {
    for (int i = 0; i < 50; ++i)
        src.write("f" + std::to_string(i) + ".jpg");
    Gate gate;
    step->on_save = [&](const std::u16string&, const std::u16string&) {
        gate.wait();
        return true;
    };
    ConversionRun run(step, {.workers = 2});
    ASSERT_TRUE(run.start_job(test::prepared(job_for(src, dst))));
    gate.wait_for_waiters(2);
    gate.open();
    const JobStats stats = run_to_end(run, job_for(src, dst));
    EXPECT_EQ(stats.converted, 50u); // the counters are the second job's
}

} // namespace
} // namespace vt::engine
