#pragma once
// Processors and waiting.
// Thread: any.

#include <cstdint>

namespace vt::platform {

// Processors this process may run on (its affinity), at least 1.
[[nodiscard]] unsigned processor_count() noexcept;
void yield_processor() noexcept;
void sleep_ms(std::uint32_t ms) noexcept;

} // namespace vt::platform
