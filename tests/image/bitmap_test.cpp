#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

#include <sys/mman.h>

#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"
#include "image/image_doc.h"

namespace vt::image {
namespace {

using gfx::last_engine_error;

// Records the callback codes the calling thread reports.
struct EventLog {
    static inline std::vector<std::uint32_t> codes;
    EventLog() {
        codes.clear();
        gfx::set_engine_callback([](std::uint32_t code, std::uint32_t) { codes.push_back(code); },
                                 0);
    }
    ~EventLog() { gfx::set_engine_callback(nullptr, 0); }
};

bool all_zero(const Bitmap& bmp) {
    Bitmap zero{};
    return std::memcmp(&bmp, &zero, sizeof(Bitmap)) == 0;
}

TEST(CreateBitmap, SizesAreCheckedAndShrunkUnlessStrict) {
    using Row = std::tuple<std::int32_t, std::int32_t, std::uint32_t, int, std::uint32_t,
                           std::uint32_t, std::uint32_t>;
    const Row cases[] = {
        {70000, 100, 0, 3, 1, 65536, 94},
        {100, 70000, 0, 3, 1, 94, 65536},
        {70000, 100, kCreateStrict, 0, 6, 0, 0},
        {20000, 20000, kCreateMemory, 3, 1, 15811, 15811},
        {20000, 20000, kCreateStrict, 0, 6, 0, 0},
        {0, 5, 0, 0, 4, 0, 0},
        {5, 0, 0, 0, 4, 0, 0},
        {-3, -4, 0, 1, 1, 3, 4},
        {65536, 1, 0, 1, 1, 65536, 1},
        {1000000, 1, 0, 3, 1, 65536, 1}, // the short side never rounds down to nothing
    };
    for (const auto& [w, h, flags, result, error, out_w, out_h] : cases) {
        Bitmap bmp{};
        EXPECT_EQ(CreateBitmap(&bmp, w, h, flags), result) << w << "x" << h;
        EXPECT_EQ(last_engine_error(), error) << w << "x" << h;
        EXPECT_EQ(std::tuple(bmp.width, bmp.height), std::tuple(out_w, out_h));
        if (result != 0) {
            EXPECT_EQ(std::tuple(bmp.signature, bmp.stride, bmp.kind, bmp.pixels[0]),
                      std::tuple(kBitmapSignature, bmp.width,
                                 (flags & kCreateMemory) != 0 ? kKindMemory : kKindDisplay, 0u));
        } else {
            EXPECT_TRUE(all_zero(bmp)) << "a failed create leaves a zeroed record";
        }
        FreeBitmap(&bmp);
    }
}

TEST(CreateBitmap, RecreatingFreesTheOldContent) {
    Bitmap bmp{};
    ASSERT_EQ(CreateBitmap(&bmp, 10, 10, kCreateMemory), 1);
    ASSERT_EQ(CreateBitmap(&bmp, 20, 5, 0), 1); // the sanitizer build catches a leak here
    EXPECT_EQ(bmp.width, 20u);
    EXPECT_EQ(FreeBitmap(&bmp), 1);
}

TEST(BitmapRecord, HostileRecordsFailWithErrorThreeInsteadOfCrashing) {
    EXPECT_EQ(LockBitmap(nullptr, 0), 0);
    EXPECT_EQ(last_engine_error(), gfx::kErrorInvalid);

    alignas(8) unsigned char bytes[sizeof(Bitmap) + 8] = {};
    auto* misaligned = reinterpret_cast<Bitmap*>(bytes + 1);
    EXPECT_EQ(IsBitmapValid(misaligned), 0);
    EXPECT_EQ(last_engine_error(), gfx::kErrorInvalid);

    void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    auto* unmapped = static_cast<Bitmap*>(page);
    EXPECT_EQ(CreateBitmap(unmapped, 4, 4, 0), 0);
    EXPECT_EQ(last_engine_error(), gfx::kErrorInvalid);
    EXPECT_EQ(FreeBitmap(unmapped), 0);
    EXPECT_EQ(LockBitmap(unmapped, 0), 0);
    ::munmap(page, 4096);

    Bitmap garbage;
    std::memset(&garbage, 0x5A, sizeof(garbage));
    EXPECT_EQ(LockBitmap(&garbage, 0), 0);
    EXPECT_EQ(last_engine_error(), gfx::kErrorInvalid);
    EXPECT_EQ(FreeBitmap(&garbage), 0) << "garbage is not a record to free";

    Bitmap bad_kind{};
    ASSERT_EQ(CreateBitmap(&bad_kind, 2, 2, 0), 1);
    const std::uint8_t kind = bad_kind.kind;
    bad_kind.kind = 9;
    EXPECT_EQ(IsBitmapValid(&bad_kind), 0);
    bad_kind.kind = kind;
    EXPECT_EQ(FreeBitmap(&bad_kind), 1);
}

TEST(BitmapRecord, FreeingTwiceReleasesNothingTheSecondTime) {
    Bitmap bmp{};
    ASSERT_EQ(CreateBitmap(&bmp, 8, 8, kCreateMemory), 1);
    EXPECT_EQ(FreeBitmap(&bmp), 1);
    EXPECT_TRUE(all_zero(bmp));
    EXPECT_EQ(FreeBitmap(&bmp), 1);
    EXPECT_EQ(last_engine_error(), gfx::kErrorNone);
    EXPECT_EQ(IsBitmapValid(&bmp), 0);
}

TEST(BitmapRecord, RecordBeingDestroyedRefusesWithErrorSeven) {
    Bitmap bmp{};
    ASSERT_EQ(CreateBitmap(&bmp, 4, 4, 0), 1);
    bmp.state |= kStateDestroying;
    EXPECT_EQ(LockBitmap(&bmp, 0), 0);
    EXPECT_EQ(last_engine_error(), gfx::kErrorDestroying);
    EXPECT_EQ(IsBitmapValid(&bmp), 0);
    EXPECT_EQ(FreeBitmap(&bmp), 0);
    EXPECT_EQ(last_engine_error(), gfx::kErrorDestroying);
    bmp.state = 0;
    EXPECT_EQ(FreeBitmap(&bmp), 1);
}

TEST(WrapBitmap, WrapsCallerMemoryWithoutOwningIt) {
    std::vector<std::uint32_t> pixels(6 * 3, 0x11223344);
    Bitmap bmp{};
    EXPECT_EQ(WrapBitmap(&bmp, 5, 3, 4, pixels.data()), 0) << "stride below width";
    EXPECT_EQ(last_engine_error(), gfx::kErrorArgument);
    EXPECT_EQ(WrapBitmap(&bmp, 5, 0, 6, pixels.data()), 0);
    EXPECT_EQ(WrapBitmap(&bmp, 5, 3, 6, nullptr), 0);
    EXPECT_EQ(last_engine_error(), gfx::kErrorInvalid);

    ASSERT_EQ(WrapBitmap(&bmp, 5, 3, 6, pixels.data()), 1);
    EXPECT_EQ(bmp.kind, kKindCaller);
    ASSERT_EQ(LockBitmap(&bmp, 0), 1);
    EXPECT_EQ(bmp.pixels, pixels.data());
    EXPECT_EQ(bmp.stride, 6u);
    UnlockBitmap(&bmp, 0);
    EXPECT_EQ(FreeBitmap(&bmp), 1); // the sanitizer build catches a free of vector memory
    EXPECT_EQ(pixels[17], 0x11223344u);
}

TEST(BitmapView, ViewIsClippedToItsParentWhenLocked) {
    Bitmap parent{};
    ASSERT_EQ(CreateBitmap(&parent, 10, 8, kCreateMemory), 1);
    Bitmap view{};
    ASSERT_EQ(CreateBitmapView(&view, &parent, 6, 5, 20, 30), 1);
    EXPECT_EQ(std::tuple(view.width, view.height, view.kind), std::tuple(15u, 26u, kKindView));

    ASSERT_EQ(LockBitmap(&view, 0), 1);
    EXPECT_EQ(std::tuple(view.width, view.height, view.stride), std::tuple(4u, 3u, 10u));
    EXPECT_EQ(parent.lock_count, 1) << "locking a view locks its parent";
    view.pixels[view.stride * 2 + 3] = 0xABCDEF;
    EXPECT_EQ(parent.pixels[7 * 10 + 9], 0xABCDEFu);
    UnlockBitmap(&view, 0);
    EXPECT_EQ(parent.lock_count, 0);
    EXPECT_EQ(view.lock_count, 0);

    // A view whose parent shrinks below its corner can no longer be locked.
    ASSERT_EQ(CreateBitmap(&parent, 5, 5, kCreateMemory), 1);
    EXPECT_EQ(LockBitmap(&view, 0), 0);
    EXPECT_EQ(last_engine_error(), gfx::kErrorArgument);
    EXPECT_EQ(parent.lock_count, 0) << "a failed view lock leaves the parent unlocked";
    EXPECT_EQ(RefreshBitmapInfo(&view), 0);

    EXPECT_EQ(FreeBitmap(&view), 1);
    EXPECT_EQ(parent.signature, kBitmapSignature) << "a view owns nothing of its parent";
    EXPECT_EQ(FreeBitmap(&parent), 1);
}

TEST(BitmapView, RectangleMustBeOrderedAndInRange) {
    Bitmap parent{};
    ASSERT_EQ(CreateBitmap(&parent, 10, 10, 0), 1);
    Bitmap view{};
    const std::int32_t bad[][4] = {
        {-1, 0, 5, 5}, {0, 0, 32768, 5}, {5, 0, 4, 5}, {0, 6, 5, 5}, {0, 0, 5, 40000}};
    for (const auto& r : bad) {
        EXPECT_EQ(CreateBitmapView(&view, &parent, r[0], r[1], r[2], r[3]), 0);
        EXPECT_EQ(last_engine_error(), gfx::kErrorArgument);
    }
    EXPECT_EQ(CreateBitmapView(&view, &view, 0, 0, 1, 1), 0);
    Bitmap dead{};
    EXPECT_EQ(CreateBitmapView(&view, &dead, 0, 0, 1, 1), 0);
    EXPECT_EQ(last_engine_error(), gfx::kErrorInvalid);
    ASSERT_EQ(CreateBitmapView(&view, &parent, 0, 0, 32767, 32767), 1);
    ASSERT_EQ(RefreshBitmapInfo(&view), 1);
    EXPECT_EQ(view.width, 10u);
    FreeBitmap(&view);
    FreeBitmap(&parent);
}

TEST(BitmapLock, CountsAndOwnershipAreKept) {
    EventLog log;
    Bitmap bmp{};
    ASSERT_EQ(CreateBitmap(&bmp, 4, 4, 0), 1);
    ASSERT_EQ(LockBitmap(&bmp, kLockExclusive), 1);
    EXPECT_EQ(bmp.owner_thread, gfx::current_thread_id());
    ASSERT_EQ(LockBitmap(&bmp, 0), 1);
    EXPECT_EQ(bmp.lock_count, 2);
    UnlockBitmap(&bmp, 0);
    EXPECT_EQ(bmp.owner_thread, 0u) << "any unlock by the owner clears ownership";
    UnlockBitmap(&bmp, kLockExclusive);
    EXPECT_EQ(bmp.lock_count, 0);
    EXPECT_TRUE(EventLog::codes.empty());

    UnlockBitmap(&bmp, 0);
    EXPECT_EQ(bmp.lock_count, 0) << "a count below zero is reset";
    ASSERT_EQ(EventLog::codes.size(), 1u);
    EXPECT_EQ(EventLog::codes[0], gfx::kEventLockCount);

    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(LockBitmap(&bmp, 0), 1);
    EXPECT_EQ(EventLog::codes.size(), 2u) << "the 256th lock is reported";
    for (int i = 0; i < 256; ++i)
        UnlockBitmap(&bmp, 0);
    EXPECT_EQ(FreeBitmap(&bmp), 1);
}

// Another thread holds a lock on `bmp` for 100 ms; `released` turns true just before it lets go.
struct LockHolder {
    std::atomic<bool> locked{false}, released{false};
    std::jthread thread;
    LockHolder(Bitmap& bmp, std::uint32_t flags)
        : thread([this, &bmp, flags] {
              EXPECT_EQ(LockBitmap(&bmp, flags), 1);
              locked = true;
              std::this_thread::sleep_for(std::chrono::milliseconds(100));
              released = true;
              UnlockBitmap(&bmp, flags);
          }) {
        while (!locked)
            std::this_thread::yield();
    }
};

TEST(BitmapLock, ExclusiveLockWaitsForAnotherLiveOwner) {
    Bitmap bmp{};
    ASSERT_EQ(CreateBitmap(&bmp, 4, 4, 0), 1);
    {
        LockHolder owner(bmp, kLockExclusive);
        ASSERT_EQ(LockBitmap(&bmp, kLockExclusive), 1);
        EXPECT_TRUE(owner.released.load()) << "the lock was granted while another thread owned it";
        EXPECT_EQ(bmp.owner_thread, gfx::current_thread_id());
        UnlockBitmap(&bmp, kLockExclusive);
    }
    EXPECT_EQ(FreeBitmap(&bmp), 1);
}

TEST(BitmapLock, OwnerThatHasEndedIsNotWaitedFor) {
    EventLog log;
    Bitmap bmp{};
    ASSERT_EQ(CreateBitmap(&bmp, 4, 4, 0), 1);
    std::thread([&] { ASSERT_EQ(LockBitmap(&bmp, kLockExclusive), 1); }).join();
    ASSERT_EQ(LockBitmap(&bmp, kLockExclusive), 1);
    EXPECT_EQ(bmp.owner_thread, gfx::current_thread_id());
    EXPECT_TRUE(EventLog::codes.empty());
    UnlockBitmap(&bmp, 0);
    UnlockBitmap(&bmp, 0);
    EXPECT_EQ(FreeBitmap(&bmp), 1);
}

TEST(BitmapLock, FreeWaitsForAnotherThreadsLock) {
    EventLog log;
    Bitmap bmp{};
    ASSERT_EQ(CreateBitmap(&bmp, 4, 4, kCreateMemory), 1);
    LockHolder holder(bmp, 0);
    EXPECT_EQ(FreeBitmap(&bmp), 1);
    EXPECT_TRUE(holder.released.load());
    EXPECT_TRUE(all_zero(bmp));
    EXPECT_TRUE(EventLog::codes.empty());
}

TEST(BitmapLock, FreeGivesUpOnALockThatIsNeverReleased) {
    EventLog log;
    Bitmap bmp{};
    ASSERT_EQ(CreateBitmap(&bmp, 4, 4, kCreateMemory), 1);
    ASSERT_EQ(LockBitmap(&bmp, 0), 1);
    EXPECT_EQ(FreeBitmap(&bmp), 1);
    EXPECT_TRUE(all_zero(bmp));
    ASSERT_EQ(EventLog::codes.size(), 1u);
    EXPECT_EQ(EventLog::codes[0], gfx::kEventLockTimeout);
}

TEST(BitmapLock, ManyThreadsLockingLeaveNoCountOrOwnerBehind) {
    Bitmap bmp{};
    ASSERT_EQ(CreateBitmap(&bmp, 16, 16, kCreateMemory), 1);
    Bitmap view{};
    ASSERT_EQ(CreateBitmapView(&view, &bmp, 2, 2, 40, 40), 1);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                // Mostly shared locks, through the view too; now and then an exclusive one.
                const std::uint32_t flags = i % 97 == t ? kLockExclusive : 0;
                ScopedBitmapLock lock(i % 2 == 0 ? &bmp : &view, flags);
                if (!lock.locked())
                    failures.fetch_add(1);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(std::tuple(bmp.lock_count, view.lock_count, bmp.owner_thread), std::tuple(0, 0, 0u));
    EXPECT_EQ(view.width, 14u);
    EXPECT_EQ(FreeBitmap(&view), 1);
    EXPECT_EQ(FreeBitmap(&bmp), 1);
}

TEST(CopyBitmap, CopiesRowsAndReusesAMatchingTarget) {
    std::vector<std::uint32_t> pixels(7 * 3);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::uint32_t>(i);
    Bitmap src{};
    ASSERT_EQ(WrapBitmap(&src, 5, 3, 7, pixels.data()), 1);
    Bitmap dst{};
    ASSERT_EQ(CopyBitmap(&dst, &src), 1);
    EXPECT_EQ(dst.kind, kKindDisplay);
    ASSERT_EQ(std::tuple(dst.width, dst.height), std::tuple(5u, 3u));
    EXPECT_EQ(std::tuple(dst.pixels[0], dst.pixels[5], dst.pixels[14]), std::tuple(0u, 7u, 18u))
        << "rows follow the source stride";

    std::uint32_t* const block = dst.pixels;
    pixels[0] = 99;
    ASSERT_EQ(CopyBitmap(&dst, &src), 1);
    EXPECT_EQ(dst.pixels, block) << "a target of the right size is not recreated";
    EXPECT_EQ(dst.pixels[0], 99u);

    BitmapRect r{};
    ASSERT_EQ(DiffRect(&dst, &src, &r), 1);
    EXPECT_EQ(r.left, 999999999);
    EXPECT_EQ(r.right, -999999999);
    dst.pixels[1 * 5 + 3] = 1;
    dst.pixels[2 * 5 + 1] = 1;
    ASSERT_EQ(DiffRect(&dst, &src, &r), 1);
    EXPECT_EQ(std::tuple(r.left, r.top, r.right, r.bottom), std::tuple(1, 1, 3, 2));

    Bitmap other{};
    ASSERT_EQ(CreateBitmap(&other, 9, 2, 0), 1);
    ASSERT_EQ(DiffRect(&other, &src, &r), 1);
    EXPECT_EQ(std::tuple(r.left, r.top, r.right, r.bottom), std::tuple(0, 0, 8, 2));
    EXPECT_EQ(DiffRect(&other, &src, nullptr), 0);

    FreeBitmap(&other);
    FreeBitmap(&dst);
    FreeBitmap(&src);
}

TEST(SwapBitmaps, ExchangesContentsOfLiveRecords) {
    Bitmap a{}, b{};
    ASSERT_EQ(CreateBitmap(&a, 3, 3, 0), 1);
    ASSERT_EQ(CreateBitmap(&b, 5, 2, kCreateMemory), 1);
    std::uint32_t* const a_pixels = a.pixels;
    ASSERT_EQ(SwapBitmaps(&a, &b), 1);
    EXPECT_EQ(a.width, 5u);
    EXPECT_EQ(b.pixels, a_pixels);
    Bitmap empty{};
    EXPECT_EQ(SwapBitmaps(&a, &empty), 0);
    EXPECT_EQ(last_engine_error(), gfx::kErrorInvalid);
    FreeBitmap(&a);
    FreeBitmap(&b);
}

TEST(DisplayBitmap, MemoryBecomesDisplayKindAndDeviceOperationsReportSixteen) {
    EventLog log;
    std::vector<std::uint32_t> pixels(4, 0x42);
    Bitmap bmp{};
    ASSERT_EQ(WrapBitmap(&bmp, 2, 2, 2, pixels.data()), 1);
    ASSERT_EQ(ConvertToDib(&bmp), 1);
    EXPECT_EQ(bmp.kind, kKindDisplay);
    EXPECT_NE(bmp.pixels, pixels.data()) << "caller memory is copied, not taken over";
    EXPECT_EQ(bmp.pixels[3], 0x42u);
    EXPECT_EQ(EventLog::codes, std::vector<std::uint32_t>{gfx::kEventConvertedToDevice});

    void* dc = &bmp;
    EXPECT_EQ(GetBitmapDC(&bmp, &dc, 1), 0);
    EXPECT_EQ(dc, nullptr);
    EXPECT_EQ(last_engine_error(), gfx::kErrorNoDevice);
    EXPECT_EQ(DetachGdiBitmap(&bmp), 0);
    EXPECT_EQ(CreateBitmapFromGdi(&bmp, nullptr), 0);
    EXPECT_EQ(last_engine_error(), gfx::kErrorNoDevice);
    EXPECT_EQ(FreeBitmap(&bmp), 1);
}

TEST(ImageDoc, ReleaseFreesEveryLayersPixelsAndMetadata) {
    auto doc = std::make_unique<ImageDoc>();
    std::memset(static_cast<void*>(doc.get()), 0, sizeof(ImageDoc));
    for (std::uint32_t i : {0u, 1u, 700u}) {
        ASSERT_EQ(CreateBitmap(&doc->layers[i].bitmap, 3, 3, kCreateMemory), 1);
        set_layer_meta(doc->layers[i], std::calloc(4096, 1), 4096);
    }
    doc->layer_count = 2; // layer 700 was left behind by a failed load
    set_layer_name(doc->layers[0], u"A name much longer than thirty-one characters");
    EXPECT_EQ(layer_name(doc->layers[0]).size(), 31u);
    EXPECT_EQ(doc->layers[0].name[31], 0);

    release_image(*doc); // the sanitizer build reports anything left
    EXPECT_EQ(doc->layer_count, 0u);
    for (const Layer& layer : doc->layers) {
        ASSERT_EQ(layer.meta, nullptr);
        ASSERT_EQ(layer.bitmap.signature, 0);
    }
}

} // namespace
} // namespace vt::image
