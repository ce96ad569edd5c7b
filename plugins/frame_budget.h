#pragma once
// How much memory the frames of one picture may take, checked when a loader asks for a frame
// (from the file's header, before any pixel is allocated) or announces all of its frames at
// once, and what stopped the last load on this thread: the budget, the bomb rule, the frame
// limit, the picture limit, or an allocation the system refused. A worker sets the budget
// before each load; a picture over it fails with its reason while the other files go on.
//
// The bomb rule: a picture whose frames together would take more than kBombFloorBytes and more
// than kBombRatio times the size of its file is refused, whatever the budget, unless the user
// chose the budget explicitly (then the budget alone decides). A real picture never comes near
// that ratio above the floor; a file built to exhaust memory (a few kilobytes claiming
// gigabytes) always does. docs/failures-and-limits.md gives the figures.
//
// Thread: everything here is per thread (a load and its frame requests run on one thread).

#include <cstdint>
#include <string>

namespace vt::plugins {

inline constexpr std::uint64_t kBombFloorBytes = std::uint64_t{1} << 30;
inline constexpr std::uint64_t kBombRatio = 1024;

// 0: no budget beyond the engine's own size limits.
void set_frame_budget(std::uint64_t bytes) noexcept;
[[nodiscard]] std::uint64_t frame_budget() noexcept;
// Whether the bomb rule applies to the loads that follow (off when the budget was chosen).
void set_bomb_rule(bool on) noexcept;
// The size of the file being loaded, for the bomb rule; 0: unknown (the rule does not apply).
void set_source_size(std::uint64_t bytes) noexcept;

struct MemoryStop {
    bool over_budget = false;            // a frame request went over the budget
    bool bomb = false;                   // the frames would break the bomb rule
    bool out_of_memory = false;          // the system refused an allocation
    bool frame_limit = false;            // the file holds more frames than a picture keeps
    bool too_large = false;              // a frame beyond the picture limit
    std::uint64_t wanted = 0;            // bytes the picture's frames would have taken
    std::uint32_t width = 0, height = 0; // the frame beyond the picture limit
};

// Called at the start of each load.
void clear_memory_stop() noexcept;
[[nodiscard]] MemoryStop last_memory_stop() noexcept;
// Whether a request of `bytes` more, on top of `held`, fits; notes the stop when it does not.
[[nodiscard]] bool frame_fits(std::uint64_t held, std::uint64_t bytes) noexcept;
void note_out_of_memory(std::uint64_t bytes) noexcept;
void note_frame_limit() noexcept;
void note_too_large(std::uint32_t width, std::uint32_t height) noexcept;
// A stop that ends the search for a plug-in: the file was read far enough to know it cannot be
// held, so no other plug-in may try it.
[[nodiscard]] bool memory_stopped() noexcept;

// "load.frame_bytes" (pi_BasicQuery::query): before taking its first frame, a plug-in that
// knows from the file's headers what all of its frames will take as whole frames writes that
// byte count (one uint64) into the buffer and calls query with a capacity of at least 8. The
// host answers VT_ERR_OUT_OF_MEMORY (-20) when they break the bomb rule (the load must stop;
// the reason is noted as for a frame request), else 8; an older host answers 0. The budget is
// judged at each frame request, by what is really held.
[[nodiscard]] std::int32_t answer_frame_bytes_query(void* buffer, std::int32_t capacity) noexcept;

// The reason of a stopped load, in one line; empty when nothing here stopped it.
[[nodiscard]] std::u16string memory_stop_text(const MemoryStop& stop);

} // namespace vt::plugins
