// Windows-1252 after the public mapping table of the Unicode Consortium (cp1252.txt): Latin-1
// with 27 printable characters in 0x80-0x9F.
#include "vt5/code_page.h"

#include <algorithm>

namespace vt::vt5 {
namespace {

constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

std::u16string decode_code_page(std::span<const std::uint8_t> text) {
    std::u16string out;
    for (const std::uint8_t b : text) {
        if (b == 0)
            break;
        out.push_back(b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : static_cast<char16_t>(b));
    }
    return out;
}

std::optional<std::string> encode_code_page(std::u16string_view text) {
    std::string out;
    for (const char16_t c : text) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        const auto* at = std::find(std::begin(kHigh), std::end(kHigh), c);
        if (at == std::end(kHigh))
            return std::nullopt;
        out.push_back(static_cast<char>(0x80 + (at - std::begin(kHigh))));
    }
    return out;
}

} // namespace vt::vt5
