// fmx_HDR: the plug-in's exports, its answers to the host's checks and the call records, for
// Radiance pictures (rgbe_codec.cpp) and Portable Float Maps (pfm_codec.cpp). Both hold
// linear-light floats, taken to the screen by the tone rule of linear_light.h: the deep picture
// (16 bits) when the host asks for one, and the 8-bit frame as its rounding. A Radiance file's
// EXPOSURE travels as the markup entry "hdr.exposure" and is written back to Radiance files.

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "formats/hdr/linear_light.h"
#include "formats/hdr/pfm_codec.h"
#include "formats/hdr/rgbe_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;
using vt::formats::LinearSource;
using vt::formats::LinearTarget;

constexpr const char* kExposureKey = "hdr.exposure";

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".hdr") || extension_is(check, u".pic") ||
           extension_is(check, u".pfm");
}

std::span<const std::uint8_t> head_of(const FilterCheck& check) {
    return {check.head, check.head_size < 32 ? check.head_size : 32u};
}

// "#?" and a capital, or "PF"/"Pf" and a blank: weak signatures, ranked as Netpbm's.
bool has_signature(const FilterCheck& check) {
    return vt::formats::rgbe_signature(head_of(check)) ||
           vt::formats::pfm_signature(head_of(check));
}

// Whether the target's name ends in ".pfm" (any case).
bool pfm_target(const std::uint16_t* path) {
    std::size_t length = 0;
    while (path[length] != 0)
        ++length;
    if (length < 4)
        return false;
    const char wanted[] = ".pfm";
    for (std::size_t i = 0; i < 4; ++i) {
        std::uint16_t c = path[length - 4 + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<std::uint16_t>(c + 32);
        if (c != static_cast<std::uint16_t>(wanted[i]))
            return false;
    }
    return true;
}

void deliver_hdr_markup(FilterCall* call, std::uint32_t bits, const double* exposure) {
    char text[32] = {};
    if (exposure != nullptr)
        std::snprintf(text, sizeof text, "%.9g", *exposure);
    MarkupItems items;
    items.bits_per_pixel = bits;
    items.key = kExposureKey;
    items.value = exposure != nullptr ? text : nullptr;
    deliver_markup(call, items);
}

// The exposure the selected picture's markup carries, 1 when none.
double marked_exposure(FilterCall* call) {
    char text[32] = {};
    if (!frame_markup_value(call, kExposureKey, text, sizeof text))
        return 1.0;
    double value = 0;
    const char* end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    return error == std::errc() && stop == end && value > 0 && value < 1e30 ? value : 1.0;
}

// The frame of the header's size, and the deep picture when asked for; then the decode.
template <typename Header, typename Decode>
std::int32_t load_linear(FilterCall* call, std::span<const std::uint8_t> file, const Header& header,
                         std::uint32_t deep_channels, Decode decode) {
    if (const std::int32_t r = request_frame(call, header.width, header.height); r != VT_OK)
        return r;
    LinearTarget target{call->pixels, call->stride, header.width, nullptr, deep_channels};
    if (deep_wanted(call)) {
        const std::size_t count = std::size_t{header.width} * header.height * deep_channels;
        // Without the memory the 8-bit frame still loads.
        target.deep = static_cast<std::uint16_t*>(std::malloc(count * sizeof(std::uint16_t)));
    }
    const std::int32_t r = decode(file, header, target);
    if (target.deep != nullptr) {
        if (r == VT_OK)
            deliver_deep(call, {header.width, header.height, deep_channels,
                                header.width * deep_channels, target.deep, 16, 0});
        else
            std::free(target.deep);
    }
    return r;
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    MappedFile mapped;
    if (const std::int32_t r = mapped.open(call->path); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> file = mapped.bytes();
    if (vt::formats::pfm_signature(file)) {
        vt::formats::PfmHeader header;
        if (const std::int32_t r = vt::formats::read_pfm_header(file, header); r != VT_OK)
            return r;
        if (const std::int32_t r = load_linear(call, file, header, header.channels == 1 ? 2 : 4,
                                               vt::formats::decode_pfm);
            r != VT_OK)
            return r;
        deliver_hdr_markup(call, header.channels * 32, nullptr);
        return VT_OK;
    }
    vt::formats::RgbeHeader header;
    if (const std::int32_t r = vt::formats::read_rgbe_header(file, header); r != VT_OK)
        return r;
    if (const std::int32_t r = load_linear(call, file, header, 4, vt::formats::decode_rgbe);
        r != VT_OK)
        return r;
    deliver_hdr_markup(call, 32, header.has_exposure ? &header.exposure : nullptr);
    return VT_OK;
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    const VtDeepImage* deep = deep_offered(call);
    const LinearSource source{call->pixels, call->stride, call->width, call->height, deep};
    const bool pfm = pfm_target(call->path);
    const double exposure = pfm ? 1.0 : marked_exposure(call);
    const std::int32_t r = write_target(call->path, [&](std::FILE* file) {
        return pfm ? vt::formats::write_pfm(file, source)
                   : vt::formats::write_rgbe(file, source, exposure);
    });
    if (r == VT_OK && deep != nullptr)
        deep_written(call);
    return r;
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(60, has_signature, known_extension, known_extension, load_image,
                                 save_image, 16, 0u)
