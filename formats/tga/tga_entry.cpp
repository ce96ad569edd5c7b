// fmx_TGA: the plug-in's exports, its answers to the host's checks and the call records.
// The reading and writing of the format is in tga_codec.cpp.

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "formats/tga/tga_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".tga") || extension_is(check, u".icb") ||
           extension_is(check, u".vda") || extension_is(check, u".vst");
}

// Targa has no magic number at its head: a header whose fields all hold values the format
// allows is the signature, so it ranks low.
bool has_signature(const FilterCheck& check) {
    if (check.head_size < 18)
        return false;
    std::vector<std::uint8_t> head(check.head, check.head + 18);
    head.resize(64, 0);
    vt::formats::TgaHeader header;
    const std::int32_t r = vt::formats::read_tga_header(head, header);
    return r == VT_OK || r == VT_ERR_READ;
}

std::int32_t load_image(FilterCall* call) {
    vt::formats::TgaHeader header;
    if (const std::int32_t r =
            load_one_picture(call, header, vt::formats::read_tga_header, vt::formats::decode_tga);
        r != VT_OK)
        return r;
    deliver_markup(call, {header.depth});
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
    const bool rle = state_option(call, u"fmx_TGA.rle", 1, 0, 1) != 0;
    return write_target(call->path, [call, alpha, rle](std::FILE* file) {
        return vt::formats::write_tga(file, call->pixels, call->width, call->height, call->stride,
                                      alpha, rle);
    });
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(40, has_signature, known_extension, known_extension, load_image,
                                 save_image, 0, VT_KEEPS_ALPHA)
VT_FORMAT_PLUGIN_STATE_ENTRIES({"fmx_TGA.rle", "1",
                                "1 writes run-length coded pixels, 0 raw pixels"})
