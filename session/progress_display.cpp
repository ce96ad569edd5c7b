#include "session/progress_display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/utf.h"
#include "engine/progress_estimate.h"

namespace vt::session {
namespace {

std::u16string number(std::uint64_t n) {
    return base::ascii_to_utf16(std::to_string(n));
}

std::uint32_t done_of(const engine::JobStats& s) {
    const std::uint64_t done = std::uint64_t{s.converted} + s.failed + s.unknown;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(done, 0xFFFFFFFFu));
}

} // namespace

void ProcessorGauge::sample(const std::optional<platform::ProcessorTimes>& times) {
    if (m_unavailable)
        return;
    if (!times) {
        m_unavailable = !m_read_once;
        return;
    }
    // The first reading measures from boot, as a reading against zero times does.
    m_samples[m_next] = platform::processor_load(m_previous, *times);
    m_next = (m_next + 1) % kSamples;
    m_previous = *times;
    m_read_once = true;
}

int ProcessorGauge::value(bool job_active) const {
    if (m_unavailable)
        return job_active ? 100 : 0;
    int sum = 0;
    for (const int s : m_samples)
        sum += s;
    return (sum + 4) / static_cast<int>(kSamples);
}

ProgressView progress_view(const engine::JobStats& stats, bool active, engine::JobState state,
                           int previous_progress) {
    ProgressView v;
    v.active = active;
    v.paused = active && state == engine::JobState::paused;
    v.done = done_of(stats);
    v.total = stats.total;
    if (!active)
        v.progress = -1;
    else if (stats.total != 0)
        v.progress = static_cast<int>(std::uint64_t{v.done} * 10000 / stats.total);
    else
        v.progress = previous_progress;
    return v;
}

std::u16string progress_label(const ProgressView& v) {
    if (v.progress < 0)
        return u"Waiting for new Job";
    char text[96];
    std::snprintf(text, sizeof text, "%i%% (%u of %u%s)", v.progress / 100, v.done, v.total,
                  v.paused ? ", Paused" : "");
    return base::ascii_to_utf16(text);
}

std::u16string_view part_bubble_text(ProgressPart part, const ProgressView& v) {
    switch (part) {
    case ProgressPart::first_button:
        return !v.active ? u"New Job" : v.paused ? u"Continue Job" : u"Pause Job";
    case ProgressPart::second_button:
        return u"Cancel Job";
    case ProgressPart::processor:
        return u"CPU Utilization\nPercentage, for all CPUs in the system";
    case ProgressPart::memory:
        return u"RAM Utilization\nPercentage of RAM in use by all applications";
    case ProgressPart::progress:
        return u"Conversion Progress\nPercentage, for current or previous task";
    case ProgressPart::none:
        break;
    }
    return {};
}

FirstButtonCommand first_button_command(const ProgressView& v) {
    return v.active ? FirstButtonCommand::pause_or_resume : FirstButtonCommand::new_job;
}

int progress_refresh_ms(bool job_active, const platform::PowerStatus& power) {
    double period = job_active ? 50 : 100;
    if (power.on_battery) {
        // Less charge, fewer refreshes: up to four times slower when the battery is empty.
        const double charge = power.charge_percent;
        period *= job_active ? 1 + std::max(0.0, 25 - charge) * 3 / 22.5
                             : 1 + std::max(0.0, 50 - charge) * 3 / 45;
    }
    return std::max(10, static_cast<int>(std::lround(period)));
}

int output_refresh_ms(bool job_active, bool paused) {
    return !job_active ? 2000 : paused ? 1000 : 200;
}

std::u16string status_line(const engine::JobStats& stats, engine::JobState state,
                           TranslateFn translate) {
    std::u16string line;
    if (!stats.currentFile.empty()) {
        line = translate(u"Converting");
        line += u" \"";
        line += stats.currentFile.view();
        line += u'"';
    } else {
        line = translate(state == engine::JobState::starting ? u"Starting, Please Wait"
                                                             : u"Waiting for new Job");
    }
    return line + u" ...";
}

std::array<OutputRow, kOutputRows> output_rows(const engine::JobStats& s,
                                               std::optional<std::uint64_t> time_left,
                                               unsigned processors, platform::TimeStamp now,
                                               TranslateFn translate) {
    const auto t = [translate](std::u16string_view text) {
        return translate ? translate(text) : std::u16string(text);
    };
    std::u16string converted = number(s.converted);
    if (s.warned || s.cutShort) {
        std::u16string parts;
        if (s.warned)
            parts = number(s.warned) + u" " + t(u"with warnings");
        if (s.cutShort)
            parts += (parts.empty() ? u"" : u", ") + number(s.cutShort) + u" " + t(u"cut short");
        converted += u" (" + parts + u")";
    }
    return {{
        {u"Time Taken:", engine::format_duration(engine::time_taken(s, now))},
        {u"Time Left:", engine::format_duration(time_left)},
        {u"Converted:", converted},
        {u"Failed:", number(s.failed)},
        {u"Unknown:", number(s.unknown)},
        {u"Balance:", number(engine::balance(s))},
        {u"TOTAL:", number(s.total)},
        {u"Threads / CPUs:", number(s.busyWorkers) + u"/" + number(processors)},
    }};
}

std::u16string last_error_line(const engine::JobStats& stats) {
    if (stats.lastError.empty())
        return {};
    return u"Last Error: \"" + stats.lastError.str() + u"\"";
}

std::optional<TaskbarProgress> taskbar_progress(const engine::JobStats& stats, bool job_active) {
    const std::uint32_t done = done_of(stats);
    if (!job_active || stats.total == 0 || done == 0 || done >= stats.total)
        return std::nullopt;
    return TaskbarProgress{done, stats.total};
}

} // namespace vt::session
