#pragma once
// Text for vtconvert's --json line. The line is always valid UTF-8 JSON, whatever the file names:
// a byte of a name that is not UTF-8 (held as U+DC80..U+DCFF, see base/utf.h) is written as
// "\ufffd", and a record whose name holds such bytes also carries the name's exact bytes in hex
// (the "source_bytes" field), so a script can still find the file.
// Thread: any.

#include <string>
#include <string_view>

namespace vt::cli {

// The contents of a JSON string (without the quotes).
[[nodiscard]] std::string json_escape(std::u16string_view text);

// Whether `text` holds a byte that is not UTF-8.
[[nodiscard]] bool has_undecodable_bytes(std::u16string_view text) noexcept;

// The bytes of `text` as the file system has them, two lower-case hex digits each.
[[nodiscard]] std::string hex_bytes(std::u16string_view text);

} // namespace vt::cli
