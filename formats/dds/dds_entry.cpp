// fmx_DDS: the plug-in's exports, its answers to the host's checks and the call records.
// The reading and writing of the format is in dds_codec.cpp.

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "formats/dds/dds_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".dds");
}

bool has_signature(const FilterCheck& check) {
    static constexpr std::uint8_t kMagic[] = {'D', 'D', 'S', ' ', 124, 0, 0, 0};
    return head_starts_with(check, kMagic, sizeof(kMagic));
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> file(bytes);
    vt::formats::DdsHeader header;
    if (const std::int32_t r = vt::formats::read_dds_header(file, header); r != VT_OK)
        return r;
    if (const std::int32_t r = request_frame(call, header.width, header.height); r != VT_OK)
        return r;
    vt::formats::decode_dds(file, header, call->pixels, call->stride);
    deliver_markup(call, {header.layout == vt::formats::DdsLayout::kBc1     ? 4u
                          : header.layout == vt::formats::DdsLayout::kMasks ? header.bits
                                                                            : 8u});
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
    const int option = state_option(call, u"fmx_DDS.compression", 0, 0, 3);
    const int compression = option == 1 ? 1 : option == 3 ? 3 : 0;
    return write_target(call->path, [call, alpha, compression](std::FILE* file) {
        return vt::formats::write_dds(file, call->pixels, call->width, call->height, call->stride,
                                      compression, alpha);
    });
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS(100, has_signature, known_extension, load_image, save_image)
VT_FORMAT_PLUGIN_STATE_ENTRIES({"fmx_DDS.compression", "0",
                                "0 uncompressed 32-bit, 1 BC1 (DXT1), 3 BC3 (DXT5)"})
