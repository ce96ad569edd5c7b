// fmx_EXR: the plug-in's exports, its answers to the host's checks and the call records.
// The reading and writing of the format is in exr_codec.cpp. Option "fmx_EXR.compression" by
// the file's own numbers: 3 ZIP (the default), 4 PIZ, 0 none.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "formats/exr/exr_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;
using vt::formats::ExrCompression;
using vt::formats::ExrHeader;

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".exr");
}

bool has_signature(const FilterCheck& check) {
    static constexpr std::uint8_t kMagic[4] = {0x76, 0x2F, 0x31, 0x01};
    return head_starts_with(check, kMagic, 4);
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    MappedFile mapped;
    if (const std::int32_t r = mapped.open(call->path); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> file = mapped.bytes();
    ExrHeader header;
    if (const std::int32_t r = vt::formats::read_exr_header(file, header); r != VT_OK)
        return r;
    if (const std::int32_t r = request_frame(call, header.width, header.height); r != VT_OK)
        return r;
    const std::uint32_t channels = header.grey ? 2 : 4;
    // Without the memory for the deep picture the 8-bit frame still loads.
    auto* deep = deep_wanted(call) ? static_cast<std::uint16_t*>(std::malloc(
                                         std::size_t{header.width} * header.height * channels * 2))
                                   : nullptr;
    const std::int32_t r = vt::formats::decode_exr(file, header, call->pixels, call->stride, deep);
    if (r != VT_OK) {
        std::free(deep);
        return r;
    }
    if (deep != nullptr)
        deliver_deep(call,
                     {header.width, header.height, channels, header.width * channels, deep, 16, 0});
    deliver_markup(call, {header.bits_per_pixel});
    return VT_OK;
}

ExrCompression compression_option(const FilterCall* call) {
    switch (state_option(call, u"fmx_EXR.compression", 3, 0, 65535)) {
    case 0:
        return ExrCompression::kNone;
    case 4:
        return ExrCompression::kPiz;
    default:
        return ExrCompression::kZip;
    }
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    const VtDeepImage* deep = deep_offered(call);
    const bool alpha = deep != nullptr ? deep_transparent(*deep) : any_transparent(call);
    const ExrCompression compression = compression_option(call);
    const std::int32_t r = write_target(call->path, [&](std::FILE* file) {
        return vt::formats::write_exr(file, call->pixels, call->width, call->height, call->stride,
                                      deep, alpha, compression);
    });
    if (r == VT_OK && deep != nullptr)
        deep_written(call);
    return r;
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, has_signature, known_extension, known_extension, load_image,
                                 save_image, 16, VT_KEEPS_ALPHA)
VT_FORMAT_PLUGIN_STATE_ENTRIES({"fmx_EXR.compression", "3", "3: ZIP, 4: PIZ, 0: none"})
