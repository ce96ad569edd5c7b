#pragma once
// What the desktop program's progress display shows of a job, computed from JobStats snapshots
// so that the rules hold without a window: gauge values, the progress and status texts, the
// rows of times and counters, the bubble texts of the progress pane's parts and the refresh
// periods of the panes. Texts are English; the program translates them where it shows them.
// Thread: plain values; a ProcessorGauge belongs to one pane.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/job_stats.h"
#include "platform/clock.h"
#include "platform/power.h"
#include "platform/system_load.h"

namespace vt::session {

// Processor load as the gauge shows it: the rounded average of the last eight samples.
class ProcessorGauge {
public:
    static constexpr unsigned kSamples = 8;
    // Takes a reading of the processor times. A first reading that fails makes the load
    // unavailable for good; a later one that fails is skipped.
    void sample(const std::optional<platform::ProcessorTimes>& times);
    // The average of the last eight samples, (sum + 4) / 8; while the load is unavailable, 100
    // when a job is active and 0 otherwise.
    [[nodiscard]] int value(bool job_active) const;
    [[nodiscard]] bool available() const { return !m_unavailable; }

private:
    platform::ProcessorTimes m_previous{};
    bool m_read_once = false;
    bool m_unavailable = false;
    std::array<int, kSamples> m_samples{};
    unsigned m_next = 0;
};

// The progress pane's view of a snapshot.
struct ProgressView {
    bool active = false;
    bool paused = false;    // active and the job state paused
    int progress = -1;      // hundredths of a percent; -1 when no job is active
    std::uint32_t done = 0; // converted + failed + unknown
    std::uint32_t total = 0;
};
// `previous_progress` stays when a job is active but its total is still 0.
[[nodiscard]] ProgressView progress_view(const engine::JobStats& stats, bool active,
                                         engine::JobState state, int previous_progress = -1);
// "Waiting for new Job" with no job, else "%i%% (%i of %i%s)" (", Paused" while paused).
[[nodiscard]] std::u16string progress_label(const ProgressView& view);

// The parts of the progress pane that answer the pointer.
enum class ProgressPart { none, first_button, second_button, processor, memory, progress };
// The bubble text of a part ("New Job", "Pause Job", "Continue Job", "Cancel Job", or a title
// and a body for the gauges); empty for none.
[[nodiscard]] std::u16string_view part_bubble_text(ProgressPart part, const ProgressView& view);
// What releasing the left button over the first button asks for.
enum class FirstButtonCommand { new_job, pause_or_resume };
[[nodiscard]] FirstButtonCommand first_button_command(const ProgressView& view);

// Refresh periods in milliseconds. The progress pane: 50 with a job, else 100, stretched on
// battery as the charge falls (see the .cpp), never below 10. The output pane: 2000 with no
// job, 1000 while paused, 200 while running.
[[nodiscard]] int progress_refresh_ms(bool job_active, const platform::PowerStatus& power);
[[nodiscard]] int output_refresh_ms(bool job_active, bool paused);

// The output pane's status line: "Converting" (translated by `translate`), a blank and the
// current file in double quotes, or "Starting, Please Wait" while the job starts, else "Waiting
// for new Job"; then " ...".
using TranslateFn = std::u16string (*)(std::u16string_view);
[[nodiscard]] std::u16string status_line(const engine::JobStats& stats, engine::JobState state,
                                         TranslateFn translate);

// One row of times and counters: an English label and its value.
struct OutputRow {
    std::u16string_view label;
    std::u16string value;
};
inline constexpr std::size_t kOutputRows = 8;
// "Time Taken:", "Time Left:", "Converted:", "Failed:", "Unknown:", "Balance:", "TOTAL:" and
// "Threads / CPUs:" with their values. `time_left` comes from engine::TimeLeftEstimate. The
// converted count says how many of them have warnings or were cut short ("5 (1 with warnings)"),
// those words through `translate` when given.
[[nodiscard]] std::array<OutputRow, kOutputRows>
output_rows(const engine::JobStats& stats, std::optional<std::uint64_t> time_left,
            unsigned processors, platform::TimeStamp now = platform::now(),
            TranslateFn translate = nullptr);
// "Last Error: \"%s\"" when there is a last error, else empty.
[[nodiscard]] std::u16string last_error_line(const engine::JobStats& stats);

// The taskbar's progress: done of total while a job is active and 0 < done < total; otherwise
// nothing (the taskbar progress is removed).
struct TaskbarProgress {
    std::uint32_t done = 0, total = 0;
    friend bool operator==(const TaskbarProgress&, const TaskbarProgress&) = default;
};
[[nodiscard]] std::optional<TaskbarProgress> taskbar_progress(const engine::JobStats& stats,
                                                              bool job_active);

} // namespace vt::session
