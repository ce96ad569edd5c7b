#include "gfx/vector_paths.h"

#include <atomic>

#include "gfx/resample_testing.h"
#include "gfxcore/runtime.h"

namespace vt::gfx {

namespace detail {

namespace {

std::atomic<int> g_vector_limit{kVectorAvx512};

bool allowed(int level) noexcept {
    return g_vector_limit.load(std::memory_order_relaxed) >= level && cpu_level() >= kCpuSse2;
}

} // namespace

bool vector_paths_enabled() noexcept {
    return allowed(kVectorSse2);
}

bool avx2_enabled() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    return allowed(kVectorAvx2) && __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

bool avx512vbmi_enabled() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    return allowed(kVectorAvx512) && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi");
#else
    return false;
#endif
}

} // namespace detail

void set_vector_limit(int limit) noexcept {
    detail::g_vector_limit.store(limit, std::memory_order_relaxed);
}

void set_vector_paths(bool enabled) noexcept {
    set_vector_limit(enabled ? kVectorAvx512 : kVectorNone);
}

} // namespace vt::gfx
