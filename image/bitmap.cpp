#include "image/bitmap.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <sys/uio.h>
#include <unistd.h>

#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "platform/clock.h"
#include "platform/system.h"

namespace vt::image {

namespace {

using gfx::EngineThreadSlot;
using gfx::finish;

constexpr std::uint32_t kWaitStepMs = 20;
constexpr std::uint32_t kOwnerWaitMs = 5000;
constexpr std::uint32_t kCountWaitMs = 2000;
constexpr std::int32_t kMaxLockCount = 255;
// Views of views are followed this deep; a longer chain is taken for a cycle.
constexpr int kMaxViewDepth = 16;

// Whether `size` bytes at `p` can be read, asked of the kernel so that a bad pointer gives an
// error instead of a fault. Where the call is not permitted the memory is assumed readable.
bool probe_readable(const void* p, std::size_t size) noexcept {
    if (p == nullptr)
        return false;
    alignas(8) unsigned char sink[128];
    iovec local{sink, std::min(size, sizeof(sink))};
    iovec remote{const_cast<void*>(p), local.iov_len};
    const ssize_t n = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    if (n == static_cast<ssize_t>(local.iov_len))
        return true;
    return n < 0 && errno != EFAULT && errno != ENOMEM;
}

bool probe_record(const Bitmap* bmp) noexcept {
    if (bmp == nullptr || reinterpret_cast<std::uintptr_t>(bmp) % alignof(Bitmap) != 0)
        return false;
    return probe_readable(bmp, sizeof(Bitmap));
}

std::atomic_ref<std::int32_t> lock_count_of(Bitmap* bmp) noexcept {
    return std::atomic_ref<std::int32_t>(bmp->lock_count);
}
std::atomic_ref<std::uint32_t> owner_of(Bitmap* bmp) noexcept {
    return std::atomic_ref<std::uint32_t>(bmp->owner_thread);
}
std::atomic_ref<std::uint8_t> state_of(Bitmap* bmp) noexcept {
    return std::atomic_ref<std::uint8_t>(bmp->state);
}
bool destroying(const Bitmap* bmp) noexcept {
    return (std::atomic_ref<std::uint8_t>(const_cast<Bitmap*>(bmp)->state).load() &
            kStateDestroying) != 0;
}

// Stores a field only when it changes: concurrent lockers then merely read the same values.
template <class T>
void store_if_changed(T& field, T value) noexcept {
    if (field != value)
        field = value;
}

Bitmap* parent_of(const Bitmap* view) noexcept {
    return reinterpret_cast<Bitmap*>(view->handle);
}

struct ViewRect {
    std::int32_t left, top, right, bottom;
};

ViewRect view_rect(const Bitmap* view) noexcept {
    return {static_cast<std::int32_t>(view->aux1 & 0xFFFF),
            static_cast<std::int32_t>((view->aux1 >> 16) & 0xFFFF),
            static_cast<std::int32_t>(view->aux2 & 0xFFFF),
            static_cast<std::int32_t>((view->aux2 >> 16) & 0xFFFF)};
}

// Outcome of checking a record: 1 live and sound, else the error code.
std::uint32_t check_live(const Bitmap* bmp, int depth) noexcept {
    if (depth > kMaxViewDepth || !probe_record(bmp) || bmp->signature != kBitmapSignature)
        return gfx::kErrorInvalid;
    if (destroying(bmp))
        return gfx::kErrorDestroying;
    switch (bmp->kind) {
    case kKindDisplay:
    case kKindMemory:
    case kKindCaller:
        if (bmp->handle == 0 || bmp->aux1 == 0 || bmp->aux2 == 0 || bmp->aux_stride < bmp->aux1)
            return gfx::kErrorInvalid;
        return gfx::kErrorNone;
    case kKindView: {
        const Bitmap* parent = parent_of(bmp);
        if (parent == bmp)
            return gfx::kErrorInvalid;
        const std::uint32_t code = check_live(parent, depth + 1);
        return code == gfx::kErrorDestroying ? gfx::kErrorInvalid : code;
    }
    default:
        return gfx::kErrorInvalid;
    }
}

// Waits while another live thread owns `bmp` exclusively, at most kOwnerWaitMs.
void wait_for_owner(Bitmap* bmp, std::uint32_t me) noexcept {
    const platform::TimeStamp start = platform::now();
    for (;;) {
        const std::uint32_t owner = owner_of(bmp).load();
        if (owner == 0 || owner == me || !gfx::thread_is_alive(owner))
            return;
        if (platform::elapsed_ms(start) >= kOwnerWaitMs) {
            gfx::ReportEngineEvent(gfx::kEventLockTimeout);
            return;
        }
        platform::sleep_ms(kWaitStepMs);
    }
}

void wait_for_unlocked(Bitmap* bmp) noexcept {
    const platform::TimeStamp start = platform::now();
    while (lock_count_of(bmp).load() > 0) {
        if (platform::elapsed_ms(start) >= kCountWaitMs) {
            gfx::ReportEngineEvent(gfx::kEventLockTimeout);
            return;
        }
        platform::sleep_ms(kWaitStepMs);
    }
}

struct Geometry {
    std::uint32_t width, height, stride;
    std::uint32_t* pixels;
};

// Current geometry of a live record; a view is clipped to its parent's current geometry.
// Returns 1 or the error code.
std::uint32_t current_geometry(Bitmap* bmp, Geometry& out, int depth) noexcept {
    if (bmp->kind != kKindView) {
        out = {static_cast<std::uint32_t>(bmp->aux1), static_cast<std::uint32_t>(bmp->aux2),
               bmp->aux_stride, reinterpret_cast<std::uint32_t*>(bmp->handle)};
        return gfx::kErrorNone;
    }
    Geometry parent{};
    const std::uint32_t code = current_geometry(parent_of(bmp), parent, depth + 1);
    if (code != gfx::kErrorNone)
        return code;
    const ViewRect r = view_rect(bmp);
    const auto left = static_cast<std::uint32_t>(r.left);
    const auto top = static_cast<std::uint32_t>(r.top);
    if (left >= parent.width || top >= parent.height)
        return gfx::kErrorArgument;
    out.width = std::min(static_cast<std::uint32_t>(r.right), parent.width - 1) - left + 1;
    out.height = std::min(static_cast<std::uint32_t>(r.bottom), parent.height - 1) - top + 1;
    out.stride = parent.stride;
    out.pixels = parent.pixels + static_cast<std::size_t>(top) * parent.stride + left;
    return gfx::kErrorNone;
}

void publish(Bitmap* bmp, const Geometry& g) noexcept {
    store_if_changed(bmp->width, g.width);
    store_if_changed(bmp->height, g.height);
    store_if_changed(bmp->stride, g.stride);
    store_if_changed(bmp->pixels, g.pixels);
}

std::uint32_t lock_record(Bitmap* bmp, std::uint32_t flags, int depth) noexcept {
    const std::uint32_t live = check_live(bmp, depth);
    if (live != gfx::kErrorNone)
        return live;
    if (bmp->kind == kKindView) {
        const std::uint32_t code = lock_record(parent_of(bmp), 0, depth + 1);
        if (code != gfx::kErrorNone)
            return code;
    }
    Geometry g{};
    const std::uint32_t code = current_geometry(bmp, g, depth);
    if (code != gfx::kErrorNone) {
        if (bmp->kind == kKindView)
            UnlockBitmap(parent_of(bmp), 0);
        return code;
    }
    publish(bmp, g);
    if ((flags & kLockExclusive) != 0) {
        const std::uint32_t me = gfx::current_thread_id();
        wait_for_owner(bmp, me);
        owner_of(bmp).exchange(me);
    }
    if (lock_count_of(bmp).fetch_add(1) + 1 > kMaxLockCount)
        gfx::ReportEngineEvent(gfx::kEventLockCount);
    return gfx::kErrorNone;
}

std::uint32_t unlock_record(Bitmap* bmp, int depth) noexcept {
    if (depth > kMaxViewDepth || !probe_record(bmp) || bmp->signature != kBitmapSignature)
        return gfx::kErrorInvalid;
    std::uint32_t me = gfx::current_thread_id();
    owner_of(bmp).compare_exchange_strong(me, 0);
    if (bmp->kind == kKindView)
        (void)unlock_record(parent_of(bmp), depth + 1);
    // The decrement is the last touch of a healthy record: a waiting FreeBitmap may zero it next.
    std::int32_t count = lock_count_of(bmp).fetch_sub(1) - 1;
    if (count < 0) {
        lock_count_of(bmp).compare_exchange_strong(count, 0);
        gfx::ReportEngineEvent(gfx::kEventLockCount);
    }
    return gfx::kErrorNone;
}

void release_pixels(Bitmap* bmp) noexcept {
    if (bmp->kind == kKindDisplay || bmp->kind == kKindMemory)
        std::free(reinterpret_cast<void*>(bmp->handle));
}

// Frees a live record's content and zeroes it, waiting for other threads' locks first.
std::uint32_t free_record(Bitmap* bmp) noexcept {
    if ((state_of(bmp).fetch_or(kStateDestroying) & kStateDestroying) != 0)
        return gfx::kErrorDestroying;
    bmp->width = bmp->height = bmp->stride = 0;
    wait_for_owner(bmp, gfx::current_thread_id());
    owner_of(bmp).store(0);
    wait_for_unlocked(bmp);
    release_pixels(bmp);
    std::memset(static_cast<void*>(bmp), 0, sizeof(Bitmap));
    return gfx::kErrorNone;
}

void make_pixel_record(Bitmap* bmp, std::uint8_t kind, std::uint32_t width, std::uint32_t height,
                       std::uint32_t stride, std::uint32_t* pixels) noexcept {
    std::memset(static_cast<void*>(bmp), 0, sizeof(Bitmap));
    bmp->width = width;
    bmp->height = height;
    bmp->stride = stride;
    bmp->pixels = pixels;
    bmp->kind = kind;
    bmp->handle = reinterpret_cast<std::uintptr_t>(pixels);
    bmp->aux1 = width;
    bmp->aux2 = height;
    bmp->aux_stride = stride;
    bmp->signature = kBitmapSignature;
}

// Empties a record before it is made live again: frees a live one, zeroes garbage.
std::uint32_t reset_record(Bitmap* bmp) noexcept {
    if (bmp->signature == kBitmapSignature) {
        const std::uint32_t code = free_record(bmp);
        if (code != gfx::kErrorNone)
            return code;
    }
    std::memset(static_cast<void*>(bmp), 0, sizeof(Bitmap));
    return gfx::kErrorNone;
}

void copy_rows(const Geometry& dst, const Geometry& src) noexcept {
    const std::uint32_t w = std::min(dst.width, src.width);
    const std::uint32_t h = std::min(dst.height, src.height);
    if (dst.stride == w && src.stride == w && dst.width == w && src.width == w) {
        std::memmove(dst.pixels, src.pixels, static_cast<std::size_t>(w) * h * 4);
        return;
    }
    for (std::uint32_t y = 0; y < h; ++y)
        std::memmove(dst.pixels + static_cast<std::size_t>(y) * dst.stride,
                     src.pixels + static_cast<std::size_t>(y) * src.stride,
                     static_cast<std::size_t>(w) * 4);
}

} // namespace

int CreateBitmap(Bitmap* bmp, std::int32_t width, std::int32_t height,
                 std::uint32_t flags) noexcept {
    EngineThreadSlot* slot = gfx::GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (!probe_record(bmp))
        return finish(slot, gfx::kErrorInvalid, 0);
    if (const std::uint32_t code = reset_record(bmp); code != gfx::kErrorNone)
        return finish(slot, code, 0);

    std::int64_t w = std::llabs(static_cast<std::int64_t>(width));
    std::int64_t h = std::llabs(static_cast<std::int64_t>(height));
    if (w < 1 || h < 1)
        return finish(slot, gfx::kErrorArgument, 0);
    const bool strict = (flags & kCreateStrict) != 0;
    bool shrunk = false;
    const auto side = static_cast<double>(kMaxBitmapSide);
    if (w > kMaxBitmapSide) {
        if (strict)
            return finish(slot, gfx::kErrorTooLarge, 0);
        h = static_cast<std::int64_t>(static_cast<double>(h) / static_cast<double>(w) * side + 0.5);
        w = kMaxBitmapSide;
        shrunk = true;
    }
    if (h > kMaxBitmapSide) {
        if (strict)
            return finish(slot, gfx::kErrorTooLarge, 0);
        w = static_cast<std::int64_t>(static_cast<double>(w) / static_cast<double>(h) * side + 0.5);
        h = kMaxBitmapSide;
        shrunk = true;
    }
    if ((flags & kCreateNoPixelLimit) == 0 && w * h > kMaxBitmapPixels) {
        if (strict)
            return finish(slot, gfx::kErrorTooLarge, 0);
        const double scale =
            std::sqrt(static_cast<double>(kMaxBitmapPixels) / static_cast<double>(w * h));
        w = static_cast<std::int64_t>(static_cast<double>(w) * scale);
        h = static_cast<std::int64_t>(static_cast<double>(h) * scale);
        shrunk = true;
    }
    // A very thin strip can round its short side down to nothing.
    w = std::max<std::int64_t>(w, 1);
    h = std::max<std::int64_t>(h, 1);

    const auto count = static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
    if (count > SIZE_MAX / 4)
        return finish(slot, gfx::kErrorScratch, 0);
    auto* block = static_cast<std::uint32_t*>(
        (flags & kCreateUncleared) != 0 ? std::malloc(static_cast<std::size_t>(count) * 4)
                                        : std::calloc(static_cast<std::size_t>(count), 4));
    if (block == nullptr)
        return finish(slot, gfx::kErrorScratch, 0);
    const std::uint8_t kind = (flags & kCreateMemory) != 0 ? kKindMemory : kKindDisplay;
    make_pixel_record(bmp, kind, static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h),
                      static_cast<std::uint32_t>(w), block);
    return finish(slot, gfx::kErrorNone, shrunk ? static_cast<int>(kCreateShrunk) : 1);
}

int WrapBitmap(Bitmap* bmp, std::int32_t width, std::int32_t height, std::int32_t stride,
               std::uint32_t* pixels) noexcept {
    EngineThreadSlot* slot = gfx::GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (!probe_record(bmp))
        return finish(slot, gfx::kErrorInvalid, 0);
    if (const std::uint32_t code = reset_record(bmp); code != gfx::kErrorNone)
        return finish(slot, code, 0);
    if (width < 1 || height < 1 || stride < width)
        return finish(slot, gfx::kErrorArgument, 0);
    if (!probe_readable(pixels, 4))
        return finish(slot, gfx::kErrorInvalid, 0);
    make_pixel_record(bmp, kKindCaller, static_cast<std::uint32_t>(width),
                      static_cast<std::uint32_t>(height), static_cast<std::uint32_t>(stride),
                      pixels);
    return finish(slot, gfx::kErrorNone, 1);
}

int CreateBitmapView(Bitmap* view, Bitmap* parent, std::int32_t left, std::int32_t top,
                     std::int32_t right, std::int32_t bottom) noexcept {
    EngineThreadSlot* slot = gfx::GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (!probe_record(view) || view == parent)
        return finish(slot, gfx::kErrorInvalid, 0);
    if (const std::uint32_t code = check_live(parent, 0); code != gfx::kErrorNone)
        return finish(slot, code, 0);
    if (left < 0 || top < 0 || right > kMaxViewCoordinate || bottom > kMaxViewCoordinate ||
        right < left || bottom < top)
        return finish(slot, gfx::kErrorArgument, 0);
    if (const std::uint32_t code = reset_record(view); code != gfx::kErrorNone)
        return finish(slot, code, 0);
    view->width = static_cast<std::uint32_t>(right - left + 1);
    view->height = static_cast<std::uint32_t>(bottom - top + 1);
    view->stride = parent->stride;
    view->kind = kKindView;
    view->handle = reinterpret_cast<std::uintptr_t>(parent);
    view->aux1 = static_cast<std::uintptr_t>(left) | (static_cast<std::uintptr_t>(top) << 16);
    view->aux2 = static_cast<std::uintptr_t>(right) | (static_cast<std::uintptr_t>(bottom) << 16);
    Geometry g{};
    if (current_geometry(view, g, 0) == gfx::kErrorNone)
        view->pixels = g.pixels;
    view->signature = kBitmapSignature;
    return finish(slot, gfx::kErrorNone, 1);
}

int FreeBitmap(Bitmap* bmp) noexcept {
    EngineThreadSlot* slot = gfx::GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (!probe_record(bmp))
        return finish(slot, gfx::kErrorInvalid, 0);
    if (bmp->signature != kBitmapSignature) {
        // Already free (or never made live): nothing is released.
        return bmp->signature == 0 ? finish(slot, gfx::kErrorNone, 1)
                                   : finish(slot, gfx::kErrorInvalid, 0);
    }
    const std::uint32_t code = free_record(bmp);
    return finish(slot, code, code == gfx::kErrorNone ? 1 : 0);
}

int LockBitmap(Bitmap* bmp, std::uint32_t flags) noexcept {
    EngineThreadSlot* slot = gfx::GetThreadSlot();
    if (slot == nullptr)
        return 0;
    const std::uint32_t code = lock_record(bmp, flags, 0);
    return finish(slot, code, code == gfx::kErrorNone ? 1 : 0);
}

int UnlockBitmap(Bitmap* bmp, std::uint32_t /*flags*/) noexcept {
    EngineThreadSlot* slot = gfx::GetThreadSlot();
    if (slot == nullptr)
        return 0;
    const std::uint32_t code = unlock_record(bmp, 0);
    return finish(slot, code, code == gfx::kErrorNone ? 1 : 0);
}

int RefreshBitmapInfo(Bitmap* bmp) noexcept {
    EngineThreadSlot* slot = gfx::GetThreadSlot();
    if (slot == nullptr)
        return 0;
    std::uint32_t code = check_live(bmp, 0);
    Geometry g{};
    if (code == gfx::kErrorNone)
        code = current_geometry(bmp, g, 0);
    if (code != gfx::kErrorNone)
        return finish(slot, code, 0);
    publish(bmp, g);
    return finish(slot, gfx::kErrorNone, 1);
}

int IsBitmapValid(const Bitmap* bmp) noexcept {
    EngineThreadSlot* slot = gfx::GetThreadSlot();
    if (slot == nullptr)
        return 0;
    const std::uint32_t code = check_live(bmp, 0);
    return finish(slot, code, code == gfx::kErrorNone ? 1 : 0);
}

int CopyBitmap(Bitmap* dst, Bitmap* src) noexcept {
    EngineThreadSlot* slot = gfx::GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (!probe_record(dst))
        return finish(slot, gfx::kErrorInvalid, 0);
    if (const std::uint32_t code = lock_record(src, 0, 0); code != gfx::kErrorNone)
        return finish(slot, code, 0);
    if (dst == src) {
        unlock_record(src, 0);
        return finish(slot, gfx::kErrorNone, 1);
    }
    const Geometry from{src->width, src->height, src->stride, src->pixels};
    Geometry to{};
    const bool matches = check_live(dst, 0) == gfx::kErrorNone &&
                         current_geometry(dst, to, 0) == gfx::kErrorNone &&
                         to.width == from.width && to.height == from.height;
    if (!matches && CreateBitmap(dst, static_cast<std::int32_t>(from.width),
                                 static_cast<std::int32_t>(from.height), kCreateStrict) == 0) {
        const std::uint32_t code = slot->last_error.load();
        unlock_record(src, 0);
        return finish(slot, code, 0);
    }
    const std::uint32_t code = lock_record(dst, 0, 0);
    if (code == gfx::kErrorNone) {
        copy_rows({dst->width, dst->height, dst->stride, dst->pixels}, from);
        unlock_record(dst, 0);
    }
    unlock_record(src, 0);
    return finish(slot, code, code == gfx::kErrorNone ? 1 : 0);
}

int SwapBitmaps(Bitmap* a, Bitmap* b) noexcept {
    EngineThreadSlot* slot = gfx::GetThreadSlot();
    if (slot == nullptr)
        return 0;
    for (const Bitmap* bmp : {a, b})
        if (const std::uint32_t code = check_live(bmp, 0); code != gfx::kErrorNone)
            return finish(slot, code, 0);
    if (a != b) {
        Bitmap held;
        std::memcpy(&held, a, sizeof(Bitmap));
        std::memcpy(a, b, sizeof(Bitmap));
        std::memcpy(b, &held, sizeof(Bitmap));
    }
    return finish(slot, gfx::kErrorNone, 1);
}

int DiffRect(Bitmap* a, Bitmap* b, BitmapRect* out) noexcept {
    EngineThreadSlot* slot = gfx::GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (out == nullptr)
        return finish(slot, gfx::kErrorArgument, 0);
    if (const std::uint32_t code = lock_record(a, 0, 0); code != gfx::kErrorNone)
        return finish(slot, code, 0);
    if (const std::uint32_t code = lock_record(b, 0, 0); code != gfx::kErrorNone) {
        unlock_record(a, 0);
        return finish(slot, code, 0);
    }
    BitmapRect r{999999999, 999999999, -999999999, -999999999};
    if (a->width != b->width || a->height != b->height) {
        r = {0, 0, static_cast<std::int32_t>(std::max(a->width, b->width)) - 1,
             static_cast<std::int32_t>(std::max(a->height, b->height)) - 1};
    } else {
        for (std::uint32_t y = 0; y < a->height; ++y) {
            const std::uint32_t* pa = a->pixels + static_cast<std::size_t>(y) * a->stride;
            const std::uint32_t* pb = b->pixels + static_cast<std::size_t>(y) * b->stride;
            for (std::uint32_t x = 0; x < a->width; ++x) {
                if (pa[x] == pb[x])
                    continue;
                const auto xi = static_cast<std::int32_t>(x);
                const auto yi = static_cast<std::int32_t>(y);
                r.left = std::min(r.left, xi);
                r.right = std::max(r.right, xi);
                r.top = std::min(r.top, yi);
                r.bottom = std::max(r.bottom, yi);
            }
        }
    }
    unlock_record(b, 0);
    unlock_record(a, 0);
    *out = r;
    return finish(slot, gfx::kErrorNone, 1);
}

int ConvertToDib(Bitmap* bmp) noexcept {
    EngineThreadSlot* slot = gfx::GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (const std::uint32_t code = check_live(bmp, 0); code != gfx::kErrorNone)
        return finish(slot, code, 0);
    switch (bmp->kind) {
    case kKindDisplay:
        return finish(slot, gfx::kErrorNone, 1);
    case kKindMemory:
        // Display memory has the engine memory's layout here: only the kind changes.
        bmp->kind = kKindDisplay;
        gfx::ReportEngineEvent(gfx::kEventConvertedToDevice);
        return finish(slot, gfx::kErrorNone, 1);
    case kKindCaller: {
        Bitmap copy{};
        if (CopyBitmap(&copy, bmp) == 0)
            return 0;
        const std::int32_t locks = bmp->lock_count;
        const std::uint32_t owner = bmp->owner_thread;
        std::memcpy(bmp, &copy, sizeof(Bitmap));
        bmp->lock_count = locks;
        bmp->owner_thread = owner;
        gfx::ReportEngineEvent(gfx::kEventConvertedToDevice);
        return finish(slot, gfx::kErrorNone, 1);
    }
    default:
        return finish(slot, gfx::kErrorNoDevice, 0);
    }
}

int CreateBitmapFromGdi(Bitmap* /*bmp*/, void* /*gdi_bitmap*/) noexcept {
    return finish(gfx::GetThreadSlot(), gfx::kErrorNoDevice, 0);
}

int GetBitmapDC(Bitmap* /*bmp*/, void** out_dc, int /*clip*/) noexcept {
    if (out_dc != nullptr)
        *out_dc = nullptr;
    return finish(gfx::GetThreadSlot(), gfx::kErrorNoDevice, 0);
}

int ReleaseBitmapDC(Bitmap* /*bmp*/, void* /*dc*/) noexcept {
    return finish(gfx::GetThreadSlot(), gfx::kErrorNoDevice, 0);
}

int DetachGdiBitmap(Bitmap* /*bmp*/) noexcept {
    return finish(gfx::GetThreadSlot(), gfx::kErrorNoDevice, 0);
}

} // namespace vt::image
