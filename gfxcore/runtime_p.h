#pragma once
// Engine state shared by engine.cpp and thread_slot.cpp.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "gfxcore/runtime.h"
#include "gfxcore/runtime_testing.h"
#include "gfxcore/thread_slot.h"

namespace vt::gfx::detail {

// Room for two records beyond kSlotCount, as the array has always had.
inline constexpr unsigned kSlotRoom = kSlotCount + 2;

struct EngineState {
    std::mutex start_mutex; // serialises EngineStartup and EngineShutdown
    std::mutex lock;        // the engine lock: slot array creation, slot allocation and reclaim
    std::atomic<std::uint32_t> init_count{0};
    std::atomic<std::uint32_t> cpu_level{0};
    std::atomic<std::uint32_t> implicit_starts{0};
    std::atomic<EngineThreadSlot*> slots{nullptr};
    // Changes whenever the slot array is discarded, so that cached slot pointers go stale.
    std::atomic<std::uint32_t> generation{1};
    std::atomic<BlendTable*> tables[5]{};
    std::atomic<StartupFault> fault{StartupFault::kNone};
};

// Never destroyed: thread exit hooks may run after static destructors.
EngineState& engine_state() noexcept;

// Frees the slot's buffers and returns it to zero (thread_id 0). Caller holds the engine lock.
void clear_slot(EngineThreadSlot& slot) noexcept;
// Discards the slot array. Caller holds the engine lock.
void discard_slots(EngineState& state) noexcept;

} // namespace vt::gfx::detail
