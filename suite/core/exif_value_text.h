#pragma once
// The text forms of EXIF values in markup: the generic form every tag can take (exact: the same
// type, count and bytes come back) and the decimal rational form the vocabulary keys use.
// Thread: any (no state).

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vt::core {

// TIFF field types.
enum ExifType : std::uint16_t {
    kTypeByte = 1,
    kTypeAscii = 2,
    kTypeShort = 3,
    kTypeLong = 4,
    kTypeRational = 5,
    kTypeSByte = 6,
    kTypeUndefined = 7,
    kTypeSShort = 8,
    kTypeSLong = 9,
    kTypeSRational = 10,
    kTypeFloat = 11,
    kTypeDouble = 12,
};

// Bytes of one component; 0 for a type that has no text form here.
std::size_t exif_type_size(std::uint16_t type) noexcept;
// "byte", "ascii", "short", ...; nullptr for a type without a text form.
const char* exif_type_name(std::uint16_t type) noexcept;
// The type of a name (ASCII case-insensitive); 0 when unknown.
std::uint16_t exif_type_from_name(std::string_view name) noexcept;

// The components (little-endian bytes) of a value as text:
//   ascii                 the text up to its first NUL, escaped
//   undefined             every byte, escaped
//   integers              decimal components separated by one blank
//   rationals             "numerator/denominator" components separated by one blank
//   float, double         shortest decimal form that reads back to the same bits
// Escaping writes "%XX" (two upper-case hex digits) for bytes below 0x20, 0x7F, "%", ";" and a
// leading "(" (which would read as a type prefix).
bool value_to_text(std::uint16_t type, std::span<const std::uint8_t> bytes, std::string& text);
// The reverse: little-endian component bytes, or false when the text is no value of the type.
// An ascii value gets its terminating NUL.
bool text_to_value(std::uint16_t type, std::string_view text, std::vector<std::uint8_t>& bytes);

std::string escape_text(std::span<const std::uint8_t> bytes);
bool unescape_text(std::string_view text, std::vector<std::uint8_t>& bytes);

struct URational {
    std::uint32_t num = 0;
    std::uint32_t den = 0;
};

// A rational as readers expect it: the exact decimal when the denominator is a power of ten
// (28/10 "2.8", 280/100 "2.80", 50/1 "50"), otherwise "num/den".
std::string rational_text(URational r);
// The first number in `text` from `from` on: "num/den" or a decimal ("2.8" gives 28/10); the
// position after it in `end`. A leading "-" is reported in `negative`.
bool parse_rational_at(std::string_view text, std::size_t from, URational& r, std::size_t& end,
                       bool* negative = nullptr);

} // namespace vt::core
