#include "plugins/load_hints.h"

#include <algorithm>
#include <cstring>

namespace vt::plugins {
namespace {

thread_local const DraftHint* t_hint = nullptr;
thread_local DraftRecord t_record;
thread_local const std::atomic<std::uint32_t>* t_idle_workers = nullptr;

std::uint32_t within(std::int64_t target, std::uint32_t full) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(target, 1, full));
}

} // namespace

void set_draft_hint(const DraftHint* hint) noexcept {
    t_hint = hint;
    t_record = {};
}

bool draft_min_size(const DraftHint& hint, std::uint32_t full_width, std::uint32_t full_height,
                    std::uint32_t& min_width, std::uint32_t& min_height) noexcept {
    const gfx::ResizeOptions& r = hint.resize;
    if (r.resizeMode == 0 || r.resizeWidth < 2 || r.resizeHeight < 2 || full_width == 0 ||
        full_height == 0)
        return false;
    const gfx::TargetSize upright = gfx::resize_target(full_width, full_height, r);
    std::int64_t need_w = upright.width, need_h = upright.height;
    if (hint.may_turn) {
        // After a quarter turn the target belongs to the turned picture: take the larger need.
        const gfx::TargetSize turned = gfx::resize_target(full_height, full_width, r);
        need_w = std::max(need_w, turned.height);
        need_h = std::max(need_h, turned.width);
    }
    min_width = within(need_w, full_width);
    min_height = within(need_h, full_height);
    return min_width < full_width || min_height < full_height;
}

DraftRecord take_draft_record() noexcept {
    const DraftRecord record = t_record;
    t_record = {};
    return record;
}

std::int32_t answer_draft_query(void* buffer, std::int32_t capacity) noexcept {
    if (capacity < 8)
        return -8;
    std::uint32_t size[2];
    std::memcpy(size, buffer, sizeof size);
    if (t_hint == nullptr || size[0] == 0 || size[1] == 0)
        return 0;
    std::uint32_t min_size[2];
    if (!draft_min_size(*t_hint, size[0], size[1], min_size[0], min_size[1]))
        return 0;
    t_record = {size[0], size[1]};
    std::memcpy(buffer, min_size, sizeof min_size);
    return 8;
}

void set_spare_threads(const std::atomic<std::uint32_t>* idle_workers) noexcept {
    t_idle_workers = idle_workers;
}

std::int32_t answer_spare_threads_query(void* buffer, std::int32_t capacity) noexcept {
    if (capacity < 4)
        return -4;
    const std::uint32_t spare =
        t_idle_workers != nullptr ? t_idle_workers->load(std::memory_order_relaxed) : 0;
    std::memcpy(buffer, &spare, sizeof spare);
    return 4;
}

} // namespace vt::plugins
