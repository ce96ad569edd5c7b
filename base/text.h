#pragma once
// Text routines used across the program: case-insensitive comparison, trimming, bounded search
// and replace, decimal formatting. All work on UTF-16 views; results that have a capacity are
// cut at it, never rejected.
// Thread: any.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vt::base {

inline constexpr std::size_t kNotFound = std::u16string_view::npos;

// Lower and upper case of one UTF-16 unit: ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic, which covers the names a file system is likely to hold; other units are unchanged.
[[nodiscard]] char16_t to_lower(char16_t c) noexcept;
[[nodiscard]] char16_t to_upper(char16_t c) noexcept;
void lower_in_place(std::u16string& text) noexcept;
[[nodiscard]] std::u16string to_lower(std::u16string_view text);

[[nodiscard]] bool ascii_iequal(std::u16string_view a, std::u16string_view b) noexcept;
[[nodiscard]] bool iequal(std::u16string_view a, std::u16string_view b) noexcept;

// Removes every leading and trailing unit that occurs in `chars`.
[[nodiscard]] std::u16string_view trim(std::u16string_view text,
                                       std::u16string_view chars = u" ") noexcept;

// Position of `needle` in the first `limit` units of `text`, or kNotFound.
[[nodiscard]] std::size_t find_bounded(std::u16string_view text, std::u16string_view needle,
                                       std::size_t limit = kNotFound) noexcept;

// Replaces every occurrence of `from` by `to`, left to right without overlap; the result is
// cut at `max_length` units. An empty `from` changes nothing.
[[nodiscard]] std::u16string replace_all(std::u16string_view text, std::u16string_view from,
                                         std::u16string_view to,
                                         std::size_t max_length = kNotFound);

// Decimal text of a number, zero-padded to at least `width` digits.
[[nodiscard]] std::u16string decimal(std::uint64_t value, int width = 1);
// Number of decimal digits of a value (1 for 0).
[[nodiscard]] int decimal_digits(std::uint64_t value) noexcept;

// The "%s" of a message text replaced by `value` (first occurrence only, as printf would).
[[nodiscard]] std::u16string format_s(std::u16string_view format, std::u16string_view value);

} // namespace vt::base
