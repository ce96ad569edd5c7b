#pragma once
// Row claiming for parallel row loops: destination rows are taken one at a time from a shared
// counter, so the same loop runs on one thread or on several, and stops early when
// `resample_abort` is raised.
// Thread: any; every worker of one loop shares `next_row`, which starts at 0.

#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

#include "gfxcore/runtime.h"

namespace vt::gfx {

// Runs `compute_row(row)` for every row this worker claims below `height`. After each row the
// worker stops if the abort flag is set. It never yields: the counter already shares the rows
// out, and a yield per row only hands the processor to other programs on a busy machine.
// `done`, when given, is set when the worker leaves. Returns the number of rows this worker
// computed.
template <class RowFn>
std::uint32_t run_claimed_rows(std::atomic<std::uint32_t>& next_row, std::uint32_t height,
                               RowFn&& compute_row, std::atomic<bool>* done = nullptr) {
    std::uint32_t computed = 0;
    for (;;) {
        const std::uint32_t row = next_row.fetch_add(1, std::memory_order_relaxed);
        if (row >= height)
            break;
        compute_row(row);
        ++computed;
        if (resample_abort.load(std::memory_order_relaxed))
            break;
    }
    if (done != nullptr)
        done->store(true, std::memory_order_release);
    return computed;
}

// Threads a row loop may run beside the calling one: the count behind `idle` (the job's workers
// that have run out of pictures), set for the calling thread around a picture's transforms;
// null: none.
void set_row_helpers(const std::atomic<std::uint32_t>* idle) noexcept;
// That count now, at most kMaxRowHelpers; 0 when none is set for this thread.
[[nodiscard]] std::uint32_t row_helpers() noexcept;
inline constexpr std::uint32_t kMaxRowHelpers = 31;

// Runs `work(true)` on up to `helpers` new threads and `work(false)` on the calling thread, and
// waits for them (a blocking join, no spinning). A thread the system refuses is left out: the
// others claim its rows. `work` must be safe to run on several threads at once.
template <class Work>
void run_with_helpers(std::uint32_t helpers, Work&& work) noexcept {
    std::vector<std::thread> threads;
    try {
        threads.reserve(helpers);
        for (std::uint32_t i = 0; i < helpers; ++i)
            threads.emplace_back([&work] { work(true); });
    } catch (const std::exception&) {
        // No memory or no thread: fewer helpers.
    }
    work(false);
    for (auto& t : threads)
        t.join();
}

} // namespace vt::gfx
