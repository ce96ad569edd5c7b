#include "formats/hdr/rgbe_codec.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

namespace vt::formats {
namespace {

constexpr std::uint32_t kMinRunLength = 8;
constexpr std::uint32_t kMaxRunLength = 0x7FFF;
// A header longer than this is no picture's.
constexpr std::size_t kMaxHeaderBytes = 1 << 20;

bool number(std::string_view text, double& out) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end != text.data();
}

// "-Y 480 +X 640": the sign and axis of the scanlines, then of the pixels in each.
bool resolution(std::string_view line, RgbeHeader& h) {
    char sign[2] = {}, axis[2] = {};
    std::uint64_t size[2] = {};
    std::size_t at = 0;
    for (int i = 0; i < 2; ++i) {
        while (at < line.size() && line[at] == ' ')
            ++at;
        if (at + 2 > line.size() || (line[at] != '-' && line[at] != '+') ||
            (line[at + 1] != 'X' && line[at + 1] != 'Y'))
            return false;
        sign[i] = line[at];
        axis[i] = line[at + 1];
        at += 2;
        while (at < line.size() && line[at] == ' ')
            ++at;
        const auto [end, error] =
            std::from_chars(line.data() + at, line.data() + line.size(), size[i]);
        if (error != std::errc() || end == line.data() + at)
            return false;
        at = static_cast<std::size_t>(end - line.data());
        if (size[i] > 0xFFFFFFFFu)
            size[i] = 0xFFFFFFFFu;
    }
    while (at < line.size() && line[at] == ' ')
        ++at;
    if (at != line.size() || axis[0] == axis[1])
        return false;
    h.columns = axis[0] == 'X';
    const int x = h.columns ? 0 : 1, y = 1 - x;
    h.width = static_cast<std::uint32_t>(size[x]);
    h.height = static_cast<std::uint32_t>(size[y]);
    h.right_to_left = sign[x] == '-';
    h.bottom_up = sign[y] == '+';
    return true;
}

// The least number of bytes a scanline of `length` pixels can take.
std::uint64_t least_scanline_bytes(std::uint64_t length) {
    if (length >= kMinRunLength && length <= kMaxRunLength)
        return 4 + 4 * 2 * ((length + 126) / 127);
    return 4 * length;
}

// One scanline of `length` pixels as RGBE bytes into `out`, from `at`. -42 or -44.
std::int32_t read_scanline(std::span<const std::uint8_t> file, std::size_t& at,
                           std::uint32_t length, std::uint8_t* out) {
    if (file.size() - at < 4)
        return VT_ERR_READ;
    const std::uint8_t* p = &file[at];
    const bool coded = length >= kMinRunLength && length <= kMaxRunLength && p[0] == 2 &&
                       p[1] == 2 && (p[2] & 0x80) == 0;
    if (!coded) {
        if ((file.size() - at) / 4 < length)
            return VT_ERR_READ;
        std::copy_n(p, std::size_t{length} * 4, out);
        at += std::size_t{length} * 4;
        return VT_OK;
    }
    if ((std::uint32_t{p[2]} << 8 | p[3]) != length)
        return VT_ERR_INVALID_DATA;
    at += 4;
    for (int c = 0; c < 4; ++c) {
        for (std::uint32_t i = 0; i < length;) {
            if (at >= file.size())
                return VT_ERR_READ;
            std::uint32_t count = file[at++];
            if (count > 128) {
                count -= 128;
                if (count > length - i)
                    return VT_ERR_INVALID_DATA;
                if (at >= file.size())
                    return VT_ERR_READ;
                const std::uint8_t v = file[at++];
                for (; count > 0; --count, ++i)
                    out[std::size_t{i} * 4 + c] = v;
            } else {
                if (count == 0 || count > length - i)
                    return VT_ERR_INVALID_DATA;
                if (file.size() - at < count)
                    return VT_ERR_READ;
                for (; count > 0; --count, ++i)
                    out[std::size_t{i} * 4 + c] = file[at++];
            }
        }
    }
    return VT_OK;
}

// One component of a scanline: runs of 3 or more equal bytes as runs, the rest as literals.
void code_component(const std::uint8_t* rgbe, std::uint32_t length, int c,
                    std::vector<std::uint8_t>& out) {
    const auto at = [&](std::uint32_t i) { return rgbe[std::size_t{i} * 4 + c]; };
    std::uint32_t i = 0;
    while (i < length) {
        std::uint32_t run = 1;
        while (run < 127 && i + run < length && at(i + run) == at(i))
            ++run;
        if (run >= 3) {
            out.push_back(static_cast<std::uint8_t>(128 + run));
            out.push_back(at(i));
            i += run;
            continue;
        }
        // Literals up to the next run of three, at most 128.
        std::uint32_t end = i;
        while (end < length && end - i < 128) {
            if (end + 2 < length && at(end) == at(end + 1) && at(end) == at(end + 2))
                break;
            ++end;
        }
        out.push_back(static_cast<std::uint8_t>(end - i));
        for (; i < end; ++i)
            out.push_back(at(i));
    }
}

} // namespace

bool rgbe_signature(std::span<const std::uint8_t> head) {
    return head.size() >= 3 && head[0] == '#' && head[1] == '?' && head[2] >= 'A' && head[2] <= 'Z';
}

std::int32_t read_rgbe_header(std::span<const std::uint8_t> file, RgbeHeader& header) {
    if (file.size() < 2 || file[0] != '#' || file[1] != '?')
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    header = {};
    std::size_t at = 0;
    const auto next_line = [&](std::string_view& line) {
        std::size_t end = at;
        while (end < file.size() && file[end] != '\n')
            ++end;
        if (end >= file.size() || end > kMaxHeaderBytes)
            return false;
        line = std::string_view(reinterpret_cast<const char*>(&file[at]), end - at);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        at = end + 1;
        return true;
    };
    std::string_view line;
    if (!next_line(line))
        return VT_ERR_READ;
    for (;;) {
        if (!next_line(line))
            return VT_ERR_READ;
        if (line.empty())
            break;
        if (line.starts_with("FORMAT=")) {
            if (line.substr(7) != "32-bit_rle_rgbe")
                return VT_ERR_NOT_IMPLEMENTED;
        } else if (line.starts_with("EXPOSURE=")) {
            double e = 0;
            if (number(line.substr(9), e) && std::isfinite(e) && e > 0) {
                header.exposure *= e;
                header.has_exposure = true;
            }
        }
    }
    if (!next_line(line))
        return VT_ERR_READ;
    if (!resolution(line, header))
        return VT_ERR_INVALID_DATA;
    if (header.width == 0 || header.height == 0 || header.width > kHdrMaxSide ||
        header.height > kHdrMaxSide || std::uint64_t{header.width} * header.height > kHdrMaxPixels)
        return VT_ERR_DIMENSIONS;
    header.data_offset = at;
    const std::uint64_t scanlines = header.columns ? header.width : header.height;
    const std::uint64_t length = header.columns ? header.height : header.width;
    if (file.size() - at < scanlines * least_scanline_bytes(length))
        return VT_ERR_READ;
    return VT_OK;
}

void rgbe_to_float(const std::uint8_t rgbe[4], float out[3]) noexcept {
    if (rgbe[3] == 0) {
        out[0] = out[1] = out[2] = 0.0f;
        return;
    }
    const double f = std::ldexp(1.0, rgbe[3] - (128 + 8));
    for (int c = 0; c < 3; ++c)
        out[c] = static_cast<float>((rgbe[c] + 0.5) * f);
}

void float_to_rgbe(const float rgb[3], std::uint8_t out[4]) noexcept {
    double v[3];
    for (int c = 0; c < 3; ++c)
        v[c] = rgb[c] > 0.0f ? rgb[c] : 0.0; // NaN too
    const double largest = std::max(v[0], std::max(v[1], v[2]));
    if (!(largest > 1e-32)) {
        out[0] = out[1] = out[2] = out[3] = 0;
        return;
    }
    int e = 0;
    const double m = std::frexp(std::min(largest, 1e38), &e);
    const double scale = m * 255.9999 / largest;
    for (int c = 0; c < 3; ++c)
        out[c] = static_cast<std::uint8_t>(std::min(v[c], largest) * scale);
    out[3] = static_cast<std::uint8_t>(std::clamp(e + 128, 1, 255));
}

std::int32_t decode_rgbe(std::span<const std::uint8_t> file, const RgbeHeader& header,
                         const LinearTarget& target) {
    const std::uint32_t scanlines = header.columns ? header.width : header.height;
    const std::uint32_t length = header.columns ? header.height : header.width;
    std::vector<std::uint8_t> line(std::size_t{length} * 4);
    std::size_t at = header.data_offset;
    for (std::uint32_t s = 0; s < scanlines; ++s) {
        if (const std::int32_t r = read_scanline(file, at, length, line.data()); r != VT_OK)
            return r;
        for (std::uint32_t i = 0; i < length; ++i) {
            std::uint32_t x = header.columns ? s : i;
            std::uint32_t y = header.columns ? i : s;
            if (header.right_to_left)
                x = header.width - 1 - x;
            if (header.bottom_up)
                y = header.height - 1 - y;
            float rgb[3];
            rgbe_to_float(&line[std::size_t{i} * 4], rgb);
            target.put(x, y, rgb[0], rgb[1], rgb[2]);
        }
    }
    return VT_OK;
}

std::int32_t write_rgbe(std::FILE* file, const LinearSource& source, double exposure) {
    std::string head = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n";
    if (exposure != 1.0) {
        char text[64];
        std::snprintf(text, sizeof text, "EXPOSURE=%.9g\n", exposure);
        head += text;
    }
    head += "\n-Y " + std::to_string(source.height) + " +X " + std::to_string(source.width) + "\n";
    if (std::fwrite(head.data(), 1, head.size(), file) != head.size())
        return VT_ERR_WRITE;
    const std::uint32_t w = source.width;
    const bool coded = w >= kMinRunLength && w <= kMaxRunLength;
    std::vector<float> row(std::size_t{w} * 3);
    std::vector<std::uint8_t> rgbe(std::size_t{w} * 4);
    std::vector<std::uint8_t> out;
    for (std::uint32_t y = 0; y < source.height; ++y) {
        source.row(y, row.data(), false);
        for (std::uint32_t x = 0; x < w; ++x)
            float_to_rgbe(&row[std::size_t{x} * 3], &rgbe[std::size_t{x} * 4]);
        out.clear();
        if (coded) {
            out.insert(out.end(), {2, 2, static_cast<std::uint8_t>(w >> 8),
                                   static_cast<std::uint8_t>(w & 0xFF)});
            for (int c = 0; c < 4; ++c)
                code_component(rgbe.data(), w, c, out);
        } else {
            out = rgbe;
        }
        if (std::fwrite(out.data(), 1, out.size(), file) != out.size())
            return VT_ERR_WRITE;
    }
    return VT_OK;
}

} // namespace vt::formats
