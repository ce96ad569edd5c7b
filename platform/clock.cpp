#include "platform/clock.h"

#include <chrono>

namespace vt::platform {

TimeStamp now() noexcept {
    return static_cast<TimeStamp>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count());
}

std::uint32_t elapsed_ms(TimeStamp from, TimeStamp to) noexcept {
    if (to <= from)
        return 0;
    const std::uint64_t ms = (to - from) / 1000000u;
    return ms > kMaxMilliseconds ? kMaxMilliseconds : static_cast<std::uint32_t>(ms);
}

std::uint32_t tick_count() noexcept {
    return static_cast<std::uint32_t>(now() / 1000000u);
}

} // namespace vt::platform
