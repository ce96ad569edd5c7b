#pragma once
// The formatted texts of the VT5 reader, built without allocating.

#include <cstdint>
#include <string_view>

#include "base/fixed_text.h"

namespace vt::vt5 {

// Appends the decimal form of `value`.
template <std::size_t N>
void append_decimal(base::FixedText<N>& text, std::int64_t value, int min_digits = 1) noexcept {
    char16_t digits[24];
    std::size_t n = 0;
    const bool negative = value < 0;
    std::uint64_t v =
        negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
        digits[n++] = static_cast<char16_t>(u'0' + v % 10);
        v /= 10;
    } while (v != 0 || n < static_cast<std::size_t>(min_digits));
    char16_t out[25];
    std::size_t k = 0;
    if (negative)
        out[k++] = u'-';
    while (n > 0)
        out[k++] = digits[--n];
    text.append(std::u16string_view(out, k));
}

// "%i rev. %02i"
[[nodiscard]] inline base::FixedText<32> version_text(std::uint16_t major,
                                                      std::uint16_t revision) noexcept {
    base::FixedText<32> text;
    append_decimal(text, major);
    text.append(u" rev. ");
    append_decimal(text, revision, 2);
    return text;
}

// "<what> (%i×%i) for layer #%i"
[[nodiscard]] inline base::FixedText<256> layer_error(std::u16string_view what, std::int32_t width,
                                                      std::int32_t height,
                                                      std::uint32_t layer) noexcept {
    base::FixedText<256> text(what);
    text.append(u" (");
    append_decimal(text, width);
    text.append(u"\u00D7");
    append_decimal(text, height);
    text.append(u") for layer #");
    append_decimal(text, static_cast<std::int32_t>(layer));
    return text;
}

} // namespace vt::vt5
