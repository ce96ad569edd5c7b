// The library's four exports: each one a firewall around its work, since no exception may
// reach the host (exiv2 and the standard library both throw).

#include <cstdint>

#include "sdk/kit/exports.h"
#include "sdk/vt_core.h"
#include "suite/core/core_exif.h"
#include "suite/core/image_io.h"

#define VT_CORE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The core's exports answer 0 for every failure, a thrown one included.
template <class F>
std::int32_t firewall(F&& body) noexcept {
    return vt::kit::firewall(body, 0, 0);
}

} // namespace

VT_CORE_EXPORT std::int32_t core_LoadImage(VtCoreImage* image, const std::uint16_t* path,
                                           VtCoreRequest* request) noexcept {
    return firewall([&] { return vt::core::load_image(image, path, request); });
}

VT_CORE_EXPORT std::int32_t core_SaveImage(const VtCoreImage* image, const std::uint16_t* path,
                                           VtCoreRequest* request) noexcept {
    return firewall([&] { return vt::core::save_image(image, path, request); });
}

VT_CORE_EXPORT std::int32_t core_MarkupToEXIF(const char* markup, void* out,
                                              std::uint32_t capacity) noexcept {
    return firewall([&] { return vt::core::markup_to_exif(markup, out, capacity); });
}

VT_CORE_EXPORT std::int32_t core_MarkupFromEXIF(char* out, std::uint32_t capacity, const void* exif,
                                                std::uint32_t size) noexcept {
    const std::int32_t result =
        firewall([&] { return vt::core::markup_from_exif(out, capacity, exif, size); });
    // A failure half-way must not hand back a half-written text as if it were none.
    if (result == 0 && out != nullptr && capacity > 0)
        out[0] = '\0';
    return result;
}
