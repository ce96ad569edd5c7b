#pragma once
// Inside the advanced resampler: the per-axis tap indices and normalised weights, shared by the
// 8-bit resampler (which keeps them as floats) and the deep one, so both sample the very same
// source positions with the very same kernel.
// Thread: any.

#include <cstdint>
#include <vector>

#include "gfx/resample.h"

namespace vt::gfx::detail {

// Per destination column (or row): `taps` clamped source indices and their weights divided by
// the weight sum, in double precision.
struct AdvancedAxis {
    std::int32_t taps = 0;
    std::vector<std::int32_t> index;
    std::vector<double> weight;
};

// Builds the axis from `src` to `dst` pixels; false without memory.
[[nodiscard]] bool build_advanced_axis(AdvancedAxis& out, int filter, int window,
                                       const TapRange& range, std::int32_t src,
                                       std::int32_t dst) noexcept;

} // namespace vt::gfx::detail
