#include "gfxcore/thread_slot.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "gfxcore/runtime_p.h"
#include "platform/system.h"

namespace vt::gfx {

namespace detail {

void clear_slot(EngineThreadSlot& slot) noexcept {
    std::free(slot.scratch);
    std::free(slot.scratch2);
    slot.last_error.store(0, std::memory_order_relaxed);
    slot.clip_left = slot.clip_top = slot.clip_right = slot.clip_bottom = 0;
    slot.offset_x = slot.offset_y = 0;
    slot.callback = nullptr;
    slot.callback_context = 0;
    slot.colour_light = slot.colour_dark = 0;
    slot.pattern_x = slot.pattern_y = 0;
    slot.pattern = nullptr;
    slot.scratch = nullptr;
    slot.column_index = slot.column_fraction = slot.row_index = slot.row_fraction = nullptr;
    for (auto& t : slot.transparency_table)
        t = 0;
    slot.scratch2 = nullptr;
    slot.ended.store(false);
    slot.thread_id.store(0);
}

void discard_slots(EngineState& state) noexcept {
    EngineThreadSlot* slots = state.slots.exchange(nullptr);
    state.generation.fetch_add(1);
    if (slots == nullptr)
        return;
    for (unsigned i = 0; i < kSlotRoom; ++i)
        clear_slot(slots[i]);
    delete[] slots;
}

} // namespace detail

namespace {

using detail::EngineState;

constexpr int kImplicitStartAttempts = 51;
constexpr std::uint32_t kImplicitStartRetryMs = 20;
constexpr std::uint32_t kMaxImplicitStarts = 256;
constexpr int kArrayAttempts = 10;

void init_slot(EngineThreadSlot& slot, std::uint32_t thread_id) noexcept {
    detail::clear_slot(slot);
    slot.last_error.store(kErrorNone, std::memory_order_relaxed);
    slot.colour_light = kColourLight;
    slot.colour_dark = kColourDark;
    slot.thread_id.store(thread_id);
}

// The thread's cached slot. Its destructor is the thread-exit hook: it marks the slot as ended
// and drops its buffers, so the slot can be reclaimed without asking the system about the
// thread (whose id may by then belong to another one).
struct SlotCache {
    EngineThreadSlot* slot = nullptr;
    std::uint32_t generation = 0;
    bool shared = false;

    ~SlotCache() {
        if (slot == nullptr || shared)
            return;
        EngineState& state = detail::engine_state();
        std::lock_guard lock(state.lock);
        if (state.generation.load() != generation || state.slots.load() == nullptr)
            return;
        if (slot->thread_id.load() != current_thread_id())
            return;
        std::free(slot->scratch);
        std::free(slot->scratch2);
        slot->scratch = slot->scratch2 = nullptr;
        slot->column_index = slot->column_fraction = slot->row_index = slot->row_fraction = nullptr;
        slot->ended.store(true);
    }
};

thread_local SlotCache t_cache;

bool start_implicitly(EngineState& state) noexcept {
    for (int attempt = 0; attempt < kImplicitStartAttempts; ++attempt) {
        if (state.init_count.load() > 0)
            return true;
        if (EngineStartup(nullptr, 0) != 0) {
            std::uint32_t n = state.implicit_starts.load();
            while (n < kMaxImplicitStarts && !state.implicit_starts.compare_exchange_weak(n, n + 1))
                ;
            return true;
        }
        platform::sleep_ms(kImplicitStartRetryMs);
    }
    return false;
}

EngineThreadSlot* ensure_slot_array(EngineState& state) noexcept {
    EngineThreadSlot* slots = state.slots.load(std::memory_order_acquire);
    if (slots != nullptr)
        return slots;
    std::lock_guard lock(state.lock);
    slots = state.slots.load();
    if (slots != nullptr)
        return slots;
    for (int attempt = 0; attempt < kArrayAttempts && slots == nullptr; ++attempt) {
        if (attempt >= 4)
            platform::sleep_ms(100);
        slots = new (std::nothrow) EngineThreadSlot[detail::kSlotRoom]();
    }
    if (slots == nullptr)
        return nullptr;
    for (unsigned i = 0; i < detail::kSlotRoom; ++i)
        init_slot(slots[i], 0);
    state.slots.store(slots, std::memory_order_release);
    return slots;
}

EngineThreadSlot* find_own_slot(EngineThreadSlot* slots, std::uint32_t id) noexcept {
    for (unsigned i = 0; i < kSlotCount; ++i)
        if (slots[i].thread_id.load(std::memory_order_acquire) == id && !slots[i].ended.load())
            return &slots[i];
    return nullptr;
}

EngineThreadSlot* first_free_slot(EngineThreadSlot* slots) noexcept {
    for (unsigned i = 0; i < kSlotCount; ++i)
        if (slots[i].thread_id.load() == 0)
            return &slots[i];
    return nullptr;
}

void reclaim_slots(EngineThreadSlot* slots) noexcept {
    for (unsigned i = 0; i < kSlotCount; ++i) {
        const std::uint32_t id = slots[i].thread_id.load();
        if (id != 0 && (slots[i].ended.load() || !thread_is_alive(id)))
            detail::clear_slot(slots[i]);
    }
}

EngineThreadSlot* cache(EngineThreadSlot* slot, std::uint32_t generation, bool shared) noexcept {
    t_cache.slot = slot;
    t_cache.generation = generation;
    t_cache.shared = shared;
    return slot;
}

} // namespace

std::uint32_t current_thread_id() noexcept {
    static thread_local std::uint32_t id = 0;
    if (id == 0)
        id = static_cast<std::uint32_t>(::gettid());
    return id;
}

bool thread_is_alive(std::uint32_t thread_id) noexcept {
    if (thread_id == 0)
        return false;
    const long rc = ::syscall(SYS_tgkill, ::getpid(), static_cast<pid_t>(thread_id), 0);
    return rc == 0 || errno != ESRCH;
}

EngineThreadSlot* GetThreadSlot() noexcept {
    EngineState& state = detail::engine_state();
    if (state.init_count.load() == 0 && !start_implicitly(state))
        return nullptr;
    EngineThreadSlot* slots = ensure_slot_array(state);
    if (slots == nullptr)
        return nullptr;
    const std::uint32_t generation = state.generation.load();
    const std::uint32_t id = current_thread_id();
    if (t_cache.slot != nullptr && t_cache.generation == generation &&
        (t_cache.shared || t_cache.slot->thread_id.load(std::memory_order_relaxed) == id))
        return t_cache.slot;

    if (EngineThreadSlot* own = find_own_slot(slots, id))
        return cache(own, generation, false);

    std::lock_guard lock(state.lock);
    if (state.slots.load() != slots)
        return nullptr; // the engine stopped under us
    EngineThreadSlot* slot = first_free_slot(slots);
    if (slot == nullptr) {
        reclaim_slots(slots);
        slot = first_free_slot(slots);
    }
    if (slot == nullptr)
        return cache(&slots[kSlotCount - 1], generation, true);
    init_slot(*slot, id);
    return cache(slot, generation, false);
}

void SetClipRect(std::int32_t left, std::int32_t top, std::int32_t right,
                 std::int32_t bottom) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return;
    slot->clip_left = left;
    slot->clip_top = top;
    slot->clip_right = right;
    slot->clip_bottom = bottom;
}

void ReportEngineEvent(std::uint32_t code) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr || slot->callback == nullptr)
        return;
    // Only call an address inside a loaded object: a stale pointer from an unloaded plug-in
    // would otherwise take the process down.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(slot->callback), &info) == 0)
        return;
    try {
        slot->callback(code, slot->callback_context);
    } catch (...) {
    }
}

void set_engine_callback(EngineCallback callback, std::uint32_t context) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return;
    slot->callback = callback;
    slot->callback_context = context;
}

std::uint32_t last_engine_error() noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    return slot == nullptr ? 0 : slot->last_error.load(std::memory_order_relaxed);
}

int ensure_scratch(EngineThreadSlot& slot) noexcept {
    if (slot.scratch == nullptr) {
        slot.scratch = static_cast<std::uint8_t*>(std::calloc(kScratchBytes, 1));
        if (slot.scratch == nullptr)
            return finish(&slot, kErrorScratch, 0);
        slot.column_index = reinterpret_cast<std::int32_t*>(slot.scratch + kColumnIndexOffset);
        slot.column_fraction =
            reinterpret_cast<std::int32_t*>(slot.scratch + kColumnFractionOffset);
        slot.row_index = reinterpret_cast<std::int32_t*>(slot.scratch + kRowIndexOffset);
        slot.row_fraction = reinterpret_cast<std::int32_t*>(slot.scratch + kRowFractionOffset);
    }
    return 1;
}

int slot_index(const EngineThreadSlot* slot) noexcept {
    const EngineThreadSlot* slots = detail::engine_state().slots.load();
    if (slots == nullptr || slot < slots || slot >= slots + kSlotCount)
        return -1;
    return static_cast<int>(slot - slots);
}

} // namespace vt::gfx
