#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "gfxcore/row_claim.h"
#include "gfxcore/runtime.h"

namespace vt::gfx {
namespace {

TEST(RowClaim, SeveralWorkersComputeEveryRowExactlyOnce) {
    constexpr std::uint32_t kHeight = 997;
    std::vector<std::atomic<int>> times(kHeight);
    std::atomic<std::uint32_t> next{0};
    std::atomic<std::uint32_t> total{0};
    std::atomic<bool> done[3] = {false, false, false};
    std::vector<std::thread> workers;
    for (auto& flag : done)
        workers.emplace_back([&, flag_ptr = &flag] {
            total += run_claimed_rows(
                next, kHeight, [&](std::uint32_t row) { times[row].fetch_add(1); }, flag_ptr);
        });
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(total.load(), kHeight);
    for (std::uint32_t row = 0; row < kHeight; ++row)
        ASSERT_EQ(times[row].load(), 1) << "row " << row;
    for (auto& flag : done)
        EXPECT_TRUE(flag.load());
}

TEST(RowClaim, AbortStopsAfterTheCurrentRow) {
    std::atomic<std::uint32_t> next{0};
    std::atomic<bool> done{false};
    std::vector<std::uint32_t> rows;
    const std::uint32_t computed = run_claimed_rows(
        next, 100,
        [&](std::uint32_t row) {
            rows.push_back(row);
            if (row == 10)
                resample_abort.store(true);
        },
        &done);
    resample_abort.store(false);
    EXPECT_EQ(computed, 11u);
    EXPECT_EQ(rows.back(), 10u) << "row 10 itself is finished";
    EXPECT_TRUE(done.load());
}

TEST(RowClaim, EmptyDestinationComputesNothing) {
    std::atomic<std::uint32_t> next{0};
    EXPECT_EQ(run_claimed_rows(next, 0, [](std::uint32_t) { FAIL(); }), 0u);
}

} // namespace
} // namespace vt::gfx
