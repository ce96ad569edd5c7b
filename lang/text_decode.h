#pragma once
// Text files of unknown encoding (language files) to UTF-16, decided by their first bytes:
//
//   FF FE 00 00   UTF-32 little-endian, the low 16 bits of each unit kept
//   FF FE         UTF-16 little-endian
//   FE FF 00 00   UTF-32 big-endian, the low 16 bits of each unit kept
//   FE FF         UTF-16 big-endian
//   EF BB BF      UTF-8 (a byte that is no valid UTF-8 becomes U+FFFD)
//   otherwise     the first 256 bytes (fewer when shorter) decide: with nz nonzero bytes and
//                 z zero bytes, the text is 8-bit when z < nz / 8 (exactly; when nz < 8:
//                 z < nz), else UTF-16, little-endian unless zeros at even offsets outnumber
//                 those at odd offsets. 8-bit text is UTF-8 when it is valid UTF-8, else
//                 Latin-1, one byte per character.
//
// The byte order mark is dropped, a trailing partial unit too, and the text ends at its first
// NUL character. Every CR LF pair and every lone CR becomes LF.
// Thread: any.

#include <cstdint>
#include <span>
#include <string>

namespace vt::lang {

enum class TextEncoding { utf32le, utf16le, utf32be, utf16be, utf8, utf8_or_latin1 };

// The encoding that the first bytes (and, without a byte order mark, the zero bytes) choose.
[[nodiscard]] TextEncoding detect_encoding(std::span<const std::uint8_t> bytes) noexcept;

// The whole file as UTF-16 with LF line ends.
[[nodiscard]] std::u16string decode_text_file(std::span<const std::uint8_t> bytes);

} // namespace vt::lang
