// Layered document reader and writer of fmx_PSD (Adobe's Photoshop file format documentation).

#include "formats/psd/psd_codec.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace vt::formats::psd {
namespace {

constexpr std::uint32_t kMaxSide = 30000;       // the small layout's limit
constexpr std::uint32_t kMaxSideLarge = 300000; // the large layout's limit
constexpr std::uint32_t kMaxBitmapSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
constexpr std::uint32_t kMaxChannels = 56;
// Deflate's best ratio: a channel's data must hold at least one byte per this many.
constexpr std::uint64_t kDeflateRatio = 1032;

constexpr std::int32_t kOk = 1;
constexpr std::int32_t kNotThis = -1;
constexpr std::int32_t kVariant = -2;
constexpr std::int32_t kSizes = -13;
constexpr std::int32_t kShort = -42;
constexpr std::int32_t kInvalid = -44;

// A big-endian reader over [at, end) of the file; a read past the end marks it short and
// gives 0.
class Cursor {
public:
    Cursor(std::span<const std::uint8_t> file, std::size_t at, std::size_t end)
        : m_file(file), m_at(at), m_end(std::min(end, file.size())) {}

    [[nodiscard]] std::size_t at() const { return m_at; }
    [[nodiscard]] std::size_t end() const { return m_end; }
    [[nodiscard]] std::uint64_t left() const { return m_at <= m_end ? m_end - m_at : 0; }
    [[nodiscard]] bool ok() const { return m_ok; }
    [[nodiscard]] bool has(std::uint64_t n) const { return left() >= n; }

    std::uint64_t read(unsigned bytes) {
        if (!has(bytes)) {
            m_ok = false;
            m_at = m_end;
            return 0;
        }
        std::uint64_t v = 0;
        for (unsigned i = 0; i < bytes; ++i)
            v = (v << 8) | m_file[m_at++];
        return v;
    }
    std::uint32_t u8() { return static_cast<std::uint32_t>(read(1)); }
    std::uint32_t u16() { return static_cast<std::uint32_t>(read(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(read(4)); }
    std::int32_t i16() { return static_cast<std::int16_t>(read(2)); }
    std::int32_t i32() { return static_cast<std::int32_t>(read(4)); }
    // A length of 4 bytes, or 8 in the large layout where `wide`.
    std::uint64_t length(bool wide) { return read(wide ? 8 : 4); }
    bool skip(std::uint64_t n) {
        if (!has(n)) {
            m_ok = false;
            m_at = m_end;
            return false;
        }
        m_at += static_cast<std::size_t>(n);
        return true;
    }

private:
    std::span<const std::uint8_t> m_file;
    std::size_t m_at;
    std::size_t m_end;
    bool m_ok = true;
};

std::uint32_t colour_channels(std::uint32_t mode) {
    return mode == kModeRgb ? 3 : mode == kModeCmyk ? 4 : 1;
}

// Additional layer information whose length is 8 bytes in the large layout.
bool wide_key(std::uint32_t k) {
    for (const std::uint32_t w :
         {key("LMsk"), key("Lr16"), key("Lr32"), key("Layr"), key("Mt16"), key("Mt32"), key("Mtrn"),
          key("Alph"), key("FMsk"), key("lnk2"), key("FEid"), key("FXid"), key("PxSD")})
        if (k == w)
            return true;
    return false;
}

bool block_signature(std::uint32_t s) {
    return s == key("8BIM") || s == key("8B64");
}

// The sizes of a rectangle against the layout's and the bitmaps' limits.
std::int32_t check_rect(const Rect& r, std::uint32_t max_side) {
    if (r.bottom < r.top || r.right < r.left)
        return kInvalid;
    const std::uint64_t w = static_cast<std::uint64_t>(static_cast<std::int64_t>(r.right) - r.left);
    const std::uint64_t h = static_cast<std::uint64_t>(static_cast<std::int64_t>(r.bottom) - r.top);
    if (w > max_side || h > max_side || w > kMaxBitmapSide || h > kMaxBitmapSide ||
        w * h > kMaxPixels)
        return kSizes;
    return kOk;
}

// The least number of bytes after the compression word that a channel of w x h can take.
std::uint64_t least_bytes(std::uint32_t compression, std::uint64_t w, std::uint64_t h,
                          std::uint32_t bytes_per_sample, std::uint32_t count_bytes) {
    const std::uint64_t row = w * bytes_per_sample;
    if (w == 0 || h == 0)
        return 0;
    switch (compression) {
    case 0:
        return row * h;
    case 1: // a byte count per row, and per 128 bytes of row a packet of two bytes
        return h * count_bytes + h * 2 * ((row + 127) / 128);
    default:
        return row * h / kDeflateRatio;
    }
}

// The image resources the picture needs: resolution, colour profile, transparent index.
std::int32_t read_resources(std::span<const std::uint8_t> file, std::size_t at, std::size_t end,
                            Document& doc) {
    Cursor c(file, at, end);
    while (c.left() >= 12) {
        // Older writers used other signatures; a block we cannot walk ends the list.
        if (!block_signature(c.u32()))
            break;
        const std::uint32_t id = c.u16();
        const std::uint32_t name = c.u8();
        c.skip(name + ((name + 1) & 1));
        const std::uint32_t size = c.u32();
        if (!c.ok() || !c.has(size))
            return kInvalid;
        const std::span<const std::uint8_t> data = file.subspan(c.at(), size);
        if (id == 0x03ED && size >= 16) {
            Cursor r(file, c.at(), c.at() + size);
            const std::uint32_t h = r.u32();
            r.skip(4);
            const std::uint32_t v = r.u32();
            doc.ppi_x = (h + 0x8000u) >> 16;
            doc.ppi_y = (v + 0x8000u) >> 16;
        } else if (id == 0x040F && size > 0) {
            doc.icc = data;
        } else if (id == 0x0417 && size >= 2) {
            doc.transparent_index = static_cast<std::int32_t>((data[0] << 8) | data[1]);
        }
        c.skip(size + (size & 1));
    }
    return kOk;
}

// The layer mask data of a layer record: the user mask's rectangle and default.
void read_mask(std::span<const std::uint8_t> file, std::size_t at, std::uint32_t size,
               LayerRecord& layer) {
    if (size < 18)
        return;
    Cursor c(file, at, at + size);
    layer.mask.top = c.i32();
    layer.mask.left = c.i32();
    layer.mask.bottom = c.i32();
    layer.mask.right = c.i32();
    layer.mask_default = static_cast<std::uint8_t>(c.u8());
    layer.mask_disabled = (c.u8() & 2) != 0;
}

// The additional information blocks at the end of a layer record: the Unicode name and the
// group markers.
void read_layer_blocks(std::span<const std::uint8_t> file, Cursor& c, bool large,
                       LayerRecord& layer) {
    while (c.left() >= 12) {
        if (!block_signature(c.u32()))
            return;
        const std::uint32_t k = c.u32();
        const std::uint64_t size = c.length(large && wide_key(k));
        if (!c.ok() || !c.has(size))
            return;
        Cursor b(file, c.at(), c.at() + static_cast<std::size_t>(size));
        if (k == key("luni")) {
            const std::uint32_t n = b.u32();
            std::u16string name;
            for (std::uint32_t i = 0; i < n && b.has(2); ++i)
                name += static_cast<char16_t>(b.u16());
            if (b.ok())
                layer.name = name;
        } else if (k == key("lsct") || k == key("lsdk")) {
            layer.section = b.u32();
        }
        c.skip(size);
    }
}

std::int32_t read_layer_record(std::span<const std::uint8_t> file, Cursor& s, const Document& doc,
                               LayerRecord& layer) {
    const bool large = doc.version == 2;
    const std::uint32_t max_side = large ? kMaxSideLarge : kMaxSide;
    layer.rect.top = s.i32();
    layer.rect.left = s.i32();
    layer.rect.bottom = s.i32();
    layer.rect.right = s.i32();
    const std::uint32_t count = s.u16();
    if (!s.ok())
        return kInvalid;
    if (const std::int32_t r = check_rect(layer.rect, max_side); r != kOk)
        return r;
    if (count > kMaxChannels)
        return kInvalid;
    for (std::uint32_t i = 0; i < count; ++i) {
        ChannelData ch;
        ch.id = s.i16();
        ch.length = s.length(large);
        layer.channels.push_back(ch);
    }
    if (s.u32() != key("8BIM"))
        return kInvalid;
    layer.blend = s.u32();
    layer.opacity = static_cast<std::uint8_t>(s.u8());
    layer.clipping = static_cast<std::uint8_t>(s.u8());
    layer.flags = static_cast<std::uint8_t>(s.u8());
    s.skip(1);
    const std::uint32_t extra = s.u32();
    if (!s.ok() || !s.has(extra))
        return kInvalid;
    Cursor e(file, s.at(), s.at() + extra);
    const std::uint32_t mask_size = e.u32();
    if (!e.has(mask_size))
        return kInvalid;
    read_mask(file, e.at(), mask_size, layer);
    e.skip(mask_size);
    e.skip(e.u32()); // blending ranges
    const std::uint32_t name_size = e.u8();
    if (!e.ok() || !e.has(name_size))
        return kInvalid;
    for (std::uint32_t i = 0; i < name_size; ++i)
        layer.name += static_cast<char16_t>(e.u8());
    e.skip((4 - (name_size + 1) % 4) % 4);
    read_layer_blocks(file, e, large, layer);
    s.skip(extra);
    if (layer.channels.size() > 0 && !layer.mask.empty())
        if (const std::int32_t r = check_rect(layer.mask, max_side); r != kOk)
            return r;
    return kOk;
}

// The sizes of the rectangle a channel's data covers.
Rect channel_rect(const LayerRecord& layer, const ChannelData& ch) {
    return ch.id == -2 ? layer.mask : layer.rect;
}

// Layer count, records, then each layer's channel data.
std::int32_t read_layer_info(std::span<const std::uint8_t> file, std::size_t at, std::size_t end,
                             Document& doc) {
    Cursor s(file, at, end);
    std::int32_t count = s.i16();
    if (!s.ok())
        return kInvalid;
    if (count < 0) {
        doc.merged_alpha = true;
        count = -count;
    }
    // A record takes at least 34 bytes: a file cannot claim more layers than it holds.
    if (static_cast<std::uint64_t>(count) * 34 > s.left())
        return kInvalid;
    std::vector<LayerRecord> layers(static_cast<std::size_t>(count));
    for (LayerRecord& layer : layers)
        if (const std::int32_t r = read_layer_record(file, s, doc, layer); r != kOk)
            return r;
    const std::uint32_t bps = doc.depth / 8;
    const std::uint32_t count_bytes = doc.version == 2 ? 4 : 2;
    for (LayerRecord& layer : layers) {
        for (ChannelData& ch : layer.channels) {
            ch.offset = s.at();
            if (ch.length < 2 || !s.skip(ch.length))
                return kInvalid;
            const std::uint32_t compression = (file[ch.offset] << 8) | file[ch.offset + 1];
            if (compression > 3)
                return kInvalid;
            const Rect r = channel_rect(layer, ch);
            if (ch.id >= -2 && !r.empty() &&
                ch.length - 2 < least_bytes(compression, r.width(), r.height(), bps, count_bytes))
                return kInvalid;
        }
    }
    doc.layers = std::move(layers);
    return kOk;
}

// The layer and mask information section: the layer information, the global mask, and the
// blocks after it, where 16-bit documents keep their layers.
std::int32_t read_layer_section(std::span<const std::uint8_t> file, std::size_t at, std::size_t end,
                                Document& doc) {
    const bool large = doc.version == 2;
    Cursor s(file, at, end);
    if (s.left() == 0)
        return kOk;
    const std::uint64_t info = s.length(large);
    if (!s.ok() || !s.has(info))
        return kInvalid;
    if (info > 0)
        if (const std::int32_t r = read_layer_info(file, s.at(), s.at() + info, doc); r != kOk)
            return r;
    s.skip(info);
    if (s.left() >= 4) {
        const std::uint32_t global = s.u32();
        if (!s.skip(global))
            return kInvalid;
    }
    while (s.left() >= 12) {
        if (!block_signature(s.u32()))
            break;
        const std::uint32_t k = s.u32();
        const std::uint64_t size = s.length(large && wide_key(k));
        if (!s.ok() || !s.has(size))
            return kInvalid;
        if (doc.layers.empty() && (k == key("Lr16") || k == key("Lr32") || k == key("Layr")))
            if (const std::int32_t r = read_layer_info(file, s.at(), s.at() + size, doc); r != kOk)
                return r;
        s.skip(size);
        while (s.left() > 0 && s.left() % 4 != 0 && file[s.at()] == 0)
            s.skip(1);
    }
    return kOk;
}

// The merged image: its compression and enough bytes for every channel.
std::int32_t check_merged(std::span<const std::uint8_t> file, const Document& doc) {
    Cursor c(file, doc.merged_offset, file.size());
    const std::uint32_t compression = c.u16();
    if (!c.ok())
        return kShort;
    if (compression > 3)
        return kInvalid;
    const std::uint64_t rows = static_cast<std::uint64_t>(doc.height) * doc.channels;
    const std::uint64_t row_bytes = static_cast<std::uint64_t>(doc.width) * (doc.depth / 8);
    if (compression == 1) {
        const std::uint32_t count_bytes = doc.version == 2 ? 4 : 2;
        if (!c.has(rows * count_bytes))
            return kShort;
        std::uint64_t total = 0;
        for (std::uint64_t i = 0; i < rows; ++i)
            total += c.read(count_bytes);
        return c.has(total) && total >= rows * 2 * ((row_bytes + 127) / 128) ? kOk : kShort;
    }
    const std::uint64_t raw = rows * row_bytes;
    return c.has(compression == 0 ? raw : raw / kDeflateRatio) ? kOk : kShort;
}

// Unpacks one PackBits row into exactly `size` bytes.
bool unpack_row(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t size) {
    std::size_t i = 0;
    std::size_t o = 0;
    while (o < size) {
        if (i >= in_size)
            return false;
        const auto n = static_cast<std::int8_t>(in[i++]);
        if (n >= 0) {
            const std::size_t k = static_cast<std::size_t>(n) + 1;
            if (in_size - i < k || size - o < k)
                return false;
            std::memcpy(out + o, in + i, k);
            i += k;
            o += k;
        } else if (n != -128) {
            const std::size_t k = static_cast<std::size_t>(1 - n);
            if (i >= in_size || size - o < k)
                return false;
            std::memset(out + o, in[i++], k);
            o += k;
        }
    }
    return true;
}

// `rows` rows of `row_bytes` from data at `at` in `compression`, into `out`. Run-length coded
// data starts with the rows' byte counts; `prediction` rows are differences.
std::int32_t unpack(std::span<const std::uint8_t> file, std::size_t at, std::size_t end,
                    std::uint32_t compression, std::uint64_t rows, std::size_t row_bytes,
                    std::uint32_t bps, std::uint32_t count_bytes, std::vector<std::uint8_t>& out,
                    std::uint64_t table_rows = 0) {
    out.assign(static_cast<std::size_t>(rows) * row_bytes, 0);
    Cursor c(file, at, end);
    if (compression == 0) {
        if (!c.has(out.size()))
            return kInvalid;
        std::memcpy(out.data(), file.data() + at, out.size());
        return kOk;
    }
    if (compression == 1) {
        // The counts may cover more rows than are wanted (the merged image's extra channels).
        std::vector<std::uint32_t> counts(static_cast<std::size_t>(std::max(rows, table_rows)));
        for (std::uint32_t& n : counts)
            n = static_cast<std::uint32_t>(c.read(count_bytes));
        for (std::size_t r = 0; r < rows; ++r) {
            if (!c.ok() || !c.has(counts[r]) ||
                !unpack_row(file.data() + c.at(), counts[r], out.data() + r * row_bytes, row_bytes))
                return kInvalid;
            c.skip(counts[r]);
        }
        return kOk;
    }
    const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    if (!inflater)
        return -20;
    if (libdeflate_zlib_decompress(inflater.get(), file.data() + at, c.left(), out.data(),
                                   out.size(), nullptr) != LIBDEFLATE_SUCCESS)
        return kInvalid;
    if (compression == 3) {
        for (std::size_t r = 0; r < rows; ++r) {
            std::uint8_t* row = out.data() + r * row_bytes;
            if (bps == 1) {
                for (std::size_t x = 1; x < row_bytes; ++x)
                    row[x] = static_cast<std::uint8_t>(row[x] + row[x - 1]);
            } else {
                for (std::size_t x = 2; x + 1 < row_bytes; x += 2) {
                    const unsigned v =
                        ((row[x] << 8) | row[x + 1]) + ((row[x - 2] << 8) | row[x - 1]);
                    row[x] = static_cast<std::uint8_t>(v >> 8);
                    row[x + 1] = static_cast<std::uint8_t>(v);
                }
            }
        }
    }
    return kOk;
}

// Samples of 1 or 2 bytes as 8-bit values, rounded.
void to_8_bits(std::vector<std::uint8_t>& samples, std::uint32_t bps) {
    if (bps == 1)
        return;
    const std::size_t n = samples.size() / 2;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t v = (samples[2 * i] << 8) | samples[2 * i + 1];
        samples[i] = static_cast<std::uint8_t>((v * 255 + 32767) / 65535);
    }
    samples.resize(n);
}

// One pixel from the colour planes at index i.
std::uint32_t colour_at(const Document& doc, const std::vector<const std::uint8_t*>& planes,
                        std::size_t i, std::uint32_t& alpha) {
    std::uint32_t r = 0;
    std::uint32_t g = 0;
    std::uint32_t b = 0;
    switch (doc.mode) {
    case kModeRgb:
        r = planes[0][i];
        g = planes[1][i];
        b = planes[2][i];
        break;
    case kModeCmyk: { // stored as what is left of white: 255 is no ink
        const std::uint32_t k = planes[3][i];
        r = (planes[0][i] * k + 127) / 255;
        g = (planes[1][i] * k + 127) / 255;
        b = (planes[2][i] * k + 127) / 255;
        break;
    }
    case kModeIndexed: {
        const std::uint32_t index = planes[0][i];
        r = doc.palette[index];
        g = doc.palette[256 + index];
        b = doc.palette[512 + index];
        if (static_cast<std::int32_t>(index) == doc.transparent_index)
            alpha = 0;
        break;
    }
    default:
        r = g = b = planes[0][i];
    }
    return b | (g << 8) | (r << 16) | ((255 - alpha) << 24);
}

// Big-endian 16-bit planes of `count` samples, each with `alpha` (opaque when null) after its
// colours, as interleaved native samples.
void interleave(const std::vector<const std::uint8_t*>& colours, const std::uint8_t* alpha,
                std::size_t count, std::uint16_t* out) {
    const std::size_t step = colours.size() + 1;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t* px = out + i * step;
        for (std::size_t c = 0; c < colours.size(); ++c)
            px[c] = static_cast<std::uint16_t>(colours[c][2 * i] << 8 | colours[c][2 * i + 1]);
        px[step - 1] = alpha == nullptr
                           ? std::uint16_t{0xFFFF}
                           : static_cast<std::uint16_t>(alpha[2 * i] << 8 | alpha[2 * i + 1]);
    }
}

} // namespace

std::uint32_t deep_channels(const Document& doc) {
    if (doc.depth != 16)
        return 0;
    return doc.mode == kModeRgb ? 4 : doc.mode == kModeGrey ? 2 : 0;
}

std::int32_t read_document(std::span<const std::uint8_t> file, Document& doc) {
    doc = Document{};
    if (file.size() < 4 || std::memcmp(file.data(), "8BPS", 4) != 0)
        return kNotThis;
    Cursor c(file, 4, file.size());
    doc.version = c.u16();
    if (doc.version != 1 && doc.version != 2)
        return kNotThis;
    c.skip(6);
    doc.channels = c.u16();
    doc.height = c.u32();
    doc.width = c.u32();
    doc.depth = c.u16();
    doc.mode = c.u16();
    if (!c.ok())
        return kShort;
    const std::uint32_t max_side = doc.version == 2 ? kMaxSideLarge : kMaxSide;
    if (doc.channels < 1 || doc.channels > kMaxChannels || doc.width == 0 || doc.height == 0)
        return kInvalid;
    if (doc.width > max_side || doc.height > max_side || doc.width > kMaxBitmapSide ||
        doc.height > kMaxBitmapSide ||
        static_cast<std::uint64_t>(doc.width) * doc.height > kMaxPixels)
        return kSizes;
    if (doc.depth != 1 && doc.depth != 8 && doc.depth != 16 && doc.depth != 32)
        return kInvalid;
    switch (doc.mode) {
    case kModeGrey:
    case kModeIndexed:
    case kModeRgb:
    case kModeCmyk:
    case kModeDuotone:
        break;
    case 0: // bitmap
    case 7: // multichannel
    case 9: // Lab
        return kVariant;
    default:
        return kInvalid;
    }
    if (doc.depth == 1 || doc.depth == 32)
        return kVariant;
    if ((doc.mode == kModeIndexed && doc.depth != 8) || doc.channels < colour_channels(doc.mode))
        return kInvalid;

    const std::uint32_t mode_data = c.u32();
    if (!c.has(mode_data))
        return kShort;
    if (doc.mode == kModeIndexed) {
        if (mode_data < 768)
            return kInvalid;
        doc.palette = file.subspan(c.at(), 768);
    }
    c.skip(mode_data);
    const std::uint32_t resources = c.u32();
    if (!c.ok() || !c.has(resources))
        return kShort;
    if (const std::int32_t r = read_resources(file, c.at(), c.at() + resources, doc); r != kOk)
        return r;
    c.skip(resources);
    const std::uint64_t section = c.length(doc.version == 2);
    if (!c.ok() || !c.has(section))
        return kShort;
    if (const std::int32_t r =
            read_layer_section(file, c.at(), c.at() + static_cast<std::size_t>(section), doc);
        r != kOk)
        return r;
    c.skip(section);
    doc.merged_offset = c.at();
    return check_merged(file, doc);
}

std::int32_t decode_layer(std::span<const std::uint8_t> file, const Document& doc,
                          const LayerRecord& layer, std::uint32_t* pixels, std::uint32_t stride) {
    const std::uint32_t w = layer.rect.width();
    const std::uint32_t h = layer.rect.height();
    const std::uint32_t bps = doc.depth / 8;
    const std::uint32_t count_bytes = doc.version == 2 ? 4 : 2;
    const std::uint32_t colours = colour_channels(doc.mode);
    std::vector<std::vector<std::uint8_t>> planes(colours);
    std::vector<std::uint8_t> alpha;
    std::vector<std::uint8_t> mask;
    for (const ChannelData& ch : layer.channels) {
        std::vector<std::uint8_t>* into = nullptr;
        if (ch.id >= 0 && static_cast<std::uint32_t>(ch.id) < colours)
            into = &planes[static_cast<std::size_t>(ch.id)];
        else if (ch.id == -1)
            into = &alpha;
        else if (ch.id == -2 && !layer.mask_disabled && !layer.mask.empty())
            into = &mask;
        if (into == nullptr)
            continue;
        const Rect r = channel_rect(layer, ch);
        const std::uint32_t compression = (file[ch.offset] << 8) | file[ch.offset + 1];
        if (const std::int32_t res = unpack(
                file, ch.offset + 2, ch.offset + static_cast<std::size_t>(ch.length), compression,
                r.height(), std::size_t{r.width()} * bps, bps, count_bytes, *into);
            res != kOk)
            return res;
        to_8_bits(*into, bps);
    }
    std::vector<const std::uint8_t*> colour(colours);
    for (std::uint32_t i = 0; i < colours; ++i) {
        if (planes[i].size() != std::size_t{w} * h)
            return kInvalid;
        colour[i] = planes[i].data();
    }
    const Rect& m = layer.mask;
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::size_t i = std::size_t{y} * w + x;
            std::uint32_t a = alpha.empty() ? 255 : alpha[i];
            if (!mask.empty()) {
                const std::int64_t my = static_cast<std::int64_t>(layer.rect.top) + y - m.top;
                const std::int64_t mx = static_cast<std::int64_t>(layer.rect.left) + x - m.left;
                const bool inside = my >= 0 && mx >= 0 && my < m.height() && mx < m.width();
                const std::uint32_t v = inside ? mask[static_cast<std::size_t>(my) * m.width() +
                                                      static_cast<std::size_t>(mx)]
                                               : layer.mask_default;
                a = (a * v + 127) / 255;
            }
            pixels[std::size_t{y} * stride + x] = colour_at(doc, colour, i, a);
        }
    }
    return kOk;
}

std::int32_t decode_merged(std::span<const std::uint8_t> file, const Document& doc,
                           std::uint32_t* pixels, std::uint32_t stride) {
    const std::uint32_t bps = doc.depth / 8;
    const std::uint32_t compression = (file[doc.merged_offset] << 8) | file[doc.merged_offset + 1];
    const std::uint32_t colours = colour_channels(doc.mode);
    // ImageMagick and others write a flat picture's transparency as its first extra channel.
    const bool alpha = doc.channels > colours && (doc.merged_alpha || doc.layers.empty());
    const std::uint32_t used = colours + (alpha ? 1 : 0);
    const std::size_t plane = std::size_t{doc.width} * doc.height;
    // A deflated merged image would have to be inflated whole, extra channels and all.
    if (compression >= 2 && used != doc.channels)
        return kVariant;
    std::vector<std::uint8_t> samples;
    if (const std::int32_t r =
            unpack(file, doc.merged_offset + 2, file.size(), compression,
                   std::uint64_t{doc.height} * used, std::size_t{doc.width} * bps, bps,
                   doc.version == 2 ? 4 : 2, samples, std::uint64_t{doc.height} * doc.channels);
        r != kOk)
        return r;
    to_8_bits(samples, bps);
    std::vector<const std::uint8_t*> planes(colours);
    for (std::uint32_t i = 0; i < colours; ++i)
        planes[i] = samples.data() + i * plane;
    const std::uint8_t* a = alpha ? samples.data() + colours * plane : nullptr;
    for (std::uint32_t y = 0; y < doc.height; ++y) {
        for (std::uint32_t x = 0; x < doc.width; ++x) {
            const std::size_t i = std::size_t{y} * doc.width + x;
            std::uint32_t v = a != nullptr ? a[i] : 255;
            pixels[std::size_t{y} * stride + x] = colour_at(doc, planes, i, v);
        }
    }
    return kOk;
}

std::int32_t decode_layer_deep(std::span<const std::uint8_t> file, const Document& doc,
                               const LayerRecord& layer, std::uint16_t* samples) {
    const std::uint32_t channels = deep_channels(doc);
    if (channels == 0)
        return kVariant;
    const std::size_t count = std::size_t{layer.rect.width()} * layer.rect.height();
    std::vector<std::vector<std::uint8_t>> planes(channels - 1);
    std::vector<std::uint8_t> alpha;
    for (const ChannelData& ch : layer.channels) {
        std::vector<std::uint8_t>* into = nullptr;
        if (ch.id >= 0 && static_cast<std::uint32_t>(ch.id) < channels - 1)
            into = &planes[static_cast<std::size_t>(ch.id)];
        else if (ch.id == -1)
            into = &alpha;
        else if (ch.id == -2 && !layer.mask_disabled && !layer.mask.empty())
            return kVariant; // the mask multiplies the transparency at 8 bits only
        if (into == nullptr)
            continue;
        const std::uint32_t compression = (file[ch.offset] << 8) | file[ch.offset + 1];
        if (const std::int32_t r =
                unpack(file, ch.offset + 2, ch.offset + static_cast<std::size_t>(ch.length),
                       compression, layer.rect.height(), std::size_t{layer.rect.width()} * 2, 2,
                       doc.version == 2 ? 4 : 2, *into);
            r != kOk)
            return r;
    }
    std::vector<const std::uint8_t*> colours;
    for (const std::vector<std::uint8_t>& plane : planes) {
        if (plane.size() != count * 2)
            return kInvalid;
        colours.push_back(plane.data());
    }
    interleave(colours, alpha.empty() ? nullptr : alpha.data(), count, samples);
    return kOk;
}

std::int32_t decode_merged_deep(std::span<const std::uint8_t> file, const Document& doc,
                                std::uint16_t* samples) {
    const std::uint32_t channels = deep_channels(doc);
    if (channels == 0)
        return kVariant;
    const std::uint32_t colours = channels - 1;
    const std::uint32_t compression = (file[doc.merged_offset] << 8) | file[doc.merged_offset + 1];
    // The same channels as the 8-bit decode takes.
    const bool alpha = doc.channels > colours && (doc.merged_alpha || doc.layers.empty());
    const std::uint32_t used = colours + (alpha ? 1 : 0);
    if (compression >= 2 && used != doc.channels)
        return kVariant;
    const std::size_t plane = std::size_t{doc.width} * doc.height;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r =
            unpack(file, doc.merged_offset + 2, file.size(), compression,
                   std::uint64_t{doc.height} * used, std::size_t{doc.width} * 2, 2,
                   doc.version == 2 ? 4 : 2, bytes, std::uint64_t{doc.height} * doc.channels);
        r != kOk)
        return r;
    std::vector<const std::uint8_t*> planes;
    for (std::uint32_t i = 0; i < colours; ++i)
        planes.push_back(bytes.data() + i * plane * 2);
    interleave(planes, alpha ? bytes.data() + colours * plane * 2 : nullptr, plane, samples);
    return kOk;
}

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

void put8(std::vector<std::uint8_t>& o, std::uint32_t v) {
    o.push_back(static_cast<std::uint8_t>(v));
}
void put16(std::vector<std::uint8_t>& o, std::uint32_t v) {
    put8(o, v >> 8);
    put8(o, v);
}
void put32(std::vector<std::uint8_t>& o, std::uint32_t v) {
    put16(o, v >> 16);
    put16(o, v & 0xFFFF);
}
void put64(std::vector<std::uint8_t>& o, std::uint64_t v) {
    put32(o, static_cast<std::uint32_t>(v >> 32));
    put32(o, static_cast<std::uint32_t>(v));
}
void patch32(std::vector<std::uint8_t>& o, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 4; ++i)
        o[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
void patch64(std::vector<std::uint8_t>& o, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        o[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
}
// A length the large layout stores in 8 bytes, put or patched.
void put_length(std::vector<std::uint8_t>& o, bool large, std::uint64_t v) {
    if (large)
        put64(o, v);
    else
        put32(o, static_cast<std::uint32_t>(v));
}
void patch_length(std::vector<std::uint8_t>& o, bool large, std::size_t at, std::uint64_t v) {
    if (large)
        patch64(o, at, v);
    else
        patch32(o, at, v);
}

// PackBits: runs of 3 or more repeat, the rest as literals of up to 128 bytes.
void pack_row(const std::uint8_t* row, std::size_t n, std::vector<std::uint8_t>& out) {
    std::size_t x = 0;
    while (x < n) {
        std::size_t run = 1;
        while (x + run < n && run < 128 && row[x + run] == row[x])
            ++run;
        if (run >= 3) {
            put8(out, static_cast<std::uint32_t>(257 - run));
            put8(out, row[x]);
            x += run;
            continue;
        }
        std::size_t literal = 0;
        while (x + literal < n && literal < 128 &&
               !(x + literal + 2 < n && row[x + literal] == row[x + literal + 1] &&
                 row[x + literal] == row[x + literal + 2]))
            ++literal;
        put8(out, static_cast<std::uint32_t>(literal - 1));
        out.insert(out.end(), row + x, row + x + literal);
        x += literal;
    }
}

// One channel of a picture to write: the byte at `shift` of 8-bit pixels (0 blue .. 16 red, 24
// opacity), or channel `channel` of deep samples as two big-endian bytes.
struct Plane {
    const std::uint32_t* pixels = nullptr;
    int shift = 0;
    const std::uint16_t* deep = nullptr;
    std::uint32_t channels = 0, channel = 0, stride = 0;
};

// A plane of width x height as run-length rows: the rows' byte counts, then the rows.
void pack_plane(const Plane& plane, std::uint32_t width, std::uint32_t height, bool large,
                std::vector<std::uint8_t>& counts, std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> row(std::size_t{width} * (plane.deep != nullptr ? 2 : 1));
    for (std::uint32_t y = 0; y < height; ++y) {
        if (plane.deep != nullptr) {
            const std::uint16_t* src = plane.deep + std::size_t{y} * plane.stride + plane.channel;
            for (std::uint32_t x = 0; x < width; ++x) {
                const std::uint16_t v = src[std::size_t{x} * plane.channels];
                row[2 * std::size_t{x}] = static_cast<std::uint8_t>(v >> 8);
                row[2 * std::size_t{x} + 1] = static_cast<std::uint8_t>(v);
            }
        } else {
            const std::uint32_t* src = plane.pixels + std::size_t{y} * width;
            for (std::uint32_t x = 0; x < width; ++x)
                row[x] = plane.shift == 24 ? static_cast<std::uint8_t>(255 - (src[x] >> 24))
                                           : static_cast<std::uint8_t>(src[x] >> plane.shift);
        }
        const std::size_t before = data.size();
        pack_row(row.data(), row.size(), data);
        const auto count = static_cast<std::uint32_t>(data.size() - before);
        if (large)
            put32(counts, count);
        else
            put16(counts, count);
    }
}

// The planes of a picture, colours first and transparency last, with the channel ids a layer
// record gives them.
struct Planes {
    std::vector<Plane> planes;
    std::vector<std::int32_t> ids;
};

Planes planes_of(const std::uint32_t* pixels, const std::uint16_t* samples, const OutDocument& doc,
                 bool deep) {
    Planes out;
    if (deep) {
        for (std::uint32_t c = 0; c < doc.deep_channels; ++c) {
            out.planes.push_back({nullptr, 0, samples, doc.deep_channels, c, doc.deep_stride});
            out.ids.push_back(c + 1 == doc.deep_channels ? -1 : static_cast<std::int32_t>(c));
        }
        return out;
    }
    for (const int shift : {16, 8, 0, 24}) {
        out.planes.push_back({pixels, shift});
        out.ids.push_back(shift == 24 ? -1 : 2 - shift / 8);
    }
    return out;
}

void write_resources(const OutDocument& doc, std::vector<std::uint8_t>& o) {
    const std::size_t at = o.size();
    put32(o, 0);
    auto block = [&o](std::uint32_t id, std::size_t size) {
        put32(o, key("8BIM"));
        put16(o, id);
        put16(o, 0); // an empty name, padded
        put32(o, static_cast<std::uint32_t>(size));
    };
    block(0x03ED, 16);
    for (const std::uint32_t ppi : {doc.ppi_x, doc.ppi_y}) {
        put32(o, std::min<std::uint32_t>(ppi, 32767) << 16);
        put16(o, 1); // shown per inch
        put16(o, 1); // sizes shown in inches
    }
    if (!doc.icc.empty()) {
        block(0x040F, doc.icc.size());
        o.insert(o.end(), doc.icc.begin(), doc.icc.end());
        if (doc.icc.size() % 2 != 0)
            put8(o, 0);
    }
    patch32(o, at, o.size() - at - 4);
}

void write_layer_record(const OutLayer& layer, const std::vector<std::int32_t>& ids,
                        const std::vector<std::uint64_t>& lengths, bool large,
                        std::vector<std::uint8_t>& o) {
    put32(o, static_cast<std::uint32_t>(layer.y));
    put32(o, static_cast<std::uint32_t>(layer.x));
    put32(o, static_cast<std::uint32_t>(layer.y + static_cast<std::int32_t>(layer.height)));
    put32(o, static_cast<std::uint32_t>(layer.x + static_cast<std::int32_t>(layer.width)));
    put16(o, static_cast<std::uint32_t>(ids.size()));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        put16(o, static_cast<std::uint32_t>(ids[i]) & 0xFFFF);
        put_length(o, large, lengths[i]);
    }
    put32(o, key("8BIM"));
    put32(o, layer.blend);
    put8(o, layer.opacity);
    put8(o, layer.clipping);
    put8(o, (layer.hidden ? 2u : 0u) | 8u); // bit 3: bit 4 is meaningful (and clear)
    put8(o, 0);
    const std::size_t extra_at = o.size();
    put32(o, 0);
    put32(o, 0); // no mask
    put32(o, 0); // no blending ranges
    // The Pascal name for older readers, then the whole name in UTF-16.
    const std::size_t n = std::min<std::size_t>(layer.name.size(), 255);
    put8(o, static_cast<std::uint32_t>(n));
    for (std::size_t i = 0; i < n; ++i)
        put8(o, layer.name[i] < 0x80 ? layer.name[i] : u'?');
    for (std::size_t pad = (4 - (n + 1) % 4) % 4; pad > 0; --pad)
        put8(o, 0);
    put32(o, key("8BIM"));
    put32(o, key("luni"));
    const std::size_t chars = layer.name.size() + (layer.name.size() % 2);
    put32(o, static_cast<std::uint32_t>(4 + chars * 2));
    put32(o, static_cast<std::uint32_t>(layer.name.size()));
    for (std::size_t i = 0; i < chars; ++i)
        put16(o, i < layer.name.size() ? layer.name[i] : 0);
    patch32(o, extra_at, o.size() - extra_at - 4);
}

// The merged image of a transparent picture as other readers expect it: its colours matted on
// white, its transparency kept beside them (they take the matte out again).
std::vector<std::uint32_t> matted(const std::vector<std::uint32_t>& pixels) {
    std::vector<std::uint32_t> out(pixels.size());
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const std::uint32_t t = pixels[i] >> 24;
        std::uint32_t p = pixels[i] & 0xFF000000u;
        for (const int shift : {0, 8, 16}) {
            const std::uint32_t c = (pixels[i] >> shift) & 0xFF;
            p |= ((c * (255 - t) + 255 * t + 127) / 255) << shift;
        }
        out[i] = p;
    }
    return out;
}

std::vector<std::uint16_t> matted_deep(const OutDocument& doc) {
    const std::uint32_t n = doc.deep_channels;
    std::vector<std::uint16_t> out(std::size_t{doc.height} * doc.deep_stride);
    for (std::uint32_t y = 0; y < doc.height; ++y) {
        const std::size_t row = std::size_t{y} * doc.deep_stride;
        for (std::uint32_t x = 0; x < doc.width; ++x) {
            const std::uint16_t* in = doc.deep + row + std::size_t{x} * n;
            std::uint16_t* to = out.data() + row + std::size_t{x} * n;
            const std::uint64_t a = in[n - 1];
            for (std::uint32_t c = 0; c + 1 < n; ++c)
                to[c] =
                    static_cast<std::uint16_t>((in[c] * a + 65535 * (65535 - a) + 32767) / 65535);
            to[n - 1] = in[n - 1];
        }
    }
    return out;
}

} // namespace

std::vector<std::uint8_t> write_document(const OutDocument& doc) {
    // A deep picture stands for the whole picture: it is written only as its one layer.
    const bool deep = doc.deep != nullptr && doc.layers.size() == 1 &&
                      doc.layers[0].width == doc.width && doc.layers[0].height == doc.height;
    bool alpha = false;
    if (deep) {
        for (std::uint32_t y = 0; y < doc.height && !alpha; ++y) {
            const std::uint16_t* row = doc.deep + std::size_t{y} * doc.deep_stride;
            for (std::uint32_t x = 0; x < doc.width && !alpha; ++x)
                alpha = row[std::size_t{x} * doc.deep_channels + doc.deep_channels - 1] != 0xFFFF;
        }
    } else {
        for (const std::uint32_t p : doc.merged)
            alpha = alpha || (p >> 24) != 0;
    }
    const bool large = doc.large;
    const std::uint32_t colours = deep ? doc.deep_channels - 1 : 3;
    std::vector<std::uint8_t> o;
    put32(o, key("8BPS"));
    put16(o, large ? 2 : 1);
    put32(o, 0);
    put16(o, 0);
    put16(o, colours + (alpha ? 1 : 0));
    put32(o, doc.height);
    put32(o, doc.width);
    put16(o, deep ? 16 : 8);
    put16(o, colours == 1 ? kModeGrey : kModeRgb);
    put32(o, 0); // no colour mode data
    write_resources(doc, o);

    const std::size_t section_at = o.size();
    put_length(o, large, 0);
    const std::size_t info_at = o.size();
    put_length(o, large, 0);
    const auto count = static_cast<std::int32_t>(doc.layers.size());
    put16(o, static_cast<std::uint32_t>(alpha ? -count : count) & 0xFFFF);
    std::vector<std::uint8_t> channel_data;
    for (const OutLayer& layer : doc.layers) {
        Planes planes = planes_of(layer.pixels.data(), doc.deep, doc, deep);
        // The transparency first, as other writers order them.
        std::rotate(planes.planes.rbegin(), planes.planes.rbegin() + 1, planes.planes.rend());
        std::rotate(planes.ids.rbegin(), planes.ids.rbegin() + 1, planes.ids.rend());
        std::vector<std::uint64_t> lengths;
        for (const Plane& plane : planes.planes) {
            std::vector<std::uint8_t> counts;
            std::vector<std::uint8_t> data;
            pack_plane(plane, layer.width, layer.height, large, counts, data);
            put16(channel_data, 1);
            channel_data.insert(channel_data.end(), counts.begin(), counts.end());
            channel_data.insert(channel_data.end(), data.begin(), data.end());
            lengths.push_back(2 + counts.size() + data.size());
        }
        write_layer_record(layer, planes.ids, lengths, large, o);
    }
    o.insert(o.end(), channel_data.begin(), channel_data.end());
    const std::size_t length_bytes = large ? 8 : 4;
    if ((o.size() - info_at) % 2 != 0)
        put8(o, 0);
    patch_length(o, large, info_at, o.size() - info_at - length_bytes);
    put32(o, 0); // no global layer mask
    patch_length(o, large, section_at, o.size() - section_at - length_bytes);

    put16(o, 1);
    std::vector<std::uint8_t> counts;
    std::vector<std::uint8_t> data;
    const std::vector<std::uint32_t> merged_pixels =
        alpha && !deep ? matted(doc.merged) : std::vector<std::uint32_t>{};
    const std::vector<std::uint16_t> merged_samples =
        alpha && deep ? matted_deep(doc) : std::vector<std::uint16_t>{};
    Planes merged = planes_of(alpha && !deep ? merged_pixels.data() : doc.merged.data(),
                              alpha && deep ? merged_samples.data() : doc.deep, doc, deep);
    if (!alpha)
        merged.planes.pop_back();
    for (const Plane& plane : merged.planes)
        pack_plane(plane, doc.width, doc.height, large, counts, data);
    o.insert(o.end(), counts.begin(), counts.end());
    o.insert(o.end(), data.begin(), data.end());
    return o;
}

} // namespace vt::formats::psd
