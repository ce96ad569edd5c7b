#include "platform/system.h"

#include <chrono>
#include <thread>

#include <sched.h>

namespace vt::platform {

unsigned processor_count() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0)
            return static_cast<unsigned>(n);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

void yield_processor() noexcept {
    std::this_thread::yield();
}

void sleep_ms(std::uint32_t ms) noexcept {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace vt::platform
