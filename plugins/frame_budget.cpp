#include "plugins/frame_budget.h"

#include "base/text.h"

namespace vt::plugins {
namespace {

thread_local std::uint64_t t_budget = 0;
thread_local MemoryStop t_stop;

std::u16string megabytes(std::uint64_t bytes) {
    return base::decimal((bytes + (1u << 20) - 1) >> 20) + u" MB";
}

} // namespace

void set_frame_budget(std::uint64_t bytes) noexcept {
    t_budget = bytes;
}

std::uint64_t frame_budget() noexcept {
    return t_budget;
}

void clear_memory_stop() noexcept {
    t_stop = {};
}

MemoryStop last_memory_stop() noexcept {
    return t_stop;
}

bool frame_fits(std::uint64_t held, std::uint64_t bytes) noexcept {
    if (t_budget == 0 || held + bytes <= t_budget)
        return true;
    t_stop.over_budget = true;
    t_stop.wanted = held + bytes;
    return false;
}

void note_out_of_memory(std::uint64_t bytes) noexcept {
    t_stop.out_of_memory = true;
    t_stop.wanted = bytes;
}

std::u16string memory_stop_text(const MemoryStop& stop) {
    if (stop.over_budget)
        return u"the picture needs " + megabytes(stop.wanted) + u", over the memory budget of " +
               megabytes(t_budget) + u" per picture (--memory-budget)";
    if (stop.out_of_memory)
        return u"out of memory: " + megabytes(stop.wanted) + u" could not be allocated";
    return {};
}

} // namespace vt::plugins
