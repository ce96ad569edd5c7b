// fmx_JP2K: JPEG 2000 codestreams (.j2k), JP2 files (.jp2) and JPIP streams (.jpt) on OpenJPEG.
// Load: 1-4 components (grey, grey + alpha, RGB, RGBA; subsampled components are spread), any
// precision scaled to 8 bits, the JP2 ICC profile as an "ICCP" chunk. Save: ".jp2" writes JP2,
// anything else a codestream; "fmx_JP2K.rate" is the compression ratio (0 lossless, default).

#include <openjpeg.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "formats/jp2k/jp2k_res.h"
#include "formats/jp2k/mj2.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
// JPEG 2000 codes an empty picture in almost nothing, but not in less than this.
constexpr std::uint64_t kMaxPixelsPerByte = 65536;

constexpr std::uint8_t kCodestream[] = {0xFF, 0x4F, 0xFF, 0x51};
constexpr std::uint8_t kJp2[] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 13, 10, 0x87, 10};

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".j2k") || extension_is(check, u".jp2") ||
           extension_is(check, u".jpt") || extension_is(check, u".j2c") ||
           extension_is(check, u".jpc") || extension_is(check, u".mj2");
}

bool has_signature(const FilterCheck& check) {
    return head_starts_with(check, kCodestream, sizeof(kCodestream)) ||
           head_starts_with(check, kJp2, sizeof(kJp2));
}

void quiet(const char* /*message*/, void* /*data*/) {}

struct Memory {
    std::span<const std::uint8_t> bytes;
    std::size_t at = 0;
};

OPJ_SIZE_T read_memory(void* buffer, OPJ_SIZE_T size, void* data) {
    auto* m = static_cast<Memory*>(data);
    const std::size_t n = std::min<std::size_t>(size, m->bytes.size() - m->at);
    if (n == 0)
        return static_cast<OPJ_SIZE_T>(-1);
    std::memcpy(buffer, m->bytes.data() + m->at, n);
    m->at += n;
    return n;
}
OPJ_OFF_T skip_memory(OPJ_OFF_T n, void* data) {
    auto* m = static_cast<Memory*>(data);
    const auto room = static_cast<OPJ_OFF_T>(m->bytes.size() - m->at);
    n = std::clamp<OPJ_OFF_T>(n, -static_cast<OPJ_OFF_T>(m->at), room);
    m->at = static_cast<std::size_t>(static_cast<OPJ_OFF_T>(m->at) + n);
    return n;
}
OPJ_BOOL seek_memory(OPJ_OFF_T n, void* data) {
    auto* m = static_cast<Memory*>(data);
    if (n < 0 || static_cast<std::uint64_t>(n) > m->bytes.size())
        return OPJ_FALSE;
    m->at = static_cast<std::size_t>(n);
    return OPJ_TRUE;
}

struct CodecClose {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamClose {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageClose {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};
using Codec = std::unique_ptr<opj_codec_t, CodecClose>;
using Stream = std::unique_ptr<opj_stream_t, StreamClose>;
using Image = std::unique_ptr<opj_image_t, ImageClose>;

void silence(opj_codec_t* codec) {
    opj_set_error_handler(codec, quiet, nullptr);
    opj_set_warning_handler(codec, quiet, nullptr);
    opj_set_info_handler(codec, quiet, nullptr);
}

std::uint32_t sample(const opj_image_comp_t& c, std::uint32_t x, std::uint32_t y, std::uint32_t x0,
                     std::uint32_t y0) {
    const std::uint32_t cx = std::min((x + x0) / c.dx - c.x0, c.w - 1);
    const std::uint32_t cy = std::min((y + y0) / c.dy - c.y0, c.h - 1);
    std::int64_t v = c.data[static_cast<std::size_t>(cy) * c.w + cx];
    if (c.sgnd)
        v += std::int64_t{1} << (c.prec - 1);
    const std::int64_t top = (std::int64_t{1} << c.prec) - 1;
    v = std::clamp<std::int64_t>(v, 0, top);
    return static_cast<std::uint32_t>((v * 255 + top / 2) / top);
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    if (vt::formats::jp2k::is_mj2(bytes))
        return vt::formats::jp2k::load_mj2(call, bytes);
    const bool codestream = bytes.size() >= 4 && std::memcmp(bytes.data(), kCodestream, 4) == 0;
    const bool jp2 = bytes.size() >= 12 && std::memcmp(bytes.data(), kJp2, 12) == 0;
    if (!codestream && !jp2) {
        if (bytes.size() < 4 && !bytes.empty() &&
            std::memcmp(bytes.data(), kCodestream, bytes.size()) == 0)
            return VT_ERR_READ;
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    }
    Memory memory{bytes, 0};
    Stream stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE));
    Codec codec(opj_create_decompress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2));
    if (!stream || !codec)
        return VT_ERR_OUT_OF_MEMORY;
    opj_stream_set_user_data(stream.get(), &memory, nullptr);
    opj_stream_set_user_data_length(stream.get(), bytes.size());
    opj_stream_set_read_function(stream.get(), read_memory);
    opj_stream_set_skip_function(stream.get(), skip_memory);
    opj_stream_set_seek_function(stream.get(), seek_memory);
    silence(codec.get());
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (!opj_setup_decoder(codec.get(), &parameters))
        return VT_ERR_INTERNAL;
    opj_image_t* raw = nullptr;
    if (!opj_read_header(stream.get(), codec.get(), &raw)) {
        opj_image_destroy(raw);
        return memory.at >= bytes.size() ? VT_ERR_READ : VT_ERR_INVALID_DATA;
    }
    const Image image(raw);
    if (image->x1 <= image->x0 || image->y1 <= image->y0)
        return VT_ERR_DIMENSIONS;
    const std::uint32_t width = image->x1 - image->x0;
    const std::uint32_t height = image->y1 - image->y0;
    if (width > kMaxSide || height > kMaxSide ||
        static_cast<std::uint64_t>(width) * height > kMaxPixels)
        return VT_ERR_DIMENSIONS;
    if (image->numcomps < 1 || image->numcomps > 4)
        return VT_ERR_NOT_IMPLEMENTED;
    if (static_cast<std::uint64_t>(width) * height / kMaxPixelsPerByte > bytes.size())
        return VT_ERR_READ;
    for (std::uint32_t k = 0; k < image->numcomps; ++k) {
        const opj_image_comp_t& c = image->comps[k];
        if (c.prec < 1 || c.prec > 31 || c.dx < 1 || c.dy < 1)
            return VT_ERR_NOT_IMPLEMENTED;
    }
    if (const std::int32_t r = request_frame(call, width, height); r != VT_OK)
        return r;
    if (!opj_decode(codec.get(), stream.get(), image.get()) ||
        !opj_end_decompress(codec.get(), stream.get()))
        return memory.at >= bytes.size() ? VT_ERR_READ : VT_ERR_INVALID_DATA;
    const std::uint32_t n = image->numcomps;
    for (std::uint32_t k = 0; k < n; ++k) {
        const opj_image_comp_t& c = image->comps[k];
        if (c.data == nullptr || c.w < 1 || c.h < 1)
            return VT_ERR_INVALID_DATA;
    }
    const bool colour = n >= 3;
    const bool alpha = n == 2 || n == 4;
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint32_t* out = call->pixels + static_cast<std::size_t>(y) * call->stride;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t r = sample(image->comps[0], x, y, image->x0, image->y0);
            const std::uint32_t g =
                colour ? sample(image->comps[1], x, y, image->x0, image->y0) : r;
            const std::uint32_t b =
                colour ? sample(image->comps[2], x, y, image->x0, image->y0) : r;
            const std::uint32_t a =
                alpha ? sample(image->comps[n - 1], x, y, image->x0, image->y0) : 255;
            out[x] = b | (g << 8) | (r << 16) | ((255 - a) << 24);
        }
    }
    if (image->icc_profile_buf != nullptr && image->icc_profile_len > 0)
        add_frame_chunk(call, kTagIcc, image->icc_profile_buf, image->icc_profile_len);
    std::uint32_t bits = 0;
    for (std::uint32_t k = 0; k < n; ++k)
        bits += image->comps[k].prec;
    deliver_markup(call, {bits});
    if (jp2)
        deliver_resolution(call, vt::formats::jp2k::jp2_resolution(bytes));
    return VT_OK;
}

bool ends_with_jp2(const std::uint16_t* path) {
    std::size_t n = 0;
    while (path[n] != 0)
        ++n;
    if (n < 4)
        return false;
    const char16_t want[] = u".jp2";
    for (std::size_t i = 0; i < 4; ++i) {
        std::uint16_t c = path[n - 4 + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<std::uint16_t>(c + 32);
        if (c != want[i])
            return false;
    }
    return true;
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (vt::formats::jp2k::is_mj2_path(call->path))
        return vt::formats::jp2k::save_mj2(call);
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    const bool alpha = any_transparent(call);
    const std::uint32_t n = alpha ? 4 : 3;
    const std::uint32_t w = call->width;
    const std::uint32_t h = call->height;
    opj_image_cmptparm_t parts[4] = {};
    for (std::uint32_t k = 0; k < n; ++k) {
        parts[k].dx = parts[k].dy = 1;
        parts[k].w = w;
        parts[k].h = h;
        parts[k].prec = 8;
    }
    const Image image(opj_image_create(n, parts, OPJ_CLRSPC_SRGB));
    if (!image)
        return VT_ERR_OUT_OF_MEMORY;
    image->x1 = w;
    image->y1 = h;
    if (alpha)
        image->comps[3].alpha = 1;
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint32_t p = call->pixels[static_cast<std::size_t>(y) * call->stride + x];
            const std::size_t i = static_cast<std::size_t>(y) * w + x;
            image->comps[0].data[i] = static_cast<OPJ_INT32>((p >> 16) & 0xFF);
            image->comps[1].data[i] = static_cast<OPJ_INT32>((p >> 8) & 0xFF);
            image->comps[2].data[i] = static_cast<OPJ_INT32>(p & 0xFF);
            if (alpha)
                image->comps[3].data[i] = static_cast<OPJ_INT32>(255 - (p >> 24));
        }
    opj_cparameters_t parameters;
    opj_set_default_encoder_parameters(&parameters);
    const int rate = state_option(call, u"fmx_JP2K.rate", 0, 0, 1000);
    parameters.tcp_numlayers = 1;
    parameters.tcp_rates[0] = static_cast<float>(rate);
    parameters.cp_disto_alloc = 1;
    parameters.irreversible = rate > 1 ? 1 : 0;
    // Each resolution level halves the picture; a small one has fewer.
    int levels = 1;
    while (levels < 6 && (std::min(w, h) >> levels) > 0)
        ++levels;
    parameters.numresolution = levels;
    const bool jp2 = ends_with_jp2(call->path);
    const PrintResolution resolution = jp2 ? frame_resolution(call) : PrintResolution{};
    return write_target_named(call->path, [&](const std::string& name) -> std::int32_t {
        Codec codec(opj_create_compress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
        if (!codec)
            return VT_ERR_OUT_OF_MEMORY;
        silence(codec.get());
        if (!opj_setup_encoder(codec.get(), &parameters, image.get()))
            return VT_ERR_INTERNAL;
        Stream stream(opj_stream_create_default_file_stream(name.c_str(), OPJ_FALSE));
        if (!stream)
            return VT_ERR_OPEN_WRITE;
        if (!opj_start_compress(codec.get(), image.get(), stream.get()) ||
            !opj_encode(codec.get(), stream.get()) || !opj_end_compress(codec.get(), stream.get()))
            return VT_ERR_WRITE;
        if (!resolution.known())
            return VT_OK;
        stream.reset(); // closes the file
        return vt::formats::jp2k::add_jp2_resolution(name, resolution);
    });
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS(100, has_signature, known_extension, load_image, save_image)
VT_FORMAT_PLUGIN_STATE_ENTRIES({"fmx_JP2K.rate", "0",
                                "compression ratio; 0 or 1 lossless (the default)"})
