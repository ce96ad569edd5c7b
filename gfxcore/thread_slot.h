#pragma once
// Per-thread state of the imaging engine. Every engine operation fetches the calling thread's
// slot first, leaves its outcome code in `last_error` and reads the thread's clip rectangle,
// offsets, colours and pattern from it.
//
// Slots live in one array of kSlotCount records created on first use. A thread keeps its slot
// until the engine stops, or until the array is full and a new thread needs one: then the slots
// of threads that have ended are reclaimed. When every slot belongs to a live thread, further
// threads share the last slot.
//
// Thread: a slot is written only by its own thread (or threads sharing the last slot); lookup
// of an existing slot takes no lock; creation and reclaim take the engine lock.

#include <atomic>
#include <cstdint>

struct Bitmap;

namespace vt::gfx {

inline constexpr unsigned kSlotCount = 128;
// The per-thread table buffer of scaled copies and the offsets of its four tables.
inline constexpr std::uint32_t kScratchBytes = 659456;
inline constexpr std::uint32_t kColumnIndexOffset = 0;
inline constexpr std::uint32_t kColumnFractionOffset = 262208;
inline constexpr std::uint32_t kRowIndexOffset = 327808;
inline constexpr std::uint32_t kRowFractionOffset = 590016;

inline constexpr std::uint32_t kColourLight = 0x00CCCCCC;
inline constexpr std::uint32_t kColourDark = 0x00777777;

// Diagnostic callback: (code, context). Must not throw.
using EngineCallback = void (*)(std::uint32_t code, std::uint32_t context);

struct EngineThreadSlot {
    std::atomic<std::uint32_t> thread_id; // 0: free
    std::atomic<std::uint32_t> last_error;
    std::int32_t clip_left;
    std::int32_t clip_top;
    std::int32_t clip_right;
    std::int32_t clip_bottom;
    std::int32_t offset_x; // 1/256 pixel, reset after each compose call
    std::int32_t offset_y;
    EngineCallback callback;
    std::uint32_t callback_context;
    std::uint32_t colour_light;
    std::uint32_t colour_dark;
    std::int32_t pattern_x;
    std::int32_t pattern_y;
    const Bitmap* pattern;
    std::uint8_t* scratch; // kScratchBytes, see ensure_scratch
    std::int32_t* column_index;
    std::int32_t* column_fraction;
    std::int32_t* row_index;
    std::int32_t* row_fraction;
    std::uint8_t transparency_table[256];
    std::uint8_t* scratch2;
    // Set by the thread's exit hook: the slot may be reclaimed, and a new thread that happens to
    // get the same id does not inherit it.
    std::atomic<bool> ended;
};

// The calling thread's slot, created on first use; starts the engine implicitly when needed.
// Null only when the engine cannot be started or the slot array cannot be allocated.
[[nodiscard]] EngineThreadSlot* GetThreadSlot() noexcept;

// Stores the caller's clip rectangle (inclusive edges).
void SetClipRect(std::int32_t left, std::int32_t top, std::int32_t right,
                 std::int32_t bottom) noexcept;

// Calls the caller's callback, if it has one, with `code` and its context. A callback that
// throws is contained.
void ReportEngineEvent(std::uint32_t code) noexcept;

// Sets the caller's callback (null removes it).
void set_engine_callback(EngineCallback callback, std::uint32_t context) noexcept;

// The caller's last outcome code (0 when it has no slot).
[[nodiscard]] std::uint32_t last_engine_error() noexcept;

// Records `code` in the caller's slot and returns `result`: the usual last statement of an
// engine operation.
inline int finish(EngineThreadSlot* slot, std::uint32_t code, int result) noexcept {
    if (slot != nullptr)
        slot->last_error.store(code, std::memory_order_relaxed);
    return result;
}

// Allocates the slot's scratch buffer if it has none and points the four tables into it.
// Returns 1, or 0 with error 5.
[[nodiscard]] int ensure_scratch(EngineThreadSlot& slot) noexcept;

// The calling thread's id as the engine records it (never 0 on Linux).
[[nodiscard]] std::uint32_t current_thread_id() noexcept;
// Whether a thread of this process with that id is still running.
[[nodiscard]] bool thread_is_alive(std::uint32_t thread_id) noexcept;

// Index of a slot in the array (for tests and diagnostics), or -1.
[[nodiscard]] int slot_index(const EngineThreadSlot* slot) noexcept;

} // namespace vt::gfx
