// fmx_XPM: the plug-in's exports, its answers to the host's checks and the call records.
// The reading and writing of the format is in xpm_codec.cpp.

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "formats/xpm/xpm_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".xpm") || extension_is(check, u".xbm");
}

// XBM is read only: what the writer makes is XPM text, which must not go out under ".xbm".
bool written_extension(const FilterCheck& check) {
    return extension_is(check, u".xpm");
}

// "/* XPM */", "! XPM2" or an XBM's "#define" at the head.
bool has_signature(const FilterCheck& check) {
    return vt::formats::xpm_head(
        std::span<const std::uint8_t>(check.head, check.head_size < 32 ? check.head_size : 32));
}

std::int32_t load_image(FilterCall* call) {
    vt::formats::XpmImage header;
    const auto decode = [](auto, const auto& h, std::uint32_t* pixels, std::uint32_t stride) {
        return vt::formats::decode_xpm(h, pixels, stride);
    };
    if (const std::int32_t r = load_one_picture(call, header, vt::formats::read_xpm_header, decode);
        r != VT_OK)
        return r;
    deliver_markup(call, {header.bits_per_pixel});
    return VT_OK;
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    return write_target(call->path, [call](std::FILE* file) {
        return vt::formats::write_xpm(file, call->pixels, call->width, call->height, call->stride);
    });
}

} // namespace

// Transparency is on or off only; nothing but the pixels is written.
VT_FORMAT_PLUGIN_EXPORTS_KEEPING(60, has_signature, known_extension, written_extension, load_image,
                                 save_image, 0, 0u)
