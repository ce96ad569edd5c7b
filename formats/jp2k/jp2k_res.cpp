// The JP2 resolution boxes and colour profile of fmx_JP2K.

#include "formats/jp2k/jp2k_res.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "sdk/vt_plugin.h"

namespace vt::formats::jp2k {
namespace {

using vt::kit::PrintResolution;

std::uint32_t be16(std::span<const std::uint8_t> b, std::size_t at) {
    return (static_cast<std::uint32_t>(b[at]) << 8) | b[at + 1];
}
std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at) {
    return (be16(b, at) << 16) | be16(b, at + 2);
}
void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v >> 16);
    put16(out, v & 0xFFFF);
}

struct Box {
    std::size_t content = 0; // where its contents start
    std::size_t end = 0;
    std::size_t header = 0; // 8, or 16 with a long length
};

// The first box of `type` among the boxes from `at` to `end`.
std::optional<Box> find_box(std::span<const std::uint8_t> b, std::size_t at, std::size_t end,
                            const char* type) {
    while (at + 8 <= end) {
        std::uint64_t length = be32(b, at);
        std::size_t header = 8;
        if (length == 1) {
            if (at + 16 > end)
                return std::nullopt;
            length = (static_cast<std::uint64_t>(be32(b, at + 8)) << 32) | be32(b, at + 12);
            header = 16;
        } else if (length == 0) {
            length = end - at;
        }
        if (length < header || length > end - at)
            return std::nullopt;
        if (std::memcmp(&b[at + 4], type, 4) == 0)
            return Box{at + header, at + static_cast<std::size_t>(length), header};
        at += static_cast<std::size_t>(length);
    }
    return std::nullopt;
}

// One 'resc' or 'resd' box's resolution.
PrintResolution read_grid(std::span<const std::uint8_t> b, const Box& box) {
    if (box.end - box.content < 10)
        return {};
    const std::size_t at = box.content;
    const std::uint32_t vn = be16(b, at), vd = be16(b, at + 2);
    const std::uint32_t hn = be16(b, at + 4), hd = be16(b, at + 6);
    const auto ve = static_cast<std::int8_t>(b[at + 8]);
    const auto he = static_cast<std::int8_t>(b[at + 9]);
    if (vd == 0 || hd == 0)
        return {};
    return vt::kit::resolution_per_metre(hn * std::pow(10.0, he) / hd,
                                         vn * std::pow(10.0, ve) / vd);
}

// N / D x 10^E for a value per metre: the exponent puts the fraction between 100 and 1000, where
// 16-bit parts hold it to six digits and 300 per inch comes out exactly (15000 / 127 x 10^2).
void put_grid(std::vector<std::uint8_t>& out, double x, double y) {
    std::uint32_t n[2] = {}, d[2] = {};
    std::int32_t e[2] = {};
    const double values[2] = {y, x};
    for (int i = 0; i < 2; ++i) {
        e[i] = std::max(0, static_cast<std::int32_t>(std::floor(std::log10(values[i]))) - 2);
        const vt::kit::Rational r = vt::kit::rational_of(values[i] / std::pow(10.0, e[i]), 65535);
        n[i] = r.num;
        d[i] = r.den;
    }
    put16(out, n[0]);
    put16(out, d[0]);
    put16(out, n[1]);
    put16(out, d[1]);
    out.push_back(static_cast<std::uint8_t>(e[0]));
    out.push_back(static_cast<std::uint8_t>(e[1]));
}

} // namespace

PrintResolution jp2_resolution(std::span<const std::uint8_t> file) noexcept {
    const std::optional<Box> header = find_box(file, 0, file.size(), "jp2h");
    if (!header)
        return {};
    const std::optional<Box> res = find_box(file, header->content, header->end, "res ");
    if (!res)
        return {};
    for (const char* type : {"resd", "resc"}) {
        if (const std::optional<Box> grid = find_box(file, res->content, res->end, type))
            if (const PrintResolution r = read_grid(file, *grid); r.known())
                return r;
    }
    return {};
}

std::int32_t add_jp2_header_boxes(const std::string& name, const PrintResolution& resolution,
                                  std::span<const std::uint8_t> icc) {
    std::vector<std::uint8_t> bytes;
    {
        std::FILE* in = std::fopen(name.c_str(), "rb");
        if (in == nullptr)
            return VT_ERR_READ;
        std::uint8_t buffer[65536];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof(buffer), in)) > 0;)
            bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(in);
    }
    const std::optional<Box> header = find_box(bytes, 0, bytes.size(), "jp2h");
    if (!header || header->header != 8)
        return VT_ERR_INVALID_DATA;
    std::vector<std::uint8_t> contents(bytes.begin() + static_cast<std::ptrdiff_t>(header->content),
                                       bytes.begin() + static_cast<std::ptrdiff_t>(header->end));
    if (!icc.empty()) {
        // The enumerated colour space OpenJPEG wrote gives way to the profile: method 2, no
        // precedence, no approximation.
        const std::optional<Box> colr = find_box(contents, 0, contents.size(), "colr");
        if (!colr || icc.size() > 0xFFFFFFFFu - 11)
            return VT_ERR_INVALID_DATA;
        std::vector<std::uint8_t> box;
        put32(box, static_cast<std::uint32_t>(11 + icc.size()));
        box.insert(box.end(), {'c', 'o', 'l', 'r', 2, 0, 0});
        box.insert(box.end(), icc.begin(), icc.end());
        const auto from = static_cast<std::ptrdiff_t>(colr->content - colr->header);
        contents.erase(contents.begin() + from,
                       contents.begin() + static_cast<std::ptrdiff_t>(colr->end));
        contents.insert(contents.begin() + from, box.begin(), box.end());
    }
    if (resolution.known()) {
        put32(contents, 8 + 2 * 18);
        contents.insert(contents.end(), {'r', 'e', 's', ' '});
        for (const char* type : {"resc", "resd"}) {
            put32(contents, 18);
            contents.insert(contents.end(), type, type + 4);
            put_grid(contents, resolution.x_per_metre(), resolution.y_per_metre());
        }
    }
    const std::size_t start = header->content - 8;
    const std::uint64_t length = std::uint64_t{8} + contents.size();
    if (length > 0xFFFFFFFFu)
        return VT_ERR_INVALID_DATA;
    std::vector<std::uint8_t> box;
    put32(box, static_cast<std::uint32_t>(length));
    box.insert(box.end(), {'j', 'p', '2', 'h'});
    box.insert(box.end(), contents.begin(), contents.end());
    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                bytes.begin() + static_cast<std::ptrdiff_t>(header->end));
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(start), box.begin(), box.end());
    std::FILE* out = std::fopen(name.c_str(), "wb");
    if (out == nullptr)
        return VT_ERR_WRITE;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written ? VT_OK : VT_ERR_WRITE;
}

} // namespace vt::formats::jp2k
