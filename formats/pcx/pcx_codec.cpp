// PCX reader and writer of fmx_PCX (ZSoft PC Paintbrush technical reference).

#include "formats/pcx/pcx_codec.h"

#include <algorithm>
#include <vector>

namespace vt::formats {
namespace {

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
constexpr std::size_t kHeaderBytes = 128;

std::uint32_t le16(const std::uint8_t* p) {
    return p[0] | (static_cast<std::uint32_t>(p[1]) << 8);
}

std::uint32_t rgb(const std::uint8_t* p) {
    return p[2] | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[0]) << 16);
}

bool layout_known(std::uint32_t bits, std::uint32_t planes) {
    return (bits == 1 && planes <= 4) || (planes == 1 && (bits == 2 || bits == 4)) ||
           (bits == 8 && (planes == 1 || planes == 3 || planes == 4));
}

// Scan line bytes from the coded stream; a run may go on into the next line.
class LineReader {
public:
    LineReader(std::span<const std::uint8_t> data, bool encoded)
        : m_data(data), m_encoded(encoded) {}
    bool read(std::uint8_t* out, std::size_t size) {
        for (std::size_t i = 0; i < size;) {
            if (m_count > 0) {
                const std::size_t n = std::min<std::size_t>(m_count, size - i);
                std::fill_n(out + i, n, m_value);
                m_count -= n;
                i += n;
                continue;
            }
            if (m_at >= m_data.size())
                return false;
            const std::uint8_t b = m_data[m_at++];
            if (m_encoded && (b & 0xC0) == 0xC0) {
                if (m_at >= m_data.size())
                    return false;
                m_count = b & 0x3F;
                m_value = m_data[m_at++];
            } else {
                out[i++] = b;
            }
        }
        return true;
    }

private:
    std::span<const std::uint8_t> m_data;
    bool m_encoded;
    std::size_t m_at = 0;
    std::size_t m_count = 0;
    std::uint8_t m_value = 0;
};

} // namespace

std::int32_t read_pcx_header(std::span<const std::uint8_t> file, PcxHeader& h) {
    h = PcxHeader{};
    const bool head = file.size() >= 4 && file[0] == 0x0A && file[1] <= 5 && file[1] != 1 &&
                      file[2] <= 1 &&
                      (file[3] == 1 || file[3] == 2 || file[3] == 4 || file[3] == 8);
    if (!head)
        return -1;
    if (file.size() < kHeaderBytes)
        return -42;
    const std::uint8_t* p = file.data();
    const std::uint32_t xmin = le16(p + 4);
    const std::uint32_t ymin = le16(p + 6);
    const std::uint32_t xmax = le16(p + 8);
    const std::uint32_t ymax = le16(p + 10);
    h.encoded = p[2] == 1;
    h.bits = p[3];
    h.planes = p[65];
    h.bytes_per_line = le16(p + 66);
    h.grey = le16(p + 68) == 2;
    if (le16(p + 12) == le16(p + 14) && le16(p + 12) > 1)
        h.dpi = le16(p + 12);
    if (xmax < xmin || ymax < ymin)
        return -13;
    h.width = xmax - xmin + 1;
    h.height = ymax - ymin + 1;
    if (!layout_known(h.bits, h.planes))
        return h.planes == 0 ? -44 : -2;
    if (h.width > kMaxSide || h.height > kMaxSide ||
        static_cast<std::uint64_t>(h.width) * h.height > kMaxPixels)
        return -13;
    if (h.bytes_per_line < (static_cast<std::uint64_t>(h.width) * h.bits + 7) / 8)
        return -44;
    const std::uint64_t raw = static_cast<std::uint64_t>(h.height) * h.planes * h.bytes_per_line;
    const std::uint64_t needed = h.encoded ? (raw + 62) / 63 * 2 : raw;
    if (file.size() - kHeaderBytes < needed)
        return -42;
    return 1;
}

std::int32_t decode_pcx(std::span<const std::uint8_t> file, const PcxHeader& h,
                        std::uint32_t* pixels, std::uint32_t stride) {
    std::uint32_t palette[256];
    for (std::uint32_t i = 0; i < 256; ++i)
        palette[i] = i * 0x010101u;
    if (h.planes * h.bits <= 4) {
        for (std::uint32_t i = 0; i < 16; ++i)
            palette[i] = rgb(file.data() + 16 + 3 * i);
        // A black and white picture often leaves the header's palette empty.
        if (h.bits * h.planes == 1 && palette[0] == palette[1]) {
            palette[0] = 0;
            palette[1] = 0xFFFFFF;
        }
    } else if (h.planes == 1 && !h.grey && file.size() >= kHeaderBytes + 769 &&
               file[file.size() - 769] == 0x0C) {
        for (std::uint32_t i = 0; i < 256; ++i)
            palette[i] = rgb(file.data() + file.size() - 768 + 3 * i);
    }
    LineReader in(file.subspan(kHeaderBytes), h.encoded);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(h.planes) * h.bytes_per_line);
    for (std::uint32_t y = 0; y < h.height; ++y) {
        if (!in.read(line.data(), line.size()))
            return -42;
        std::uint32_t* out = pixels + static_cast<std::size_t>(y) * stride;
        const std::uint8_t* plane = line.data();
        for (std::uint32_t x = 0; x < h.width; ++x) {
            if (h.bits == 8 && h.planes >= 3) {
                const std::uint32_t a = h.planes == 4 ? plane[3 * h.bytes_per_line + x] : 255;
                out[x] = plane[2 * h.bytes_per_line + x] |
                         (static_cast<std::uint32_t>(plane[h.bytes_per_line + x]) << 8) |
                         (static_cast<std::uint32_t>(plane[x]) << 16) | ((255 - a) << 24);
                continue;
            }
            std::uint32_t index = 0;
            for (std::uint32_t k = 0; k < h.planes; ++k) {
                const std::size_t bit = static_cast<std::size_t>(x) * h.bits;
                const std::uint8_t byte = plane[k * h.bytes_per_line + bit / 8];
                const std::uint32_t v = (byte >> (8 - h.bits - bit % 8)) & ((1u << h.bits) - 1);
                index |= v << (k * h.bits);
            }
            out[x] = palette[index];
        }
    }
    return 1;
}

std::int32_t write_pcx(std::FILE* file, const std::uint32_t* pixels, std::uint32_t width,
                       std::uint32_t height, std::uint32_t stride, bool alpha, std::uint32_t dpi_x,
                       std::uint32_t dpi_y) {
    const std::uint32_t planes = alpha ? 4 : 3;
    const std::uint32_t bpl = (width + 1) & ~1u; // even, as the format asks
    std::uint8_t head[kHeaderBytes] = {0x0A, 5, 1, 8};
    auto put16 = [&head](std::size_t at, std::uint32_t v) {
        head[at] = static_cast<std::uint8_t>(v);
        head[at + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    put16(8, width - 1);
    put16(10, height - 1);
    put16(12, dpi_x);
    put16(14, dpi_y);
    head[65] = static_cast<std::uint8_t>(planes);
    put16(66, bpl);
    put16(68, 1);
    if (std::fwrite(head, 1, sizeof(head), file) != sizeof(head))
        return -43;
    std::vector<std::uint8_t> plane(bpl);
    std::vector<std::uint8_t> coded;
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint32_t* src = pixels + static_cast<std::size_t>(y) * stride;
        coded.clear();
        for (std::uint32_t k = 0; k < planes; ++k) {
            for (std::uint32_t x = 0; x < width; ++x)
                plane[x] = static_cast<std::uint8_t>(k == 3 ? 255 - (src[x] >> 24)
                                                            : src[x] >> (16 - 8 * k));
            // Runs stay inside a plane's line.
            for (std::uint32_t x = 0; x < bpl;) {
                std::uint32_t run = 1;
                while (x + run < bpl && run < 63 && plane[x + run] == plane[x])
                    ++run;
                if (run > 1 || (plane[x] & 0xC0) == 0xC0)
                    coded.push_back(static_cast<std::uint8_t>(0xC0 | run));
                coded.push_back(plane[x]);
                x += run;
            }
        }
        if (std::fwrite(coded.data(), 1, coded.size(), file) != coded.size())
            return -43;
    }
    return 1;
}

} // namespace vt::formats
