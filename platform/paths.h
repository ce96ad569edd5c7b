#pragma once
// Path text: capacity, joining and splitting. Paths are UTF-16 inside the program and use "/".
// Thread: any.

#include <cstddef>
#include <string>
#include <string_view>

namespace vt::platform {

// Longest path the program builds, terminator included. Every bound the design states as 260
// characters (259 without the terminator, 262 for slot texts) is derived from this.
inline constexpr std::size_t kMaxPath = 4096;

inline constexpr char16_t kSeparator = u'/';

// `folder` and `name` with one "/" between them when needed; cut at kMaxPath - 1 characters.
[[nodiscard]] std::u16string join_path(std::u16string_view folder, std::u16string_view name);

// The part after the last "/" (the whole text when there is none).
[[nodiscard]] std::u16string_view file_name_of(std::u16string_view path) noexcept;
// The part before the last "/" (empty when there is none; "/" for a file at the root).
[[nodiscard]] std::u16string_view folder_of(std::u16string_view path) noexcept;
// The extension of a file name from its last dot on, dot included; empty when it has no dot.
// Only the name counts: a dot in a folder name never starts an extension.
[[nodiscard]] std::u16string_view extension_of(std::u16string_view path) noexcept;
// The name without its extension.
[[nodiscard]] std::u16string_view stem_of(std::u16string_view path) noexcept;

} // namespace vt::platform
