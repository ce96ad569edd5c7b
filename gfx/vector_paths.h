#pragma once
// Which vector kernels this processor may run. The kernels compute exactly what their portable
// twins compute; tests switch them off (set_vector_paths in resample_testing.h) to compare.
// Thread: any.

namespace vt::gfx::detail {

// SSE2 kernels: the processor level allows them and they are not switched off.
[[nodiscard]] bool vector_paths_enabled() noexcept;
// AVX2 kernels: as above, and the processor has AVX2.
[[nodiscard]] bool avx2_enabled() noexcept;
// AVX-512 byte permutes (AVX-512 BW and VBMI), with the same conditions.
[[nodiscard]] bool avx512vbmi_enabled() noexcept;

} // namespace vt::gfx::detail
