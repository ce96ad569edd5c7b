#pragma once
// The host's half of the suite core library (vtl_Core.so): the markup service's EXIF export and
// import and the image service's load and save go through it. The library is opened from the
// suite program folder by its absolute path, never by name (the library search path may hold
// the current folder), for each call and closed right after, so an installation without it
// simply answers 0 and a replaced library takes effect at once.
// Thread: any; each call opens its own reference.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "sdk/vt_plugin.h"

namespace vt::plugins {

// The core library's absolute path in the suite program folder; empty when that folder is
// unknown or not absolute.
[[nodiscard]] std::u16string core_library_path();

// pi_MetaMarkup export to EXIF: the library's result, 0 when it or its function is missing.
std::int32_t core_export_exif(const MarkupBuffer* mb, void* out, std::uint32_t capacity) noexcept;

// pi_MetaMarkup import from EXIF: appends the library's markup text to `mb`; the append's
// result, 0 when nothing was produced, the data is shorter than 4 bytes or the library is
// missing.
std::int32_t core_import_exif(MarkupBuffer* mb, const void* exif, std::uint32_t size) noexcept;

// pi_BasicImage load and save. A missing library or function sets the request's
// `core_missing` and answers 0.
std::int32_t core_load_image(VtImage* image, VtImageRequest* request) noexcept;
std::int32_t core_save_image(VtImage* image, VtImageRequest* request) noexcept;

// The extension (without the dot) of the temporary file that data loaded from memory is
// written to: the name's own when it has 1 to 15 characters, else sniffed from the data.
[[nodiscard]] std::u16string memory_load_extension(std::u16string_view name,
                                                   std::span<const std::uint8_t> data);

} // namespace vt::plugins
