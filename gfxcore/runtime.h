#pragma once
// The imaging engine's process-wide state: start-up and shut-down with a reference count, the
// processor level that selects the wide code paths, the five 256 x 256 arithmetic tables of the
// blend kernels and the abort flag of the row loops.
// Thread: any. EngineStartup and EngineShutdown are serialised internally; the tables are
// read-only between them.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vt::gfx {

// Outcome codes left in the calling thread's slot (`last_error`).
inline constexpr std::uint32_t kErrorNone = 1;
inline constexpr std::uint32_t kErrorInvalid = 3;    // record or handle invalid
inline constexpr std::uint32_t kErrorArgument = 4;   // size or argument out of range
inline constexpr std::uint32_t kErrorScratch = 5;    // a buffer could not be allocated
inline constexpr std::uint32_t kErrorTooLarge = 6;   // beyond the engine limits (strict)
inline constexpr std::uint32_t kErrorDestroying = 7; // the bitmap is being destroyed
inline constexpr std::uint32_t kErrorNoDevice = 16;  // no device context on this platform

// Codes passed to a slot's diagnostic callback.
inline constexpr std::uint32_t kEventLockTimeout = 0x40000002;
inline constexpr std::uint32_t kEventLockCount = 0x40000003;
inline constexpr std::uint32_t kEventDeviceRecreated = 0x40000004;
inline constexpr std::uint32_t kEventConvertedToDevice = 0x40000005;

// Processor levels: each includes the ones below it.
enum CpuLevel : std::uint32_t {
    kCpuNone = 0,
    kCpuMmx = 1,
    kCpuSse = 2,
    kCpuSse2 = 3,
    kCpuSse3 = 4,
    kCpuSsse3 = 5,
    kCpuSse41 = 6,
};

// Starts the engine, or counts one more start when it runs already. Returns 1, or 0 with the
// reason written to `message_buffer` (cut at `capacity`, NUL-terminated) when one is given.
[[nodiscard]] int EngineStartup(char16_t* message_buffer, std::size_t capacity) noexcept;
// Matches one successful EngineStartup; the last one frees the slots and the tables. Threads
// must have finished their engine calls before the last shut-down.
void EngineShutdown() noexcept;

// Successful start-ups not yet matched by shut-downs.
[[nodiscard]] std::uint32_t init_count() noexcept;
// The level detected at the last start-up (0 before the first one). On x86-64 it comes from the
// processor; elsewhere it is kCpuSse2, which selects the portable vector paths.
[[nodiscard]] std::uint32_t cpu_level() noexcept;
// The level of this processor, detected now.
[[nodiscard]] std::uint32_t detect_cpu_level() noexcept;

// Set by the job on cancel; row loops stop after their current row. The advanced resampler
// clears it when it starts.
extern std::atomic<bool> resample_abort;

// A 256 x 256 byte table indexed [a][b].
struct BlendTable {
    std::uint8_t cell[256][256];
    [[nodiscard]] std::uint8_t operator()(unsigned a, unsigned b) const noexcept {
        return cell[a & 255][b & 255];
    }
};

// The tables, or null while the engine is stopped.
//   DivTable      b = 0: 128; else min(255, (255a + b/2) / b)
//   DodgeTableA   min(255, 256a / (b + 1))
//   OverlayTable  a <= 127: (2ab + 127) / 255; else (65025 - 2(255 - a)(255 - b) + 127) / 255
//   DodgeTableB   min(255, 256a / (256 - b))
//   BurnTable     b = 0: 0; else clamp(255 - 256(255 - a) / b, 0, 255)
[[nodiscard]] const BlendTable* DivTable() noexcept;
[[nodiscard]] const BlendTable* DodgeTableA() noexcept;
[[nodiscard]] const BlendTable* OverlayTable() noexcept;
[[nodiscard]] const BlendTable* DodgeTableB() noexcept;
[[nodiscard]] const BlendTable* BurnTable() noexcept;

} // namespace vt::gfx
