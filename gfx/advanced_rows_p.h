#pragma once
// Inside the advanced resampler: its two row kernels, portable and vector. The vector ones do
// the very same single-precision multiplies and adds in the same order as the portable ones
// (no fused multiply-add), so every path writes the same bytes; tests compare them.
// Thread: any.

#include <cstdint>

namespace vt::gfx::detail {

// Down the taps: acc[4i + c] = sum over n of w[n] x channel c of lines[n][i], for i below
// `count`, added in tap order starting from zero. `taps` >= 1.
void advanced_down_portable(const std::uint32_t* const* lines, const float* w, int taps,
                            std::int32_t from, std::int32_t count, float* acc) noexcept;
void advanced_down_sse2(const std::uint32_t* const* lines, const float* w, int taps,
                        std::int32_t count, float* acc) noexcept;
void advanced_down_avx2(const std::uint32_t* const* lines, const float* w, int taps,
                        std::int32_t count, float* acc) noexcept;

// Across: destination pixel x = sum over m of w[x taps + m] x acc pixel index[x taps + m],
// each channel lifted by 1/1000, clamped to 0..255 and truncated.
void advanced_across_portable(const float* acc, const std::int32_t* index, const float* w, int taps,
                              std::int32_t from, std::int32_t count, std::uint32_t* out) noexcept;
void advanced_across_sse2(const float* acc, const std::int32_t* index, const float* w, int taps,
                          std::int32_t count, std::uint32_t* out) noexcept;
void advanced_across_avx2(const float* acc, const std::int32_t* index, const float* w, int taps,
                          std::int32_t count, std::uint32_t* out) noexcept;

} // namespace vt::gfx::detail
