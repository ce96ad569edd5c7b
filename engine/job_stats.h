#pragma once
// What the user interface knows of a running job: states, commands and the snapshot.
// Thread: plain values.

#include <cstdint>

#include "base/fixed_text.h"
#include "engine/conversion_job.h"
#include "platform/clock.h"

namespace vt::engine {

enum class JobState : std::int32_t {
    idle = 0, // before the first job
    starting = 1,
    running = 2,
    paused = 3,
    finished = 5,
    failed = 9,
};

enum class JobCommand : std::int32_t { none = 0, pause = 1, resume = 2, cancel = 9 };

enum class WorkerState : std::int32_t {
    not_working = 0, // ended or not started
    waiting = 1,
    loading = 2,
    processing = 3,
    saving = 4,
    paused = 5,
    no_memory = 9,
};

inline constexpr unsigned kMaxWorkers = 32;
inline constexpr std::size_t kLastErrorCapacity = 1024;

struct JobStats {
    PathText currentFile;
    base::FixedText<kLastErrorCapacity> lastError;
    std::uint32_t converted = 0;
    std::uint32_t failed = 0;
    std::uint32_t unknown = 0;
    std::uint32_t total = 0;
    std::uint32_t busyWorkers = 0;
    std::uint32_t liveWorkers = 0;
    platform::TimeStamp startTime = 0;
    platform::TimeStamp endTime = 0;
    std::uint32_t pausedMs = 0;
    std::uint32_t skipped = 0; // targets that existed and were left as they were
    // Of the converted files: those with warnings, and those saved after their transforms were
    // cut short (cancel or a failed step).
    std::uint32_t warned = 0;
    std::uint32_t cutShort = 0;
};

// Files still to do: total minus converted, failed, unknown and skipped (never below 0).
[[nodiscard]] inline std::uint32_t balance(const JobStats& s) noexcept {
    const std::uint64_t done = std::uint64_t{s.converted} + s.failed + s.unknown + s.skipped;
    return done >= s.total ? 0u : static_cast<std::uint32_t>(s.total - done);
}

} // namespace vt::engine
