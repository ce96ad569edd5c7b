#pragma once
// Processors and waiting.
// Thread: any.

#include <cstdint>

namespace vt::platform {

// Processors this process may run on (its affinity), at least 1.
[[nodiscard]] unsigned processor_count() noexcept;
void yield_processor() noexcept;
void sleep_ms(std::uint32_t ms) noexcept;

// For the length of a job: freed picture memory stays with the process for the next picture
// instead of going back to the system, which would make every picture fault its pages in
// anew. Afterwards, what is free goes back.
class PictureHeap {
public:
    PictureHeap() noexcept;
    ~PictureHeap();
    PictureHeap(const PictureHeap&) = delete;
    PictureHeap& operator=(const PictureHeap&) = delete;
};

} // namespace vt::platform
