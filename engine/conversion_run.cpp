#include "engine/conversion_run.h"

#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>

#include "base/text.h"
#include "base/utf.h"
#include "engine/detail/job_context.h"
#include "engine/error_log.h"
#include "engine/job_plan.h"
#include "engine/source_scan.h"
#include "engine/target_naming.h"
#include "platform/files.h"
#include "platform/keep_awake.h"
#include "platform/paths.h"
#include "platform/pending_ops.h"
#include "platform/system.h"
#include "platform/ui_hooks.h"

namespace vt::engine {
namespace detail {

#ifndef NDEBUG
void note_lock(int which, bool held) noexcept {
    thread_local bool holding[2] = {false, false};
    assert(!held || !holding[1 - which]); // the two job locks are never held together
    holding[which] = held;
}
#endif

void JobContext::set_state_locked(JobState s) {
    state = s;
    state_mirror = s;
    state_changed.notify_all();
}

void JobContext::clear_command_locked() {
    if (command != JobCommand::cancel) {
        command = JobCommand::none;
        command_mirror = JobCommand::none;
    }
}

void JobContext::set_state(JobState s) {
    {
        JobLock lock(state_lock, JobLock::kState);
        set_state_locked(s);
    }
    notify_slot();
}

JobState JobContext::read_state() {
    JobLock lock(state_lock, JobLock::kState);
    return state;
}

void JobContext::request(JobCommand c) {
    {
        JobLock lock(state_lock, JobLock::kState);
        if (command != JobCommand::cancel) {
            command = c;
            command_mirror = c;
        }
        if (c == JobCommand::cancel)
            cancel = true;
        state_changed.notify_all();
    }
    notify_slot();
}

void JobContext::notify_slot() {
    { JobLock lock(stats_lock, JobLock::kStats); }
    slot_changed.notify_all();
}

unsigned JobContext::live_workers() const noexcept {
    unsigned n = 0;
    for (const auto& w : workers)
        n += w.alive ? 1u : 0u;
    return n;
}

unsigned JobContext::busy_workers() const noexcept {
    unsigned n = 0;
    for (const auto& w : workers) {
        const WorkerState s = w.state;
        n += (w.alive && s >= WorkerState::waiting && s <= WorkerState::saving) ? 1u : 0u;
    }
    return n;
}

void JobContext::set_last_error_locked(std::u16string_view format, std::u16string_view path) {
    last_error.assign(base::format_s(format, platform::file_name_of(path)));
}

void JobContext::note_outcome_locked(FileOutcome&& record) {
    if (outcomes.size() >= kMaxOutcomeRecords)
        return;
    try {
        outcomes.push_back(std::move(record));
    } catch (const std::bad_alloc&) {
        // The counters still count the file; only its explanation is lost.
    }
}

namespace {

constexpr std::uint32_t kPreviewIntervalMs = 2000;
constexpr std::uint32_t kPreviewMaxSide = 2048;
constexpr auto kMonitorInterval = std::chrono::milliseconds(100);
constexpr std::uint32_t kKeepAwakeIntervalMs = 100000;
constexpr int kThreadStartAttempts = 100;
constexpr std::u16string_view kNoFilesText = u"Could not search folder for files!";
constexpr std::u16string_view kOntoSourceText =
    u"Failed while saving %s: the target is the source file itself";
constexpr std::u16string_view kOntoSourceReason = u"the target is the source file itself";

// A failure the error log could not take goes to standard error, so it is never lost silently.
void report_unlogged(std::u16string_view source, std::u16string_view reason,
                     const char* step = "saving") {
    std::fprintf(stderr, "Failed while %s %s: %s\n", step, base::utf16_to_utf8(source).c_str(),
                 base::utf16_to_utf8(reason).c_str());
}

struct TakenFile {
    std::u16string source, target;
    std::uint32_t sequence = 0, folder_count = 0;
};

// One worker of a job. Everything it shares goes through the context.
class Worker {
public:
    Worker(JobContext& ctx, unsigned index) : m_ctx(ctx), m_me(ctx.workers[index]) {}

    void run();

private:
    bool take_file(TakenFile& file);
    void hold_while_paused();
    void process(FrameRoom& room, const TakenFile& file);
    void update_preview(FrameRoom& room);
    // The report line of a finished file (if the job keeps a report); `reason` is a failure text.
    void report(const TakenFile& file, std::u16string_view target, Outcome outcome,
                std::u16string_view reason, platform::TimeStamp began,
                const std::vector<std::u16string>& warnings = {}, std::uint32_t bits = 0) const;
    void load_failed(FrameRoom& room, const TakenFile& file, platform::TimeStamp began);
    // A target the job leaves as it is: counted and reported as skipped.
    void skip(const TakenFile& file, std::u16string_view target, platform::TimeStamp began);
    [[nodiscard]] bool passes_through(const TakenFile& file, bool changed) const;

    JobContext& m_ctx;
    WorkerEntry& m_me;
};

void Worker::run() {
    m_me.state = WorkerState::not_working;
    std::unique_ptr<FrameRoom> room = m_ctx.step->create_room();
    if (!room) {
        m_me.state = WorkerState::no_memory;
    } else {
        m_ctx.step->prepare_room(*room, m_ctx.job);
        TakenFile file;
        while (!m_me.abandoned && take_file(file)) {
            process(*room, file);
            platform::yield_processor();
        }
        m_me.state = WorkerState::not_working;
        room.reset();
    }
    {
        JobLock lock(m_ctx.stats_lock, JobLock::kStats);
        m_me.alive = false;
    }
    m_ctx.slot_changed.notify_all();
}

// Waits for the next file. False when the worker should end: cancel or the end marker.
bool Worker::take_file(TakenFile& file) {
    for (;;) {
        if (m_ctx.cancel)
            return false;
        m_me.state = WorkerState::waiting;
        {
            JobLock lock(m_ctx.stats_lock, JobLock::kStats);
            m_ctx.slot_changed.wait(lock.get(), [&] {
                return !m_ctx.slot.source.empty() || m_ctx.cancel ||
                       m_ctx.state_mirror == JobState::paused;
            });
            HandOffSlot& slot = m_ctx.slot;
            if (slot.source == kEndMarker)
                return false; // left in place for the other workers
            if (!slot.source.empty()) {
                file.source = slot.source.str();
                file.target = slot.target.str();
                file.sequence = slot.sequence;
                file.folder_count = slot.folder_count;
                slot.source.clear();
                slot.target.clear();
                ++slot.sequence;
                m_ctx.slot_changed.notify_all();
                return true;
            }
        }
        hold_while_paused();
    }
}

void Worker::hold_while_paused() {
    JobLock lock(m_ctx.state_lock, JobLock::kState);
    const auto held = [&] {
        return m_ctx.state == JobState::paused && m_ctx.command != JobCommand::cancel;
    };
    if (!held())
        return;
    const WorkerState before = m_me.state;
    m_me.state = WorkerState::paused;
    m_ctx.state_changed.wait(lock.get(), [&] { return !held(); });
    m_me.state = before;
}

bool Worker::passes_through(const TakenFile& file, bool changed) const {
    if (changed || !m_ctx.job.passThru)
        return false;
    const std::u16string_view extension = platform::extension_of(file.source);
    return !extension.empty() && base::iequal(extension, m_ctx.job.targetExtension.view());
}

void Worker::update_preview(FrameRoom& room) {
    {
        JobLock lock(m_ctx.state_lock, JobLock::kState);
        const std::uint32_t now = platform::tick_count();
        if (m_ctx.preview_tick > now)
            m_ctx.preview_tick = 0; // the tick count wrapped
        if (now - m_ctx.preview_tick <= kPreviewIntervalMs)
            return;
    }
    std::unique_ptr<Picture> picture = m_ctx.step->flatten_first_frame(room);
    if (!picture || picture->width() == 0 || picture->height() == 0)
        return;
    const FrameSize size = preview_size({picture->width(), picture->height()}, kPreviewMaxSide);
    if (size.width != picture->width() || size.height != picture->height())
        picture = m_ctx.step->scale_picture(*picture, size.width, size.height);
    if (!picture)
        return;
    JobLock lock(m_ctx.state_lock, JobLock::kState);
    m_ctx.preview = std::move(picture);
    m_ctx.preview_tick = platform::tick_count();
}

void Worker::report(const TakenFile& file, std::u16string_view target, Outcome outcome,
                    std::u16string_view reason, platform::TimeStamp began,
                    const std::vector<std::u16string>& warnings, std::uint32_t bits) const {
    if (!m_ctx.rules || !m_ctx.rules->reporting())
        return;
    ReportRecord r;
    r.source = file.source;
    r.target = target;
    r.outcome = outcome_name(outcome);
    if (!reason.empty())
        r.reason = base::utf16_to_utf8(base::format_s(reason, platform::file_name_of(file.source)));
    for (const std::u16string& w : warnings)
        r.warnings.push_back(base::utf16_to_utf8(w));
    r.bits = bits;
    r.bytes_in = platform::file_size(file.source).value_or(0);
    if (outcome == Outcome::converted || outcome == Outcome::warned ||
        outcome == Outcome::cut_short)
        r.bytes_out = platform::file_size(target).value_or(0);
    r.ms = platform::elapsed_ms(began);
    m_ctx.rules->report(r);
}

void Worker::skip(const TakenFile& file, std::u16string_view target, platform::TimeStamp began) {
    {
        JobLock lock(m_ctx.stats_lock, JobLock::kStats);
        ++m_ctx.skipped;
    }
    report(file, target, Outcome::skipped, u"The target of %s exists already", began);
}

// A file that gave no frame: unreadable, or failed when it was readable but did not fit.
void Worker::load_failed(FrameRoom& room, const TakenFile& file, platform::TimeStamp began) {
    FileStep& step = *m_ctx.step;
    const std::u16string reason = step.failure_reason(room);
    const bool memory = step.failed_for_memory(room);
    step.release_frames(room);
    const Outcome outcome = memory ? Outcome::failed : Outcome::not_loaded;
    JobLock lock(m_ctx.stats_lock, JobLock::kStats);
    m_ctx.set_last_error_locked(u"Failed while loading %s", file.source);
    m_ctx.note_outcome_locked({file.source, {}, outcome, FailureStage::load, reason, {}});
    if (memory) {
        if (!append_error_log_line(m_ctx.job.targetFolder.view(), file.source))
            report_unlogged(file.source, reason, "loading");
        ++m_ctx.failed;
    } else {
        ++m_ctx.unknown;
    }
    lock.get().unlock();
    report(file, u"", outcome,
           reason.empty() ? std::u16string_view(u"Failed while loading %s") : reason, began);
}

void Worker::process(FrameRoom& room, const TakenFile& file) {
    FileStep& step = *m_ctx.step;
    const platform::TimeStamp began = platform::now();
    if (m_ctx.rules) {
        // A name known before loading: an existing target need not cost a decode.
        const std::u16string early =
            m_ctx.job.rename ? renamed_target_path(
                                   m_ctx.job, {file.target, 0, 0, file.sequence, file.folder_count})
                             : file.target;
        if (m_ctx.rules->skip_early(early)) {
            skip(file, early, began);
            return;
        }
    }
    platform::create_folder_chain(platform::folder_of(file.target));
    const std::optional<FileTimes> times =
        m_ctx.job.extras.keepTimes ? file_times(file.source) : std::nullopt;

    m_me.state = WorkerState::loading;
    const std::uint32_t frames = step.load(room, file.source, kLoadTimeLimitMs);
    if (m_me.abandoned)
        return;
    if (frames == 0) {
        load_failed(room, file, began);
        return;
    }

    hold_while_paused();
    m_me.state = WorkerState::processing;
    const int result = step.run_transforms(room, m_ctx.job, m_ctx.watermark.get());
    // A failed step, or a cancel that stopped a long pixel loop after its current row (the step
    // then fails): what is saved is not the picture asked for, and a later run must redo it.
    std::u16string cut_short;
    if (result == kTransformFailed)
        cut_short = m_ctx.cancel ? u"the job was cancelled while %s was being processed"
                                 : u"Image processing failed - %s";
    if (result != kTransformFailed) {
        if (m_ctx.previews)
            update_preview(room);
    } else {
        // The file is still saved with whatever the transforms left.
        JobLock lock(m_ctx.stats_lock, JobLock::kStats);
        m_ctx.set_last_error_locked(u"Image processing failed - %s", file.source);
    }

    hold_while_paused();
    m_me.state = WorkerState::processing;
    std::u16string target = file.target;
    if (m_ctx.job.rename) {
        const FrameSize size = step.first_frame_size(room);
        target = renamed_target_path(
            m_ctx.job, {target, size.width, size.height, file.sequence, file.folder_count});
    }

    if (m_ctx.rules) {
        std::optional<std::u16string> final_target = m_ctx.rules->final_target(file.source, target);
        if (!final_target) {
            step.release_frames(room);
            skip(file, target, began);
            return;
        }
        target = std::move(*final_target);
    }

    m_me.state = WorkerState::saving;
    // A job never writes over its own input, whatever the names and options say.
    const bool onto_source = platform::same_file(file.source, target);
    const bool copied = !onto_source && passes_through(file, result == kTransformChanged);
    errno = 0;
    const bool saved = !onto_source && (copied ? platform::copy_file_replace(file.source, target)
                                               : step.save(room, target));
    std::u16string reason;
    if (!saved)
        reason = onto_source ? std::u16string(kOntoSourceReason)
                 : copied    ? u"copy failed: " + base::utf8_to_utf16(std::strerror(errno))
                             : step.failure_reason(room);
    // A copy is the source itself: what the load had to repair is not in it.
    const std::vector<std::u16string> warnings =
        saved && !copied ? step.warnings(room) : std::vector<std::u16string>{};
    // A copy keeps whatever the source holds: only a written picture tells its depth.
    const std::uint32_t bits = saved && !copied ? step.saved_bits(room) : 0;
    step.release_frames(room);
    if (m_me.abandoned)
        return;

    if (saved && times)
        (void)set_file_times(target, *times);

    const std::u16string_view text = onto_source ? kOntoSourceText : u"Failed while saving %s";
    const Outcome outcome = !saved               ? Outcome::failed
                            : !cut_short.empty() ? Outcome::cut_short
                            : !warnings.empty()  ? Outcome::warned
                                                 : Outcome::converted;
    if (outcome == Outcome::cut_short)
        reason = base::format_s(cut_short, platform::file_name_of(file.source));
    {
        JobLock lock(m_ctx.stats_lock, JobLock::kStats);
        if (saved) {
            ++m_ctx.converted;
            m_ctx.warned += outcome == Outcome::warned ? 1u : 0u;
            m_ctx.cut_short += outcome == Outcome::cut_short ? 1u : 0u;
        } else {
            m_ctx.set_last_error_locked(text, file.source);
            if (!append_error_log_line(m_ctx.job.targetFolder.view(), file.source))
                report_unlogged(file.source, reason);
            ++m_ctx.failed;
        }
        if (outcome != Outcome::converted)
            m_ctx.note_outcome_locked({file.source, saved ? target : std::u16string(), outcome,
                                       saved ? FailureStage::transform : FailureStage::save, reason,
                                       warnings});
    }
    report(file, target, outcome, reason, began, warnings, bits);
}

void run_worker(std::shared_ptr<JobContext> ctx, unsigned index) {
    Worker(*ctx, index).run();
}

// Joins the workers that have ended and lets go of those left behind.
void close_worker_handles(JobContext& ctx) {
    std::lock_guard table(ctx.table_lock);
    for (auto& w : ctx.workers) {
        if (!w.thread.joinable())
            continue;
        if (w.abandoned)
            w.thread.detach();
        else
            w.thread.join();
    }
}

// Threads cannot be killed: workers still busy long after a cancel are left to end at their
// next check, and the job goes on as if they had ended.
void abandon_workers(JobContext& ctx) {
    {
        std::lock_guard table(ctx.table_lock);
        for (auto& w : ctx.workers) {
            if (!w.alive)
                continue;
            w.abandoned = true;
            w.alive = false;
            if (w.thread.joinable())
                w.thread.detach();
        }
    }
    ctx.notify_slot();
}

bool any_abandoned(const JobContext& ctx) {
    for (const auto& w : ctx.workers)
        if (w.abandoned)
            return true;
    return false;
}

void start_workers(const std::shared_ptr<JobContext>& ctx) {
    std::lock_guard table(ctx->table_lock);
    for (unsigned i = 0; i < ctx->worker_count; ++i) {
        WorkerEntry& w = ctx->workers[i];
        bool started = false;
        for (int attempt = 0; attempt < kThreadStartAttempts && !started; ++attempt) {
            w.alive = true; // before the thread runs, so that its end is never missed
            try {
                w.thread = std::jthread(run_worker, ctx, i);
                started = true;
            } catch (const std::system_error&) {
                w.alive = false;
            }
            platform::yield_processor();
        }
    }
}

void load_watermark(JobContext& ctx) {
    const std::u16string_view file = ctx.job.watermarkFile.view();
    if (base::trim(file).empty() || file.size() < 3 || file.size() > platform::kMaxPath - 1 ||
        !platform::is_file(file))
        return;
    ctx.watermark = ctx.step->load_flattened(file, kLoadTimeLimitMs);
}

void set_end_time(JobContext& ctx) {
    JobLock lock(ctx.stats_lock, JobLock::kStats);
    ctx.end_time = platform::now();
}

void fail_job(JobContext& ctx) {
    {
        JobLock lock(ctx.stats_lock, JobLock::kStats);
        ctx.end_time = platform::now();
        ctx.last_error.assign(kNoFilesText);
    }
    JobLock lock(ctx.state_lock, JobLock::kState);
    ctx.failure_text = kNoFilesText;
    ctx.set_state_locked(JobState::failed);
}

// Watches the workers until every one has ended: puts the end marker into the slot once it is
// free (or at once on cancel) and leaves workers behind after the cancel limit.
void monitor_workers(JobContext& ctx, std::chrono::milliseconds cancel_limit) {
    std::optional<platform::TimeStamp> cancel_seen;
    platform::TimeStamp last_keep_awake = platform::now();
    for (;;) {
        {
            JobLock lock(ctx.stats_lock, JobLock::kStats);
            if (ctx.cancel && !cancel_seen)
                cancel_seen = platform::now();
            if ((ctx.slot.source.empty() || cancel_seen) && ctx.slot.source != kEndMarker) {
                ctx.slot.source.assign(kEndMarker);
                ctx.slot_changed.notify_all();
            }
            if (ctx.live_workers() == 0)
                return;
            ctx.slot_changed.wait_for(lock.get(), kMonitorInterval, [&] {
                return ctx.live_workers() == 0 || (ctx.cancel && !cancel_seen) ||
                       ctx.slot.source.empty();
            });
        }
        if (platform::elapsed_ms(last_keep_awake) >= kKeepAwakeIntervalMs) {
            platform::keep_system_awake();
            last_keep_awake = platform::now();
        }
        if (cancel_seen &&
            std::chrono::milliseconds(platform::elapsed_ms(*cancel_seen)) > cancel_limit)
            abandon_workers(ctx);
    }
}

void finish_job(JobContext& ctx) {
    close_worker_handles(ctx);
    if (!any_abandoned(ctx)) {
        ctx.watermark.reset();                       // else a left-behind worker may still use it
        (void)platform::replay_pending_operations(); // drops this job's finished lines
    }
    ctx.step->release_kept_plugin();
}

// Whether the job needs the per-file rules: any option beyond the plain record but kept times.
bool uses_rules(const ConversionJob& job) {
    const JobExtras& x = job.extras;
    return x.existing != ExistingPolicy::overwrite || !report_path(job).empty() ||
           !x.resumeFile.view().empty() || sharded(job);
}

void run_job(std::shared_ptr<JobContext> ctx, std::chrono::milliseconds cancel_limit) {
    JobContext& job = *ctx;
    const platform::PictureHeap heap;
    // What a killed save left half done (here or in another of our programs) goes first.
    (void)platform::replay_pending_operations();
    if (job.plan.listed == 0) {
        fail_job(job);
        return;
    }
    if (uses_rules(job.job))
        job.rules = std::make_unique<FileRules>(job.job, job.plan);
    const bool filtered = job.planned_total < job.plan.files.size();
    {
        JobLock lock(job.stats_lock, JobLock::kStats);
        job.total = job.planned_total;
        job.start_time = platform::now();
    }
    load_watermark(job);
    start_workers(ctx);
    delete_error_log(job.job.targetFolder.view());

    const long handed_out = hand_out_plan(job);
    if (handed_out == 0 && !filtered) {
        // Nothing could be handed out: end the waiting workers at once.
        {
            JobLock lock(job.stats_lock, JobLock::kStats);
            job.slot.source.assign(kEndMarker);
        }
        job.slot_changed.notify_all();
        monitor_workers(job, cancel_limit);
        finish_job(job);
        fail_job(job);
        return;
    }
    monitor_workers(job, cancel_limit);
    finish_job(job);
    set_end_time(job);
    {
        JobLock lock(job.state_lock, JobLock::kState);
        job.command = JobCommand::none;
        job.command_mirror = JobCommand::none;
        job.set_state_locked(JobState::finished);
    }
    if (job.job.openTargetWhenDone)
        platform::open_folder(job.job.targetFolder.view());
}

} // namespace
} // namespace detail

using detail::JobContext;
using detail::JobLock;

FrameSize preview_size(FrameSize picture, std::uint32_t max_side) noexcept {
    const std::uint32_t longer = std::max(picture.width, picture.height);
    if (longer <= max_side || longer == 0)
        return picture;
    const double scale = static_cast<double>(max_side) / longer;
    const auto side = [&](std::uint32_t v) {
        return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround(v * scale)));
    };
    return {side(picture.width), side(picture.height)};
}

ConversionRun::ConversionRun(std::shared_ptr<FileStep> step, RunOptions options)
    : m_step(std::move(step)), m_options(options) {}

ConversionRun::~ConversionRun() {
    cancel_job();
    std::lock_guard lock(m_lock);
    if (m_job_thread.joinable())
        m_job_thread.join();
}

std::shared_ptr<JobContext> ConversionRun::current() const {
    std::lock_guard lock(m_lock);
    return m_job;
}

bool ConversionRun::start_job(const PreparedJob& prepared) {
    if (job_active())
        cancel_job();
    std::shared_ptr<JobContext> ctx;
    {
        std::lock_guard lock(m_lock);
        if (m_job_thread.joinable())
            m_job_thread.join(); // the previous job ends by itself once its workers have
        const unsigned wanted = m_options.workers ? m_options.workers : platform::processor_count();
        ctx =
            std::make_shared<JobContext>(prepared.job(), prepared.plan(), prepared.total(), m_step,
                                         std::min(wanted, kMaxWorkers), m_options.preview);
        m_job = ctx;
        try {
            m_job_thread = std::jthread(detail::run_job, ctx, m_options.cancel_limit);
        } catch (const std::system_error&) {
            ctx->set_state(JobState::failed);
            return false;
        }
    }
    platform::BusyCursor busy;
    JobLock lock(ctx->state_lock, JobLock::kState);
    ctx->state_changed.wait(lock.get(), [&] { return ctx->state != JobState::starting; });
    return ctx->state != JobState::failed;
}

bool ConversionRun::pause_or_resume(bool pause) {
    const auto ctx = current();
    if (!ctx || !job_active())
        return false;
    ctx->request(pause ? JobCommand::pause : JobCommand::resume);
    return true;
}

bool ConversionRun::cancel_job() {
    const auto ctx = current();
    if (!ctx || !job_active())
        return false;
    platform::BusyCursor busy;
    for (;;) {
        ctx->request(JobCommand::cancel);
        // Raised again on every round: a resample that starts after the first raise lowers it.
        m_step->raise_abort();
        JobLock lock(ctx->stats_lock, JobLock::kStats);
        if (ctx->slot_changed.wait_for(lock.get(), std::chrono::milliseconds(10),
                                       [&] { return ctx->live_workers() == 0; }))
            break;
    }
    detail::close_worker_handles(*ctx);
    return true;
}

bool ConversionRun::job_active() const {
    const auto ctx = current();
    if (!ctx)
        return false;
    if (ctx->live_workers() > 0)
        return true;
    const JobState s = ctx->state_mirror;
    return s == JobState::running || s == JobState::paused;
}

bool ConversionRun::take_snapshot(JobStats& stats) const {
    stats = JobStats{};
    const auto ctx = current();
    if (!ctx)
        return false;
    {
        JobLock lock(ctx->stats_lock, JobLock::kStats);
        stats.converted = ctx->converted;
        stats.failed = ctx->failed;
        stats.unknown = ctx->unknown;
        stats.total = ctx->total;
        stats.startTime = ctx->start_time;
        stats.endTime = ctx->end_time;
        stats.pausedMs = ctx->paused_ms;
        stats.skipped = ctx->skipped;
        stats.warned = ctx->warned;
        stats.cutShort = ctx->cut_short;
        stats.lastError.assign(ctx->last_error.view());
    }
    stats.busyWorkers = ctx->busy_workers();
    stats.liveWorkers = ctx->live_workers();
    JobState state;
    {
        JobLock lock(ctx->state_lock, JobLock::kState);
        state = ctx->state;
        if (state == JobState::running || state == JobState::paused)
            stats.currentFile.assign(ctx->current_file.view());
    }
    return state == JobState::running || state == JobState::paused || stats.liveWorkers > 0;
}

JobState ConversionRun::state() const {
    const auto ctx = current();
    return ctx ? ctx->read_state() : JobState::idle;
}

WorkerState ConversionRun::worker_state(unsigned index) const {
    const auto ctx = current();
    return ctx && index < kMaxWorkers ? ctx->workers[index].state.load() : WorkerState::not_working;
}

std::u16string ConversionRun::failure_text() const {
    const auto ctx = current();
    if (!ctx)
        return {};
    JobLock lock(ctx->state_lock, JobLock::kState);
    return ctx->failure_text;
}

std::vector<FileOutcome> ConversionRun::outcomes() const {
    const auto ctx = current();
    if (!ctx)
        return {};
    JobLock lock(ctx->stats_lock, JobLock::kStats);
    return ctx->outcomes;
}

std::shared_ptr<const Picture> ConversionRun::preview() const {
    const auto ctx = current();
    if (!ctx)
        return nullptr;
    JobLock lock(ctx->state_lock, JobLock::kState);
    return ctx->preview;
}

bool ConversionRun::wait_for_end(std::chrono::milliseconds timeout) {
    const auto ctx = current();
    if (!ctx)
        return true;
    {
        JobLock lock(ctx->state_lock, JobLock::kState);
        const bool ended = ctx->state_changed.wait_for(lock.get(), timeout, [&] {
            return ctx->state == JobState::finished || ctx->state == JobState::failed;
        });
        if (!ended)
            return false;
    }
    std::lock_guard lock(m_lock);
    if (m_job_thread.joinable() && m_job == ctx)
        m_job_thread.join();
    return true;
}

} // namespace vt::engine
