#include "gfxcore/row_claim.h"

#include <algorithm>

namespace vt::gfx {
namespace {

thread_local const std::atomic<std::uint32_t>* t_idle = nullptr;

} // namespace

void set_row_helpers(const std::atomic<std::uint32_t>* idle) noexcept {
    t_idle = idle;
}

std::uint32_t row_helpers() noexcept {
    return t_idle != nullptr ? std::min(t_idle->load(std::memory_order_relaxed), kMaxRowHelpers)
                             : 0;
}

} // namespace vt::gfx
