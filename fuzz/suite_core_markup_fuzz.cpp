// Arbitrary markup text through the core library's EXIF writer, with a capacity chosen by the
// first byte (too small ones included).

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "suite/core/core_exif.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::string markup(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::uint32_t capacity = data[0] < 16 ? data[0] * 8u : 65536u;
    std::vector<std::uint8_t> out(capacity + 1, 0xA5);
    try {
        const std::int32_t n = vt::core::markup_to_exif(markup.c_str(), out.data(), capacity);
        if (out[capacity] != 0xA5 || (n > 0 && static_cast<std::uint32_t>(n) > capacity))
            std::abort();
        if (n > 0) {
            std::vector<char> text(65536);
            (void)vt::core::markup_from_exif(text.data(), 65536, out.data(),
                                             static_cast<std::uint32_t>(n));
        }
    } catch (...) {
        // The exports catch everything; only a crash is a finding here.
    }
    return 0;
}
