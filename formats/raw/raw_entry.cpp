// fmx_RAW: camera raw files developed by LibRaw with the camera's white balance into 8-bit sRGB,
// turned by the file's orientation (the markup's EXIF orientation is then upright). Options:
// the embedded preview instead of a full develop, and half size. Load only.

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <libraw/libraw.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
constexpr unsigned kMaxRawMemoryMb = 2048;

// LibRaw with what it knows of an uncompressed picture's layout, to see that the file holds it:
// LibRaw itself rounds a last partial sample up and reads on.
class Developer final : public LibRaw {
public:
    // The bytes an uncompressed picture needs from its offset on; 0 when compressed or unknown.
    std::uint64_t uncompressed_end() const {
        const auto& u = libraw_internal_data.unpacker_data;
        if (u.tiff_compress != 1 || u.tiff_bps == 0 || u.data_offset <= 0)
            return 0;
        const std::uint64_t samples = std::max(1u, u.tiff_samples);
        return static_cast<std::uint64_t>(u.data_offset) + std::uint64_t{imgdata.sizes.raw_width} *
                                                               imgdata.sizes.raw_height * samples *
                                                               u.tiff_bps / 8;
    }
};

struct ProcessedFree {
    void operator()(libraw_processed_image_t* p) const noexcept { LibRaw::dcraw_clear_mem(p); }
};
using Processed = std::unique_ptr<libraw_processed_image_t, ProcessedFree>;

// LibRaw goes on past data that ends early or is broken; the flag makes the load fail instead.
// Nothing goes to stderr.
void note_data_error(void* flag, const char*, const int) {
    *static_cast<bool*>(flag) = true;
}
void quiet_memory_error(void*, const char*, const char*) {}

std::int32_t result_of(int error) {
    switch (error) {
    case LIBRAW_SUCCESS:
        return VT_OK;
    case LIBRAW_FILE_UNSUPPORTED:
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    case LIBRAW_REQUEST_FOR_NONEXISTENT_IMAGE:
    case LIBRAW_NO_THUMBNAIL:
        return VT_ERR_NO_IMAGE_DATA;
    case LIBRAW_UNSUPPORTED_THUMBNAIL:
        return VT_ERR_NOT_IMPLEMENTED;
    case LIBRAW_UNSUFFICIENT_MEMORY:
        return VT_ERR_OUT_OF_MEMORY;
    case LIBRAW_TOO_BIG:
        return VT_ERR_DIMENSIONS;
    case LIBRAW_IO_ERROR:
        return VT_ERR_READ;
    default:
        return VT_ERR_INVALID_DATA;
    }
}

bool within_limits(std::uint64_t width, std::uint64_t height) {
    return width <= kMaxSide && height <= kMaxSide && width * height <= kMaxPixels;
}

// The markup: the file's own TIFF structure (most raw layouts are one) as its EXIF, with the
// orientation upright because LibRaw has turned the pixels.
void deliver_upright_markup(FilterCall* call, const std::vector<std::uint8_t>& file) {
    const bool tiff = file.size() > 8 && (std::memcmp(file.data(), "II", 2) == 0 ||
                                          std::memcmp(file.data(), "MM", 2) == 0);
    deliver_markup(call, {.bits_per_pixel = 24,
                          .exif = tiff ? file.data() : nullptr,
                          .exif_size = static_cast<std::uint32_t>(
                              tiff ? std::min<std::size_t>(file.size(), 1u << 30) : 0),
                          .upright = true});
}

std::int32_t deliver_rgb(FilterCall* call, const std::uint8_t* data, std::uint32_t width,
                         std::uint32_t height, std::uint32_t colors) {
    if (const std::int32_t r = request_frame(call, width, height); r != VT_OK)
        return r;
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* in = data + std::size_t{y} * width * colors;
        std::uint32_t* out = call->pixels + std::size_t{y} * call->stride;
        for (std::uint32_t x = 0; x < width; ++x, in += colors)
            out[x] = colors == 3
                         ? in[2] | (std::uint32_t{in[1]} << 8) | (std::uint32_t{in[0]} << 16)
                         : in[0] * 0x010101u;
    }
    return VT_OK;
}

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jpeg_fail(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}
void jpeg_quiet(j_common_ptr, int) {}

// A JPEG preview decoded into the host's frame; no C++ object lives across the long jump.
std::int32_t deliver_jpeg(FilterCall* call, const std::uint8_t* data, std::size_t size) {
    jpeg_decompress_struct info{};
    JpegError error{};
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpeg_fail;
    error.manager.emit_message = jpeg_quiet;
    volatile std::int32_t result = VT_ERR_INVALID_DATA;
    if (setjmp(error.jump) == 0) {
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
        jpeg_read_header(&info, TRUE);
        info.out_color_space = JCS_EXT_BGRX;
        if (!within_limits(info.image_width, info.image_height)) {
            result = VT_ERR_DIMENSIONS;
        } else if (std::int32_t r = request_frame(call, info.image_width, info.image_height);
                   r != VT_OK) {
            result = r;
        } else {
            jpeg_start_decompress(&info);
            while (info.output_scanline < info.output_height) {
                JSAMPROW row = reinterpret_cast<JSAMPROW>(
                    call->pixels + std::size_t{info.output_scanline} * call->stride);
                jpeg_read_scanlines(&info, &row, 1);
            }
            jpeg_finish_decompress(&info);
            // JCS_EXT_BGRX leaves the fourth byte 0xFF; the frame is opaque.
            for (std::uint32_t y = 0; y < call->height; ++y)
                for (std::uint32_t x = 0; x < call->width; ++x)
                    call->pixels[std::size_t{y} * call->stride + x] &= 0x00FFFFFFu;
            result = VT_OK;
        }
    }
    jpeg_destroy_decompress(&info);
    return result;
}

std::int32_t load_preview(FilterCall* call, Developer& developer) {
    const libraw_data_t* raw = &developer.imgdata;
    if (const int e = developer.unpack_thumb(); e != LIBRAW_SUCCESS)
        return result_of(e);
    if (!within_limits(raw->thumbnail.twidth, raw->thumbnail.theight))
        return VT_ERR_DIMENSIONS;
    int error = 0;
    const Processed thumb(developer.dcraw_make_mem_thumb(&error));
    if (!thumb)
        return result_of(error);
    call->warnings |= VT_WARN_THUMBNAIL_ONLY;
    if (thumb->type == LIBRAW_IMAGE_JPEG)
        return deliver_jpeg(call, thumb->data, thumb->data_size);
    if (thumb->type != LIBRAW_IMAGE_BITMAP || thumb->bits != 8 ||
        (thumb->colors != 3 && thumb->colors != 1) ||
        std::size_t{thumb->width} * thumb->height * thumb->colors > thumb->data_size)
        return VT_ERR_NOT_IMPLEMENTED;
    return deliver_rgb(call, thumb->data, thumb->width, thumb->height, thumb->colors);
}

// LibRaw's 8-bit develop keeps the high byte of its 16-bit one, v / 256 cut short, where the
// host's rule rounds v / 257. Each 256-value bucket moves into the span the rule rounds to its
// high byte, so the deep picture stands for the very 8-bit frame: in between a bucket shifts by
// high - 128 (order and every step kept); the first and last, with 129 values of room, are
// pressed into them.
std::uint16_t rounds_to_high_byte(std::uint16_t v) noexcept {
    const int high = v >> 8, offset = v & 0xFF;
    const int low = std::max(0, high * 257 - 128);
    const int top = std::min(65535, high * 257 + 127);
    return static_cast<std::uint16_t>(low + (offset * (top - low) + 127) / 255);
}

// The same develop written out at 16 bits per channel, handed over beside the 8-bit frame (the
// high bytes of these: LibRaw makes both from one 16-bit curve).
void deliver_deep_develop(FilterCall* call, Developer& developer) {
    developer.imgdata.params.output_bps = 16;
    int error = 0;
    const Processed image(developer.dcraw_make_mem_image(&error));
    developer.imgdata.params.output_bps = 8;
    if (!image || image->type != LIBRAW_IMAGE_BITMAP || image->bits != 16 ||
        (image->colors != 3 && image->colors != 1) || image->width != call->width ||
        image->height != call->height ||
        std::size_t{image->width} * image->height * image->colors * 2 > image->data_size)
        return;
    const std::uint32_t channels = image->colors == 3 ? 4 : 2;
    const std::size_t pixels = std::size_t{image->width} * image->height;
    auto* samples = static_cast<std::uint16_t*>(std::malloc(pixels * channels * 2));
    if (samples == nullptr)
        return;
    const std::uint32_t colors = image->colors;
    for (std::size_t i = 0; i < pixels; ++i) {
        std::uint16_t in[3];
        std::memcpy(in, image->data + i * colors * 2, colors * 2);
        for (std::uint32_t c = 0; c < colors; ++c)
            samples[i * channels + c] = rounds_to_high_byte(in[c]);
        samples[i * channels + channels - 1] = 0xFFFF;
    }
    deliver_deep(call,
                 {image->width, image->height, channels, image->width * channels, samples, 16, 0});
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    if (bytes.size() < 16)
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    const auto developer = std::make_unique<Developer>();
    libraw_data_t* raw = &developer->imgdata;
    bool data_error = false;
    developer->set_dataerror_handler(note_data_error, &data_error);
    developer->set_memerror_handler(quiet_memory_error, nullptr);
    raw->params.use_camera_wb = 1;
    raw->params.output_color = 1; // sRGB
    raw->params.output_bps = 8;
    raw->params.half_size = state_option(call, u"fmx_RAW.half_size", 0, 0, 1);
    raw->params.max_raw_memory_mb = kMaxRawMemoryMb;
    if (const int e = developer->open_buffer(bytes.data(), bytes.size()); e != LIBRAW_SUCCESS)
        return result_of(e);
    std::int32_t result = VT_ERR_UNKNOWN;
    if (state_option(call, u"fmx_RAW.preview", 0, 0, 1) != 0) {
        result = load_preview(call, *developer);
    } else {
        const std::uint64_t raw_pixels =
            std::uint64_t{raw->sizes.raw_width} * raw->sizes.raw_height;
        if (raw->sizes.width == 0 || raw->sizes.height == 0)
            return VT_ERR_NO_IMAGE_DATA;
        if (!within_limits(raw->sizes.width, raw->sizes.height) || raw_pixels > kMaxPixels)
            return VT_ERR_DIMENSIONS;
        // Even the best raw compression keeps more than a byte per 64 pixels.
        if (raw_pixels / 64 > bytes.size() || developer->uncompressed_end() > bytes.size())
            return VT_ERR_READ;
        if (const int e = developer->unpack(); e != LIBRAW_SUCCESS)
            return result_of(e);
        if (const int e = developer->dcraw_process(); e != LIBRAW_SUCCESS)
            return result_of(e);
        if (data_error)
            return VT_ERR_READ;
        int error = 0;
        const Processed image(developer->dcraw_make_mem_image(&error));
        if (!image)
            return result_of(error);
        if (image->type != LIBRAW_IMAGE_BITMAP || image->bits != 8 ||
            (image->colors != 3 && image->colors != 1) ||
            std::size_t{image->width} * image->height * image->colors > image->data_size)
            return VT_ERR_COMPONENT_FAILED;
        result = deliver_rgb(call, image->data, image->width, image->height, image->colors);
        if (result == VT_OK && deep_wanted(call))
            deliver_deep_develop(call, *developer);
    }
    if (result == VT_OK)
        deliver_upright_markup(call, bytes);
    return result;
}

std::int32_t save_image(FilterCall* /*call*/) {
    return VT_ERR_NOT_IMPLEMENTED;
}

bool raw_extension(const FilterCheck& check) {
    static const char16_t* const kExtensions[] = {
        u".dng", u".cr2", u".cr3", u".raf", u".nef", u".nrw", u".arw", u".raw", u".k25",
        u".dcr", u".fff", u".orf", u".srf", u".rw2", u".ptx", u".srw", u".bay", u".mfw"};
    return std::any_of(std::begin(kExtensions), std::end(kExtensions),
                       [&check](const char16_t* e) { return extension_is(check, e); });
}

// Fujifilm's and Canon's own layouts, Olympus's and Panasonic's TIFF variants, and TIFF itself
// (most raw layouts), which ranks below the TIFF plug-in unless the extension is ours.
bool raw_signature(const FilterCheck& check) {
    const std::uint32_t have = std::min<std::uint32_t>(check.head_size, 32);
    const auto starts = [&](const char* magic, std::uint32_t at, std::uint32_t n) {
        return have >= at + n && std::memcmp(check.head + at, magic, n) == 0;
    };
    return starts("FUJIFILMCCD-RAW", 0, 15) || starts("ftypcrx ", 4, 8) || starts("IIRO", 0, 4) ||
           starts("IIRS", 0, 4) || starts("IIU\0", 0, 4) || starts("II*\0", 0, 4) ||
           starts("MM\0*", 0, 4);
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_READ_WRITE(60, raw_signature, raw_extension, ::vt::kit::writes_nothing,
                                    load_image, save_image)

VT_FORMAT_PLUGIN_STATE_ENTRIES(
    {"fmx_RAW.preview", "0", "1: the camera's embedded preview instead of a full develop (fast)"},
    {"fmx_RAW.half_size", "0", "1: develop at half the width and height (fast)"})
