#include "formats/hdr/pfm_codec.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "formats/hdr/rgbe_codec.h"

namespace vt::formats {
namespace {

bool blank(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The next white-space separated text from `at`; empty at the end of the file.
std::string_view token(std::span<const std::uint8_t> file, std::size_t& at) {
    while (at < file.size() && blank(file[at]))
        ++at;
    const std::size_t begin = at;
    while (at < file.size() && !blank(file[at]) && at - begin < 64)
        ++at;
    return {reinterpret_cast<const char*>(file.data()) + begin, at - begin};
}

float sample(const std::uint8_t* p, bool little_endian) {
    std::uint32_t bits = little_endian ? (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                          std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24)
                                       : (std::uint32_t{p[3]} | std::uint32_t{p[2]} << 8 |
                                          std::uint32_t{p[1]} << 16 | std::uint32_t{p[0]} << 24);
    return std::bit_cast<float>(bits);
}

} // namespace

bool pfm_signature(std::span<const std::uint8_t> head) {
    return head.size() >= 3 && head[0] == 'P' && (head[1] == 'F' || head[1] == 'f') &&
           blank(head[2]);
}

std::int32_t read_pfm_header(std::span<const std::uint8_t> file, PfmHeader& header) {
    if (!pfm_signature(file))
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    header = {};
    header.channels = file[1] == 'F' ? 3 : 1;
    std::size_t at = 2;
    std::uint64_t size[2] = {};
    for (std::uint64_t& s : size) {
        const std::string_view t = token(file, at);
        if (t.empty())
            return VT_ERR_READ;
        const auto [end, error] = std::from_chars(t.data(), t.data() + t.size(), s);
        if (error == std::errc::result_out_of_range)
            s = ~std::uint64_t{0};
        else if (error != std::errc() || end != t.data() + t.size())
            return VT_ERR_INVALID_DATA;
    }
    const std::string_view t = token(file, at);
    if (t.empty() || at >= file.size())
        return VT_ERR_READ;
    double scale = 0;
    const auto [end, error] = std::from_chars(t.data(), t.data() + t.size(), scale);
    if (error != std::errc() || end != t.data() + t.size() || !std::isfinite(scale) || scale == 0)
        return VT_ERR_INVALID_DATA;
    header.little_endian = scale < 0;
    header.data_offset = at + 1; // the one white space character after the scale
    if (size[0] == 0 || size[1] == 0 || size[0] > kHdrMaxSide || size[1] > kHdrMaxSide ||
        size[0] * size[1] > kHdrMaxPixels)
        return VT_ERR_DIMENSIONS;
    header.width = static_cast<std::uint32_t>(size[0]);
    header.height = static_cast<std::uint32_t>(size[1]);
    if ((file.size() - header.data_offset) / 4 / header.channels <
        std::uint64_t{header.width} * header.height)
        return VT_ERR_READ;
    return VT_OK;
}

std::int32_t decode_pfm(std::span<const std::uint8_t> file, const PfmHeader& header,
                        const LinearTarget& target) {
    const std::size_t row_bytes = std::size_t{header.width} * header.channels * 4;
    for (std::uint32_t y = 0; y < header.height; ++y) {
        const std::uint8_t* p = &file[header.data_offset + (header.height - 1 - y) * row_bytes];
        for (std::uint32_t x = 0; x < header.width; ++x, p += header.channels * 4) {
            if (header.channels == 1)
                target.put_grey(x, y, sample(p, header.little_endian));
            else
                target.put(x, y, sample(p, header.little_endian),
                           sample(p + 4, header.little_endian),
                           sample(p + 8, header.little_endian));
        }
    }
    return VT_OK;
}

std::int32_t write_pfm(std::FILE* file, const LinearSource& source) {
    const bool grey = source.is_grey();
    const std::string head = std::string(grey ? "Pf\n" : "PF\n") + std::to_string(source.width) +
                             " " + std::to_string(source.height) + "\n-1.0\n";
    if (std::fwrite(head.data(), 1, head.size(), file) != head.size())
        return VT_ERR_WRITE;
    const std::size_t count = std::size_t{source.width} * (grey ? 1 : 3);
    std::vector<float> row(count);
    std::vector<std::uint8_t> bytes(count * 4);
    for (std::uint32_t y = source.height; y-- > 0;) {
        source.row(y, row.data(), grey);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t bits = std::bit_cast<std::uint32_t>(row[i]);
            for (int b = 0; b < 4; ++b)
                bytes[i * 4 + b] = static_cast<std::uint8_t>(bits >> (8 * b));
        }
        if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
            return VT_ERR_WRITE;
    }
    return VT_OK;
}

} // namespace vt::formats
