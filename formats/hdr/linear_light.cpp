#include "formats/hdr/linear_light.h"

namespace vt::formats {
namespace {

std::uint32_t frame_pixel(std::uint16_t r, std::uint16_t g, std::uint16_t b) {
    return std::uint32_t{to_8bit(b)} | std::uint32_t{to_8bit(g)} << 8 |
           std::uint32_t{to_8bit(r)} << 16;
}

} // namespace

void LinearTarget::put(std::uint32_t x, std::uint32_t y, float r, float g, float b) const noexcept {
    const std::uint16_t d[3] = {encode_linear(r), encode_linear(g), encode_linear(b)};
    pixels[std::size_t{y} * stride + x] = frame_pixel(d[0], d[1], d[2]);
    if (deep == nullptr)
        return;
    std::uint16_t* s = deep + (std::size_t{y} * width + x) * deep_channels;
    if (deep_channels == 2) {
        s[0] = d[1];
        s[1] = 65535;
        return;
    }
    s[0] = d[0];
    s[1] = d[1];
    s[2] = d[2];
    s[3] = 65535;
}

void LinearTarget::put_grey(std::uint32_t x, std::uint32_t y, float v) const noexcept {
    put(x, y, v, v, v);
}

void LinearSource::row(std::uint32_t y, float* out, bool grey) const noexcept {
    const std::size_t step = grey ? 1 : 3;
    if (deep != nullptr) {
        const std::uint16_t* s = deep->samples + std::size_t{y} * deep->stride;
        for (std::uint32_t x = 0; x < width; ++x, s += deep->channels, out += step) {
            if (deep->channels == 2 || grey) {
                // A grey picture's colour is its green, as the grey deep picture holds it.
                out[0] = decode_to_linear(s[deep->channels == 2 ? 0 : 1]);
                if (!grey)
                    out[1] = out[2] = out[0];
                continue;
            }
            for (int c = 0; c < 3; ++c)
                out[c] = decode_to_linear(s[c]);
        }
        return;
    }
    const std::uint32_t* p = pixels + std::size_t{y} * stride;
    for (std::uint32_t x = 0; x < width; ++x, out += step) {
        const auto at = [&](int shift) {
            return decode_to_linear(static_cast<std::uint16_t>((p[x] >> shift & 0xFF) * 257));
        };
        if (grey) {
            out[0] = at(8);
            continue;
        }
        out[0] = at(16);
        out[1] = at(8);
        out[2] = at(0);
    }
}

bool LinearSource::is_grey() const noexcept {
    if (deep != nullptr && deep->channels == 2)
        return true;
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint32_t* p = pixels + std::size_t{y} * stride;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t c = p[x];
            if ((c & 0xFF) != (c >> 8 & 0xFF) || (c & 0xFF) != (c >> 16 & 0xFF))
                return false;
        }
        if (deep == nullptr)
            continue;
        const std::uint16_t* s = deep->samples + std::size_t{y} * deep->stride;
        for (std::uint32_t x = 0; x < width; ++x, s += deep->channels)
            if (s[0] != s[1] || s[0] != s[2])
                return false;
    }
    return true;
}

} // namespace vt::formats
