// fmx_JPEG: the plug-in's exports, its answers to the host's checks and the call records.
// The codec work is in jpeg_glue.c.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "formats/jpeg/jpeg_glue.h"
#include "formats/kit/plugin_kit.h"
#include "plugins/sdk/vt_plugin.h"

namespace {

using namespace vt::formats::kit;

constexpr std::uint8_t kSignature[3] = {0xFF, 0xD8, 0xFF};
constexpr std::uint32_t kTagIcc = VT_TAG('I', 'C', 'C', 'P');
constexpr std::uint32_t kTagExif = VT_TAG('E', 'X', 'I', 'F');
constexpr int kDefaultQuality = 90;
// Markup export gives at most one marker's worth of EXIF.
constexpr std::uint32_t kMaxExifBytes = 65527;

struct LoadContext {
    FilterCall* call;
    std::uint32_t bits_per_pixel;
};

std::int32_t begin_frame(void* context, const VtJpegHeader* header, VtJpegTarget* target) noexcept {
    auto* load = static_cast<LoadContext*>(context);
    FilterCall* call = load->call;
    load->bits_per_pixel = header->bits_per_pixel;
    if (const std::int32_t r = request_frame(call, header->width, header->height); r != VT_OK)
        return r;
    target->pixels = call->pixels;
    target->stride = call->stride;
    return VT_OK;
}

void take_metadata(void* context, const VtJpegMetadata* meta) noexcept {
    auto* load = static_cast<LoadContext*>(context);
    FilterCall* call = load->call;
    if (meta->damaged != 0)
        call->warnings |= VT_WARN_DATA_LOST;
    deliver_markup(call, {load->bits_per_pixel, meta->exif, meta->exif_size, meta->xmp, nullptr});
    if (meta->icc != nullptr && meta->icc_size > 0 && call->meta_cb.add_meta_chunk != nullptr) {
        // The host copies the chunk from the pointer before returning.
        call->meta = const_cast<std::uint8_t*>(meta->icc);
        call->meta_cb.add_meta_chunk(call, kTagIcc, meta->icc_size);
        call->meta = nullptr;
    }
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    LoadContext context{call, 0};
    const VtJpegReadSink sink{&context, begin_frame, take_metadata};
    return vt_jpeg_read(bytes.data(), bytes.size(), &sink);
}

// A chunk of the selected frame's metadata, or an empty view.
struct ChunkView {
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
};

ChunkView frame_chunk(FilterCall* call, std::uint32_t tag) {
    if (call->meta_cb.get_meta_chunk == nullptr)
        return {};
    void* const kept = call->meta;
    const std::int32_t n = call->meta_cb.get_meta_chunk(call, tag);
    ChunkView view;
    if (n > 0 && call->meta != nullptr) {
        view.data = static_cast<const std::uint8_t*>(call->meta);
        view.size = static_cast<std::uint32_t>(n);
    }
    call->meta = kept;
    return view;
}

// EXIF from the markup, when the host's markup service can build it.
std::vector<std::uint8_t> exif_from_markup(FilterCall* call) {
    std::vector<std::uint8_t> exif;
    const pi_MetaMarkup* markup = call->meta_markup;
    const ChunkView mark = frame_chunk(call, kTagMark);
    if (mark.data == nullptr || !markup_usable(markup) || markup->create_from == nullptr ||
        markup->export_exif == nullptr)
        return exif;
    MarkupBuffer mb{};
    if (markup->create_from(&mb, mark.data, mark.size) == 0)
        return exif;
    exif.resize(kMaxExifBytes);
    const std::int32_t n = markup->export_exif(&mb, exif.data(), kMaxExifBytes);
    markup->free_buffer(&mb);
    exif.resize(
        n > 0 && static_cast<std::uint32_t>(n) <= kMaxExifBytes ? static_cast<std::size_t>(n) : 0);
    return exif;
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
    std::vector<std::uint8_t> exported;
    const ChunkView exif = frame_chunk(call, kTagExif);
    if (exif.data != nullptr) {
        options.exif = exif.data;
        options.exif_size = exif.size;
    } else {
        exported = exif_from_markup(call);
        options.exif = exported.empty() ? nullptr : exported.data();
        options.exif_size = static_cast<std::uint32_t>(exported.size());
    }

    const std::string name = to_utf8(call->path);
    if (name.empty())
        return VT_ERR_OPEN_WRITE;
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr)
        return VT_ERR_OPEN_WRITE;
    std::int32_t result =
        vt_jpeg_write(file, call->pixels, call->width, call->height, call->stride, &options);
    if (std::fclose(file) != 0 && result == VT_OK)
        result = VT_ERR_WRITE;
    // A half-written file must not pass for a picture.
    if (result != VT_OK)
        std::remove(name.c_str());
    return result;
}

bool jpeg_extension(const FilterCheck& check) {
    return extension_is(check, u".jpg") || extension_is(check, u".jpeg") ||
           extension_is(check, u".jpe") || extension_is(check, u".jfif");
}

} // namespace

extern "C" {

VT_PLUGIN_EXPORT std::int32_t flt_CheckLoad(FilterCheck* check) noexcept {
    return check_load(
        check, 100, [](const FilterCheck& c) { return head_starts_with(c, kSignature, 3); },
        jpeg_extension);
}

VT_PLUGIN_EXPORT std::int32_t flt_LoadImage(FilterCall* call) noexcept {
    return run_call(call, load_image);
}

VT_PLUGIN_EXPORT std::int32_t flt_CheckSave(FilterCheck* check) noexcept {
    return check_save(check, jpeg_extension);
}

VT_PLUGIN_EXPORT std::int32_t flt_SaveImage(FilterCall* call) noexcept {
    return run_call(call, save_image);
}

// The options live in the state store ("fmx_JPEG.quality", "fmx_JPEG.progressive",
// "fmx_JPEG.subsampling"); there is no dialog to show.
VT_PLUGIN_EXPORT std::int32_t plg_ShowDialog(FilterDialog* /*dialog*/) noexcept {
    return 0;
}

} // extern "C"
