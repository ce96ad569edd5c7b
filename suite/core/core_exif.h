#pragma once
// The two markup conversions behind core_MarkupToEXIF and core_MarkupFromEXIF, without the
// export firewall (the fuzz targets call them directly). They may throw; the exports catch.
// Thread: any.

#include <cstdint>

namespace vt::core {

// See VtCoreMarkupFromExifFn in sdk/vt_core.h.
std::int32_t markup_from_exif(char* out, std::uint32_t capacity, const void* exif,
                              std::uint32_t size);
// See VtCoreMarkupToExifFn in sdk/vt_core.h.
std::int32_t markup_to_exif(const char* markup, void* out, std::uint32_t capacity);

// exiv2 writes warnings to stderr unless told not to; done once per load of the library.
void mute_exiv2() noexcept;

} // namespace vt::core
