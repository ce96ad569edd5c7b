#include "session/engine_limits.h"

#include <array>
#include <cstdlib>
#include <string>

#include "session/format_catalogue.h"
#include "session/remembered.h"

namespace vt::session {
namespace {

// A whole number as set_plugin_option stores it (32-bit little-endian); 0 when absent or not one.
std::uint64_t stored_number(plugins::StateStore& store, std::u16string_view name) {
    if (store.size(name) != 4)
        return 0;
    std::array<std::uint8_t, 4> bytes{};
    if (store.get(name, bytes) != 4)
        return 0;
    const auto value =
        static_cast<std::int32_t>(std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                                  std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24);
    return value > 0 ? static_cast<std::uint64_t>(value) : 0;
}

bool workers_in_range(std::uint64_t n) {
    return n <= kMaxJobWorkers;
}

bool budget_in_range(std::uint64_t mb) {
    return mb == 0 || (mb >= kMinMemoryBudgetMb && mb <= kMaxMemoryBudgetMb);
}

} // namespace

bool is_engine_limit(std::u16string_view name) noexcept {
    return name == kWorkersState || name == kMemoryBudgetState;
}

std::optional<std::string> check_engine_limit(std::u16string_view name, std::string_view value) {
    const bool workers = name == kWorkersState;
    std::uint64_t n = 0;
    bool digits = !value.empty() && value.size() <= 12;
    for (const char c : value) {
        digits = digits && c >= '0' && c <= '9';
        n = digits ? n * 10 + static_cast<unsigned>(c - '0') : 0;
    }
    if (digits && (workers ? workers_in_range(n) : budget_in_range(n)))
        return std::nullopt;
    return workers ? std::string("Converter.workers takes 0 (one per processor) to 32")
                   : std::string("Converter.memory_mb takes 0 (automatic) or 16 to 1073741824");
}

EngineLimits engine_limits(plugins::StateStore& store) {
    EngineLimits limits;
    if (const std::uint64_t n = stored_number(store, kWorkersState); workers_in_range(n))
        limits.workers = static_cast<unsigned>(n);
    if (const std::uint64_t mb = stored_number(store, kMemoryBudgetState); budget_in_range(mb))
        limits.memory_mb = mb;
    return limits;
}

bool save_engine_limits(const EngineLimits& limits, plugins::StateStore& store) {
    if (!workers_in_range(limits.workers) || !budget_in_range(limits.memory_mb))
        return false;
    const auto put = [&](std::u16string_view name, std::uint64_t value) {
        if (value == 0)
            (void)store.set(name, {});
        else
            set_plugin_option(name, std::to_string(value), store);
    };
    put(kWorkersState, limits.workers);
    put(kMemoryBudgetState, limits.memory_mb);
    const std::u16string names[] = {std::u16string(kWorkersState),
                                    std::u16string(kMemoryBudgetState)};
    return remember_plugin_options(names, store);
}

EngineLimits job_limits(unsigned asked_workers, std::uint64_t asked_memory_mb,
                        plugins::StateStore& store) {
    EngineLimits limits = engine_limits(store);
    if (asked_workers != 0)
        limits.workers = asked_workers;
    if (asked_memory_mb != 0)
        limits.memory_mb = asked_memory_mb;
    else if (std::getenv("VANTREL_MEMORY_BUDGET_MB"))
        limits.memory_mb = 0;
    return limits;
}

} // namespace vt::session
