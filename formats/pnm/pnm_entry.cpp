// fmx_PNM: the plug-in's exports, its answers to the host's checks and the call records.
// The reading and writing of the formats is in pnm_codec.cpp.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "formats/pnm/pnm_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

using vt::formats::PnmForm;
using vt::formats::PnmHeader;

struct Extension {
    const char16_t* name;
    PnmForm form;
};
constexpr Extension kExtensions[] = {
    {u".pbm", PnmForm::kBitmap},  {u".pgm", PnmForm::kGreymap},   {u".ppm", PnmForm::kPixmap},
    {u".pnm", PnmForm::kNatural}, {u".pam", PnmForm::kArbitrary},
};

bool known_extension(const FilterCheck& check) {
    for (const Extension& e : kExtensions)
        if (extension_is(check, e.name))
            return true;
    return false;
}

// "P1" to "P7" and a blank: two bytes are a weak signature, so it ranks below the others.
bool has_signature(const FilterCheck& check) {
    const std::uint32_t have = check.head_size < 32 ? check.head_size : 32;
    if (have < 3 || check.head[0] != 'P' || check.head[1] < '1' || check.head[1] > '7')
        return false;
    const std::uint8_t c = check.head[2];
    if (!(c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '#'))
        return false;
    // The next thing after blanks is a digit, a comment or (P7) a keyword.
    for (std::uint32_t i = 3; i < have; ++i) {
        const std::uint8_t d = check.head[i];
        if (d == ' ' || d == '\t' || d == '\n' || d == '\r')
            continue;
        return (d >= '0' && d <= '9') || d == '#' || (check.head[1] == '7' && d >= 'A' && d <= 'Z');
    }
    return true;
}

// The form the target's extension asks for; ".ppm" for a name without a known one.
PnmForm form_for(const std::uint16_t* path) {
    std::size_t length = 0;
    std::size_t dot = 0;
    bool has_dot = false;
    for (; path[length] != 0; ++length) {
        if (path[length] == '.') {
            dot = length;
            has_dot = true;
        } else if (path[length] == '/') {
            has_dot = false;
        }
    }
    if (!has_dot || length - dot != 4)
        return PnmForm::kPixmap;
    for (const Extension& e : kExtensions) {
        bool same = true;
        for (std::size_t i = 0; i < 4 && same; ++i) {
            std::uint16_t c = path[dot + i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<std::uint16_t>(c + 32);
            same = c == static_cast<std::uint16_t>(e.name[i]);
        }
        if (same)
            return e.form;
    }
    return PnmForm::kPixmap;
}

// Frame 0 at 16 bits for a file of more than 8, decoded beside the unchanged 8-bit frame.
void load_deep(FilterCall* call) {
    std::vector<std::uint8_t> bytes;
    PnmHeader header;
    if (read_file(call->path, bytes) != VT_OK ||
        vt::formats::read_pnm_header(bytes, header) != VT_OK || header.maxval <= 255 ||
        header.form == '1' || header.form == '4')
        return;
    const std::uint32_t channels = vt::formats::pnm_deep_channels(header);
    const std::size_t count = std::size_t{header.width} * header.height * channels;
    auto* samples = static_cast<std::uint16_t*>(std::malloc(count * sizeof(std::uint16_t)));
    if (samples == nullptr)
        return;
    if (vt::formats::decode_pnm_deep(bytes, header, samples, header.width * channels) != VT_OK) {
        std::free(samples);
        return;
    }
    std::uint32_t bits = 9;
    while (bits < 16 && (1u << bits) <= header.maxval)
        ++bits;
    deliver_deep(
        call, {header.width, header.height, channels, header.width * channels, samples, bits, 0});
}

std::int32_t load_image(FilterCall* call) {
    PnmHeader header;
    if (const std::int32_t r =
            load_one_picture(call, header, vt::formats::read_pnm_header, vt::formats::decode_pnm);
        r != VT_OK)
        return r;
    deliver_markup(call, {header.bits_per_pixel});
    if (deep_wanted(call) && header.maxval > 255)
        load_deep(call);
    return VT_OK;
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    const PnmForm form = form_for(call->path);
    // Refused before the file is touched.
    if (form == PnmForm::kBitmap &&
        !vt::formats::pnm_black_and_white(call->pixels, call->width, call->height, call->stride))
        return VT_ERR_IMAGE_MODE;
    if (const VtDeepImage* deep = deep_offered(call); deep != nullptr && form != PnmForm::kBitmap) {
        const std::int32_t r = write_target(call->path, [deep, form](std::FILE* file) {
            return vt::formats::write_pnm_deep(file, deep->samples, deep->width, deep->height,
                                               deep->stride, deep->channels, form);
        });
        if (r == VT_OK)
            deep_written(call);
        return r;
    }
    return write_target(call->path, [call, form](std::FILE* file) {
        return vt::formats::write_pnm(file, call->pixels, call->width, call->height, call->stride,
                                      form);
    });
}

} // namespace

constexpr ::vt::kit::Keeps kPnmKeeps[] = {{u".pam", VT_KEEPS_ALPHA}, {nullptr, 0}};
VT_FORMAT_PLUGIN_EXPORTS_KEEPING(60, has_signature, known_extension, known_extension, load_image,
                                 save_image, 16, kPnmKeeps)
