// fmx_PNG: the plug-in's exports, its answers to the host's checks and the call records.
// The codec work is in png_glue.c.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "formats/png/png_glue.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::formats::kit;

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr int kDefaultLevel = 6;

struct LoadContext {
    FilterCall* call;
    std::uint32_t bits_per_pixel;
};

std::int32_t begin_frame(void* context, const VtPngHeader* header, VtPngTarget* target) noexcept {
    auto* load = static_cast<LoadContext*>(context);
    FilterCall* call = load->call;
    load->bits_per_pixel = header->bits_per_pixel;
    if (const std::int32_t r = request_frame(call, header->width, header->height); r != VT_OK)
        return r;
    target->pixels = call->pixels;
    target->stride = call->stride;
    return VT_OK;
}

void take_metadata(void* context, const std::uint8_t* exif, std::uint32_t exif_size,
                   const char* xmp, std::size_t /*xmp_size*/, const std::uint8_t* icc,
                   std::uint32_t icc_size) noexcept {
    auto* load = static_cast<LoadContext*>(context);
    FilterCall* call = load->call;
    deliver_markup(call, {load->bits_per_pixel, exif, exif_size, xmp, nullptr});
    add_frame_chunk(call, kTagIcc, icc, icc_size);
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    LoadContext context{call, 0};
    const VtPngReadSink sink{&context, begin_frame, take_metadata};
    return vt_png_read(bytes.data(), bytes.size(), &sink);
}

std::int32_t save_image(FilterCall* call) {
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    if (call->width > VT_PNG_MAX_SIDE || call->height > VT_PNG_MAX_SIDE)
        return VT_ERR_DIMENSIONS;
    // EXIF only from the markup, so that what the privacy options removed stays removed.
    const std::vector<std::uint8_t> exif = exif_from_markup(call, kMaxExifBytes);
    const ChunkView icc = frame_chunk(call, kTagIcc);
    const VtPngWriteMetadata meta{exif.empty() ? nullptr : exif.data(),
                                  static_cast<std::uint32_t>(exif.size()), icc.data, icc.size};
    const std::string name = to_utf8(call->path);
    if (name.empty())
        return VT_ERR_OPEN_WRITE;
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr)
        return VT_ERR_OPEN_WRITE;
    std::int32_t result = vt_png_write(
        file, call->pixels, call->width, call->height, call->stride, any_transparent(call) ? 1 : 0,
        state_option(call, u"fmx_PNG.level", kDefaultLevel, 0, 9), &meta);
    if (std::fclose(file) != 0 && result == VT_OK)
        result = VT_ERR_WRITE;
    // A half-written file must not pass for a picture.
    if (result != VT_OK)
        std::remove(name.c_str());
    return result;
}

} // namespace

extern "C" {

VT_PLUGIN_EXPORT std::int32_t flt_CheckLoad(FilterCheck* check) noexcept {
    return check_load(
        check, 100, [](const FilterCheck& c) { return head_starts_with(c, kSignature, 8); },
        [](const FilterCheck& c) { return extension_is(c, u".png"); });
}

VT_PLUGIN_EXPORT std::int32_t flt_LoadImage(FilterCall* call) noexcept {
    return run_call(call, load_image);
}

VT_PLUGIN_EXPORT std::int32_t flt_CheckSave(FilterCheck* check) noexcept {
    return check_save(check, [](const FilterCheck& c) { return extension_is(c, u".png"); });
}

VT_PLUGIN_EXPORT std::int32_t flt_SaveImage(FilterCall* call) noexcept {
    return run_call(call, save_image);
}

// The options live in the state store; there is no dialog to show.
VT_PLUGIN_EXPORT std::int32_t plg_ShowDialog(FilterDialog* /*dialog*/) noexcept {
    return 0;
}

VT_PLUGIN_EXPORT const VtStateEntry* plg_StateEntries() noexcept {
    static const VtStateEntry kEntries[] = {
        {"fmx_PNG.level", "6", "0 to 9: compression effort, 0 stores, 9 packs tightest"},
        {nullptr, nullptr, nullptr}};
    return kEntries;
}

} // extern "C"
