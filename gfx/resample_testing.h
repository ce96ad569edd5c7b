#pragma once
// Test hooks of the resamplers: switch the vector kernels off to compare them with the portable
// ones, and watch the advanced resampler's rows (to raise the abort flag at a chosen row).
// Thread: tests call these while no other thread resamples.

#include <cstdint>

namespace vt::gfx {

// The widest vector kernels the scalers and the level stretch may use, as far as the processor
// has them; kVectorNone leaves the portable code. Default kVectorAvx512.
enum VectorLimit : int { kVectorNone = 0, kVectorSse2 = 1, kVectorAvx2 = 2, kVectorAvx512 = 3 };
void set_vector_limit(int limit) noexcept;
// false: kVectorNone; true: kVectorAvx512.
void set_vector_paths(bool enabled) noexcept;

// Called by AdvancedResample after each row it finished (null: none).
using ResampleRowHook = void (*)(std::uint32_t row);
void set_resample_row_hook(ResampleRowHook hook) noexcept;

} // namespace vt::gfx
