// fmx_QOI: the plug-in's exports, its answers to the host's checks and the call records.
// The reading and writing of the format is in qoi_codec.cpp. The colour space byte travels as
// the markup entry "qoi.colorspace" ("sRGB" or "linear"), so a QOI copied to QOI keeps it.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

#include "formats/qoi/qoi_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

constexpr const char* kColourSpaceKey = "qoi.colorspace";

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".qoi");
}

bool has_signature(const FilterCheck& check) {
    static constexpr std::uint8_t kMagic[4] = {'q', 'o', 'i', 'f'};
    return head_starts_with(check, kMagic, 4);
}

void deliver_qoi_markup(FilterCall* call, const vt::formats::QoiHeader& header) {
    MarkupItems items;
    items.bits_per_pixel = header.channels * 8u;
    items.key = kColourSpaceKey;
    items.value = header.linear ? "linear" : "sRGB";
    deliver_markup(call, items);
}

// Whether the selected picture came from a linear QOI file.
bool marked_linear(FilterCall* call) {
    char value[8] = {};
    return frame_markup_value(call, kColourSpaceKey, value, sizeof value) &&
           std::strcmp(value, "linear") == 0;
}

std::int32_t load_image(FilterCall* call) {
    vt::formats::QoiHeader header;
    if (const std::int32_t r =
            load_one_picture(call, header, vt::formats::read_qoi_header, vt::formats::decode_qoi);
        r != VT_OK)
        return r;
    deliver_qoi_markup(call, header);
    return VT_OK;
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    const bool alpha = any_transparent(call);
    const bool linear = marked_linear(call);
    return write_target(call->path, [call, alpha, linear](std::FILE* file) {
        return vt::formats::write_qoi(file, call->pixels, call->width, call->height, call->stride,
                                      alpha, linear);
    });
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, has_signature, known_extension, known_extension, load_image,
                                 save_image, 0, VT_KEEPS_ALPHA)
