#pragma once
// What the progress displays show of a running job: the time taken and the time left.
// Thread: one estimator per display.

#include <cstdint>
#include <optional>
#include <string>

#include "engine/job_stats.h"
#include "platform/clock.h"

namespace vt::engine {

// "%i:%02i:%02i" (hours, minutes, seconds); "-:--:--" for nothing or 48 hours and more.
[[nodiscard]] std::u16string format_duration(std::optional<std::uint64_t> seconds);

// The time-left estimate, smoothed from one refresh to the next. Shown once more than
// min(total / 3, 3) files are done of a job of more than 3.
class TimeLeftEstimate {
public:
    // Seconds left, or nothing when there is no estimate yet.
    std::optional<std::uint64_t> update(const JobStats& stats, bool job_active,
                                        platform::TimeStamp now = platform::now());

private:
    std::uint64_t m_previous = 0;
};

// Seconds from the job's start to its end (or to `now` while it runs); nothing without a start.
[[nodiscard]] std::optional<std::uint64_t> time_taken(const JobStats& stats,
                                                      platform::TimeStamp now = platform::now());

} // namespace vt::engine
