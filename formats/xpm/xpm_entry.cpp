// fmx_XPM: the plug-in's exports, its answers to the host's checks and the call records.
// The reading and writing of the formats is in xpm_codec.cpp. A ".xbm" target gets an X bitmap,
// which holds only black and white: any other picture is refused with the reason.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "formats/xpm/xpm_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".xpm") || extension_is(check, u".xbm");
}

bool written_extension(const FilterCheck& check) {
    return known_extension(check);
}

// The target's file name without its folder and extension, and whether the extension is ".xbm".
std::string stem_of(const std::uint16_t* path, bool& bitmap) {
    std::string name = to_utf8(path);
    name.erase(0, name.find_last_of('/') + 1);
    const std::size_t dot = name.find_last_of('.');
    std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
    for (char& c : ext)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    bitmap = ext == ".xbm";
    if (dot != std::string::npos)
        name.erase(dot);
    // The host writes beside the target, "<target>.<8 hex digits>.tmp<extension>", and renames
    // the file when it is complete: the names inside come from the target's.
    const auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    if (name.size() > 13 + ext.size() && name.ends_with(".tmp") && name[name.size() - 13] == '.' &&
        std::all_of(name.end() - 12, name.end() - 4, hex)) {
        name.erase(name.size() - 13);
        if (name.size() > ext.size() && name.ends_with(ext))
            name.erase(name.size() - ext.size());
    }
    return name;
}

// The reason for the host's message (ASCII text).
void say(FilterCall* call, const char* text) noexcept {
    if (call->set_message == nullptr)
        return;
    std::uint16_t wide[128] = {};
    for (std::size_t i = 0; i + 1 < std::size(wide) && text[i] != 0; ++i)
        wide[i] = static_cast<std::uint8_t>(text[i]);
    (void)call->set_message(call, wide);
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
    bool bitmap = false;
    const std::string name = stem_of(call->path, bitmap);
    if (bitmap) {
        // Refused before the target is touched.
        if (const char* why =
                vt::formats::xbm_refusal(call->pixels, call->width, call->height, call->stride)) {
            say(call, why);
            return VT_ERR_IMAGE_MODE;
        }
        return write_target(call->path, [call, &name](std::FILE* file) {
            return vt::formats::write_xbm(file, call->pixels, call->width, call->height,
                                          call->stride, name);
        });
    }
    return write_target(call->path, [call](std::FILE* file) {
        return vt::formats::write_xpm(file, call->pixels, call->width, call->height, call->stride);
    });
}

} // namespace

// Transparency is on or off only; nothing but the pixels is written.
VT_FORMAT_PLUGIN_EXPORTS_KEEPING(60, has_signature, known_extension, written_extension, load_image,
                                 save_image, 0, 0u)
