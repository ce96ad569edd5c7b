// fmx_PCX: the plug-in's exports, its answers to the host's checks and the call records.
// The reading and writing of the format is in pcx_codec.cpp.

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "formats/pcx/pcx_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".pcx");
}

// 0x0A, a version, the coding and the bits per pixel: four bytes, so it ranks below the others.
bool has_signature(const FilterCheck& check) {
    if (check.head_size < 4)
        return false;
    vt::formats::PcxHeader header;
    return vt::formats::read_pcx_header(std::span<const std::uint8_t>(check.head, 4), header) !=
           VT_ERR_CORRUPT_OR_UNSUPPORTED;
}

std::int32_t load_image(FilterCall* call) {
    vt::formats::PcxHeader header;
    if (const std::int32_t r =
            load_one_picture(call, header, vt::formats::read_pcx_header, vt::formats::decode_pcx);
        r != VT_OK)
        return r;
    deliver_markup(call, {header.bits * header.planes});
    deliver_resolution(call, resolution_per_unit(header.dpi, header.dpi, false));
    return VT_OK;
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    if (call->width > 65535 || call->height > 65535)
        return VT_ERR_DIMENSIONS;
    const bool alpha = any_transparent(call);
    // The header holds whole dots per inch in 16 bits; anything else keeps the usual 72.
    const PrintResolution resolution = frame_resolution(call);
    const double x = resolution.x_dpi() + 0.5, y = resolution.y_dpi() + 0.5;
    const bool fits = x >= 1 && y >= 1 && x < 65536 && y < 65536;
    const auto dpi_x = fits ? static_cast<std::uint32_t>(x) : 72u;
    const auto dpi_y = fits ? static_cast<std::uint32_t>(y) : 72u;
    return write_target(call->path, [call, alpha, dpi_x, dpi_y](std::FILE* file) {
        return vt::formats::write_pcx(file, call->pixels, call->width, call->height, call->stride,
                                      alpha, dpi_x, dpi_y);
    });
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(60, has_signature, known_extension, known_extension, load_image,
                                 save_image, 0, VT_KEEPS_ALPHA | VT_KEEPS_RESOLUTION)
