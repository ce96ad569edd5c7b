// Netpbm reader and writer of fmx_PNM.

#include "formats/pnm/pnm_codec.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vt::formats {
namespace {

bool is_space(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool is_digit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

// A read position in the file that stops for good at the first error.
class Cursor {
public:
    Cursor(std::span<const std::uint8_t> bytes, std::size_t pos) : m_bytes(bytes), m_pos(pos) {}

    void skip_blanks() {
        while (m_pos < m_bytes.size()) {
            if (m_bytes[m_pos] == '#') {
                while (m_pos < m_bytes.size() && m_bytes[m_pos] != '\n' && m_bytes[m_pos] != '\r')
                    ++m_pos;
            } else if (is_space(m_bytes[m_pos])) {
                ++m_pos;
            } else {
                break;
            }
        }
    }
    // A decimal number after blanks and comments: 1, or -42 at the end, -44 for anything else.
    std::int32_t number(std::uint32_t& out) {
        skip_blanks();
        if (m_pos >= m_bytes.size())
            return -42;
        if (!is_digit(m_bytes[m_pos]))
            return -44;
        std::uint64_t value = 0;
        while (m_pos < m_bytes.size() && is_digit(m_bytes[m_pos])) {
            value = value * 10 + (m_bytes[m_pos++] - '0');
            if (value > 0xFFFFFFFFu)
                return -44;
        }
        out = static_cast<std::uint32_t>(value);
        return 1;
    }
    // One "0" or "1" of a text bitmap; the digits need not be separated.
    std::int32_t bit(std::uint32_t& out) {
        skip_blanks();
        if (m_pos >= m_bytes.size())
            return -42;
        const std::uint8_t c = m_bytes[m_pos++];
        if (c != '0' && c != '1')
            return -44;
        out = c - '0';
        return 1;
    }
    std::string_view word() {
        skip_blanks();
        const std::size_t start = m_pos;
        while (m_pos < m_bytes.size() && !is_space(m_bytes[m_pos]))
            ++m_pos;
        return {reinterpret_cast<const char*>(m_bytes.data()) + start, m_pos - start};
    }
    void skip_line() {
        while (m_pos < m_bytes.size() && m_bytes[m_pos] != '\n')
            ++m_pos;
        if (m_pos < m_bytes.size())
            ++m_pos;
    }
    [[nodiscard]] bool at_space() const {
        return m_pos < m_bytes.size() && is_space(m_bytes[m_pos]);
    }
    void advance() { ++m_pos; }
    [[nodiscard]] std::size_t pos() const { return m_pos; }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_pos;
};

std::int32_t read_arbitrary_header(Cursor& in, PnmHeader& h) {
    std::uint32_t depth = 0;
    std::string type;
    bool end = false;
    while (!end) {
        const std::string_view key = in.word();
        std::int32_t r = 1;
        if (key.empty())
            return -42;
        if (key == "WIDTH")
            r = in.number(h.width);
        else if (key == "HEIGHT")
            r = in.number(h.height);
        else if (key == "DEPTH")
            r = in.number(depth);
        else if (key == "MAXVAL")
            r = in.number(h.maxval);
        else if (key == "TUPLTYPE")
            type = in.word();
        else if (key == "ENDHDR")
            end = true;
        else
            return -44;
        if (r != 1)
            return r;
    }
    in.skip_line();
    if (depth < 1)
        return -44;
    if (depth > 4)
        return -2;
    if (!type.empty()) {
        const bool alpha_type = type.ends_with("_ALPHA");
        const std::string base = alpha_type ? type.substr(0, type.size() - 6) : type;
        const std::uint32_t base_depth = base == "RGB"                                      ? 3
                                         : (base == "GRAYSCALE" || base == "BLACKANDWHITE") ? 1
                                                                                            : 0;
        if (base_depth == 0 || base_depth + (alpha_type ? 1 : 0) != depth)
            return -2;
    }
    h.channels = depth;
    h.alpha = depth == 2 || depth == 4;
    return 1;
}

std::uint32_t scale(std::uint32_t v, std::uint32_t maxval) {
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(v) * 255 + maxval / 2) / maxval);
}

// 32-bit pixel from samples already scaled to 0..255.
std::uint32_t assemble(const std::uint32_t* s, std::uint32_t channels) {
    const bool colour = channels >= 3;
    const std::uint32_t r = s[0];
    const std::uint32_t g = colour ? s[1] : s[0];
    const std::uint32_t b = colour ? s[2] : s[0];
    const bool alpha = channels == 2 || channels == 4;
    const std::uint32_t a = alpha ? s[channels - 1] : 255;
    return b | (g << 8) | (r << 16) | ((255 - a) << 24);
}

std::uint32_t luma(std::uint32_t p) {
    const std::uint32_t b = p & 0xFF;
    const std::uint32_t g = (p >> 8) & 0xFF;
    const std::uint32_t r = (p >> 16) & 0xFF;
    return (299 * r + 587 * g + 114 * b + 500) / 1000;
}

template <class Test>
bool all_pixels(const std::uint32_t* pixels, std::uint32_t width, std::uint32_t height,
                std::uint32_t stride, Test test) {
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::span<const std::uint32_t> row(pixels + static_cast<std::size_t>(y) * stride,
                                                 width);
        for (const std::uint32_t p : row)
            if (!test(p & 0xFFFFFF))
                return false;
    }
    return true;
}

} // namespace

std::int32_t read_pnm_header(std::span<const std::uint8_t> file, PnmHeader& h) {
    h = PnmHeader{};
    if (file.size() < 3 || file[0] != 'P' || file[1] < '1' || file[1] > '7' ||
        !(is_space(file[2]) || file[2] == '#'))
        return -1;
    h.form = static_cast<char>(file[1]);
    Cursor in(file, 2);
    std::int32_t r = 1;
    if (h.form == '7') {
        r = read_arbitrary_header(in, h);
    } else {
        const bool bitmap = h.form == '1' || h.form == '4';
        h.channels = (h.form == '3' || h.form == '6') ? 3 : 1;
        r = in.number(h.width);
        if (r == 1)
            r = in.number(h.height);
        if (r == 1 && !bitmap)
            r = in.number(h.maxval);
        if (bitmap)
            h.maxval = 1;
        // Binary samples start after exactly one blank.
        if (r == 1 && h.form >= '4') {
            if (!in.at_space())
                r = in.pos() >= file.size() ? -42 : -44;
            in.advance();
        }
    }
    if (r != 1)
        return r;
    if (h.width < 1 || h.height < 1 || h.width > kPnmMaxSide || h.height > kPnmMaxSide ||
        static_cast<std::uint64_t>(h.width) * h.height > kPnmMaxPixels)
        return -13;
    if (h.maxval < 1 || h.maxval > 65535)
        return -44;
    h.data_offset = in.pos();
    const std::uint64_t samples = static_cast<std::uint64_t>(h.width) * h.height * h.channels;
    const std::uint64_t sample_bytes = h.maxval < 256 ? 1 : 2;
    std::uint64_t needed = 0;
    switch (h.form) {
    case '1':
        needed = samples;
        break;
    case '2':
    case '3':
        needed = samples * 2 - 1;
        break;
    case '4':
        needed = (h.width + 7) / 8 * static_cast<std::uint64_t>(h.height);
        break;
    default:
        needed = samples * sample_bytes;
    }
    if (h.data_offset > file.size() || file.size() - h.data_offset < needed)
        return -42;
    h.bits_per_pixel = (h.form == '1' || h.form == '4')
                           ? 1
                           : h.channels * static_cast<std::uint32_t>(sample_bytes) * 8;
    return 1;
}

std::int32_t decode_pnm(std::span<const std::uint8_t> file, const PnmHeader& h,
                        std::uint32_t* pixels, std::uint32_t stride) {
    const std::span<const std::uint8_t> data = file.subspan(h.data_offset);
    const bool text = h.form <= '3';
    const bool bitmap = h.form == '1' || h.form == '4';
    const std::size_t sample_bytes = h.maxval < 256 ? 1 : 2;
    const std::size_t row_bytes =
        h.form == '4' ? (h.width + 7) / 8
                      : static_cast<std::size_t>(h.width) * h.channels * sample_bytes;
    Cursor in(file, h.data_offset);
    std::uint32_t samples[4] = {};
    for (std::uint32_t y = 0; y < h.height; ++y) {
        const std::span<std::uint32_t> out(pixels + static_cast<std::size_t>(y) * stride, h.width);
        const std::span<const std::uint8_t> row =
            text ? std::span<const std::uint8_t>() : data.subspan(y * row_bytes, row_bytes);
        for (std::uint32_t x = 0; x < h.width; ++x) {
            if (bitmap) {
                std::uint32_t black = 0;
                if (text) {
                    if (const std::int32_t r = in.bit(black); r != 1)
                        return r;
                } else {
                    black = (row[x / 8] >> (7 - x % 8)) & 1;
                }
                out[x] = black ? 0 : 0xFFFFFF;
                continue;
            }
            for (std::uint32_t c = 0; c < h.channels; ++c) {
                std::uint32_t v = 0;
                if (text) {
                    if (const std::int32_t r = in.number(v); r != 1)
                        return r;
                } else if (sample_bytes == 1) {
                    v = row[(x * h.channels + c)];
                } else {
                    const std::size_t at = (x * h.channels + c) * 2;
                    v = (static_cast<std::uint32_t>(row[at]) << 8) | row[at + 1];
                }
                if (v > h.maxval)
                    return -44;
                samples[c] = scale(v, h.maxval);
            }
            out[x] = assemble(samples, h.channels);
        }
    }
    return 1;
}

bool pnm_black_and_white(const std::uint32_t* pixels, std::uint32_t width, std::uint32_t height,
                         std::uint32_t stride) {
    return all_pixels(pixels, width, height, stride,
                      [](std::uint32_t p) { return p == 0 || p == 0xFFFFFF; });
}

bool pnm_grey(const std::uint32_t* pixels, std::uint32_t width, std::uint32_t height,
              std::uint32_t stride) {
    return all_pixels(pixels, width, height, stride, [](std::uint32_t p) {
        return (p & 0xFF) == ((p >> 8) & 0xFF) && (p & 0xFF) == ((p >> 16) & 0xFF);
    });
}

std::int32_t write_pnm(std::FILE* file, const std::uint32_t* pixels, std::uint32_t width,
                       std::uint32_t height, std::uint32_t stride, PnmForm form) {
    if (form == PnmForm::kNatural)
        form = pnm_black_and_white(pixels, width, height, stride) ? PnmForm::kBitmap
               : pnm_grey(pixels, width, height, stride)          ? PnmForm::kGreymap
                                                                  : PnmForm::kPixmap;
    if (form == PnmForm::kBitmap && !pnm_black_and_white(pixels, width, height, stride))
        return -14;
    bool alpha = false;
    std::uint32_t channels = form == PnmForm::kPixmap ? 3 : 1;
    std::string head;
    if (form == PnmForm::kArbitrary) {
        for (std::uint32_t y = 0; y < height && !alpha; ++y) {
            const std::span<const std::uint32_t> row(pixels + static_cast<std::size_t>(y) * stride,
                                                     width);
            for (const std::uint32_t p : row)
                alpha = alpha || (p >> 24) != 0;
        }
        const bool grey = pnm_grey(pixels, width, height, stride);
        channels = (grey ? 1 : 3) + (alpha ? 1 : 0);
        head = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) +
               "\nDEPTH " + std::to_string(channels) + "\nMAXVAL 255\nTUPLTYPE " +
               (grey ? "GRAYSCALE" : "RGB") + (alpha ? "_ALPHA" : "") + "\nENDHDR\n";
    } else {
        const char* magic = form == PnmForm::kBitmap    ? "P4"
                            : form == PnmForm::kGreymap ? "P5"
                                                        : "P6";
        head = std::string(magic) + "\n" + std::to_string(width) + " " + std::to_string(height) +
               "\n" + (form == PnmForm::kBitmap ? "" : "255\n");
    }
    if (std::fwrite(head.data(), 1, head.size(), file) != head.size())
        return -43;
    const std::size_t row_bytes =
        form == PnmForm::kBitmap ? (width + 7) / 8 : static_cast<std::size_t>(width) * channels;
    std::vector<std::uint8_t> row(row_bytes);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::span<const std::uint32_t> src(pixels + static_cast<std::size_t>(y) * stride,
                                                 width);
        std::fill(row.begin(), row.end(), std::uint8_t{0});
        std::size_t at = 0;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t p = src[x];
            if (form == PnmForm::kBitmap) {
                if ((p & 0xFFFFFF) == 0)
                    row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | (0x80 >> (x % 8)));
                continue;
            }
            if (channels == 1 || channels == 2) {
                row[at++] = static_cast<std::uint8_t>(luma(p));
            } else {
                row[at++] = static_cast<std::uint8_t>(p >> 16);
                row[at++] = static_cast<std::uint8_t>(p >> 8);
                row[at++] = static_cast<std::uint8_t>(p);
            }
            if (alpha)
                row[at++] = static_cast<std::uint8_t>(255 - (p >> 24));
        }
        if (std::fwrite(row.data(), 1, row.size(), file) != row.size())
            return -43;
    }
    return 1;
}

namespace {

std::uint16_t scale16(std::uint32_t v, std::uint32_t maxval) {
    return static_cast<std::uint16_t>((static_cast<std::uint64_t>(v) * 65535 + maxval / 2) /
                                      maxval);
}

std::uint32_t luma16(const std::uint16_t* s) {
    return (299 * std::uint32_t{s[0]} + 587 * std::uint32_t{s[1]} + 114 * std::uint32_t{s[2]} +
            500) /
           1000;
}

} // namespace

std::uint32_t pnm_deep_channels(const PnmHeader& h) {
    return h.channels >= 3 ? 4 : 2;
}

std::int32_t decode_pnm_deep(std::span<const std::uint8_t> file, const PnmHeader& h,
                             std::uint16_t* samples, std::uint32_t stride) {
    if (h.maxval <= 255 || h.form == '1' || h.form == '4' || h.channels < 1 || h.channels > 4)
        return -2;
    const bool text = h.form <= '3';
    const std::size_t row_bytes = static_cast<std::size_t>(h.width) * h.channels * 2;
    const std::span<const std::uint8_t> data = file.subspan(h.data_offset);
    const std::uint32_t out_channels = pnm_deep_channels(h);
    Cursor in(file, h.data_offset);
    for (std::uint32_t y = 0; y < h.height; ++y) {
        std::uint16_t* out = samples + static_cast<std::size_t>(y) * stride;
        const std::span<const std::uint8_t> row =
            text ? std::span<const std::uint8_t>() : data.subspan(y * row_bytes, row_bytes);
        for (std::uint32_t x = 0; x < h.width; ++x) {
            std::uint16_t s[4] = {0, 0, 0, 65535};
            for (std::uint32_t c = 0; c < h.channels; ++c) {
                std::uint32_t v = 0;
                if (text) {
                    if (const std::int32_t r = in.number(v); r != 1)
                        return r;
                } else {
                    const std::size_t at = (static_cast<std::size_t>(x) * h.channels + c) * 2;
                    v = (static_cast<std::uint32_t>(row[at]) << 8) | row[at + 1];
                }
                if (v > h.maxval)
                    return -44;
                s[c] = scale16(v, h.maxval);
            }
            std::uint16_t* o = out + static_cast<std::size_t>(x) * out_channels;
            if (out_channels == 4) {
                o[0] = s[0];
                o[1] = s[1];
                o[2] = s[2];
                o[3] = h.channels == 4 ? s[3] : 65535;
            } else {
                o[0] = s[0];
                o[1] = h.channels == 2 ? s[1] : 65535;
            }
        }
    }
    return 1;
}

std::int32_t write_pnm_deep(std::FILE* file, const std::uint16_t* samples, std::uint32_t width,
                            std::uint32_t height, std::uint32_t stride, std::uint32_t channels,
                            PnmForm form) {
    if (form == PnmForm::kBitmap || (channels != 2 && channels != 4))
        return -14;
    bool grey = channels == 2, alpha = false;
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint16_t* row = samples + static_cast<std::size_t>(y) * stride;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint16_t* p = row + static_cast<std::size_t>(x) * channels;
            alpha = alpha || p[channels - 1] != 65535;
            if (channels == 4 && !(p[0] == p[1] && p[0] == p[2]))
                grey = false;
        }
    }
    if (form == PnmForm::kNatural)
        form = grey ? PnmForm::kGreymap : PnmForm::kPixmap;
    if (form != PnmForm::kArbitrary)
        alpha = false;
    if (form == PnmForm::kGreymap)
        grey = true;
    if (form == PnmForm::kPixmap)
        grey = false;
    const std::uint32_t out_channels = (grey ? 1 : 3) + (alpha ? 1 : 0);
    std::string head;
    if (form == PnmForm::kArbitrary)
        head = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) +
               "\nDEPTH " + std::to_string(out_channels) + "\nMAXVAL 65535\nTUPLTYPE " +
               (grey ? "GRAYSCALE" : "RGB") + (alpha ? "_ALPHA" : "") + "\nENDHDR\n";
    else
        head = std::string(grey ? "P5" : "P6") + "\n" + std::to_string(width) + " " +
               std::to_string(height) + "\n65535\n";
    if (std::fwrite(head.data(), 1, head.size(), file) != head.size())
        return -43;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * out_channels * 2);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint16_t* src = samples + static_cast<std::size_t>(y) * stride;
        std::size_t at = 0;
        const auto put = [&row, &at](std::uint32_t v) {
            row[at++] = static_cast<std::uint8_t>(v >> 8);
            row[at++] = static_cast<std::uint8_t>(v);
        };
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint16_t* p = src + static_cast<std::size_t>(x) * channels;
            if (grey) {
                put(channels == 2 ? p[0] : luma16(p));
            } else if (channels == 4) {
                put(p[0]);
                put(p[1]);
                put(p[2]);
            } else {
                put(p[0]);
                put(p[0]);
                put(p[0]);
            }
            if (alpha)
                put(p[channels - 1]);
        }
        if (std::fwrite(row.data(), 1, row.size(), file) != row.size())
            return -43;
    }
    return 1;
}

} // namespace vt::formats
