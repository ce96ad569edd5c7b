// fmx_JPEG: the plug-in's exports, its answers to the host's checks and the call records.
// The codec work is in jpeg_glue.c.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/jpeg/jpeg_glue.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

constexpr std::uint8_t kSignature[3] = {0xFF, 0xD8, 0xFF};
constexpr int kDefaultQuality = 90;

struct LoadContext {
    FilterCall* call;
    std::uint32_t bits_per_pixel;
};

// The draft for the size the host asks (in eighths, see VtJpegTarget), or 0 when it asks none.
// Reductions to 1/8 .. 1/2 are taken as the smallest that leaves the host its size. Above that a
// full-size draft is faster: libjpeg-turbo vectorises only the full-size transforms, and a
// reduction of 5/8 .. 7/8 also decodes chroma through a scalar transform of 10 to 14 points.
std::uint32_t draft_eighths(FilterCall* call, std::uint32_t width, std::uint32_t height) noexcept {
    if (call->basic_query == nullptr || call->basic_query->query == nullptr)
        return 0;
    std::uint32_t size[2] = {width, height};
    if (call->basic_query->query("load.draft_size", size, sizeof size) != sizeof size)
        return 0;
    for (std::uint32_t n = 1; n <= 4; ++n) {
        if (vt_jpeg_scaled_side(width, n) >= size[0] && vt_jpeg_scaled_side(height, n) >= size[1])
            return n;
    }
    return 8;
}

std::int32_t begin_frame(void* context, const VtJpegHeader* header, VtJpegTarget* target) noexcept {
    auto* load = static_cast<LoadContext*>(context);
    FilterCall* call = load->call;
    load->bits_per_pixel = header->bits_per_pixel;
    const std::uint32_t eighths = draft_eighths(call, header->width, header->height);
    if (const std::int32_t r = request_frame(call, vt_jpeg_scaled_side(header->width, eighths),
                                             vt_jpeg_scaled_side(header->height, eighths));
        r != VT_OK)
        return r;
    target->pixels = call->pixels;
    target->stride = call->stride;
    target->scale_eighths = eighths;
    return VT_OK;
}

// A line for the host's message (ASCII text).
void say(FilterCall* call, const std::string& text) noexcept {
    if (call->set_message == nullptr)
        return;
    try {
        const std::u16string wide(text.begin(), text.end());
        (void)call->set_message(call, reinterpret_cast<const std::uint16_t*>(wide.c_str()));
    } catch (...) {
        // The result code alone still tells the host.
    }
}

// The host's warning line for a file that ends early.
void say_cut(FilterCall* call, std::uint32_t read, std::uint32_t rows) noexcept {
    try {
        say(call, read >= rows ? std::string("the file is cut short: its rows hold only the "
                                             "detail that arrived")
                               : "the file is cut short: " + std::to_string(read) + " of " +
                                     std::to_string(rows) + " rows could be read");
    } catch (...) {
        // The warning flag alone still tells the host.
    }
}

void say_refused(void* context, const char* reason) noexcept {
    try {
        say(static_cast<LoadContext*>(context)->call, reason);
    } catch (...) {
        // The result code alone still tells the host.
    }
}

void take_metadata(void* context, const VtJpegMetadata* meta) noexcept {
    auto* load = static_cast<LoadContext*>(context);
    FilterCall* call = load->call;
    if (meta->damaged != 0)
        call->warnings |= VT_WARN_DATA_LOST;
    if (meta->cut != 0) {
        call->warnings |= VT_WARN_DATA_LOST;
        say_cut(call, meta->rows_read, meta->rows);
    }
    deliver_markup(call, {load->bits_per_pixel, meta->exif, meta->exif_size, meta->xmp, nullptr});
    add_frame_chunk(call, kTagIcc, meta->icc, meta->icc_size);
    // JFIF's density is what readers show; EXIF's resolution only stands in when JFIF has none.
    const PrintResolution resolution =
        meta->density_unit != 0
            ? resolution_per_unit(meta->x_density, meta->y_density, meta->density_unit == 2)
            : resolution_from_exif({meta->exif, meta->exif != nullptr ? meta->exif_size : 0});
    deliver_resolution(call, resolution);
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    SourceFile file;
    if (const std::int32_t r = file.open(call->path); r != VT_OK)
        return r;
    LoadContext context{call, 0};
    const VtJpegReadSink sink{&context, begin_frame, take_metadata, say_refused};
    return vt_jpeg_read_file(file.get(), static_cast<std::size_t>(file.size()), &sink);
}

std::int32_t save_image(FilterCall* call) {
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    if (call->width > VT_JPEG_MAX_SAVE_SIDE || call->height > VT_JPEG_MAX_SAVE_SIDE)
        return VT_ERR_DIMENSIONS;

    VtJpegWriteOptions options{};
    options.quality = state_option(call, u"fmx_JPEG.quality", kDefaultQuality, 1, 100);
    options.progressive = state_option(call, u"fmx_JPEG.progressive", 0, 0, 1);
    // Small colour detail is worth keeping when the user asks for high quality.
    options.subsample =
        state_option(call, u"fmx_JPEG.subsampling", options.quality < 90 ? 1 : 0, 0, 1);
    const ChunkView icc = frame_chunk(call, kTagIcc);
    options.icc = icc.data;
    options.icc_size = icc.size;
    // EXIF comes from the markup only, so that whatever the privacy options deleted there is
    // really gone from the file.
    std::vector<std::uint8_t> exported = exif_from_markup(call, kMaxExifBytes);
    // Readers take EXIF's resolution before JFIF's: both must say the same.
    set_exif_resolution(exported, frame_resolution(call));
    options.exif = exported.empty() ? nullptr : exported.data();
    options.exif_size = static_cast<std::uint32_t>(exported.size());
    options.opaque = any_transparent(call) ? 0 : 1;
    if (const PrintResolution resolution = frame_resolution(call); resolution.known()) {
        options.density_unit = resolution.per_cm ? 2 : 1;
        options.x_density = resolution.x;
        options.y_density = resolution.y;
    }
    return write_target(call->path, [call, &options](std::FILE* file) {
        return vt_jpeg_write(file, call->pixels, call->width, call->height, call->stride, &options);
    });
}

bool jpeg_signature(const FilterCheck& check) {
    return head_starts_with(check, kSignature, 3);
}

bool jpeg_extension(const FilterCheck& check) {
    return extension_is(check, u".jpg") || extension_is(check, u".jpeg") ||
           extension_is(check, u".jpe") || extension_is(check, u".jfif");
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, jpeg_signature, jpeg_extension, jpeg_extension, load_image,
                                 save_image, 0,
                                 VT_KEEPS_PROFILE | VT_KEEPS_RESOLUTION | VT_KEEPS_EXIF)

VT_FORMAT_PLUGIN_STATE_ENTRIES(
    {"fmx_JPEG.quality", "90", "1 to 100: higher keeps more detail in larger files"},
    {"fmx_JPEG.progressive", "0", "1: progressive, the picture builds up in passes"},
    {"fmx_JPEG.subsampling", "by quality",
     "0: full colour detail (4:4:4), 1: halved (4:2:0); unset: 1 below quality 90"})
