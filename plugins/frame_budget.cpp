#include "plugins/frame_budget.h"

#include <cstring>

#include "base/text.h"
#include "image/image_doc.h"
#include "sdk/vt_plugin.h"

namespace vt::plugins {
namespace {

thread_local std::uint64_t t_budget = 0;
thread_local bool t_bomb_rule = false;
thread_local std::uint64_t t_source_size = 0;
thread_local MemoryStop t_stop;

std::u16string megabytes(std::uint64_t bytes) {
    return base::decimal((bytes + (1u << 20) - 1) >> 20) + u" MB";
}

std::u16string file_size_text(std::uint64_t bytes) {
    if (bytes < 10240)
        return base::decimal(bytes) + u" bytes";
    if (bytes < (std::uint64_t{10} << 20))
        return base::decimal((bytes + 1023) >> 10) + u" KB";
    return megabytes(bytes);
}

bool breaks_bomb_rule(std::uint64_t total) noexcept {
    return t_bomb_rule && t_source_size > 0 && total > kBombFloorBytes &&
           total / kBombRatio >= t_source_size;
}

} // namespace

void set_frame_budget(std::uint64_t bytes) noexcept {
    t_budget = bytes;
}

std::uint64_t frame_budget() noexcept {
    return t_budget;
}

void set_bomb_rule(bool on) noexcept {
    t_bomb_rule = on;
}

void set_source_size(std::uint64_t bytes) noexcept {
    t_source_size = bytes;
}

void clear_memory_stop() noexcept {
    t_stop = {};
}

MemoryStop last_memory_stop() noexcept {
    return t_stop;
}

bool frame_fits(std::uint64_t held, std::uint64_t bytes) noexcept {
    const std::uint64_t total = held + bytes;
    if (breaks_bomb_rule(total)) {
        t_stop.bomb = true;
        t_stop.wanted = total;
        return false;
    }
    if (t_budget == 0 || total <= t_budget)
        return true;
    t_stop.over_budget = true;
    t_stop.wanted = total;
    return false;
}

void note_out_of_memory(std::uint64_t bytes) noexcept {
    t_stop.out_of_memory = true;
    t_stop.wanted = bytes;
}

void note_frame_limit() noexcept {
    t_stop.frame_limit = true;
}

void note_too_large(std::uint32_t width, std::uint32_t height) noexcept {
    t_stop.too_large = true;
    t_stop.width = width;
    t_stop.height = height;
}

bool memory_stopped() noexcept {
    return t_stop.over_budget || t_stop.bomb || t_stop.out_of_memory || t_stop.frame_limit ||
           t_stop.too_large;
}

std::int32_t answer_frame_bytes_query(void* buffer, std::int32_t capacity) noexcept {
    std::uint64_t total = 0;
    if (buffer == nullptr || capacity < static_cast<std::int32_t>(sizeof total))
        return 0;
    std::memcpy(&total, buffer, sizeof total);
    // Only the bomb rule: the budget is about what is held, and frames that hold only their
    // change may take far less than the whole frames announced.
    if (!breaks_bomb_rule(total))
        return static_cast<std::int32_t>(sizeof total);
    t_stop.bomb = true;
    t_stop.wanted = total;
    return VT_ERR_OUT_OF_MEMORY;
}

std::u16string memory_stop_text(const MemoryStop& stop) {
    if (stop.bomb)
        return u"the picture would take " + megabytes(stop.wanted) + u" from a file of " +
               file_size_text(t_source_size) + u", more than " + base::decimal(kBombRatio) +
               u" times its size: refused as a decompression bomb (an explicit --memory-budget "
               u"allows it)";
    if (stop.over_budget)
        return u"the picture needs " + megabytes(stop.wanted) + u", over the memory budget of " +
               megabytes(t_budget) + u" per picture (--memory-budget)";
    if (stop.frame_limit)
        return u"the file holds more than " + base::decimal(image::kMaxLayers) +
               u" pages, frames or layers, the most one picture can keep";
    if (stop.too_large)
        return u"the picture is " + base::decimal(stop.width) + u" x " +
               base::decimal(stop.height) +
               u" pixels, over the picture limit of 65536 a side and 250000000 pixels";
    if (stop.out_of_memory)
        return u"out of memory: " + megabytes(stop.wanted) + u" could not be allocated";
    return {};
}

} // namespace vt::plugins
