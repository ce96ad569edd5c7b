#pragma once
// How much memory the frames of one picture may take, checked when a loader asks for a frame
// (from the file's header, before any pixel is allocated), and what stopped the last load on
// this thread: the budget, or an allocation the system refused. A worker sets the budget before
// each load; a picture over it fails with its reason while the other files go on.
// Thread: everything here is per thread (a load and its frame requests run on one thread).

#include <cstdint>
#include <string>

namespace vt::plugins {

// 0: no budget beyond the engine's own size limits.
void set_frame_budget(std::uint64_t bytes) noexcept;
[[nodiscard]] std::uint64_t frame_budget() noexcept;

struct MemoryStop {
    bool over_budget = false;   // a frame request went over the budget
    bool out_of_memory = false; // the system refused an allocation
    std::uint64_t wanted = 0;   // bytes the picture's frames would have taken
};

// Called at the start of each load.
void clear_memory_stop() noexcept;
[[nodiscard]] MemoryStop last_memory_stop() noexcept;
// Whether a request of `bytes` more, on top of `held`, fits; notes the stop when it does not.
[[nodiscard]] bool frame_fits(std::uint64_t held, std::uint64_t bytes) noexcept;
void note_out_of_memory(std::uint64_t bytes) noexcept;

// The reason of a stopped load, in one line; empty when memory did not stop it.
[[nodiscard]] std::u16string memory_stop_text(const MemoryStop& stop);

} // namespace vt::plugins
