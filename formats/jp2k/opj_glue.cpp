#include "formats/jp2k/opj_glue.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sdk/kit/plugin_kit.h"

namespace vt::formats::jp2k {
namespace {

using namespace vt::kit;

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
// JPEG 2000 codes an empty picture in almost nothing, but not in less than this.
constexpr std::uint64_t kMaxPixelsPerByte = 65536;

void quiet(const char* /*message*/, void* /*data*/) {}

OPJ_SIZE_T read_memory(void* buffer, OPJ_SIZE_T size, void* data) {
    auto* m = static_cast<Memory*>(data);
    const std::size_t n = std::min<std::size_t>(size, m->in.size() - m->at);
    if (n == 0)
        return static_cast<OPJ_SIZE_T>(-1);
    std::memcpy(buffer, m->in.data() + m->at, n);
    m->at += n;
    return n;
}
OPJ_SIZE_T write_memory(void* buffer, OPJ_SIZE_T size, void* data) {
    auto* m = static_cast<Memory*>(data);
    if (m->out->size() < m->at + size)
        m->out->resize(m->at + size);
    std::memcpy(m->out->data() + m->at, buffer, size);
    m->at += size;
    return size;
}
OPJ_OFF_T skip_memory(OPJ_OFF_T n, void* data) {
    auto* m = static_cast<Memory*>(data);
    if (m->out != nullptr) {
        if (n < 0 || m->at + static_cast<std::size_t>(n) > (std::size_t{1} << 32))
            return -1;
        m->at += static_cast<std::size_t>(n);
        if (m->out->size() < m->at)
            m->out->resize(m->at);
        return n;
    }
    n = std::clamp<OPJ_OFF_T>(n, -static_cast<OPJ_OFF_T>(m->at),
                              static_cast<OPJ_OFF_T>(m->in.size() - m->at));
    m->at = static_cast<std::size_t>(static_cast<OPJ_OFF_T>(m->at) + n);
    return n;
}
OPJ_BOOL seek_memory(OPJ_OFF_T n, void* data) {
    auto* m = static_cast<Memory*>(data);
    if (n < 0 || static_cast<std::uint64_t>(n) > m->size())
        return OPJ_FALSE;
    m->at = static_cast<std::size_t>(n);
    return OPJ_TRUE;
}

std::uint32_t sample_8bit(const opj_image_comp_t& c, std::uint32_t x, std::uint32_t y,
                          std::uint32_t x0, std::uint32_t y0) {
    const std::uint32_t cx = std::min((x + x0) / c.dx - c.x0, c.w - 1);
    const std::uint32_t cy = std::min((y + y0) / c.dy - c.y0, c.h - 1);
    std::int64_t v = c.data[static_cast<std::size_t>(cy) * c.w + cx];
    if (c.sgnd)
        v += std::int64_t{1} << (c.prec - 1);
    const std::int64_t top = (std::int64_t{1} << c.prec) - 1;
    v = std::clamp<std::int64_t>(v, 0, top);
    return static_cast<std::uint32_t>((v * 255 + top / 2) / top);
}

// The same sample scaled to 16 bits: its rounding to 8 bits is the 8-bit sample (65535 being
// 255 x 257).
std::uint16_t sample_16bit(const opj_image_comp_t& c, std::uint32_t x, std::uint32_t y,
                           std::uint32_t x0, std::uint32_t y0) {
    const std::uint32_t cx = std::min((x + x0) / c.dx - c.x0, c.w - 1);
    const std::uint32_t cy = std::min((y + y0) / c.dy - c.y0, c.h - 1);
    std::int64_t v = c.data[static_cast<std::size_t>(cy) * c.w + cx];
    if (c.sgnd)
        v += std::int64_t{1} << (c.prec - 1);
    const std::int64_t top = (std::int64_t{1} << c.prec) - 1;
    v = std::clamp<std::int64_t>(v, 0, top);
    return static_cast<std::uint16_t>((v * 65535 + top / 2) / top);
}

// Every tile has at least one tile-part: an SOT marker segment and SOD, 14 bytes. OpenJPEG
// allocates its state for every tile the size marker announces while it reads the header, so
// a 2 KB file announcing 60,000 tiles took 150 MB before anything was decoded.
constexpr std::size_t kMinBytesPerTile = 14;

std::uint32_t be32_at(Bytes data, std::size_t at) {
    return std::uint32_t{data[at]} << 24 | std::uint32_t{data[at + 1]} << 16 |
           std::uint32_t{data[at + 2]} << 8 | data[at + 3];
}

// Whether the first codestream's size marker (SOC then SIZ) announces more tiles than the data
// can hold.
bool too_many_tiles(Bytes data) {
    constexpr std::uint8_t kStart[4] = {0xFF, 0x4F, 0xFF, 0x51};
    const auto at = std::search(data.begin(), data.end(), std::begin(kStart), std::end(kStart));
    const std::size_t siz = static_cast<std::size_t>(at - data.begin()) + 4;
    if (at == data.end() || data.size() - siz < 38)
        return false; // OpenJPEG judges what is left
    const std::uint64_t width = be32_at(data, siz + 4), height = be32_at(data, siz + 8);
    const std::uint64_t tile_w = be32_at(data, siz + 20), tile_h = be32_at(data, siz + 24);
    const std::uint64_t tile_x0 = be32_at(data, siz + 28), tile_y0 = be32_at(data, siz + 32);
    if (tile_w == 0 || tile_h == 0 || width <= tile_x0 || height <= tile_y0)
        return false;
    const std::uint64_t tiles =
        ((width - tile_x0 + tile_w - 1) / tile_w) * ((height - tile_y0 + tile_h - 1) / tile_h);
    return tiles > data.size() / kMinBytesPerTile;
}

// The image's size and components, checked before the frame is asked for.
std::int32_t check_header(const opj_image_t& image, std::size_t bytes, std::uint32_t& bits) {
    if (image.x1 <= image.x0 || image.y1 <= image.y0)
        return VT_ERR_DIMENSIONS;
    const std::uint32_t width = image.x1 - image.x0;
    const std::uint32_t height = image.y1 - image.y0;
    if (width > kMaxSide || height > kMaxSide ||
        static_cast<std::uint64_t>(width) * height > kMaxPixels)
        return VT_ERR_DIMENSIONS;
    if (image.numcomps < 1 || image.numcomps > 4)
        return VT_ERR_NOT_IMPLEMENTED;
    if (static_cast<std::uint64_t>(width) * height / kMaxPixelsPerByte > bytes)
        return VT_ERR_READ;
    bits = 0;
    for (std::uint32_t k = 0; k < image.numcomps; ++k) {
        const opj_image_comp_t& c = image.comps[k];
        if (c.prec < 1 || c.prec > 31 || c.dx < 1 || c.dy < 1)
            return VT_ERR_NOT_IMPLEMENTED;
        bits += c.prec;
    }
    return VT_OK;
}

void to_pixels(const opj_image_t& image, std::uint32_t* pixels, std::uint32_t stride) {
    const std::uint32_t n = image.numcomps;
    const bool colour = n >= 3;
    const bool alpha = n == 2 || n == 4;
    for (std::uint32_t y = 0; y < image.y1 - image.y0; ++y) {
        std::uint32_t* out = pixels + static_cast<std::size_t>(y) * stride;
        for (std::uint32_t x = 0; x < image.x1 - image.x0; ++x) {
            const auto at = [&](std::uint32_t k) {
                return sample_8bit(image.comps[k], x, y, image.x0, image.y0);
            };
            const std::uint32_t r = at(0);
            const std::uint32_t g = colour ? at(1) : r;
            const std::uint32_t b = colour ? at(2) : r;
            const std::uint32_t a = alpha ? at(n - 1) : 255;
            out[x] = b | (g << 8) | (r << 16) | ((255 - a) << 24);
        }
    }
}

// The picture at 16 bits when some component has more than 8 (and none more than 16).
VtDeepImage to_deep(const opj_image_t& image) {
    std::uint32_t bits = 0;
    for (std::uint32_t k = 0; k < image.numcomps; ++k)
        bits = std::max(bits, image.comps[k].prec);
    if (bits <= 8 || bits > 16)
        return {};
    const std::uint32_t n = image.numcomps;
    const std::uint32_t channels = n >= 3 ? 4 : 2;
    const std::uint32_t width = image.x1 - image.x0;
    const std::uint32_t height = image.y1 - image.y0;
    auto* samples = static_cast<std::uint16_t*>(
        std::malloc(std::size_t{width} * height * channels * sizeof(std::uint16_t)));
    if (samples == nullptr)
        return {};
    const bool alpha = n == 2 || n == 4;
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint16_t* out = samples + std::size_t{y} * width * channels;
        for (std::uint32_t x = 0; x < width; ++x, out += channels) {
            for (std::uint32_t k = 0; k + 1 < channels; ++k)
                out[k] = sample_16bit(image.comps[k], x, y, image.x0, image.y0);
            out[channels - 1] =
                alpha ? sample_16bit(image.comps[n - 1], x, y, image.x0, image.y0) : 0xFFFF;
        }
    }
    return {width, height, channels, width * channels, samples, bits, 0};
}

} // namespace

Stream memory_stream(Memory& memory, bool input) {
    Stream stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, input ? OPJ_TRUE : OPJ_FALSE));
    if (!stream)
        return stream;
    opj_stream_set_user_data(stream.get(), &memory, nullptr);
    if (input) {
        opj_stream_set_user_data_length(stream.get(), memory.in.size());
        opj_stream_set_read_function(stream.get(), read_memory);
    } else {
        opj_stream_set_write_function(stream.get(), write_memory);
    }
    opj_stream_set_skip_function(stream.get(), skip_memory);
    opj_stream_set_seek_function(stream.get(), seek_memory);
    return stream;
}

Codec quiet_codec(opj_codec_t* raw) {
    Codec codec(raw);
    if (codec) {
        opj_set_error_handler(codec.get(), quiet, nullptr);
        opj_set_warning_handler(codec.get(), quiet, nullptr);
        opj_set_info_handler(codec.get(), quiet, nullptr);
    }
    return codec;
}

std::int32_t decode_into_frame(FilterCall* call, Bytes data, bool jp2, Decoded& decoded) {
    if (too_many_tiles(data))
        return VT_ERR_READ;
    Memory memory{nullptr, data, 0};
    Stream stream = memory_stream(memory, true);
    Codec codec = quiet_codec(opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    if (!stream || !codec)
        return VT_ERR_OUT_OF_MEMORY;
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (!opj_setup_decoder(codec.get(), &parameters))
        return VT_ERR_INTERNAL;
    const auto failed = [&memory, data] {
        return memory.at >= data.size() ? VT_ERR_READ : VT_ERR_INVALID_DATA;
    };
    opj_image_t* raw = nullptr;
    if (!opj_read_header(stream.get(), codec.get(), &raw)) {
        opj_image_destroy(raw);
        return failed();
    }
    const Image image(raw);
    if (const std::int32_t r = check_header(*image, data.size(), decoded.bits); r != VT_OK)
        return r;
    if (const std::int32_t r = request_frame(call, image->x1 - image->x0, image->y1 - image->y0);
        r != VT_OK)
        return r;
    if (!opj_decode(codec.get(), stream.get(), image.get()) ||
        !opj_end_decompress(codec.get(), stream.get()))
        return failed();
    for (std::uint32_t k = 0; k < image->numcomps; ++k)
        if (image->comps[k].data == nullptr || image->comps[k].w < 1 || image->comps[k].h < 1)
            return VT_ERR_INVALID_DATA;
    to_pixels(*image, call->pixels, call->stride);
    if (decoded.want_deep)
        decoded.deep = to_deep(*image);
    if (image->icc_profile_buf != nullptr && image->icc_profile_len > 0)
        decoded.icc.assign(image->icc_profile_buf, image->icc_profile_buf + image->icc_profile_len);
    return VT_OK;
}

Image image_of(const std::uint32_t* pixels, std::uint32_t stride, std::uint32_t width,
               std::uint32_t height, bool alpha) {
    const std::uint32_t n = alpha ? 4 : 3;
    opj_image_cmptparm_t parts[4] = {};
    for (std::uint32_t k = 0; k < n; ++k) {
        parts[k].dx = parts[k].dy = 1;
        parts[k].w = width;
        parts[k].h = height;
        parts[k].prec = 8;
    }
    Image image(opj_image_create(n, parts, OPJ_CLRSPC_SRGB));
    if (!image)
        return image;
    image->x1 = width;
    image->y1 = height;
    if (alpha)
        image->comps[3].alpha = 1;
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t p = pixels[static_cast<std::size_t>(y) * stride + x];
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            image->comps[0].data[i] = static_cast<OPJ_INT32>((p >> 16) & 0xFF);
            image->comps[1].data[i] = static_cast<OPJ_INT32>((p >> 8) & 0xFF);
            image->comps[2].data[i] = static_cast<OPJ_INT32>(p & 0xFF);
            if (alpha)
                image->comps[3].data[i] = static_cast<OPJ_INT32>(255 - (p >> 24));
        }
    return image;
}

Image image_of_deep(const VtDeepImage& deep, bool alpha) {
    const std::uint32_t colours = deep.channels - 1;
    const std::uint32_t n = colours + (alpha ? 1 : 0);
    opj_image_cmptparm_t parts[4] = {};
    for (std::uint32_t k = 0; k < n; ++k) {
        parts[k].dx = parts[k].dy = 1;
        parts[k].w = deep.width;
        parts[k].h = deep.height;
        parts[k].prec = 16;
    }
    Image image(opj_image_create(n, parts, colours == 1 ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB));
    if (!image)
        return image;
    image->x1 = deep.width;
    image->y1 = deep.height;
    if (alpha)
        image->comps[n - 1].alpha = 1;
    for (std::uint32_t y = 0; y < deep.height; ++y) {
        const std::uint16_t* row = deep.samples + std::size_t{y} * deep.stride;
        for (std::uint32_t x = 0; x < deep.width; ++x)
            for (std::uint32_t k = 0; k < n; ++k)
                image->comps[k].data[std::size_t{y} * deep.width + x] =
                    row[std::size_t{x} * deep.channels + (k < colours ? k : deep.channels - 1)];
    }
    return image;
}

opj_cparameters_t encoder_parameters(const FilterCall* call, std::uint32_t width,
                                     std::uint32_t height) {
    opj_cparameters_t parameters;
    opj_set_default_encoder_parameters(&parameters);
    const int rate = state_option(call, u"fmx_JP2K.rate", 0, 0, 1000);
    parameters.tcp_numlayers = 1;
    parameters.tcp_rates[0] = static_cast<float>(rate);
    parameters.cp_disto_alloc = 1;
    parameters.irreversible = rate > 1 ? 1 : 0;
    // Each resolution level halves the picture; a small one has fewer.
    int levels = 1;
    while (levels < 6 && (std::min(width, height) >> levels) > 0)
        ++levels;
    parameters.numresolution = levels;
    return parameters;
}

} // namespace vt::formats::jp2k
