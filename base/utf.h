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

// ASCII convenience for literals and numbers: each byte becomes one unit.
[[nodiscard]] std::u16string ascii_to_utf16(std::string_view ascii);

} // namespace vt::base
