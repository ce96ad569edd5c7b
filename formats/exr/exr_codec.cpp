#include "formats/exr/exr_codec.h"

#include <Iex.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfInputFile.h>
#include <ImfOutputFile.h>
#include <ImfTiledInputFile.h>
#include <ImfVersion.h>
#include <half.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string_view>
#include <utility>
#include <vector>

#include "sdk/kit/tone.h"

namespace vt::formats {
namespace {

using kit::decode_to_linear;
using kit::encode_linear;
using kit::to_8bit;

// Rows decoded or encoded at a time: the strip's floats, not the picture's, are in memory.
constexpr std::uint32_t kStripRows = 64;

// The library's own limits, checked as it reads a header: no bigger picture than ours, no tile
// bigger than 4096 a side (its buffers are allocated before any pixel is read).
void set_limits() {
    static const bool once = [] {
        Imf::Header::setMaxImageSize(static_cast<int>(kExrMaxSide), static_cast<int>(kExrMaxSide));
        Imf::Header::setMaxTileSize(4096, 4096);
        return true;
    }();
    (void)once;
}

// The file's bytes as the library's input stream.
class MemoryStream final : public Imf::IStream {
public:
    explicit MemoryStream(std::span<const std::uint8_t> bytes)
        : Imf::IStream("memory"), m_bytes(bytes) {}
    bool read(char c[], int n) override {
        if (n < 0 || m_bytes.size() - m_at < static_cast<std::size_t>(n))
            throw Iex::InputExc("Unexpected end of file.");
        std::memcpy(c, m_bytes.data() + m_at, static_cast<std::size_t>(n));
        m_at += static_cast<std::size_t>(n);
        return m_at < m_bytes.size();
    }
    std::uint64_t tellg() override { return m_at; }
    void seekg(std::uint64_t pos) override {
        m_at = static_cast<std::size_t>(std::min<std::uint64_t>(pos, m_bytes.size()));
    }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_at = 0;
};

// A FILE* as the library's output stream; it seeks back to write the offset table.
class FileStream final : public Imf::OStream {
public:
    explicit FileStream(std::FILE* file) : Imf::OStream("target"), m_file(file) {}
    void write(const char c[], int n) override {
        if (n > 0 &&
            std::fwrite(c, 1, static_cast<std::size_t>(n), m_file) != static_cast<std::size_t>(n))
            throw Iex::IoExc("Cannot write.");
    }
    std::uint64_t tellp() override {
        const long at = std::ftell(m_file);
        if (at < 0)
            throw Iex::IoExc("Cannot tell.");
        return static_cast<std::uint64_t>(at);
    }
    void seekp(std::uint64_t pos) override {
        if (std::fseek(m_file, static_cast<long>(pos), SEEK_SET) != 0)
            throw Iex::IoExc("Cannot seek.");
    }

private:
    std::FILE* m_file;
};

std::uint16_t alpha_sample(float a) {
    if (!(a > 0.0f))
        return 0;
    return a >= 1.0f ? 65535 : static_cast<std::uint16_t>(a * 65535.0f + 0.5f);
}

int sample_bits(Imf::PixelType type) {
    return type == Imf::HALF ? 16 : 32;
}

// The channels read: red, green, blue or luminance, and alpha, with their sizes.
struct Chosen {
    const Imf::Channel* colour[3] = {};
    const Imf::Channel* grey = nullptr;
    const Imf::Channel* alpha = nullptr;
};

Chosen choose(const Imf::ChannelList& channels) {
    Chosen c;
    const char* names[3] = {"R", "G", "B"};
    for (int i = 0; i < 3; ++i)
        c.colour[i] = channels.findChannel(names[i]);
    c.grey = channels.findChannel("Y");
    c.alpha = channels.findChannel("A");
    return c;
}

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// Whether the library's reader of an attribute of `type` takes exactly `value`'s bytes: the
// readers of known types read their own layout, whatever size the file states, so a value of
// another size would set the library reading somewhere the checks here did not look.
bool value_fits(std::string_view type, std::span<const std::uint8_t> value) {
    static constexpr std::pair<std::string_view, std::size_t> kFixed[] = {{"box2i", 16},
                                                                          {"box2f", 16},
                                                                          {"chromaticities", 32},
                                                                          {"compression", 1},
                                                                          {"deepImageState", 1},
                                                                          {"double", 8},
                                                                          {"envmap", 1},
                                                                          {"float", 4},
                                                                          {"int", 4},
                                                                          {"keycode", 28},
                                                                          {"lineOrder", 1},
                                                                          {"m33d", 72},
                                                                          {"m33f", 36},
                                                                          {"m44d", 128},
                                                                          {"m44f", 64},
                                                                          {"rational", 8},
                                                                          {"tiledesc", 9},
                                                                          {"timecode", 8},
                                                                          {"v2d", 16},
                                                                          {"v2f", 8},
                                                                          {"v2i", 8},
                                                                          {"v3d", 24},
                                                                          {"v3f", 12},
                                                                          {"v3i", 12}};
    for (const auto& [name, size] : kFixed)
        if (type == name)
            return value.size() == size;
    if (type == "chlist") {
        // Entries of a name and 16 bytes, up to an empty name that ends the value.
        std::size_t at = 0;
        while (at < value.size() && value[at] != 0) {
            const std::size_t begin = at;
            while (at < value.size() && value[at] != 0 && at - begin < 255)
                ++at;
            if (at >= value.size() || value[at] != 0 || value.size() - at - 1 < 16)
                return false;
            at += 1 + 16;
        }
        return at + 1 == value.size();
    }
    if (type == "preview") {
        if (value.size() < 8)
            return false;
        return std::uint64_t{le32(value.data())} * le32(value.data() + 4) * 4 == value.size() - 8;
    }
    if (type == "stringvector") {
        for (std::size_t at = 0; at < value.size();) {
            if (value.size() - at < 4 || le32(&value[at]) > value.size() - at - 4)
                return false;
            at += 4 + le32(&value[at]);
        }
        return true;
    }
    if (type == "floatvector")
        return value.size() % 4 == 0;
    // Strings, manifests and types the library does not know are read at the stated size.
    return true;
}

// Where each header starts (one, or a multi-part file's list up to its empty header), every
// attribute's size checked against the bytes left: the library allocates what a size says
// before it reads. -42 for a cut, -44 for a name that is empty or too long.
std::int32_t header_starts(std::span<const std::uint8_t> file, bool multi_part,
                           std::vector<std::size_t>& starts) {
    std::size_t at = 8;
    const auto name = [&]() -> std::int32_t {
        const std::size_t begin = at;
        while (at < file.size() && file[at] != 0 && at - begin < 255)
            ++at;
        if (at >= file.size())
            return VT_ERR_READ;
        if (at == begin || file[at] != 0)
            return VT_ERR_INVALID_DATA;
        ++at;
        return VT_OK;
    };
    for (;;) {
        if (at >= file.size())
            return VT_ERR_READ;
        if (!starts.empty() && file[at] == 0)
            return VT_OK;
        starts.push_back(at);
        while (file[at] != 0) {
            if (const std::int32_t r = name(); r != VT_OK)
                return r;
            const std::size_t type = at;
            if (const std::int32_t r = name(); r != VT_OK)
                return r;
            if (file.size() - at < 4 || le32(&file[at]) > file.size() - at - 4)
                return VT_ERR_READ;
            const std::string_view type_name(reinterpret_cast<const char*>(&file[type]),
                                             at - type - 1);
            if (!value_fits(type_name, file.subspan(at + 4, le32(&file[at]))))
                return VT_ERR_INVALID_DATA;
            at += 4 + le32(&file[at]);
            if (at >= file.size())
                return VT_ERR_READ;
        }
        ++at;
        if (!multi_part)
            return VT_OK;
    }
}

// A part's sizes: the limits (-13), and what the library allocates for them against the file
// (-42): its samples (and a tile's) over deflate's best ratio, and its table of tile offsets.
std::int32_t check_part(const Imf::Header& h, std::size_t file_size) {
    const Imath::Box2i window = h.dataWindow();
    const std::int64_t w = std::int64_t{window.max.x} - window.min.x + 1;
    const std::int64_t ht = std::int64_t{window.max.y} - window.min.y + 1;
    if (w < 1 || ht < 1 || w > kExrMaxSide || ht > kExrMaxSide ||
        static_cast<std::uint64_t>(w * ht) > kExrMaxPixels)
        return VT_ERR_DIMENSIONS;
    std::uint64_t pixel_bytes = 0;
    for (auto it = h.channels().begin(); it != h.channels().end(); ++it)
        pixel_bytes += static_cast<std::uint64_t>(sample_bits(it.channel().type) / 8);
    std::uint64_t area = static_cast<std::uint64_t>(w * ht);
    if (h.hasTileDescription()) {
        const Imf::TileDescription& tile = h.tileDescription();
        if (tile.xSize < 1 || tile.ySize < 1 || tile.xSize > 4096 || tile.ySize > 4096)
            return VT_ERR_DIMENSIONS;
        const std::uint64_t tiles = static_cast<std::uint64_t>((w + tile.xSize - 1) / tile.xSize) *
                                    static_cast<std::uint64_t>((ht + tile.ySize - 1) / tile.ySize);
        if (tiles * 8 > file_size)
            return VT_ERR_READ;
        area = std::max<std::uint64_t>(area, std::uint64_t{tile.xSize} * tile.ySize);
    }
    return area * pixel_bytes / kExrBestRatio > file_size ? VT_ERR_READ : VT_OK;
}

template <typename Body>
std::int32_t guarded(Body body, std::int32_t failed) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return VT_ERR_OUT_OF_MEMORY;
    } catch (...) {
        return failed;
    }
}

} // namespace

std::int32_t read_exr_header(std::span<const std::uint8_t> file, ExrHeader& header) {
    static constexpr std::uint8_t kMagic[4] = {0x76, 0x2F, 0x31, 0x01};
    if (file.size() < 4 || std::memcmp(file.data(), kMagic, 4) != 0)
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    if (file.size() < 8)
        return VT_ERR_READ;
    // Version 2; bit 11 deep data ("non-image"), which is not a picture to convert.
    if ((file[4] & 0xFF) != 2 || (file[5] & 0x08) != 0)
        return VT_ERR_NOT_IMPLEMENTED;
    set_limits();
    return guarded(
        [&]() -> std::int32_t {
            // The headers alone: their sizes are checked before the library reads or allocates
            // anything they govern.
            const int version = static_cast<int>(le32(&file[4]));
            std::vector<std::size_t> starts;
            if (const std::int32_t r = header_starts(file, Imf::isMultiPart(version), starts);
                r != VT_OK)
                return r;
            MemoryStream stream(file);
            Imf::Header h;
            for (std::size_t i = starts.size(); i-- > 0;) {
                stream.seekg(starts[i]);
                int v = version;
                h = Imf::Header();
                h.readFrom(stream, v);
                if (const std::int32_t r = check_part(h, file.size()); r != VT_OK)
                    return r;
            }
            const Imath::Box2i window = h.dataWindow();
            const std::int64_t w = std::int64_t{window.max.x} - window.min.x + 1;
            const std::int64_t ht = std::int64_t{window.max.y} - window.min.y + 1;
            const Chosen c = choose(h.channels());
            const bool colour = c.colour[0] || c.colour[1] || c.colour[2];
            if ((!colour && c.grey == nullptr) || h.channels().findChannel("RY") != nullptr ||
                h.channels().findChannel("BY") != nullptr)
                return VT_ERR_NOT_IMPLEMENTED;
            header.width = static_cast<std::uint32_t>(w);
            header.height = static_cast<std::uint32_t>(ht);
            header.grey = !colour;
            header.alpha = c.alpha != nullptr;
            std::uint64_t bits = 0;
            const Imf::Channel* read[5] = {c.colour[0], c.colour[1], c.colour[2],
                                           colour ? nullptr : c.grey, c.alpha};
            for (const Imf::Channel* channel : read) {
                if (channel == nullptr)
                    continue;
                if (channel->xSampling != 1 || channel->ySampling != 1)
                    return VT_ERR_NOT_IMPLEMENTED;
                bits += static_cast<std::uint64_t>(sample_bits(channel->type));
            }
            header.bits_per_pixel = static_cast<std::uint32_t>(bits);
            h.sanityCheck(Imf::isTiled(version));
            return VT_OK;
        },
        VT_ERR_INVALID_DATA);
}

std::int32_t decode_exr(std::span<const std::uint8_t> file, const ExrHeader& header,
                        std::uint32_t* pixels, std::uint32_t stride, std::uint16_t* deep) {
    set_limits();
    return guarded(
        [&] {
            MemoryStream stream(file);
            Imf::InputFile input(stream, 1);
            const Imath::Box2i window = input.header().dataWindow();
            const std::uint32_t w = header.width;
            const std::uint32_t deep_channels = header.grey ? 2 : 4;
            // Red, green, blue (or luminance three times), alpha.
            std::vector<float> strip(std::size_t{w} * kStripRows * 4);
            const std::size_t x_stride = 4 * sizeof(float);
            const std::size_t y_stride = std::size_t{w} * x_stride;
            for (std::uint32_t y0 = 0; y0 < header.height; y0 += kStripRows) {
                const std::uint32_t rows = std::min(kStripRows, header.height - y0);
                const Imath::V2i origin(window.min.x, window.min.y + static_cast<int>(y0));
                Imf::FrameBuffer buffer;
                const auto slice = [&](const char* name, int offset, double fill) {
                    buffer.insert(name, Imf::Slice::Make(Imf::FLOAT, strip.data() + offset, origin,
                                                         w, rows, x_stride, y_stride, 1, 1, fill));
                };
                if (header.grey) {
                    slice("Y", 0, 0.0);
                } else {
                    slice("R", 0, 0.0);
                    slice("G", 1, 0.0);
                    slice("B", 2, 0.0);
                }
                slice("A", 3, 1.0);
                input.setFrameBuffer(buffer);
                input.readPixels(window.min.y + static_cast<int>(y0),
                                 window.min.y + static_cast<int>(y0 + rows - 1));
                for (std::uint32_t r = 0; r < rows; ++r) {
                    const std::uint32_t y = y0 + r;
                    std::uint32_t* out = pixels + std::size_t{y} * stride;
                    std::uint16_t* d =
                        deep != nullptr ? deep + std::size_t{y} * w * deep_channels : nullptr;
                    for (std::uint32_t x = 0; x < w; ++x) {
                        const float* s = &strip[(std::size_t{r} * w + x) * 4];
                        const float a = header.alpha ? s[3] : 1.0f;
                        // Colours are stored multiplied by alpha; a pixel without coverage
                        // keeps what it holds.
                        const float unmultiply = a > 0.0f && a < 1.0f ? 1.0f / a : 1.0f;
                        std::uint16_t c[3];
                        for (int i = 0; i < 3; ++i)
                            c[i] = encode_linear(s[header.grey ? 0 : i] * unmultiply);
                        const std::uint16_t alpha = alpha_sample(a);
                        out[x] = std::uint32_t{to_8bit(c[2])} | std::uint32_t{to_8bit(c[1])} << 8 |
                                 std::uint32_t{to_8bit(c[0])} << 16 |
                                 std::uint32_t{255u - to_8bit(alpha)} << 24;
                        if (d == nullptr)
                            continue;
                        if (header.grey) {
                            d[x * 2] = c[0];
                            d[x * 2 + 1] = alpha;
                        } else {
                            std::uint16_t* p = d + std::size_t{x} * 4;
                            p[0] = c[0];
                            p[1] = c[1];
                            p[2] = c[2];
                            p[3] = alpha;
                        }
                    }
                }
            }
            return VT_OK;
        },
        VT_ERR_INVALID_DATA);
}

std::int32_t write_exr(std::FILE* file, const std::uint32_t* pixels, std::uint32_t width,
                       std::uint32_t height, std::uint32_t stride, const VtDeepImage* deep,
                       bool alpha, ExrCompression compression) {
    if (width > kExrMaxSide || height > kExrMaxSide)
        return VT_ERR_DIMENSIONS;
    set_limits();
    return guarded(
        [&] {
            Imf::Header h(static_cast<int>(width), static_cast<int>(height));
            h.compression() = static_cast<Imf::Compression>(compression);
            const char* names[4] = {"R", "G", "B", "A"};
            const int channels = alpha ? 4 : 3;
            for (int c = 0; c < channels; ++c)
                h.channels().insert(names[c], Imf::Channel(Imf::HALF));
            FileStream stream(file);
            Imf::OutputFile output(stream, h, 1);
            std::vector<half> strip(std::size_t{width} * kStripRows * 4);
            const std::size_t x_stride = 4 * sizeof(half);
            const std::size_t y_stride = std::size_t{width} * x_stride;
            for (std::uint32_t y0 = 0; y0 < height; y0 += kStripRows) {
                const std::uint32_t rows = std::min(kStripRows, height - y0);
                for (std::uint32_t r = 0; r < rows; ++r) {
                    const std::uint32_t y = y0 + r;
                    for (std::uint32_t x = 0; x < width; ++x) {
                        std::uint16_t v[4];
                        if (deep != nullptr) {
                            const std::uint16_t* s = deep->samples + std::size_t{y} * deep->stride +
                                                     std::size_t{x} * deep->channels;
                            const bool grey = deep->channels == 2;
                            v[0] = s[0];
                            v[1] = s[grey ? 0 : 1];
                            v[2] = s[grey ? 0 : 2];
                            v[3] = s[deep->channels - 1];
                        } else {
                            const std::uint32_t p = pixels[std::size_t{y} * stride + x];
                            v[0] = static_cast<std::uint16_t>((p >> 16 & 0xFF) * 257);
                            v[1] = static_cast<std::uint16_t>((p >> 8 & 0xFF) * 257);
                            v[2] = static_cast<std::uint16_t>((p & 0xFF) * 257);
                            v[3] = static_cast<std::uint16_t>((255 - (p >> 24)) * 257);
                        }
                        const float a = alpha ? static_cast<float>(v[3] / 65535.0) : 1.0f;
                        half* d = &strip[(std::size_t{r} * width + x) * 4];
                        for (int c = 0; c < 3; ++c)
                            d[c] = half(decode_to_linear(v[c]) * a);
                        d[3] = half(a);
                    }
                }
                Imf::FrameBuffer buffer;
                const Imath::V2i origin(0, static_cast<int>(y0));
                for (int c = 0; c < channels; ++c)
                    buffer.insert(names[c], Imf::Slice::Make(Imf::HALF, strip.data() + c, origin,
                                                             width, rows, x_stride, y_stride));
                output.setFrameBuffer(buffer);
                output.writePixels(static_cast<int>(rows));
            }
            return VT_OK;
        },
        VT_ERR_WRITE);
}

} // namespace vt::formats
