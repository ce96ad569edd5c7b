#include "formats/jp2k/opj_glue.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
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

// A coordinate on the reference grid after `factor` halvings: OpenJPEG rounds up.
std::uint32_t reduced(std::uint32_t v, std::uint32_t factor) {
    return static_cast<std::uint32_t>((std::uint64_t{v} + (std::uint64_t{1} << factor) - 1) >>
                                      factor);
}

std::uint32_t ceil_div(std::uint32_t v, std::uint32_t d) {
    return static_cast<std::uint32_t>((std::uint64_t{v} + d - 1) / d);
}

// Where the decoded picture lies on the reference grid reduced `factor` times. OpenJPEG reduces
// only the components' widths and heights; the image's and the components' origins stay those of
// the full picture.
struct Area {
    std::uint32_t x0 = 0, y0 = 0, width = 0, height = 0, factor = 0;
};

Area area_of(const opj_image_t& image, std::uint32_t factor) {
    const std::uint32_t x0 = reduced(image.x0, factor), y0 = reduced(image.y0, factor);
    return {x0, y0, reduced(image.x1, factor) - x0, reduced(image.y1, factor) - y0, factor};
}

// The component's sample under pixel (x, y) of the area, spread when subsampled. A subsampled
// component of a picture with an odd origin starts right of (below) the picture's first pixel,
// which takes its first sample.
std::int64_t sample_at(const opj_image_comp_t& c, std::uint32_t x, std::uint32_t y,
                       const Area& area) {
    const std::uint32_t first_x = reduced(c.x0, area.factor);
    const std::uint32_t first_y = reduced(c.y0, area.factor);
    const std::uint32_t gx = (x + area.x0) / c.dx, gy = (y + area.y0) / c.dy;
    const std::uint32_t cx = std::min(gx > first_x ? gx - first_x : 0, c.w - 1);
    const std::uint32_t cy = std::min(gy > first_y ? gy - first_y : 0, c.h - 1);
    std::int64_t v = c.data[static_cast<std::size_t>(cy) * c.w + cx];
    if (c.sgnd)
        v += std::int64_t{1} << (c.prec - 1);
    return v;
}

std::uint32_t to_8bit(const opj_image_comp_t& c, std::int64_t sample) {
    const std::int64_t top = (std::int64_t{1} << c.prec) - 1;
    const std::int64_t v = std::clamp<std::int64_t>(sample, 0, top);
    return static_cast<std::uint32_t>((v * 255 + top / 2) / top);
}

// The same sample scaled to 16 bits: its rounding to 8 bits is the 8-bit sample (65535 being
// 255 x 257).
std::uint16_t to_16bit(const opj_image_comp_t& c, std::int64_t sample) {
    const std::int64_t top = (std::int64_t{1} << c.prec) - 1;
    const std::int64_t v = std::clamp<std::int64_t>(sample, 0, top);
    return static_cast<std::uint16_t>((v * 65535 + top / 2) / top);
}

// A reduced level's sample sits on the full grid's sample 2^factor times its index, at the left
// (top) edge of the pixels it stands for, while the host takes a draft pixel for their middle:
// left as it is, a draft at a quarter shows the picture 1.5 full pixels right and down, which
// cost a photo shrunk to 800 x 533 6 dB. So a draft is moved by that offset, with a four-tap
// cubic (Catmull-Rom); a linear blend still cost 3 dB. `first` is the first tap's place.
struct Taps {
    std::int64_t first = 0;
    float weight[4] = {};
};

// The offset in the level's own pixels: (2^factor - 1 - 2 * lead) / 2^(factor + 1), where `lead`
// (below 2^factor) is how far its first sample lies beyond the picture's origin.
Taps taps_of(std::uint32_t origin, std::uint32_t factor) {
    const double scale = std::ldexp(1.0, static_cast<int>(factor));
    const double lead = reduced(origin, factor) * scale - origin;
    const double offset = (scale - 1 - 2 * lead) / (2 * scale);
    const double base = std::floor(offset), t = offset - base;
    const double t2 = t * t, t3 = t2 * t;
    return {static_cast<std::int64_t>(base) - 1,
            {static_cast<float>((-t3 + 2 * t2 - t) / 2),
             static_cast<float>((3 * t3 - 5 * t2 + 2) / 2),
             static_cast<float>((-3 * t3 + 4 * t2 + t) / 2), static_cast<float>((t3 - t2) / 2)}};
}

// One component of a draft, spread over the area and moved to the middle of its full pixels, a
// row at a time: it keeps the four rows moved across that the cubic down needs, so a draft of any
// size takes a few rows beside its frame.
class PlacedRows {
public:
    PlacedRows(const opj_image_comp_t& c, const Area& area, const Taps& across, const Taps& down)
        : m_c(&c), m_area(area), m_across(across), m_down(down), m_spread(area.width),
          m_moved(4 * std::size_t{area.width}), m_row(area.width) {}

    // The sample at (x, y); a row is made when y changes.
    std::int64_t at(std::uint32_t x, std::uint32_t y) {
        if (y != m_y) {
            make_row(y);
            m_y = y;
        }
        return static_cast<std::int64_t>(std::lround(m_row[x]));
    }

private:
    static std::size_t clamped(std::int64_t v, std::uint32_t size) {
        return static_cast<std::size_t>(std::clamp<std::int64_t>(v, 0, std::int64_t{size} - 1));
    }

    // Row y moved across. Four neighbouring rows fall in four different slots.
    const float* moved(std::int64_t y) {
        const std::size_t row = clamped(y, m_area.height), w = m_area.width;
        float* out = &m_moved[row % 4 * w];
        if (m_moved_row[row % 4] == row)
            return out;
        for (std::uint32_t x = 0; x < m_area.width; ++x)
            m_spread[x] =
                static_cast<float>(sample_at(*m_c, x, static_cast<std::uint32_t>(row), m_area));
        for (std::size_t x = 0; x < w; ++x) {
            float sum = 0;
            for (std::size_t k = 0; k < 4; ++k)
                sum += m_across.weight[k] *
                       m_spread[clamped(static_cast<std::int64_t>(x + k) + m_across.first,
                                        m_area.width)];
            out[x] = sum;
        }
        m_moved_row[row % 4] = row;
        return out;
    }

    void make_row(std::uint32_t y) {
        const float* rows[4];
        for (std::size_t k = 0; k < 4; ++k)
            rows[k] = moved(static_cast<std::int64_t>(y + k) + m_down.first);
        for (std::size_t x = 0; x < m_area.width; ++x)
            m_row[x] = m_down.weight[0] * rows[0][x] + m_down.weight[1] * rows[1][x] +
                       m_down.weight[2] * rows[2][x] + m_down.weight[3] * rows[3][x];
    }

    const opj_image_comp_t* m_c;
    Area m_area;
    Taps m_across, m_down;
    std::vector<float> m_spread, m_moved, m_row;
    std::size_t m_moved_row[4] = {SIZE_MAX, SIZE_MAX, SIZE_MAX, SIZE_MAX};
    std::uint32_t m_y = UINT32_MAX;
};

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

// `value(k, x, y)`: component k's sample at pixel (x, y) of the area.
template <typename Value>
void to_pixels(const opj_image_t& image, const Area& area, std::uint32_t* pixels,
               std::uint32_t stride, const Value& value) {
    const std::uint32_t n = image.numcomps;
    const bool colour = n >= 3;
    const bool alpha = n == 2 || n == 4;
    for (std::uint32_t y = 0; y < area.height; ++y) {
        std::uint32_t* out = pixels + static_cast<std::size_t>(y) * stride;
        for (std::uint32_t x = 0; x < area.width; ++x) {
            const auto at = [&](std::uint32_t k) {
                return to_8bit(image.comps[k], value(k, x, y));
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
template <typename Value>
VtDeepImage to_deep(const opj_image_t& image, const Area& area, const Value& value) {
    std::uint32_t bits = 0;
    for (std::uint32_t k = 0; k < image.numcomps; ++k)
        bits = std::max(bits, image.comps[k].prec);
    if (bits <= 8 || bits > 16)
        return {};
    const std::uint32_t n = image.numcomps;
    const std::uint32_t channels = n >= 3 ? 4 : 2;
    const std::uint32_t width = area.width;
    const std::uint32_t height = area.height;
    auto* samples = static_cast<std::uint16_t*>(
        std::malloc(std::size_t{width} * height * channels * sizeof(std::uint16_t)));
    if (samples == nullptr)
        return {};
    const bool alpha = n == 2 || n == 4;
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint16_t* out = samples + std::size_t{y} * width * channels;
        for (std::uint32_t x = 0; x < width; ++x, out += channels) {
            for (std::uint32_t k = 0; k + 1 < channels; ++k)
                out[k] = to_16bit(image.comps[k], value(k, x, y));
            out[channels - 1] = alpha ? to_16bit(image.comps[n - 1], value(n - 1, x, y)) : 0xFFFF;
        }
    }
    return {width, height, channels, width * channels, samples, bits, 0};
}

// One decoder over the data with the main header read. It holds the stream's `memory`, so it
// stays where it was opened.
struct Reader {
    Memory memory;
    Stream stream;
    Codec codec;
    Image image;

    // What a failed OpenJPEG call means: the data ends early, or it is invalid.
    [[nodiscard]] std::int32_t failed() const {
        return memory.at >= memory.in.size() ? VT_ERR_READ : VT_ERR_INVALID_DATA;
    }
};

std::int32_t open_reader(Reader& reader, Bytes data, bool jp2) {
    reader.memory = Memory{nullptr, data, 0};
    reader.stream = memory_stream(reader.memory, true);
    reader.codec = quiet_codec(opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    if (!reader.stream || !reader.codec)
        return VT_ERR_OUT_OF_MEMORY;
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (!opj_setup_decoder(reader.codec.get(), &parameters))
        return VT_ERR_INTERNAL;
    opj_image_t* raw = nullptr;
    if (!opj_read_header(reader.stream.get(), reader.codec.get(), &raw)) {
        opj_image_destroy(raw);
        return reader.failed();
    }
    reader.image.reset(raw);
    return VT_OK;
}

// The fewest resolution levels any component has in the main header's coding style (1 when
// OpenJPEG does not say).
std::uint32_t fewest_levels(opj_codec_t* codec) {
    opj_codestream_info_v2_t* info = opj_get_cstr_info(codec);
    if (info == nullptr)
        return 1;
    const opj_tccp_info_t* styles = info->m_default_tile_info.tccp_info;
    std::uint32_t levels = styles != nullptr && info->nbcomps > 0 ? OPJ_J2K_MAXRLVLS : 1;
    for (std::uint32_t k = 0; styles != nullptr && k < info->nbcomps; ++k)
        levels = std::min(levels, styles[k].numresolutions);
    opj_destroy_cstr_info(&info);
    return std::max<std::uint32_t>(levels, 1);
}

// Whether the picture after `factor` halvings is at least width x height and keeps a sample of
// every component.
bool covers(const opj_image_t& image, std::uint32_t factor, std::uint32_t width,
            std::uint32_t height) {
    const Area area = area_of(image, factor);
    if (area.width < std::max<std::uint32_t>(width, 1) ||
        area.height < std::max<std::uint32_t>(height, 1))
        return false;
    for (std::uint32_t k = 0; k < image.numcomps; ++k) {
        const opj_image_comp_t& c = image.comps[k];
        if (reduced(ceil_div(image.x1, c.dx), factor) <=
                reduced(ceil_div(image.x0, c.dx), factor) ||
            reduced(ceil_div(image.y1, c.dy), factor) <= reduced(ceil_div(image.y0, c.dy), factor))
            return false;
    }
    return true;
}

// How many resolution levels a draft may drop: the most that leave the host the size it answers
// to the picture's full size, 0 when it asks for none.
std::uint32_t draft_factor(FilterCall* call, const Reader& reader) {
    const pi_BasicQuery* query = call->basic_query;
    if (query == nullptr || query->query == nullptr)
        return 0;
    const opj_image_t& image = *reader.image;
    std::uint32_t size[2] = {image.x1 - image.x0, image.y1 - image.y0};
    if (query->query("load.draft_size", size, sizeof size) != sizeof size)
        return 0;
    const std::uint32_t levels = fewest_levels(reader.codec.get());
    std::uint32_t factor = 0;
    while (factor + 1 < levels && covers(image, factor + 1, size[0], size[1]))
        ++factor;
    return factor;
}

// Whether every component came out whole: `factor` levels dropped, samples present.
bool complete(const opj_image_t& image, std::uint32_t factor) {
    for (std::uint32_t k = 0; k < image.numcomps; ++k) {
        const opj_image_comp_t& c = image.comps[k];
        if (c.data == nullptr || c.w < 1 || c.h < 1 || c.factor != factor)
            return false;
    }
    return true;
}

template <typename Value>
void fill_with(FilterCall* call, const opj_image_t& image, const Area& area, Decoded& decoded,
               const Value& value) {
    to_pixels(image, area, call->pixels, call->stride, value);
    if (decoded.want_deep)
        decoded.deep = to_deep(image, area, value);
}

void fill(FilterCall* call, const opj_image_t& image, const Area& area, Decoded& decoded) {
    if (area.factor == 0) {
        fill_with(call, image, area, decoded,
                  [&](std::uint32_t k, std::uint32_t x, std::uint32_t y) {
                      return sample_at(image.comps[k], x, y, area);
                  });
    } else {
        // Only the first four components are shown (a palette may give more).
        const Taps across = taps_of(image.x0, area.factor), down = taps_of(image.y0, area.factor);
        std::vector<PlacedRows> planes;
        for (std::uint32_t k = 0; k < std::min<std::uint32_t>(image.numcomps, 4); ++k)
            planes.emplace_back(image.comps[k], area, across, down);
        fill_with(
            call, image, area, decoded,
            [&](std::uint32_t k, std::uint32_t x, std::uint32_t y) { return planes[k].at(x, y); });
    }
    if (image.icc_profile_buf != nullptr && image.icc_profile_len > 0)
        decoded.icc.assign(image.icc_profile_buf, image.icc_profile_buf + image.icc_profile_len);
}

// The whole picture: the frame is asked for first, so that the host can refuse it before the
// decode.
std::int32_t decode_whole(FilterCall* call, Reader& reader, Decoded& decoded) {
    opj_image_t& image = *reader.image;
    if (const std::int32_t r = request_frame(call, image.x1 - image.x0, image.y1 - image.y0);
        r != VT_OK)
        return r;
    if (!opj_decode(reader.codec.get(), reader.stream.get(), &image) ||
        !opj_end_decompress(reader.codec.get(), reader.stream.get()))
        return reader.failed();
    if (!complete(image, 0))
        return VT_ERR_INVALID_DATA;
    fill(call, image, area_of(image, 0), decoded);
    return VT_OK;
}

// A draft `factor` levels down, decoded before its frame is asked for: OpenJPEG refuses a
// factor beyond a tile's own levels only while it decodes, and then the whole picture is read
// instead. False leaves the decoder spent (it must not decode again).
bool decode_reduced(Reader& reader, std::uint32_t factor) {
    opj_image_t& image = *reader.image;
    return opj_set_decoded_resolution_factor(reader.codec.get(), factor) &&
           opj_decode(reader.codec.get(), reader.stream.get(), &image) &&
           opj_end_decompress(reader.codec.get(), reader.stream.get()) && complete(image, factor);
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
    {
        Reader reader;
        if (const std::int32_t r = open_reader(reader, data, jp2); r != VT_OK)
            return r;
        if (const std::int32_t r = check_header(*reader.image, data.size(), decoded.bits);
            r != VT_OK)
            return r;
        const std::uint32_t factor = decoded.may_draft ? draft_factor(call, reader) : 0;
        if (factor == 0)
            return decode_whole(call, reader, decoded);
        if (decode_reduced(reader, factor)) {
            const Area area = area_of(*reader.image, factor);
            if (const std::int32_t r = request_frame(call, area.width, area.height); r != VT_OK)
                return r;
            fill(call, *reader.image, area, decoded);
            return VT_OK;
        }
    }
    Reader reader;
    if (const std::int32_t r = open_reader(reader, data, jp2); r != VT_OK)
        return r;
    return decode_whole(call, reader, decoded);
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
