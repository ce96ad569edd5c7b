#pragma once
// UTF-8 <-> UTF-16 at the operating system's boundary (file names, environment, arguments,
// terminal). Linux file names are bytes, not necessarily UTF-8: an invalid byte b becomes the
// lone surrogate U+DC00+b and goes back to the same byte, so every name survives the round trip.
// Thread: any.

#include <string>
#include <string_view>

namespace vt::base {

[[nodiscard]] std::u16string utf8_to_utf16(std::string_view utf8);
[[nodiscard]] std::string utf16_to_utf8(std::u16string_view utf16);
// One code point (not a surrogate, at most U+10FFFF) as UTF-8.
void append_utf8(std::string& out, char32_t code_point);

// How many leading units of `utf16` fit in `max_bytes` bytes of its UTF-8 form, never splitting a
// surrogate pair (an escaped raw byte counts one byte, a lone surrogate the three of U+FFFD).
[[nodiscard]] std::size_t utf8_fitting_units(std::u16string_view utf16,
                                             std::size_t max_bytes) noexcept;
// The length of utf16_to_utf8(utf16), without building it.
[[nodiscard]] std::size_t utf8_size(std::u16string_view utf16) noexcept;

// ASCII convenience for literals and numbers: each byte becomes one unit.
[[nodiscard]] std::u16string ascii_to_utf16(std::string_view ascii);

} // namespace vt::base
