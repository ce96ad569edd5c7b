// fmx_BMP: the plug-in's exports, its answers to the host's checks and the call records.
// The reading and writing of the format is in bmp_codec.cpp.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <vector>

#include "formats/bmp/bmp_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

using vt::formats::BmpHeader;

// "BM", then a plausible information header size when the head shows it.
bool has_signature(const FilterCheck& check) {
    const std::uint32_t have = check.head_size < 32 ? check.head_size : 32;
    if (have < 2 || check.head[0] != 'B' || check.head[1] != 'M')
        return false;
    if (have < 18)
        return true;
    const std::uint32_t info = static_cast<std::uint32_t>(check.head[14]) |
                               (static_cast<std::uint32_t>(check.head[15]) << 8) |
                               (static_cast<std::uint32_t>(check.head[16]) << 16) |
                               (static_cast<std::uint32_t>(check.head[17]) << 24);
    return info >= 12 && info <= 124;
}

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".bmp") || extension_is(check, u".dib");
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    MappedFile mapped;
    if (const std::int32_t r = mapped.open(call->path); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> file = mapped.bytes();
    auto header = std::make_unique<BmpHeader>();
    if (const std::int32_t r = vt::formats::read_bmp_header(file, *header); r != VT_OK)
        return r;
    if (const std::int32_t r = request_frame(call, header->width, header->height); r != VT_OK)
        return r;
    if (const std::int32_t r = vt::formats::decode_bmp(file, *header, call->pixels, call->stride);
        r != VT_OK)
        return r;
    deliver_markup(call, {header->bits_per_pixel});
    deliver_resolution(call, resolution_per_metre(header->ppm_x, header->ppm_y));
    if (header->icc_size > 0)
        add_frame_chunk(call, kTagIcc, &file[header->icc_offset],
                        static_cast<std::uint32_t>(header->icc_size));
    return VT_OK;
}

std::int32_t save_image(FilterCall* call) {
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    if (call->width > vt::formats::kBmpMaxSide || call->height > vt::formats::kBmpMaxSide)
        return VT_ERR_DIMENSIONS;
    vt::formats::BmpExtras extras;
    // Readers (this one too) take densities beyond a million per metre for garbage.
    const PrintResolution resolution = frame_resolution(call);
    const std::uint32_t ppm_x = whole_per_metre(resolution.x_per_metre());
    const std::uint32_t ppm_y = whole_per_metre(resolution.y_per_metre());
    if (ppm_x > 0 && ppm_y > 0 && ppm_x <= 1000000 && ppm_y <= 1000000) {
        extras.ppm_x = ppm_x;
        extras.ppm_y = ppm_y;
    }
    const ChunkView icc = frame_chunk(call, kTagIcc);
    extras.icc = {icc.data, icc.size};
    return write_target(call->path, [call, &extras](std::FILE* file) {
        return vt::formats::write_bmp(file, call->pixels, call->width, call->height, call->stride,
                                      any_transparent(call), extras);
    });
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(90, has_signature, known_extension, known_extension, load_image,
                                 save_image, 0,
                                 VT_KEEPS_PROFILE | VT_KEEPS_ALPHA | VT_KEEPS_RESOLUTION)
