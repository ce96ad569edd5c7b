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
    vt::formats::DdsHeader header;
    const auto decode = [](auto file, const auto& h, std::uint32_t* pixels, std::uint32_t stride) {
        vt::formats::decode_dds(file, h, pixels, stride);
        return VT_OK;
    };
    if (const std::int32_t r = load_one_picture(call, header, vt::formats::read_dds_header, decode);
        r != VT_OK)
        return r;
    using vt::formats::DdsLayout;
    deliver_markup(call, {header.layout == DdsLayout::kBc1 || header.layout == DdsLayout::kBc4 ? 4u
                          : header.layout == DdsLayout::kMasks ? header.bits
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

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, has_signature, known_extension, known_extension, load_image,
                                 save_image, 0, VT_KEEPS_ALPHA)
VT_FORMAT_PLUGIN_STATE_ENTRIES({"fmx_DDS.compression", "0",
                                "0 uncompressed 32-bit, 1 BC1 (DXT1), 3 BC3 (DXT5)"})
