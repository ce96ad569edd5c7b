#pragma once
// The monotonic clock. Time stamps are nanoseconds of std::chrono::steady_clock; differences are
// taken in milliseconds and saturate at 4294967295 (the width of the counters that hold them).
// Thread: any.

#include <cstdint>

namespace vt::platform {

using TimeStamp = std::uint64_t;

inline constexpr std::uint32_t kMaxMilliseconds = 4294967295u;

[[nodiscard]] TimeStamp now() noexcept;
// Milliseconds from `from` to `to`; 0 when `to` is earlier.
[[nodiscard]] std::uint32_t elapsed_ms(TimeStamp from, TimeStamp to) noexcept;
[[nodiscard]] inline std::uint32_t elapsed_ms(TimeStamp from) noexcept {
    return elapsed_ms(from, now());
}
// A 32-bit millisecond tick count that wraps, as the system tick count does.
[[nodiscard]] std::uint32_t tick_count() noexcept;

} // namespace vt::platform
