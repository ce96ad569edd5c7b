#pragma once
// The conversion run: one job at a time, on a job thread that counts the files, starts one
// worker per processor (at most 32) and walks the source folder, handing files to the workers
// one at a time. The front end drives it with start, pause/resume and cancel, and reads it
// through JobStats snapshots.
//
// Thread: every member function may be called from any thread, but start_job, cancel_job and
// the destructor are meant for the one thread that owns the run (the UI thread).

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/conversion_job.h"
#include "engine/file_outcome.h"
#include "engine/file_step.h"
#include "engine/job_stats.h"
#include "engine/prepared_job.h"

namespace vt::engine {

namespace detail {
class JobContext;
}

struct RunOptions {
    unsigned workers = 0; // 0: one per processor; never more than 32
    // How long cancelled workers get to finish their file before they are left behind.
    std::chrono::milliseconds cancel_limit{300000};
    // Whether workers keep a preview of the latest picture; a front end that shows none (the
    // command line) saves the flattening and scaling.
    bool preview = true;
};

class ConversionRun {
public:
    explicit ConversionRun(std::shared_ptr<FileStep> step, RunOptions options = {});
    // Cancels a running job and waits for its job thread.
    ~ConversionRun();
    ConversionRun(const ConversionRun&) = delete;
    ConversionRun& operator=(const ConversionRun&) = delete;

    // Starts a job over a copy of `prepared` (cancelling a running one first) and returns once
    // the hand-out of its plan has begun, or the job has failed. False when it failed.
    bool start_job(const PreparedJob& prepared);
    // Pause (`pause` set) or resume; false when no job is active.
    bool pause_or_resume(bool pause);
    // Cancels the job: files being worked on finish or fail, no other is taken. Returns once
    // every worker has ended (or been left behind); false when no job is active.
    bool cancel_job();
    // While a worker is alive or the state is running or paused.
    [[nodiscard]] bool job_active() const;

    // Fills `stats`; true while the job runs or is paused, or a worker is alive.
    bool take_snapshot(JobStats& stats) const;
    [[nodiscard]] JobState state() const;
    [[nodiscard]] WorkerState worker_state(unsigned index) const;
    // Why the last job failed ("Could not search folder for files!"), else empty.
    [[nodiscard]] std::u16string failure_text() const;
    // The files of the current (or last) job that were not plainly converted or skipped, with
    // their outcomes, reasons and warnings.
    [[nodiscard]] std::vector<FileOutcome> outcomes() const;
    // The latest converted picture, for the output window; null before the first.
    [[nodiscard]] std::shared_ptr<const Picture> preview() const;

    // Blocks until the current job has finished or failed and its job thread has ended, or
    // until `timeout`; true when it has ended. For front ends without an event loop, and tests.
    bool wait_for_end(std::chrono::milliseconds timeout);

private:
    [[nodiscard]] std::shared_ptr<detail::JobContext> current() const;

    const std::shared_ptr<FileStep> m_step;
    const RunOptions m_options;
    mutable std::mutex m_lock; // guards m_job and m_job_thread
    std::shared_ptr<detail::JobContext> m_job;
    std::jthread m_job_thread;
};

// The preview's size: the picture scaled so that its longer side is at most `max_side`
// pixels, each side rounded to the nearest pixel (at least 1); unchanged when it fits.
[[nodiscard]] FrameSize preview_size(FrameSize picture, std::uint32_t max_side = 2048) noexcept;

} // namespace vt::engine
