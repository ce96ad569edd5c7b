#include "platform/system.h"

#include <chrono>
#include <mutex>
#include <thread>

#include <malloc.h>
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

namespace {

// glibc's defaults, which it adjusts by itself once a mapped block is freed.
constexpr int kDefaultMmapThreshold = 128 * 1024;
constexpr int kDefaultTrimThreshold = 128 * 1024;
// The largest mapping threshold glibc accepts on 64-bit: a 6000 x 4000 RGBA picture is
// larger and is still mapped, but rows, tiles and pictures up to 8 MP are reused.
constexpr int kPictureMmapThreshold = 32 * 1024 * 1024;
constexpr int kPictureTrimThreshold = 1024 * 1024 * 1024;

// Jobs may overlap (a preview beside a run): the last one to end gives the memory back.
std::mutex g_heap_lock;
int g_heap_users = 0;

} // namespace

PictureHeap::PictureHeap() noexcept {
    std::lock_guard lock(g_heap_lock);
    if (g_heap_users++ > 0)
        return;
    (void)::mallopt(M_MMAP_THRESHOLD, kPictureMmapThreshold);
    (void)::mallopt(M_TRIM_THRESHOLD, kPictureTrimThreshold);
}

PictureHeap::~PictureHeap() {
    std::lock_guard lock(g_heap_lock);
    if (--g_heap_users > 0)
        return;
    (void)::mallopt(M_MMAP_THRESHOLD, kDefaultMmapThreshold);
    (void)::mallopt(M_TRIM_THRESHOLD, kDefaultTrimThreshold);
    (void)::malloc_trim(0);
}

} // namespace vt::platform
