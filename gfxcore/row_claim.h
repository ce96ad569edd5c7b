#pragma once
// Row claiming for parallel row loops: destination rows are taken one at a time from a shared
// counter, so the same loop runs on one thread or on several, and stops early when
// `resample_abort` is raised.
// Thread: any; every worker of one loop shares `next_row`, which starts at 0.

#include <atomic>
#include <cstdint>

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

} // namespace vt::gfx
