// File names and arguments arrive as arbitrary bytes: every byte string must survive the trip
// to UTF-16 and back unchanged.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/fixed_text.h"
#include "base/utf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::u16string wide = vt::base::utf8_to_utf16(bytes);
    if (vt::base::utf16_to_utf8(wide) != bytes)
        std::abort();
    // Cutting never leaves half a surrogate pair behind.
    vt::base::FixedText<17> cut(wide);
    const std::u16string_view kept = cut.view();
    if (!kept.empty() && kept.back() >= 0xD800 && kept.back() <= 0xDBFF)
        std::abort();
    return 0;
}
