#pragma once
// MarkupBuffer operations (the record is in sdk/vt_plugin.h): the growable markup text
// that format plug-ins fill and read through the host's markup service. The plug-in owns the
// record; the host allocates, grows and frees `buffer` (malloc heap). After every operation
// `text` equals `buffer` and `size` is the text length + 1, or 0 when the text is empty.
//
// Growth: before a write of `extra` bytes, need = size + extra; a capacity above need + 16 is
// kept, else the buffer moves to (need + 511) rounded down to a multiple of 256 bytes.
// Results: 1 done, 0 not done (null record or arguments, out of memory, beyond kMaxMarkupBuffer).
// Thread: the caller owns the record.

#include <cstdint>
#include <string_view>

#include "sdk/vt_plugin.h"

namespace vt::image {

inline constexpr std::uint32_t kMarkupBufferInitial = 4096;
inline constexpr std::uint32_t kMaxMarkupBuffer = 64u << 20;

int markup_buffer_create(MarkupBuffer* mb) noexcept;
// Creates the buffer holding the first `count` bytes of `data` (cut at the first NUL).
int markup_buffer_create_from(MarkupBuffer* mb, const void* data, std::uint32_t count) noexcept;
void markup_buffer_free(MarkupBuffer* mb) noexcept;
// Makes room for `extra` more bytes by the growth rule.
int markup_buffer_reserve(MarkupBuffer* mb, std::uint32_t extra) noexcept;
// Appends a line: the text trimmed, after "\r\n" unless the buffer is empty.
int markup_buffer_append(MarkupBuffer* mb, const char* text) noexcept;
int markup_buffer_get_value(const MarkupBuffer* mb, std::string_view key, char* value,
                            std::uint32_t capacity) noexcept;
int markup_buffer_set_value(MarkupBuffer* mb, std::string_view key,
                            std::string_view value) noexcept;
// Succeeds only for a non-zero image.bpp.
int markup_buffer_get_bit_depth(const MarkupBuffer* mb, std::uint32_t* depth) noexcept;
int markup_buffer_set_bit_depth(MarkupBuffer* mb, int depth) noexcept;

// Sets the camera keys (exif.make, exif.model, exif.date_time, exif.aperture, ...) from the
// elements of an XMP packet. Element contents are taken raw (no entity decoding), at most 1023
// characters; characters a markup value cannot hold (";", "\r", "\n") become blanks.
// Returns 1, 0 for a null record.
int import_xmp(MarkupBuffer* mb, std::string_view xmp) noexcept;

} // namespace vt::image
