#pragma once
// The system code page of the files of the earlier layouts (Windows-1252): layer names of old
// revisions, password hints and passwords are 8-bit text in it.
// Thread: any; nothing here keeps state.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vt::vt5 {

// The 8-bit text (up to its first NUL) as UTF-16. Bytes the code page leaves undefined (0x81,
// 0x8D, 0x8F, 0x90, 0x9D) map to the control characters of the same value.
[[nodiscard]] std::u16string decode_code_page(std::span<const std::uint8_t> text);

// The text in the code page; empty when a character has no place in it.
[[nodiscard]] std::optional<std::string> encode_code_page(std::u16string_view text);

} // namespace vt::vt5
