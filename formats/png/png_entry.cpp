// fmx_PNG: the plug-in's exports, its answers to the host's checks and the call records.
// The codec work is in png_glue.c.

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "formats/png/apng.h"
#include "formats/png/png_glue.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr int kDefaultLevel = 6;
constexpr std::int32_t kDocAnimation = 2; // frames with delays

struct LoadContext {
    FilterCall* call;
    std::uint32_t bits_per_pixel;
    std::uint32_t bit_depth;
};

std::int32_t begin_frame(void* context, const VtPngHeader* header, VtPngTarget* target) noexcept {
    auto* load = static_cast<LoadContext*>(context);
    FilterCall* call = load->call;
    load->bits_per_pixel = header->bits_per_pixel;
    load->bit_depth = header->bit_depth;
    if (const std::int32_t r = request_frame(call, header->width, header->height); r != VT_OK)
        return r;
    target->pixels = call->pixels;
    target->stride = call->stride;
    return VT_OK;
}

void take_metadata(void* context, const VtPngMetadata* meta) noexcept {
    auto* load = static_cast<LoadContext*>(context);
    FilterCall* call = load->call;
    deliver_markup(call, {load->bits_per_pixel, meta->exif, meta->exif_size, meta->xmp, nullptr});
    add_frame_chunk(call, kTagIcc, meta->icc, meta->icc_size);
    deliver_resolution(call, resolution_per_metre(meta->ppm_x, meta->ppm_y));
}

// The reason a load failed, for the host's message (ASCII text).
void say(FilterCall* call, const std::string& text) {
    if (call->set_message == nullptr)
        return;
    const std::u16string wide(text.begin(), text.end());
    (void)call->set_message(call, reinterpret_cast<const std::uint16_t*>(wide.c_str()));
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    MappedFile file;
    if (const std::int32_t r = file.open(call->path); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> bytes = file.bytes();
    if (const std::string chunk = vt::formats::png::damaged_chunk(bytes); !chunk.empty()) {
        say(call, "CRC error in the " + chunk + " chunk: the file is damaged");
        return VT_ERR_INVALID_DATA;
    }
    if (const std::int32_t r = vt::formats::png::read_apng(bytes, call);
        r != vt::formats::png::kNotAnimated)
        return r;
    LoadContext context{call, 0, 0};
    const VtPngReadSink sink{&context, begin_frame, take_metadata};
    const std::int32_t result = vt_png_read(bytes.data(), bytes.size(), &sink);
    // The 8-bit frame stays exactly as it is read without the request; the deep picture is
    // decoded beside it, and a file it fails on simply has none.
    if (result == VT_OK && context.bit_depth == 16 && deep_wanted(call)) {
        VtDeepImage deep{};
        if (vt_png_read_deep(bytes.data(), bytes.size(), &deep) == VT_OK)
            deliver_deep(call, deep);
    }
    return result;
}

// What a save writes beside the pixels, copied from the selected frame (the host's views
// belong to it and end with the next selection).
struct SaveMetadata {
    std::vector<std::uint8_t> exif;
    std::vector<std::uint8_t> icc;
    PrintResolution resolution;

    explicit SaveMetadata(FilterCall* call) {
        // EXIF only from the markup, so that what the privacy options removed stays removed.
        exif = exif_from_markup(call, kMaxExifBytes);
        const ChunkView profile = frame_chunk(call, kTagIcc);
        icc.assign(profile.data, profile.data + profile.size);
        resolution = frame_resolution(call);
        set_exif_resolution(exif, resolution);
    }
    VtPngWriteMetadata view() const {
        return {
            exif.empty() ? nullptr : exif.data(),      static_cast<std::uint32_t>(exif.size()),
            icc.empty() ? nullptr : icc.data(),        static_cast<std::uint32_t>(icc.size()),
            whole_per_metre(resolution.x_per_metre()), whole_per_metre(resolution.y_per_metre())};
    }
};

std::int32_t save_animation(FilterCall* call, int level) {
    if (const std::int32_t r = select_frame_at(call, 0); r != VT_OK)
        return r;
    std::string file;
    try {
        const SaveMetadata meta(call);
        if (const std::int32_t r = vt::formats::png::write_apng(call, meta.view(), level, file);
            r != VT_OK)
            return r;
    } catch (const std::bad_alloc&) {
        return VT_ERR_OUT_OF_MEMORY;
    }
    return write_target_bytes(call->path,
                              {reinterpret_cast<const std::uint8_t*>(file.data()), file.size()});
}

std::int32_t save_image(FilterCall* call) {
    const int level = state_option(call, u"fmx_PNG.level", kDefaultLevel, 0, 9);
    if (call->doc_kind == kDocAnimation && call->frame_count > 1 &&
        state_option(call, u"fmx_PNG.animation", 1, 0, 1) != 0)
        return save_animation(call, level);
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    if (call->width > VT_PNG_MAX_SIDE || call->height > VT_PNG_MAX_SIDE)
        return VT_ERR_DIMENSIONS;
    try {
        const SaveMetadata meta(call);
        const VtPngWriteMetadata view = meta.view();
        if (const VtDeepImage* deep = deep_offered(call)) {
            const std::int32_t r = write_target(call->path, [deep, &view, level](std::FILE* file) {
                return vt_png_write_deep(file, deep, deep_transparent(*deep) ? 1 : 0, level, &view);
            });
            if (r == VT_OK)
                deep_written(call);
            return r;
        }
        return write_target(call->path, [call, &view, level](std::FILE* file) {
            return vt_png_write(file, call->pixels, call->width, call->height, call->stride,
                                any_transparent(call) ? 1 : 0, level, &view);
        });
    } catch (const std::bad_alloc&) {
        return VT_ERR_OUT_OF_MEMORY;
    }
}

bool png_signature(const FilterCheck& check) {
    return head_starts_with(check, kSignature, 8);
}

bool png_extension(const FilterCheck& check) {
    return extension_is(check, u".png");
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, png_signature, png_extension, png_extension, load_image,
                                 save_image, 16,
                                 VT_KEEPS_PROFILE | VT_KEEPS_ALPHA | VT_KEEPS_RESOLUTION |
                                     VT_KEEPS_EXIF | VT_KEEPS_ANIMATION)

VT_FORMAT_PLUGIN_STATE_ENTRIES(
    {"fmx_PNG.level", "6", "0 to 9: compression effort, 0 stores, 9 packs tightest"},
    {"fmx_PNG.animation", "1",
     "1: an animation is saved as an animated PNG, 0: as one still picture"})
