#pragma once
// Bitmap operations of the imaging engine. A `Bitmap` (sdk/vt_plugin.h) is a record the
// caller owns; these functions make it live, lock it, copy it and free it.
//
// Every operation fetches the calling thread's engine slot first and leaves its outcome code
// there (vt::gfx::last_engine_error(): 1 success, 3 invalid record, 4 argument out of range,
// 5 allocation failed, 6 beyond the limits, 7 being destroyed, 16 no device context). Results:
// nonzero success, 0 failure. A record that cannot be read fails with 3 rather than crashing
// where the system can tell (null, misaligned or unmapped records).
//
// Kinds: 1 display memory (on this platform plain memory with the same layout; the device
// context operations report 16), 2 engine memory, 3 caller memory, 4 a view onto a rectangle of
// another Bitmap. Records start zeroed; a zeroed record may be freed any number of times.
//
// Thread: any thread may use any Bitmap. Shared locks are counted; an exclusive lock records
// the owner's thread id. Waits for another thread's lock poll every 20 ms and give up (with a
// callback report, then proceed) after 5000 ms for an owner and 2000 ms for the count.

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::image {

inline constexpr std::uint8_t kBitmapSignature = 154;
inline constexpr std::uint8_t kKindDisplay = 1;
inline constexpr std::uint8_t kKindMemory = 2;
inline constexpr std::uint8_t kKindCaller = 3;
inline constexpr std::uint8_t kKindView = 4;
inline constexpr std::uint8_t kStateDestroying = 1;

inline constexpr std::int64_t kMaxBitmapSide = 65536;
inline constexpr std::int64_t kMaxBitmapPixels = 250000000;
inline constexpr std::int32_t kMaxViewCoordinate = 32767;

// CreateBitmap flags.
inline constexpr std::uint32_t kCreateMemory = 1; // kind 2 instead of kind 1
inline constexpr std::uint32_t kCreateNoPixelLimit = 16;
inline constexpr std::uint32_t kCreateStrict = 32; // fail with 6 instead of shrinking
// The engine's own: the pixels are left as the allocator gives them, for a caller that writes
// every one of them at once (a turned copy), saving a pass over the whole block.
inline constexpr std::uint32_t kCreateUncleared = 64;

// LockBitmap / UnlockBitmap flags.
inline constexpr std::uint32_t kLockExclusive = 1;

inline constexpr std::uint32_t kCreateShrunk = 3; // CreateBitmap result when the size was cut

// Frees whatever `bmp` held, then allocates a zero-filled width x height bitmap. Negative sizes
// count by absolute value; either below 1 fails with 4. Unless strict, an oversized request is
// shrunk keeping the aspect: a side above 65536 is cut to 65536 and the other scaled, then more
// than 250,000,000 pixels (unless kCreateNoPixelLimit) are scaled by sqrt(limit / pixels).
// Returns 1, kCreateShrunk when shrunk, 0 on failure (record zeroed).
[[nodiscard]] int CreateBitmap(Bitmap* bmp, std::int32_t width, std::int32_t height,
                               std::uint32_t flags) noexcept;

// Makes `bmp` a kind 3 record over caller memory that must outlive it (never freed here).
// Sizes at least 1 and stride >= width, else 4; unreadable pixels give 3.
[[nodiscard]] int WrapBitmap(Bitmap* bmp, std::int32_t width, std::int32_t height,
                             std::int32_t stride, std::uint32_t* pixels) noexcept;

// Makes `view` a kind 4 record over the inclusive rectangle of `parent`, which must stay live
// and at the same address while the view exists. Coordinates 0..32767 with right >= left and
// bottom >= top, else 4. The view is clipped to the parent when locked or refreshed.
[[nodiscard]] int CreateBitmapView(Bitmap* view, Bitmap* parent, std::int32_t left,
                                   std::int32_t top, std::int32_t right,
                                   std::int32_t bottom) noexcept;

// Marks the record as being destroyed, waits for other threads' locks (see above), releases the
// pixels it owns and zeroes the whole record. A zeroed record is left alone (result 1).
int FreeBitmap(Bitmap* bmp) noexcept;

// Makes width, height, stride and pixels current and counts a lock; kLockExclusive also records
// the caller as owner after waiting for another live owner. Every successful lock needs one
// UnlockBitmap with the same flags.
[[nodiscard]] int LockBitmap(Bitmap* bmp, std::uint32_t flags) noexcept;
// Undoes one LockBitmap. Works while the record is being destroyed, so a free can finish.
int UnlockBitmap(Bitmap* bmp, std::uint32_t flags) noexcept;

// Refreshes width and height (a view: clipped to its parent) without locking.
[[nodiscard]] int RefreshBitmapInfo(Bitmap* bmp) noexcept;

// 1 when the record is live, not being destroyed, of a known kind and its handles are sound.
[[nodiscard]] int IsBitmapValid(const Bitmap* bmp) noexcept;

// Makes `dst` a copy of `src`'s pixels: `dst` is recreated (kind 1, strict) unless it is live
// and already of the source's size.
[[nodiscard]] int CopyBitmap(Bitmap* dst, Bitmap* src) noexcept;

// Exchanges the complete contents of two live records.
[[nodiscard]] int SwapBitmaps(Bitmap* a, Bitmap* b) noexcept;

struct BitmapRect {
    std::int32_t left;
    std::int32_t top;
    std::int32_t right; // inclusive
    std::int32_t bottom;
};

// For bitmaps of equal size, the inclusive bounds of the pixels that differ; when none differ
// the rectangle stays at its start values (999999999, 999999999, -999999999, -999999999).
// Bitmaps of different sizes give the whole area (0, 0, widest - 1, tallest - 1).
[[nodiscard]] int DiffRect(Bitmap* a, Bitmap* b, BitmapRect* out) noexcept;

// Turns a kind 2 or 3 bitmap into kind 1 with identical pixels (reports event 0x40000005).
[[nodiscard]] int ConvertToDib(Bitmap* bmp) noexcept;

// Device-context operations: this platform has no device contexts, so they fail with 16.
[[nodiscard]] int CreateBitmapFromGdi(Bitmap* bmp, void* gdi_bitmap) noexcept;
[[nodiscard]] int GetBitmapDC(Bitmap* bmp, void** out_dc, int clip) noexcept;
int ReleaseBitmapDC(Bitmap* bmp, void* dc) noexcept;
[[nodiscard]] int DetachGdiBitmap(Bitmap* bmp) noexcept;

// Holds one lock of a bitmap for a scope. Thread: the thread that constructed it.
class ScopedBitmapLock {
public:
    ScopedBitmapLock(Bitmap* bmp, std::uint32_t flags) noexcept
        : m_bmp(bmp), m_flags(flags), m_locked(LockBitmap(bmp, flags) != 0) {}
    ~ScopedBitmapLock() {
        if (m_locked)
            UnlockBitmap(m_bmp, m_flags);
    }
    ScopedBitmapLock(const ScopedBitmapLock&) = delete;
    ScopedBitmapLock& operator=(const ScopedBitmapLock&) = delete;

    [[nodiscard]] bool locked() const noexcept { return m_locked; }

private:
    Bitmap* m_bmp;
    std::uint32_t m_flags;
    bool m_locked;
};

} // namespace vt::image
