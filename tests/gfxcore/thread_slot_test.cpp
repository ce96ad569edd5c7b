#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"

namespace vt::gfx {
namespace {

void restart_engine() {
    while (init_count() > 0)
        EngineShutdown();
    ASSERT_EQ(EngineStartup(nullptr, 0), 1);
}

int slot_of_new_thread() {
    int index = -2;
    std::thread([&] { index = slot_index(GetThreadSlot()); }).join();
    return index;
}

TEST(ThreadSlot, StartsTheEngineImplicitly) {
    while (init_count() > 0)
        EngineShutdown();
    EXPECT_NE(GetThreadSlot(), nullptr);
    EXPECT_EQ(init_count(), 1u);
    EXPECT_NE(DivTable(), nullptr);
}

TEST(ThreadSlot, ThreadsGetTheirOwnSlots) {
    restart_engine();
    const int mine = slot_index(GetThreadSlot());
    const int other = slot_of_new_thread();
    EXPECT_GE(mine, 0);
    EXPECT_GE(other, 0);
    EXPECT_NE(mine, other);
}

TEST(ThreadSlot, CallbackAndScratchBelongToTheCaller) {
    restart_engine();
    EngineThreadSlot* slot = GetThreadSlot();

    static std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;
    seen.clear();
    set_engine_callback(
        [](std::uint32_t code, std::uint32_t context) { seen.emplace_back(code, context); }, 77);
    ReportEngineEvent(kEventLockTimeout);
    std::thread([] { ReportEngineEvent(kEventLockCount); }).join(); // other slot: no callback
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, kEventLockTimeout);
    EXPECT_EQ(seen[0].second, 77u);

    set_engine_callback([](std::uint32_t, std::uint32_t) { throw std::runtime_error("x"); }, 0);
    ReportEngineEvent(kEventLockCount); // contained
    set_engine_callback(nullptr, 0);

    ASSERT_EQ(ensure_scratch(*slot), 1);
    ASSERT_NE(slot->scratch, nullptr);
    slot->scratch[kScratchBytes - 1] = 1; // the whole block is there
}

// An ended thread keeps its slot while free slots remain; once the array is full its slot is
// reclaimed for a newcomer; with every slot owned by a live thread, the next thread shares the
// last one.
TEST(ThreadSlot, EndedThreadsAreReclaimedOnlyWhenFullAndThe129thSharesTheLast) {
    restart_engine();
    const int main_slot = slot_index(GetThreadSlot());
    const int ended_slot = slot_of_new_thread();
    ASSERT_NE(ended_slot, main_slot);
    const int next = slot_of_new_thread();
    EXPECT_NE(next, ended_slot) << "a free slot exists, the ended one must not be reused yet";

    // Occupy every remaining slot with live threads (the two ended ones stay taken).
    std::latch gate(1);
    const int to_fill = static_cast<int>(kSlotCount) - 3;
    std::latch filled(to_fill);
    std::vector<std::jthread> live;
    for (int i = 0; i < to_fill; ++i)
        live.emplace_back([&] {
            (void)GetThreadSlot();
            filled.count_down();
            gate.wait();
        });
    filled.wait();

    // Two newcomers take the two ended threads' slots.
    std::atomic<int> reclaimed[2];
    std::latch arrived(2);
    for (int i = 0; i < 2; ++i)
        live.emplace_back([&, i] {
            reclaimed[i] = slot_index(GetThreadSlot());
            arrived.count_down();
            gate.wait();
        });
    arrived.wait();
    EXPECT_EQ((std::set<int>{reclaimed[0], reclaimed[1]}), (std::set<int>{ended_slot, next}));

    // 128 live threads now: the 129th shares slot 127.
    EXPECT_EQ(slot_of_new_thread(), static_cast<int>(kSlotCount) - 1);
    gate.count_down(); // the threads end as `live` goes
}

TEST(ThreadSlot, ShutdownFreesSlotsAndANewStartGivesFreshOnes) {
    restart_engine();
    EngineThreadSlot* slot = GetThreadSlot();
    slot->last_error.store(kErrorArgument);
    ASSERT_EQ(ensure_scratch(*slot), 1);
    restart_engine();
    EngineThreadSlot* fresh = GetThreadSlot();
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->last_error.load(), kErrorNone);
    EXPECT_EQ(fresh->scratch, nullptr);
}

TEST(ThreadSlot, OnlyLiveThreadsCountAsAlive) {
    EXPECT_TRUE(thread_is_alive(current_thread_id()));
    std::uint32_t ended = 0;
    std::thread([&] { ended = current_thread_id(); }).join();
    EXPECT_NE(ended, 0u);
    EXPECT_FALSE(thread_is_alive(0));
}

} // namespace
} // namespace vt::gfx
