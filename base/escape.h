#pragma once
// Names made safe for text that must stay machine-readable or on one line. A Linux file name is
// bytes and may hold anything but "/" and NUL: bytes that are not UTF-8 (held as U+DC80..U+DCFF,
// see base/utf.h), line ends, terminal control characters.
// Thread: any; pure functions.

#include <optional>
#include <string>
#include <string_view>

namespace vt::base {

// The contents of a JSON string (without the quotes), always valid UTF-8: a byte that is not
// UTF-8, or a lone surrogate, is written as "\ufffd"; control characters are escaped.
[[nodiscard]] std::string json_escape(std::u16string_view text);

// Whether `text` holds a byte that is not UTF-8 (or a lone surrogate): json_escape() then loses
// it, and a record should carry hex_bytes() beside it.
[[nodiscard]] bool has_undecodable_bytes(std::u16string_view text) noexcept;

// The bytes of `text` as the file system has them, two lower-case hex digits each.
[[nodiscard]] std::string hex_bytes(std::u16string_view text);
// The name whose bytes hex_bytes() gave; empty when `hex` is not an even run of hex digits.
[[nodiscard]] std::optional<std::u16string> from_hex_bytes(std::string_view hex);

// `text` as UTF-8 that a terminal shows on one line as it is: control characters (C0, DEL, C1)
// are escaped ("\n", "\r", "\t", else "\x1b" style), a byte that is not UTF-8 becomes "\xNN",
// and a backslash is doubled so that the escapes stay unambiguous. Other text is unchanged.
[[nodiscard]] std::string one_line_text(std::u16string_view text);

} // namespace vt::base
