#pragma once
// The job's worker count and memory budget as the user set them. The suite configuration has
// no field for them, so they are two state entries, kept across restarts with the plug-in
// options (session/remembered.h) and so also reachable with `vtconvert --set NAME=VALUE`:
//   "Converter.workers"    worker threads, 1 to 32; 0 or absent: one per processor
//   "Converter.memory_mb"  the job's memory budget in MB, 16 to 2^30; 0 or absent: 3/4 of the
//                          memory available when the job starts
// A value out of its range counts as absent.
// Thread: the front end's main thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "plugins/state_store.h"

namespace vt::session {

inline constexpr std::u16string_view kWorkersState = u"Converter.workers";
inline constexpr std::u16string_view kMemoryBudgetState = u"Converter.memory_mb";
inline constexpr unsigned kMaxJobWorkers = 32;
inline constexpr std::uint64_t kMinMemoryBudgetMb = 16;
inline constexpr std::uint64_t kMaxMemoryBudgetMb = std::uint64_t{1} << 30;

struct EngineLimits {
    unsigned workers = 0;        // 0: one per processor
    std::uint64_t memory_mb = 0; // 0: automatic
};

// The stored limits.
[[nodiscard]] EngineLimits engine_limits(plugins::StateStore& store = plugins::state_store());
// Stores the limits (0 removes an entry) and keeps them for the next start. False when a value
// is out of range (nothing is stored then) or the state file could not be written.
bool save_engine_limits(const EngineLimits& limits,
                        plugins::StateStore& store = plugins::state_store());
// Whether `name` is one of the two entries.
[[nodiscard]] bool is_engine_limit(std::u16string_view name) noexcept;
// Empty when `value` (decimal) is one the entry `name` takes, else why not; for
// `vtconvert --set`.
[[nodiscard]] std::optional<std::string> check_engine_limit(std::u16string_view name,
                                                            std::string_view value);
// What a job runs with: what its command line asked for wins, then, for the budget,
// VANTREL_MEMORY_BUDGET_MB (answered as 0, which the picture budget reads itself), then the
// stored limits.
[[nodiscard]] EngineLimits job_limits(unsigned asked_workers, std::uint64_t asked_memory_mb,
                                      plugins::StateStore& store = plugins::state_store());

} // namespace vt::session
