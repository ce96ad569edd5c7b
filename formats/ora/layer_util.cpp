// Layer fields, names and resolution shared by the layered formats.

#include "formats/ora/layer_util.h"

#include <cmath>
#include <cstring>

#include "sdk/kit/plugin_kit.h"

namespace vt::formats {

std::uint8_t transparency_of(double opacity) noexcept {
    if (!(opacity > 0.0))
        return 255;
    if (opacity >= 1.0)
        return 0;
    return static_cast<std::uint8_t>(255 - std::lround(opacity * 255.0));
}

double opacity_of(std::uint8_t transparency) noexcept {
    return (255 - transparency) / 255.0;
}

bool set_layer_fields(FilterCall* call, const LayerFields& layer) noexcept {
    const auto clamp16 = [](std::int32_t v) {
        return static_cast<std::int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
    };
    call->x = clamp16(layer.x);
    call->y = clamp16(layer.y);
    name_to_record(layer.name, call->name);
    call->mode = static_cast<std::uint16_t>(layer.blend | (layer.visible ? 0 : kModeHidden));
    call->mode2 = 0;
    call->attr = 0;
    call->transparency = layer.transparency;
    return call->x == layer.x && call->y == layer.y;
}

LayerFields layer_fields(const FilterCall* call) {
    LayerFields out;
    out.name = name_from_record(call->name);
    out.x = call->x;
    out.y = call->y;
    out.blend = static_cast<std::uint8_t>(call->mode & 0xFF);
    out.visible = (call->mode & kModeHidden) == 0;
    out.transparency = call->transparency;
    return out;
}

void name_to_record(std::string_view utf8, std::uint16_t (&name)[32]) noexcept {
    std::memset(name, 0, sizeof(name));
    std::size_t out = 0;
    std::size_t i = 0;
    const auto put = [&](std::uint32_t c) {
        if (c < 0x10000) {
            if (out + 1 > 31)
                return false;
            name[out++] = static_cast<std::uint16_t>(c);
        } else {
            if (out + 2 > 31)
                return false;
            c -= 0x10000;
            name[out++] = static_cast<std::uint16_t>(0xD800 + (c >> 10));
            name[out++] = static_cast<std::uint16_t>(0xDC00 + (c & 0x3FF));
        }
        return true;
    };
    while (i < utf8.size()) {
        const auto b = static_cast<std::uint8_t>(utf8[i]);
        int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
        std::uint32_t c = extra == 0 ? b : extra == 1 ? b & 0x1Fu : extra == 2 ? b & 0x0Fu : b & 7u;
        bool good = extra >= 0 && i + static_cast<std::size_t>(extra) < utf8.size();
        for (int k = 1; good && k <= extra; ++k) {
            const auto t = static_cast<std::uint8_t>(utf8[i + static_cast<std::size_t>(k)]);
            if ((t >> 6) != 2)
                good = false;
            else
                c = (c << 6) | (t & 0x3Fu);
        }
        if (good && (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)))
            good = false;
        if (!good) {
            c = 0xFFFD;
            extra = 0;
        }
        if (!put(c))
            return;
        i += static_cast<std::size_t>(extra) + 1;
    }
}

std::string name_from_record(const std::uint16_t (&name)[32]) {
    std::string out;
    for (std::size_t i = 0; i < 31 && name[i] != 0; ++i) {
        std::uint32_t c = name[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < 31 && name[i + 1] >= 0xDC00 &&
            name[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        vt::kit::append_utf8(out, c);
    }
    return out;
}

bool fits_as_canvas(const LayerFields& layer, std::uint32_t layer_width, std::uint32_t layer_height,
                    std::uint32_t canvas_width, std::uint32_t canvas_height) noexcept {
    return layer.x == 0 && layer.y == 0 && layer_width == canvas_width &&
           layer_height == canvas_height && layer.blend == 0 && layer.transparency == 0;
}

bool is_blank_canvas(const FilterCall* call) noexcept {
    if (call->x != 0 || call->y != 0 || (call->mode & 0xFF) != 0)
        return false;
    for (std::uint32_t y = 0; y < call->height; ++y) {
        const std::uint32_t* row = call->pixels + static_cast<std::size_t>(y) * call->stride;
        for (std::uint32_t x = 0; x < call->width; ++x)
            if ((row[x] >> 24) != 255)
                return false;
    }
    return true;
}

std::int32_t add_blank_canvas(FilterCall* call, std::uint32_t width, std::uint32_t height) {
    set_layer_fields(call, LayerFields{});
    if (const std::int32_t r = kit::request_frame(call, width, height); r != VT_OK)
        return r;
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint32_t* row = call->pixels + static_cast<std::size_t>(y) * call->stride;
        for (std::uint32_t x = 0; x < width; ++x)
            row[x] = 0xFF000000u;
    }
    return VT_OK;
}

namespace {

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t get32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

} // namespace

void deliver_resolution(FilterCall* call, double x_ppi, double y_ppi) noexcept {
    if (!(x_ppi >= 1.0 && x_ppi <= 1e6 && y_ppi >= 1.0 && y_ppi <= 1e6))
        return;
    std::uint8_t phys[16] = {1, 0};
    put32(phys + 4, static_cast<std::uint32_t>(std::lround(x_ppi)));
    put32(phys + 8, static_cast<std::uint32_t>(std::lround(y_ppi)));
    kit::add_frame_chunk(call, kTagPhys, phys, sizeof(phys));
}

bool frame_resolution(FilterCall* call, double& x_ppi, double& y_ppi) {
    const kit::ChunkView phys = kit::frame_chunk(call, kTagPhys);
    if (phys.size < 13)
        return false;
    double x = get32(phys.data + 4);
    double y = get32(phys.data + 8);
    if (phys.data[12] == 1) { // per centimetre
        x *= 2.54;
        y *= 2.54;
    }
    if (!(x >= 1.0 && y >= 1.0))
        return false;
    x_ppi = x;
    y_ppi = y;
    return true;
}

std::string xml_escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
                out += c;
        }
    }
    return out;
}

} // namespace vt::formats
