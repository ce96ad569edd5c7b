// EXIF blocks through the core library's conversion and back: markup from the block, EXIF from
// that markup, and markup again. The first byte chooses the text capacity (cut texts included).

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "suite/core/core_exif.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::uint32_t capacity = data[0] < 8 ? 16u + data[0] * 40u : 65536u;
    std::vector<char> text(capacity);
    std::vector<std::uint8_t> exif(1 << 16);
    try {
        if (vt::core::markup_from_exif(text.data(), capacity, data + 1,
                                       static_cast<std::uint32_t>(size - 1)) == 0)
            return 0;
        if (std::memchr(text.data(), '\0', capacity) == nullptr)
            std::abort();
        const std::int32_t n = vt::core::markup_to_exif(text.data(), exif.data(),
                                                        static_cast<std::uint32_t>(exif.size()));
        if (n > 0 && vt::core::markup_from_exif(text.data(), capacity, exif.data(),
                                                static_cast<std::uint32_t>(n)) == 0)
            std::abort(); // what was written must read back
    } catch (...) {
        // The exports catch everything; only a crash is a finding here.
    }
    return 0;
}
