#pragma once
// Hints a load gives the format plug-in beyond the call record. A plug-in asks for them through
// pi_BasicQuery::query; a plug-in that never asks decodes as always.
//
// "load.draft_size": the plug-in writes its picture's full width and height (two uint32 values)
// into the buffer and calls query with a capacity of at least 8. When the host accepts a reduced
// decode it replaces them with the smallest width and height it can use (each at most the full
// side) and answers 8; the plug-in may then decode at any size that is at least that large. The
// answer 0 asks for the full size. The host records the full size the plug-in named, so the
// transforms can size the result as if the picture had been decoded whole.
//
// "job.spare_threads": the host writes into the buffer (one uint32, capacity at least 4) how many
// threads the plug-in may run beside the calling one, and answers 4: the workers of the job that
// have run out of pictures, so that the last pictures of a job can use every core. 0 (and an
// answer 0 outside a job) means: work on the calling thread alone. The count can grow while a
// plug-in works; it never shrinks during a job.
//
// Thread: the hint and the record belong to the calling thread (one load at a time per worker).

#include <atomic>
#include <cstdint>

#include "gfx/resize_step.h"

namespace vt::plugins {

struct DraftHint {
    gfx::ResizeOptions resize; // the job's resize box and rule
    bool may_turn = false;     // a rotation may swap the picture's sides before the resize
};

// The hint for the loads that follow on this thread; null: full-size decodes.
void set_draft_hint(const DraftHint* hint) noexcept;

// The smallest decoded size the hint accepts for a full_width x full_height picture: the
// resize target on each side (at most the full side). False when no reduction is possible.
[[nodiscard]] bool draft_min_size(const DraftHint& hint, std::uint32_t full_width,
                                  std::uint32_t full_height, std::uint32_t& min_width,
                                  std::uint32_t& min_height) noexcept;

struct DraftRecord {
    std::uint32_t full_width = 0, full_height = 0; // 0: the plug-in did not ask
};

// What the plug-in named since the last call on this thread; clears it.
[[nodiscard]] DraftRecord take_draft_record() noexcept;

// The query's answer (see above).
[[nodiscard]] std::int32_t answer_draft_query(void* buffer, std::int32_t capacity) noexcept;

// The job's count of idle workers for the loads and saves that follow on this thread; null:
// none.
void set_spare_threads(const std::atomic<std::uint32_t>* idle_workers) noexcept;

// The "job.spare_threads" answer (see above).
[[nodiscard]] std::int32_t answer_spare_threads_query(void* buffer, std::int32_t capacity) noexcept;

} // namespace vt::plugins
