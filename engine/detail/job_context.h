#pragma once
// The shared state of one job: what the job thread, the folder walk and the workers share.
// Each job gets its own context, held by shared_ptr by every thread of the job, so a worker
// left behind after the five-minute cancel limit can never touch a later job.
//
// Locks: `state_lock` (job state, command, current file, preview) and `stats_lock` (counters,
// time stamps, paused time, last error, hand-off slot). No code path holds both at once; debug
// builds assert it. The atomics mirror values written under a lock so that a wait predicate
// under the other lock can read them.

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/file_outcome.h"
#include "engine/file_step.h"
#include "engine/job_plan.h"
#include "engine/job_stats.h"

namespace vt::engine::detail {

inline constexpr std::u16string_view kEndMarker = u"@<<end>>";
// Slot texts have room for two characters more than a path.
using SlotText = base::FixedText<platform::kMaxPath + 2>;

struct HandOffSlot {
    SlotText source; // empty: free; kEndMarker: no more files
    SlotText target;
    std::uint32_t sequence = 0;
    std::uint32_t folder_count = 0;
};

struct WorkerEntry {
    std::jthread thread; // guarded by JobContext::table_lock
    std::atomic<WorkerState> state{WorkerState::not_working};
    std::atomic<bool> alive{false};     // thread started and not ended or abandoned
    std::atomic<bool> abandoned{false}; // left behind after the cancel limit
};

class JobContext {
public:
    JobContext(const ConversionJob& the_job, const JobPlan& the_plan, std::uint32_t the_total,
               std::shared_ptr<FileStep> the_step, unsigned count, bool with_preview)
        : job(the_job), plan(the_plan), planned_total(the_total), step(std::move(the_step)),
          worker_count(count), previews(with_preview) {}

    const ConversionJob job;
    const JobPlan plan;                // the files the job hands out, in order
    const std::uint32_t planned_total; // of them, those that count for the job's total
    const std::shared_ptr<FileStep> step;
    const unsigned worker_count;
    const bool previews; // whether workers keep `preview` up to date

    // --- job-state lock
    std::mutex state_lock;
    std::condition_variable state_changed;
    JobState state = JobState::starting;
    JobCommand command = JobCommand::none;
    PathText current_file;
    std::shared_ptr<const Picture> preview;
    std::uint32_t preview_tick = 0;
    std::u16string failure_text;

    // --- statistics lock
    std::mutex stats_lock;
    std::condition_variable slot_changed; // slot, worker exits, pause and cancel
    HandOffSlot slot;
    std::uint32_t converted = 0, failed = 0, unknown = 0, total = 0;
    platform::TimeStamp start_time = 0, end_time = 0;
    std::uint32_t paused_ms = 0;
    base::FixedText<platform::kMaxPath + 2> last_error;
    std::uint32_t warned = 0, cut_short = 0;
    // Every file not plainly converted or skipped, in the order they ended, at most
    // kMaxOutcomeRecords.
    std::vector<FileOutcome> outcomes;

    // --- mirrors, readable under either lock
    std::atomic<bool> cancel{false};
    std::atomic<JobState> state_mirror{JobState::starting};
    std::atomic<JobCommand> command_mirror{JobCommand::none};

    // --- workers
    std::mutex table_lock;
    std::array<WorkerEntry, kMaxWorkers> workers;

    std::unique_ptr<Picture> watermark; // job thread only

    // Existing targets, report, resume and shares; set up before the workers start, null when
    // the job uses none of them.
    std::unique_ptr<FileRules> rules;
    std::uint32_t skipped = 0; // statistics lock: targets left as they were

    // Job-state helpers; each takes the job-state lock itself.
    void set_state(JobState s);
    [[nodiscard]] JobState read_state();
    void request(JobCommand c);
    // With the job-state lock held: set the state, clear the pending command (a cancel stays
    // until the job ends), wake the threads that wait on them.
    void set_state_locked(JobState s);
    void clear_command_locked();

    // Wakes everything that waits under the statistics lock.
    void notify_slot();

    [[nodiscard]] unsigned live_workers() const noexcept;
    [[nodiscard]] unsigned busy_workers() const noexcept;
    // With the statistics lock held: the last error, "%s" being the file's name.
    void set_last_error_locked(std::u16string_view format, std::u16string_view path);
    // With the statistics lock held: keeps the record of a file that was not plainly converted.
    void note_outcome_locked(FileOutcome&& record);
};

// Debug builds check that no thread holds both locks.
#ifndef NDEBUG
void note_lock(int which, bool held) noexcept;
#else
inline void note_lock(int, bool) noexcept {}
#endif

// A lock_guard that records which of the two job locks the thread holds.
class JobLock {
public:
    enum Which { kState = 0, kStats = 1 };
    JobLock(std::mutex& m, Which which) : m_lock(m), m_which(which) { note_lock(which, true); }
    ~JobLock() { note_lock(m_which, false); }
    std::unique_lock<std::mutex>& get() noexcept { return m_lock; }

private:
    std::unique_lock<std::mutex> m_lock;
    Which m_which;
};

// Hands the plan's files to the workers one at a time, acting on pause and cancel between
// them; the number handed out (unreachable places included), or -99 on cancel.
[[nodiscard]] long hand_out_plan(JobContext& ctx);

} // namespace vt::engine::detail
