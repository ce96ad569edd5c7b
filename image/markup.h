#pragma once
// Markup: an image's metadata as 8-bit text of key=value; entries. The host writes each entry as
// "\r\nkey=value;". Keys are dotted identifiers compared with ASCII case folding; a value runs
// from after "=" to the first ";", "\r", "\n" or the end, keeping leading blanks; there is no
// escaping. Between entries any mixture of ";", blanks, tabs and line breaks may stand.
//
// The operations work in place on a caller-owned, NUL-terminated text in a buffer of known
// capacity. Writes that do not fit are cut and terminated and still count as done. Null
// arguments, a zero capacity, an empty key or one longer than kMaxMarkupKey, or a text without
// its NUL inside the capacity: nothing is done and the result is 0.
// Thread: any (no shared state).

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vt::image {

inline constexpr std::size_t kMaxMarkupKey = 255;

inline constexpr int kMarkupAppended = 1; // set_markup_value: new entry at the end
inline constexpr int kMarkupReplaced = 3; // set_markup_value: existing value replaced

// Keys the host itself uses.
inline constexpr const char* kKeyOrientation = "exif.orientation";
inline constexpr const char* kKeyBitDepth = "image.bpp";
inline constexpr const char* kKeyBrushSpacing = "brush.spacing";

// The key followed by "=", else a blank, else a tab (case-insensitive): the position of the
// first match for the first separator that matches, or null. Matching is textual: the key may
// sit inside a longer one ("date_time" is found in "exif.date_time=").
[[nodiscard]] const char* locate_markup_key(const char* text, std::string_view key) noexcept;

// Finds `key` and copies its value into `value` (at most capacity - 1 characters, terminated).
// `value_end`, when given, receives the character that ended the value. Returns the key's
// position in `text`, or null when the key (or an "=" after it) is absent.
const char* find_markup_value(const char* text, std::string_view key, char* value,
                              std::size_t value_capacity,
                              const char** value_end = nullptr) noexcept;

// Replaces the value of `key` (kMarkupReplaced; the stored key keeps its case and separator) or
// appends "\r\nkey=value;" after removing trailing line breaks (kMarkupAppended). An old value
// without ";" ends where find_markup_value ends it, and gets its ";".
int set_markup_value(char* text, std::size_t capacity, std::string_view key,
                     std::string_view value) noexcept;

// Removes the entry of `key` (cut at "=" if one is given) with the separators that follow it;
// the line break before it stays. 1 when removed, 0 when absent.
int delete_markup_entry(char* text, std::string_view key) noexcept;

// Sets into `dest` every entry of `source` whose key starts with `prefix` (case-insensitive;
// empty: every key) and that `dest` lacks. Returns 1, 0 on bad arguments.
int merge_markup_entries(char* dest, std::size_t dest_capacity, const char* source,
                         std::string_view prefix) noexcept;

// Removes blanks, tabs, "\r" and "\n" at both ends in place. Returns 1, 0 for null.
int trim_markup(char* text) noexcept;

// The integer value of image.bpp read from its first digit on; 0 when absent.
[[nodiscard]] std::uint32_t markup_bit_depth(const char* text) noexcept;

// Reads "n/d" (e.g. "28/10") from the first sign or digit on. Returns 1 with n / d in `out`;
// 0 when there is no "/" (then `out` holds the leading number of the text, or 0).
// Decimal points are always "."; the process locale plays no part.
int parse_rational(const char* text, double* out) noexcept;

} // namespace vt::image
