// XCF reading and writing (devel-docs/xcf.txt of GIMP's sources).

#include "formats/xcf/xcf_codec.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include <zlib.h>

#include "sdk/vt_plugin.h"

namespace vt::formats {

namespace {

constexpr std::uint32_t kTile = 64;

enum : std::uint32_t {
    kPropEnd = 0,
    kPropColormap = 1,
    kPropFloating = 5,
    kPropOpacity = 6,
    kPropMode = 7,
    kPropVisible = 8,
    kPropApplyMask = 11,
    kPropOffsets = 15,
    kPropCompression = 17,
    kPropResolution = 19,
    kPropParasites = 21,
    kPropGroupItem = 29,
    kPropItemPath = 30,
    kPropFloatOpacity = 33,
};

constexpr std::uint32_t kMaxItemDepth = 64;

// A reader over the file: big-endian words, and a sticky mark when it runs past the end.
class Cursor {
public:
    Cursor(std::span<const std::uint8_t> file, std::uint64_t at, std::uint32_t version)
        : m_file(file), m_pos(at), m_wide(version >= 11) {}
    bool cut() const { return m_cut; }
    std::uint64_t pos() const { return m_pos; }
    void seek(std::uint64_t at) {
        m_pos = at;
        if (at > m_file.size())
            m_cut = true;
    }
    const std::uint8_t* take(std::uint64_t n) {
        if (m_cut || n > m_file.size() - std::min<std::uint64_t>(m_pos, m_file.size())) {
            m_cut = true;
            return nullptr;
        }
        const std::uint8_t* p = m_file.data() + m_pos;
        m_pos += n;
        return p;
    }
    std::uint32_t u32() {
        const std::uint8_t* p = take(4);
        return p == nullptr
                   ? 0
                   : (static_cast<std::uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
    }
    std::uint64_t pointer() {
        if (!m_wide)
            return u32();
        const std::uint64_t high = u32();
        return (high << 32) | u32();
    }
    float f32() {
        const std::uint32_t bits = u32();
        float f = 0;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    std::string text() {
        const std::uint32_t n = u32();
        const std::uint8_t* p = take(n);
        if (p == nullptr || n == 0)
            return {};
        const std::size_t length = p[n - 1] == 0 ? n - 1 : n;
        return std::string(reinterpret_cast<const char*>(p), length);
    }
    std::uint32_t pointer_size() const { return m_wide ? 8 : 4; }

private:
    std::span<const std::uint8_t> m_file;
    std::uint64_t m_pos;
    bool m_wide;
    bool m_cut = false;
};

bool sizes_allowed(std::uint32_t w, std::uint32_t h) {
    return w >= 1 && h >= 1 && w <= kXcfMaxSide && h <= kXcfMaxSide &&
           std::uint64_t{w} * h <= kXcfMaxPixels;
}

// Precision codes by version: bytes a sample, linear light, floating point.
bool set_precision(XcfImage& image, std::uint32_t code) {
    image.linear = false;
    image.floating_point = false;
    if (image.version == 4) {
        static const std::uint32_t kBytes[] = {1, 2, 4, 2, 4};
        if (code > 4)
            return false;
        image.sample_bytes = kBytes[code];
        image.linear = code >= 2;
        image.floating_point = code >= 3;
        return true;
    }
    const std::uint32_t kind = code / 100;
    const std::uint32_t rest = code % 100;
    if (rest != 0 && rest != 50)
        return false;
    image.linear = rest == 0;
    if (kind >= 1 && kind <= 3) {
        image.sample_bytes = kind == 1 ? 1 : kind == 2 ? 2 : 4;
        return true;
    }
    const bool old = image.version <= 6;
    image.floating_point = true;
    if (kind == (old ? 4u : 5u))
        image.sample_bytes = 2;
    else if (kind == (old ? 5u : 6u))
        image.sample_bytes = 4;
    else if (!old && kind == 7)
        image.sample_bytes = 8;
    else
        return false;
    return true;
}

std::uint32_t channels_of(std::uint32_t type) {
    static const std::uint32_t kChannels[] = {3, 4, 1, 2, 1, 2};
    return kChannels[type];
}

// The image's parasites (name, flags, size, data, one after another) between `at` and `end`:
// the colour profile is the one named "icc-profile". A parasite that does not fit ends the list.
void read_parasites(std::span<const std::uint8_t> file, std::uint64_t at, std::uint64_t end,
                    XcfImage& image) {
    Cursor c(file.first(static_cast<std::size_t>(end)), at, 0);
    while (c.pos() < end) {
        const std::string name = c.text();
        c.u32(); // flags
        const std::uint32_t size = c.u32();
        const std::uint8_t* data = c.take(size);
        if (c.cut())
            return;
        if (name == "icc-profile" && size > 0)
            image.icc.assign(data, data + size);
    }
}

std::int32_t read_layer(Cursor& c, XcfImage& image, XcfLayer& layer) {
    layer.width = c.u32();
    layer.height = c.u32();
    layer.type = c.u32();
    layer.name = c.text();
    while (!c.cut()) {
        const std::uint32_t type = c.u32();
        const std::uint32_t length = c.u32();
        const std::uint64_t next = c.pos() + length;
        if (type == kPropEnd)
            break;
        switch (type) {
        case kPropFloating:
            layer.floating = true;
            break;
        case kPropOpacity:
            layer.opacity = std::min<std::uint32_t>(c.u32(), 255) / 255.0;
            break;
        case kPropFloatOpacity: {
            const float f = c.f32();
            layer.opacity = f >= 0.0f && f <= 1.0f ? f : f > 1.0f ? 1.0 : 0.0;
            break;
        }
        case kPropMode:
            layer.mode = c.u32();
            break;
        case kPropVisible:
            layer.visible = c.u32() != 0;
            break;
        case kPropApplyMask:
            layer.apply_mask = c.u32() != 0;
            break;
        case kPropOffsets:
            layer.x = static_cast<std::int32_t>(c.u32());
            layer.y = static_cast<std::int32_t>(c.u32());
            break;
        case kPropGroupItem:
            layer.group = true;
            break;
        case kPropItemPath:
            // Deeper than any editor nests; a longer path is left as none.
            if (length % 4 == 0 && length / 4 <= kMaxItemDepth)
                for (std::uint32_t i = 0; i < length / 4 && !c.cut(); ++i)
                    layer.path.push_back(c.u32());
            break;
        default:
            break;
        }
        c.seek(next);
    }
    layer.hierarchy = c.pointer();
    layer.mask = c.pointer();
    if (c.cut())
        return VT_ERR_READ;
    if (layer.type > 5)
        return VT_ERR_INVALID_DATA;
    if (!layer.floating && !layer.group && layer.type / 2 != image.base_type)
        return VT_ERR_INVALID_DATA;
    return VT_OK;
}

// The tiles of a hierarchy, each handed over decoded: column, row, its size, its bytes.
using TileSink = std::function<std::int32_t(std::uint32_t x, std::uint32_t y, std::uint32_t w,
                                            std::uint32_t h, const std::uint8_t* bytes)>;

std::int32_t decode_rle(const std::uint8_t* in, std::size_t size, std::uint32_t bpp,
                        std::uint32_t count, std::uint8_t* out) {
    std::size_t at = 0;
    for (std::uint32_t channel = 0; channel < bpp; ++channel) {
        std::uint32_t done = 0;
        while (done < count) {
            if (at >= size)
                return VT_ERR_READ;
            const std::uint32_t op = in[at++];
            std::uint32_t n = 0;
            bool run = op < 128;
            if (op < 127) {
                n = op + 1;
            } else {
                if (op == 127 || op == 128) {
                    if (size - at < 2)
                        return VT_ERR_READ;
                    n = (std::uint32_t{in[at]} << 8) | in[at + 1];
                    at += 2;
                } else {
                    n = 256 - op;
                }
            }
            if (n > count - done)
                return VT_ERR_INVALID_DATA;
            if (run) {
                if (at >= size)
                    return VT_ERR_READ;
                const std::uint8_t v = in[at++];
                for (std::uint32_t i = 0; i < n; ++i)
                    out[std::size_t{done + i} * bpp + channel] = v;
            } else {
                if (size - at < n)
                    return VT_ERR_READ;
                for (std::uint32_t i = 0; i < n; ++i)
                    out[std::size_t{done + i} * bpp + channel] = in[at + i];
                at += n;
            }
            done += n;
        }
    }
    return VT_OK;
}

std::int32_t inflate_tile(const std::uint8_t* in, std::size_t size, std::uint8_t* out,
                          std::size_t out_size) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return VT_ERR_OUT_OF_MEMORY;
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
    z.next_out = out;
    z.avail_out = static_cast<uInt>(out_size);
    const int r = inflate(&z, Z_FINISH);
    const bool full = z.avail_out == 0;
    inflateEnd(&z);
    if (full && (r == Z_STREAM_END || r == Z_OK || r == Z_BUF_ERROR))
        return VT_OK;
    return r == Z_BUF_ERROR ? VT_ERR_READ : VT_ERR_INVALID_DATA;
}

// Walks to the level's tile table: VT_OK with `tiles` filled.
std::int32_t tile_table(std::span<const std::uint8_t> file, const XcfImage& image,
                        std::uint64_t hierarchy, std::uint32_t width, std::uint32_t height,
                        std::uint32_t bpp, std::vector<std::uint64_t>* tiles) {
    if (hierarchy == 0 || hierarchy >= file.size())
        return VT_ERR_INVALID_DATA;
    Cursor c(file, hierarchy, image.version);
    if (c.u32() != width || c.u32() != height || c.u32() != bpp)
        return c.cut() ? VT_ERR_READ : VT_ERR_INVALID_DATA;
    const std::uint64_t level = c.pointer();
    if (c.cut())
        return VT_ERR_READ;
    if (level == 0 || level >= file.size())
        return VT_ERR_INVALID_DATA;
    c.seek(level);
    if (c.u32() != width || c.u32() != height)
        return c.cut() ? VT_ERR_READ : VT_ERR_INVALID_DATA;
    const std::uint64_t count =
        std::uint64_t{(width + kTile - 1) / kTile} * ((height + kTile - 1) / kTile);
    if (count * c.pointer_size() > file.size() - std::min<std::uint64_t>(c.pos(), file.size()))
        return VT_ERR_READ;
    tiles->resize(count);
    const std::uint32_t columns = (width + kTile - 1) / kTile;
    // The tiles follow each other; each must hold its shortest possible coding, so a tiny file
    // cannot claim a huge layer.
    const auto least = [&](std::uint64_t i) -> std::uint64_t {
        const std::uint64_t pixels =
            std::uint64_t{
                std::min(kTile, width - static_cast<std::uint32_t>(i % columns) * kTile)} *
            std::min(kTile, height - static_cast<std::uint32_t>(i / columns) * kTile);
        return image.compression == 0   ? pixels * bpp
               : image.compression == 2 ? 8
                                        : bpp * (pixels <= 127 ? 2u : 4u);
    };
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t t = (*tiles)[i] = c.pointer();
        if (t == 0 || t >= file.size())
            return VT_ERR_INVALID_DATA;
        if (i > 0 && (t <= (*tiles)[i - 1] || t - (*tiles)[i - 1] < least(i - 1)))
            return VT_ERR_INVALID_DATA;
    }
    if (file.size() - tiles->back() < least(count - 1))
        return VT_ERR_READ;
    return VT_OK;
}

std::int32_t decode_hierarchy(std::span<const std::uint8_t> file, const XcfImage& image,
                              std::uint64_t hierarchy, std::uint32_t width, std::uint32_t height,
                              std::uint32_t bpp, const TileSink& sink) {
    std::vector<std::uint64_t> tiles;
    if (const std::int32_t r = tile_table(file, image, hierarchy, width, height, bpp, &tiles);
        r != VT_OK)
        return r;
    std::vector<std::uint8_t> bytes(std::size_t{kTile} * kTile * bpp);
    const std::uint32_t columns = (width + kTile - 1) / kTile;
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        const auto col = static_cast<std::uint32_t>(i % columns);
        const auto row = static_cast<std::uint32_t>(i / columns);
        const std::uint32_t tw = std::min(kTile, width - col * kTile);
        const std::uint32_t th = std::min(kTile, height - row * kTile);
        const std::size_t need = std::size_t{tw} * th * bpp;
        const std::uint64_t start = tiles[i];
        std::uint64_t end = i + 1 < tiles.size() ? tiles[i + 1] : file.size();
        if (end <= start || end > file.size())
            end = file.size();
        const std::uint8_t* in = file.data() + start;
        const auto size = static_cast<std::size_t>(end - start);
        std::int32_t r = VT_OK;
        if (image.compression == 0) {
            if (file.size() - start < need)
                return VT_ERR_READ;
            std::memcpy(bytes.data(), in, need);
        } else if (image.compression == 1) {
            r = decode_rle(in, size, bpp, tw * th, bytes.data());
        } else {
            r = inflate_tile(in, size, bytes.data(), need);
        }
        if (r == VT_OK)
            r = sink(col * kTile, row * kTile, tw, th, bytes.data());
        if (r != VT_OK)
            return r;
    }
    return VT_OK;
}

// A level clamped to 0-1, gamma-encoded when linear.
double encoded(double v, bool linear) {
    v = v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0;
    if (linear)
        v = v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
    return v;
}

double half_to_double(std::uint32_t h) {
    const std::uint32_t exponent = (h >> 10) & 0x1F;
    const double mantissa = h & 0x3FF;
    const double v = exponent == 0 ? std::ldexp(mantissa, -24)
                     : exponent == 31
                         ? (mantissa == 0 ? INFINITY : 0.0)
                         : std::ldexp(mantissa + 1024, static_cast<int>(exponent) - 25);
    return (h & 0x8000) != 0 ? -v : v;
}

// One sample as a level of 0-1 (gamma-encoded when `linear`), before any rounding.
double level(const std::uint8_t* p, const XcfImage& image, bool linear) {
    std::uint64_t v = 0;
    for (std::uint32_t i = 0; i < image.sample_bytes; ++i)
        v = (v << 8) | p[i];
    if (!image.floating_point) {
        const double max = image.sample_bytes == 1   ? 255.0
                           : image.sample_bytes == 2 ? 65535.0
                                                     : 4294967295.0;
        return encoded(static_cast<double>(v) / max, linear);
    }
    if (image.sample_bytes == 2)
        return encoded(half_to_double(static_cast<std::uint32_t>(v)), linear);
    if (image.sample_bytes == 4) {
        float f = 0;
        const auto bits = static_cast<std::uint32_t>(v);
        std::memcpy(&f, &bits, 4);
        return encoded(f, linear);
    }
    double d = 0;
    std::memcpy(&d, &v, 8);
    return encoded(d, linear);
}

// One sample at 16 bits: the nearest to its level among the values whose rounding to 8 bits is
// the 8-bit sample (a step apart at most), so the deep picture's rounding is the 8-bit frame.
std::uint16_t sample16(const std::uint8_t* p, const XcfImage& image, bool colour) {
    const bool linear = colour && image.linear;
    if (image.sample_bytes == 2 && !image.floating_point && !linear)
        return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
    const double v = level(p, image, linear);
    const auto eight = static_cast<std::uint32_t>(std::lround(v * 255.0));
    const auto s = static_cast<std::uint32_t>(std::lround(v * 65535.0));
    const std::uint32_t least = eight == 0 ? 0 : 257 * eight - 128;
    const std::uint32_t most = eight == 255 ? 65535 : 257 * eight + 128;
    return static_cast<std::uint16_t>(std::clamp(s, least, most));
}

// One sample as 8 bits; colour samples of a linear image are gamma-encoded.
std::uint8_t sample(const std::uint8_t* p, const XcfImage& image, bool colour) {
    const bool linear = colour && image.linear;
    if (image.sample_bytes == 1 && !image.floating_point && !linear)
        return p[0];
    return static_cast<std::uint8_t>(std::lround(level(p, image, linear) * 255.0));
}

} // namespace

bool xcf_signature(std::span<const std::uint8_t> head) {
    return head.size() >= 9 && std::memcmp(head.data(), "gimp xcf ", 9) == 0;
}

std::int32_t read_xcf_image(std::span<const std::uint8_t> file, XcfImage& image) {
    image = XcfImage{};
    if (!xcf_signature(file))
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    if (file.size() < 26)
        return VT_ERR_READ;
    const char* tag = reinterpret_cast<const char*>(file.data() + 9);
    if (file[13] != 0)
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    if (std::memcmp(tag, "file", 4) == 0) {
        image.version = 0;
    } else if (tag[0] == 'v' &&
               std::all_of(tag + 1, tag + 4, [](char ch) { return ch >= '0' && ch <= '9'; })) {
        image.version =
            static_cast<std::uint32_t>((tag[1] - '0') * 100 + (tag[2] - '0') * 10 + (tag[3] - '0'));
    } else {
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    }
    if (image.version > 30) // 100 and up are another program's
        return VT_ERR_NOT_IMPLEMENTED;
    Cursor c(file, 14, image.version);
    image.width = c.u32();
    image.height = c.u32();
    image.base_type = c.u32();
    if (image.version >= 4 && !set_precision(image, c.u32()))
        return VT_ERR_NOT_IMPLEMENTED;
    if (c.cut())
        return VT_ERR_READ;
    if (image.base_type > 2)
        return VT_ERR_NOT_IMPLEMENTED;
    if (!sizes_allowed(image.width, image.height))
        return VT_ERR_DIMENSIONS;
    // A layer needs a tile pointer for every 4096 pixels; a canvas far beyond what the file's
    // bytes could cover in layers is a tiny file claiming a huge picture.
    if (std::uint64_t{image.width} * image.height > file.size() * std::uint64_t{1024})
        return VT_ERR_READ;
    while (!c.cut()) {
        const std::uint32_t type = c.u32();
        const std::uint32_t length = c.u32();
        std::uint64_t next = c.pos() + length;
        if (type == kPropEnd)
            break;
        if (type == kPropColormap) {
            // Old files state a wrong length here; the entries themselves always follow.
            const std::uint32_t n = c.u32();
            if (n > 256)
                return VT_ERR_INVALID_DATA;
            const std::uint8_t* map = c.take(3u * n);
            if (map != nullptr)
                image.colormap.assign(map, map + 3u * n);
            next = c.pos();
        } else if (type == kPropCompression) {
            const std::uint8_t* p = c.take(1);
            image.compression = p != nullptr ? *p : 0;
            if (image.compression > 2)
                return VT_ERR_NOT_IMPLEMENTED;
        } else if (type == kPropResolution) {
            image.xres = c.f32();
            image.yres = c.f32();
        } else if (type == kPropParasites) {
            read_parasites(file, c.pos(), std::min<std::uint64_t>(next, file.size()), image);
        }
        c.seek(next);
    }
    std::vector<std::uint64_t> pointers;
    for (std::uint64_t p = c.pointer(); p != 0 && !c.cut(); p = c.pointer()) {
        if (p >= file.size())
            return VT_ERR_INVALID_DATA;
        pointers.push_back(p);
    }
    if (c.cut())
        return VT_ERR_READ;
    std::vector<std::uint64_t> hierarchies; // shared pixel data would multiply its memory
    for (const std::uint64_t p : pointers) {
        Cursor lc(file, p, image.version);
        XcfLayer layer;
        if (const std::int32_t r = read_layer(lc, image, layer); r != VT_OK)
            return r;
        hierarchies.push_back(layer.hierarchy);
        image.layers.push_back(std::move(layer));
    }
    std::sort(hierarchies.begin(), hierarchies.end());
    if (std::adjacent_find(hierarchies.begin(), hierarchies.end()) != hierarchies.end())
        return VT_ERR_INVALID_DATA;
    return VT_OK;
}

std::int32_t check_xcf_layer(std::span<const std::uint8_t> file, const XcfImage& image,
                             const XcfLayer& layer) {
    if (!sizes_allowed(layer.width, layer.height))
        return VT_ERR_DIMENSIONS;
    const std::uint32_t bytes = layer.type >= 4 ? 1 : image.sample_bytes;
    std::vector<std::uint64_t> tiles;
    return tile_table(file, image, layer.hierarchy, layer.width, layer.height,
                      channels_of(layer.type) * bytes, &tiles);
}

std::int32_t decode_xcf_layer(std::span<const std::uint8_t> file, const XcfImage& image,
                              const XcfLayer& layer, std::uint32_t* pixels, std::uint32_t stride) {
    const bool indexed = layer.type >= 4;
    const std::uint32_t sb = indexed ? 1 : image.sample_bytes;
    const std::uint32_t channels = channels_of(layer.type);
    const bool alpha = (layer.type & 1) != 0;
    const std::uint32_t colour_channels = alpha ? channels - 1 : channels;
    const std::uint32_t bpp = channels * sb;
    const TileSink put = [&](std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h,
                             const std::uint8_t* bytes) -> std::int32_t {
        for (std::uint32_t y = 0; y < h; ++y) {
            std::uint32_t* row = pixels + std::size_t{y0 + y} * stride + x0;
            for (std::uint32_t x = 0; x < w; ++x) {
                const std::uint8_t* p = bytes + (std::size_t{y} * w + x) * bpp;
                std::uint8_t rgb[3];
                std::uint8_t a = 255;
                if (indexed) {
                    const std::size_t at = std::size_t{p[0]} * 3;
                    if (at + 3 > image.colormap.size())
                        return VT_ERR_INVALID_DATA;
                    std::memcpy(rgb, &image.colormap[at], 3);
                    if (alpha)
                        a = p[1] >= 128 ? 255 : 0;
                } else {
                    for (std::uint32_t k = 0; k < 3; ++k)
                        rgb[k] = sample(p + (colour_channels == 3 ? k : 0) * sb, image, true);
                    if (alpha)
                        a = sample(p + colour_channels * sb, image, false);
                }
                row[x] = rgb[2] | (std::uint32_t{rgb[1]} << 8) | (std::uint32_t{rgb[0]} << 16) |
                         (std::uint32_t{255u - a} << 24);
            }
        }
        return VT_OK;
    };
    if (const std::int32_t r =
            decode_hierarchy(file, image, layer.hierarchy, layer.width, layer.height, bpp, put);
        r != VT_OK)
        return r;
    if (layer.mask == 0 || !layer.apply_mask)
        return VT_OK;
    // The mask is a channel of the layer's size: its values multiply the alpha.
    if (layer.mask >= file.size())
        return VT_ERR_INVALID_DATA;
    Cursor c(file, layer.mask, image.version);
    if (c.u32() != layer.width || c.u32() != layer.height)
        return c.cut() ? VT_ERR_READ : VT_ERR_INVALID_DATA;
    (void)c.text();
    while (!c.cut()) {
        const std::uint32_t type = c.u32();
        const std::uint32_t length = c.u32();
        if (type == kPropEnd)
            break;
        c.seek(c.pos() + length);
    }
    const std::uint64_t hierarchy = c.pointer();
    if (c.cut())
        return VT_ERR_READ;
    const TileSink mask = [&](std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h,
                              const std::uint8_t* bytes) -> std::int32_t {
        for (std::uint32_t y = 0; y < h; ++y) {
            std::uint32_t* row = pixels + std::size_t{y0 + y} * stride + x0;
            for (std::uint32_t x = 0; x < w; ++x) {
                const std::uint32_t m = sample(bytes + (std::size_t{y} * w + x) * sb, image, false);
                const std::uint32_t a = 255 - (row[x] >> 24);
                row[x] = (row[x] & 0xFFFFFFu) | ((255 - (a * m + 127) / 255) << 24);
            }
        }
        return VT_OK;
    };
    return decode_hierarchy(file, image, hierarchy, layer.width, layer.height, sb, mask);
}

std::uint32_t xcf_deep_channels(const XcfImage& image, const XcfLayer& layer) {
    if (layer.type >= 4 || (image.sample_bytes == 1 && !image.floating_point))
        return 0;
    return layer.type < 2 ? 4 : 2;
}

std::int32_t decode_xcf_layer_deep(std::span<const std::uint8_t> file, const XcfImage& image,
                                   const XcfLayer& layer, std::uint16_t* samples) {
    const std::uint32_t out_channels = xcf_deep_channels(image, layer);
    if (out_channels == 0 || (layer.mask != 0 && layer.apply_mask))
        return VT_ERR_NOT_IMPLEMENTED;
    const std::uint32_t sb = image.sample_bytes;
    const std::uint32_t channels = channels_of(layer.type);
    const bool alpha = (layer.type & 1) != 0;
    const std::uint32_t colours = out_channels - 1;
    const std::uint32_t bpp = channels * sb;
    const TileSink put = [&](std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h,
                             const std::uint8_t* bytes) -> std::int32_t {
        for (std::uint32_t y = 0; y < h; ++y) {
            std::uint16_t* row = samples + (std::size_t{y0 + y} * layer.width + x0) * out_channels;
            for (std::uint32_t x = 0; x < w; ++x, row += out_channels) {
                const std::uint8_t* p = bytes + (std::size_t{y} * w + x) * bpp;
                for (std::uint32_t k = 0; k < colours; ++k)
                    row[k] = sample16(p + k * sb, image, true);
                row[colours] = alpha ? sample16(p + colours * sb, image, false) : 0xFFFF;
            }
        }
        return VT_OK;
    };
    return decode_hierarchy(file, image, layer.hierarchy, layer.width, layer.height, bpp, put);
}

namespace {

class Out {
public:
    explicit Out(std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}
    std::uint64_t pos() const { return m_bytes.size(); }
    void u32(std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8)
            m_bytes.push_back(static_cast<std::uint8_t>(v >> s));
    }
    void f32(float f) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &f, 4);
        u32(bits);
    }
    void text(const std::string& s) {
        if (s.empty()) {
            u32(0);
            return;
        }
        u32(static_cast<std::uint32_t>(s.size() + 1));
        m_bytes.insert(m_bytes.end(), s.begin(), s.end());
        m_bytes.push_back(0);
    }
    void bytes(const std::uint8_t* p, std::size_t n) { m_bytes.insert(m_bytes.end(), p, p + n); }
    // Points the word at `slot` here.
    void patch(std::uint64_t slot) {
        const auto v = static_cast<std::uint32_t>(pos());
        for (int i = 0; i < 4; ++i)
            m_bytes[slot + static_cast<std::uint64_t>(i)] =
                static_cast<std::uint8_t>(v >> (24 - 8 * i));
    }

private:
    std::vector<std::uint8_t>& m_bytes;
};

// Runs of two or more as runs, everything else in one literal operation: the encoding never
// grows beyond what GIMP's reader allows.
void encode_rle(const std::uint8_t* in, std::uint32_t count, std::uint32_t step,
                std::vector<std::uint8_t>& out) {
    std::uint32_t i = 0;
    std::uint32_t literal = 0; // where the pending literal bytes start
    const auto flush = [&](std::uint32_t end) {
        const std::uint32_t n = end - literal;
        if (n == 0)
            return;
        if (n < 128) {
            out.push_back(static_cast<std::uint8_t>(256 - n));
        } else {
            out.push_back(128);
            out.push_back(static_cast<std::uint8_t>(n >> 8));
            out.push_back(static_cast<std::uint8_t>(n & 0xFF));
        }
        for (std::uint32_t k = literal; k < end; ++k)
            out.push_back(in[std::size_t{k} * step]);
    };
    while (i < count) {
        std::uint32_t run = 1;
        while (i + run < count && in[std::size_t{i + run} * step] == in[std::size_t{i} * step])
            ++run;
        if (run < 2) {
            ++i;
            continue;
        }
        flush(i);
        if (run < 128) {
            out.push_back(static_cast<std::uint8_t>(run - 1));
        } else {
            out.push_back(127);
            out.push_back(static_cast<std::uint8_t>(run >> 8));
            out.push_back(static_cast<std::uint8_t>(run & 0xFF));
        }
        out.push_back(in[std::size_t{i} * step]);
        i += run;
        literal = i;
    }
    flush(count);
}

// The samples of a tile as the file stores them, one pixel after another: 8-bit R, G, B, alpha,
// or a deep picture's channels as big-endian 16-bit numbers.
void tile_bytes(const XcfOutLayer& layer, std::uint32_t x0, std::uint32_t y0, std::uint32_t tw,
                std::uint32_t th, std::vector<std::uint8_t>& out) {
    std::size_t k = 0;
    for (std::uint32_t y = 0; y < th; ++y)
        for (std::uint32_t x = 0; x < tw; ++x) {
            if (layer.deep != nullptr) {
                const std::uint16_t* p = layer.deep + std::size_t{y0 + y} * layer.deep_stride +
                                         std::size_t{x0 + x} * layer.deep_channels;
                for (std::uint32_t c = 0; c < layer.deep_channels; ++c) {
                    out[k++] = static_cast<std::uint8_t>(p[c] >> 8);
                    out[k++] = static_cast<std::uint8_t>(p[c]);
                }
                continue;
            }
            const std::uint32_t p = layer.pixels[std::size_t{y0 + y} * layer.stride + x0 + x];
            out[k++] = static_cast<std::uint8_t>(p >> 16);
            out[k++] = static_cast<std::uint8_t>(p >> 8);
            out[k++] = static_cast<std::uint8_t>(p);
            out[k++] = static_cast<std::uint8_t>(255 - (p >> 24));
        }
}

void write_layer(Out& out, const XcfOutLayer& layer) {
    const bool grey = layer.deep != nullptr && layer.deep_channels == 2;
    const std::uint32_t bpp = layer.deep != nullptr ? layer.deep_channels * 2 : 4;
    out.u32(layer.width);
    out.u32(layer.height);
    out.u32(grey ? 3 : 1); // grey or RGB, with alpha
    out.text(layer.name);
    const std::uint32_t props[][3] = {{kPropOpacity, 4, layer.opacity},
                                      {kPropVisible, 4, layer.visible ? 1u : 0u},
                                      {kPropMode, 4, layer.mode}};
    for (const auto& p : props) {
        out.u32(p[0]);
        out.u32(p[1]);
        out.u32(p[2]);
    }
    out.u32(kPropOffsets);
    out.u32(8);
    out.u32(static_cast<std::uint32_t>(layer.x));
    out.u32(static_cast<std::uint32_t>(layer.y));
    out.u32(kPropEnd);
    out.u32(0);
    const std::uint64_t hierarchy_slot = out.pos();
    out.u32(0);
    out.u32(0); // no mask
    out.patch(hierarchy_slot);
    out.u32(layer.width);
    out.u32(layer.height);
    out.u32(bpp);
    // GIMP's writer follows the level with empty ones, each half the size, down below 64.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> dummies;
    for (std::uint32_t w = layer.width, h = layer.height; w >= kTile || h >= kTile;) {
        w /= 2;
        h /= 2;
        dummies.emplace_back(w, h);
    }
    const std::uint64_t levels = out.pos();
    for (std::size_t i = 0; i <= dummies.size(); ++i)
        out.u32(0);
    out.u32(0);
    out.patch(levels);
    out.u32(layer.width);
    out.u32(layer.height);
    const std::uint32_t columns = (layer.width + kTile - 1) / kTile;
    const std::uint32_t rows = (layer.height + kTile - 1) / kTile;
    const std::uint64_t tiles = out.pos();
    for (std::uint32_t i = 0; i <= columns * rows; ++i)
        out.u32(0);
    std::vector<std::uint8_t> samples(std::size_t{kTile} * kTile * bpp);
    std::vector<std::uint8_t> coded;
    for (std::uint32_t t = 0; t < columns * rows; ++t) {
        const std::uint32_t x0 = (t % columns) * kTile;
        const std::uint32_t y0 = (t / columns) * kTile;
        const std::uint32_t tw = std::min(kTile, layer.width - x0);
        const std::uint32_t th = std::min(kTile, layer.height - y0);
        tile_bytes(layer, x0, y0, tw, th, samples);
        coded.clear();
        for (std::uint32_t c = 0; c < bpp; ++c)
            encode_rle(samples.data() + c, tw * th, bpp, coded);
        out.patch(tiles + 4u * t);
        out.bytes(coded.data(), coded.size());
    }
    for (std::size_t i = 0; i < dummies.size(); ++i) {
        out.patch(levels + 4 * (i + 1));
        out.u32(dummies[i].first);
        out.u32(dummies[i].second);
        out.u32(0);
    }
}

} // namespace

std::int32_t write_xcf(std::uint32_t width, std::uint32_t height, double xres, double yres,
                       const std::vector<XcfOutLayer>& layers, std::vector<std::uint8_t>& out,
                       std::span<const std::uint8_t> icc) {
    std::uint32_t version = 3;
    bool deep = false;
    bool grey = false;
    for (const XcfOutLayer& l : layers) {
        version = std::max(version, l.mode >= 28 ? 10u : l.mode >= 23 ? 9u : 3u);
        deep = deep || l.deep != nullptr;
        grey = grey || (l.deep != nullptr && l.deep_channels == 2);
    }
    // Every layer has the image's type and precision: a deep layer is written alone.
    if (deep && layers.size() != 1)
        return VT_ERR_INTERNAL;
    if (deep)
        version = std::max(version, 7u); // GIMP 2.10's precision codes
    out.clear();
    const std::string tag =
        "gimp xcf v0" + std::string(version < 10 ? "0" : "") + std::to_string(version);
    out.assign(tag.begin(), tag.end());
    out.push_back(0);
    Out o(out);
    o.u32(width);
    o.u32(height);
    o.u32(grey ? 1 : 0); // grey or RGB
    if (version >= 4)
        o.u32(deep ? 250 : 150); // 16- or 8-bit gamma-encoded integers
    o.u32(kPropCompression);
    o.u32(1);
    out.push_back(1); // run-length coded
    if (xres > 0 && yres > 0) {
        o.u32(kPropResolution);
        o.u32(8);
        o.f32(static_cast<float>(xres));
        o.f32(static_cast<float>(yres));
    }
    if (!icc.empty()) {
        // GIMP's own parasite for the profile, persistent and undoable as GIMP writes it.
        static const std::string kName = "icc-profile";
        o.u32(kPropParasites);
        o.u32(static_cast<std::uint32_t>(4 + kName.size() + 1 + 4 + 4 + icc.size()));
        o.text(kName);
        o.u32(3);
        o.u32(static_cast<std::uint32_t>(icc.size()));
        o.bytes(icc.data(), icc.size());
    }
    o.u32(kPropEnd);
    o.u32(0);
    const std::uint64_t table = o.pos();
    for (std::size_t i = 0; i <= layers.size(); ++i)
        o.u32(0);
    o.u32(0); // no channels
    for (std::size_t i = 0; i < layers.size(); ++i) {
        if (o.pos() > 0xFFFFFFFFu)
            return VT_ERR_DIMENSIONS;
        o.patch(table + 4 * i);
        write_layer(o, layers[i]);
    }
    return o.pos() > 0xFFFFFFFFu ? VT_ERR_DIMENSIONS : VT_OK;
}

namespace {

struct ModePair {
    std::uint32_t xcf;
    std::uint8_t blend;
};

// The file's legacy modes (GIMP before 2.10) and their 2.10 forms; the first of a blend mode's
// entries is what a save writes.
constexpr ModePair kModes[] = {
    {0, 0},   {28, 0},  {7, 1},   {33, 1},  {53, 2},  {3, 3},   {30, 3},  {21, 4},  {47, 4},
    {11, 5},  {37, 5},  {13, 6},  {39, 6},  {56, 7},  {4, 8},   {31, 8},  {15, 10}, {41, 10},
    {6, 11},  {32, 11}, {9, 12},  {35, 12}, {10, 13}, {36, 13}, {12, 14}, {38, 14}, {23, 15},
    {16, 16}, {42, 16}, {17, 17}, {43, 17}, {14, 18}, {40, 18},
};

} // namespace

std::uint8_t blend_of_xcf_mode(std::uint32_t mode, bool& known) noexcept {
    for (const ModePair& m : kModes)
        if (m.xcf == mode) {
            known = true;
            return m.blend;
        }
    known = false;
    return 0;
}

std::uint32_t xcf_mode_of_blend(std::uint8_t blend) noexcept {
    for (const ModePair& m : kModes)
        if (m.blend == blend)
            return m.xcf;
    return 0;
}

} // namespace vt::formats
