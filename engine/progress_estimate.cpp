#include "engine/progress_estimate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/utf.h"

namespace vt::engine {

std::u16string format_duration(std::optional<std::uint64_t> seconds) {
    if (!seconds || *seconds >= 48 * 3600)
        return u"-:--:--";
    char text[32];
    std::snprintf(text, sizeof text, "%i:%02i:%02i", static_cast<int>(*seconds / 3600),
                  static_cast<int>(*seconds / 60 % 60), static_cast<int>(*seconds % 60));
    return base::ascii_to_utf16(text);
}

std::optional<std::uint64_t> TimeLeftEstimate::update(const JobStats& s, bool job_active,
                                                      platform::TimeStamp now) {
    const std::uint64_t done = std::uint64_t{s.converted} + s.failed + s.unknown;
    const std::uint64_t threshold = std::min<std::uint64_t>(s.total / 3, 3);
    if (!job_active || s.total <= 3 || done <= threshold || s.startTime == 0) {
        m_previous = 0;
        return std::nullopt;
    }
    const double working = std::max(
        0.0, (static_cast<double>(platform::elapsed_ms(s.startTime, now)) - s.pausedMs) / 1000.0);
    const double left = done >= s.total ? 0.0 : static_cast<double>(s.total - done);
    auto estimate =
        static_cast<std::uint64_t>(std::llround(working * left / static_cast<double>(done)));
    if (m_previous != 0) {
        const double k = std::min<double>(s.total, 25);
        const double a = std::sqrt(1.0 / k);
        estimate = static_cast<std::uint64_t>((1 - a) * static_cast<double>(m_previous) +
                                              a * static_cast<double>(estimate));
    }
    m_previous = estimate;
    return estimate;
}

std::optional<std::uint64_t> time_taken(const JobStats& s, platform::TimeStamp now) {
    if (s.startTime == 0)
        return std::nullopt;
    return platform::elapsed_ms(s.startTime, s.endTime ? s.endTime : now) / 1000u;
}

} // namespace vt::engine
