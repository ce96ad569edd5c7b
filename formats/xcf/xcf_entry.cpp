// fmx_XCF: GIMP's XCF documents (devel-docs/xcf.txt of GIMP's sources; the codec is in
// xcf_codec.cpp). Layers come in bottom first with their names, positions, opacity,
// visibility and modes, and go out the same way; the resolution travels as a "PHYS" chunk, the
// colour profile (the image's "icc-profile" parasite) as "ICCP". A
// document of one layer that covers the canvas, of more than 8 bits a sample, also gives it at
// 16 bits when asked, and one picture offered at 16 bits is written at 16 bits.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "formats/xcf/xcf_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::formats;
using namespace vt::kit;

constexpr std::uint16_t kHidden = 0x100;
constexpr std::uint32_t kTagPhys = VT_TAG('P', 'H', 'Y', 'S');

// The name in the record's 31 UTF-16 characters; malformed bytes become U+FFFD.
void put_name(const std::string& utf8, std::uint16_t (&name)[32]) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<std::uint8_t>(utf8[i]);
        const std::size_t extra = b < 0x80 ? 0 : b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 9;
        std::uint32_t c = extra == 9 || i + extra >= utf8.size() ? 0xFFFD : b & (0x7Fu >> extra);
        for (std::size_t k = 1; c != 0xFFFD && k <= extra; ++k) {
            const auto t = static_cast<std::uint8_t>(utf8[i + k]);
            c = (t & 0xC0) == 0x80 ? (c << 6) | (t & 0x3Fu) : 0xFFFD;
        }
        i += c == 0xFFFD ? 1 : extra + 1;
        if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
            c = 0xFFFD;
        const std::size_t units = c >= 0x10000 ? 2 : 1;
        if (out + units > 31)
            break;
        if (units == 2) {
            name[out++] = static_cast<std::uint16_t>(0xD800 + ((c - 0x10000) >> 10));
            name[out++] = static_cast<std::uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            name[out++] = static_cast<std::uint16_t>(c);
        }
    }
    name[out] = 0;
}

void deliver_resolution(FilterCall* call, const XcfImage& image) {
    if (!(image.xres >= 1.0 && image.xres <= 1e6 && image.yres >= 1.0 && image.yres <= 1e6))
        return;
    std::uint8_t phys[16] = {1};
    const auto x = static_cast<std::uint32_t>(std::lround(image.xres));
    const auto y = static_cast<std::uint32_t>(std::lround(image.yres));
    for (int i = 0; i < 4; ++i) {
        phys[4 + i] = static_cast<std::uint8_t>(x >> (8 * i));
        phys[8 + i] = static_cast<std::uint8_t>(y >> (8 * i));
    }
    add_frame_chunk(call, kTagPhys, phys, sizeof(phys));
}

void deliver_metadata(FilterCall* call, const XcfImage& image) {
    deliver_markup(call, {image.sample_bytes * 32});
    deliver_resolution(call, image);
    add_frame_chunk(call, kTagIcc, image.icc.data(), static_cast<std::uint32_t>(image.icc.size()));
}

void set_fields(FilterCall* call, const XcfLayer& layer, std::uint8_t blend, std::uint16_t& warn) {
    const auto clamp16 = [](std::int32_t v) {
        return static_cast<std::int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
    };
    call->x = clamp16(layer.x);
    call->y = clamp16(layer.y);
    if (call->x != layer.x || call->y != layer.y)
        warn |= VT_WARN_DATA_LOST;
    put_name(layer.name, call->name);
    call->mode = static_cast<std::uint16_t>(blend | (layer.visible ? 0 : kHidden));
    call->mode2 = 0;
    call->attr = 0;
    call->transparency = static_cast<std::uint8_t>(255 - std::lround(layer.opacity * 255.0));
}

std::int32_t add_blank_canvas(FilterCall* call, const XcfImage& image) {
    set_fields(call, XcfLayer{}, 0, call->warnings);
    if (const std::int32_t r = request_frame(call, image.width, image.height); r != VT_OK)
        return r;
    for (std::uint32_t y = 0; y < image.height; ++y)
        for (std::uint32_t x = 0; x < image.width; ++x)
            call->pixels[std::size_t{y} * call->stride + x] = 0xFF000000u;
    deliver_metadata(call, image);
    return VT_OK;
}

// What the groups around each layer do to it: their opacity multiplies its own (exact where the
// group's layers do not overlap) and a hidden group hides it. Layers come top first, a group
// before its layers, each of which names its place by PROP_ITEM_PATH; top-level layers have
// none and are numbered in order.
void apply_groups(std::vector<XcfLayer>& layers) {
    struct Group {
        double opacity;
        bool visible;
    };
    std::map<std::vector<std::uint32_t>, Group> groups;
    std::uint32_t top_level = 0;
    for (XcfLayer& layer : layers) {
        std::vector<std::uint32_t> path = layer.path;
        if (path.empty())
            path.push_back(top_level++);
        const auto parent = groups.find({path.begin(), path.end() - 1});
        if (parent != groups.end()) {
            layer.opacity *= parent->second.opacity;
            layer.visible = layer.visible && parent->second.visible;
        }
        if (layer.group)
            groups[path] = {layer.opacity, layer.visible};
    }
}

// Frame 0 at 16 bits when it is the whole picture: one visible layer that covers the canvas.
// A decode that runs out of memory delivers none and leaves the 8-bit frame as it is.
void load_deep(FilterCall* call, std::span<const std::uint8_t> file, const XcfImage& image,
               const XcfLayer& layer) {
    const std::uint32_t channels = xcf_deep_channels(image, layer);
    if (channels == 0 || !layer.visible)
        return;
    std::unique_ptr<std::uint16_t, decltype(&std::free)> samples(
        static_cast<std::uint16_t*>(std::malloc(std::size_t{layer.width} * layer.height * channels *
                                                sizeof(std::uint16_t))),
        &std::free);
    if (!samples)
        return;
    try {
        if (decode_xcf_layer_deep(file, image, layer, samples.get()) != VT_OK)
            return;
    } catch (const std::bad_alloc&) {
        return;
    }
    const std::uint32_t bits = std::min<std::uint32_t>(image.sample_bytes * 8, 16);
    deliver_deep(call, {layer.width, layer.height, channels, layer.width * channels,
                        samples.release(), bits, 0});
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    MappedFile file;
    if (const std::int32_t r = file.open(call->path); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> bytes = file.bytes();
    XcfImage image;
    if (const std::int32_t r = read_xcf_image(bytes, image); r != VT_OK)
        return r;
    apply_groups(image.layers);
    const std::uint32_t capacity =
        call->max_frame >= 0 ? static_cast<std::uint32_t>(call->max_frame) + 1 : 1;
    std::uint16_t warnings = 0;
    const XcfLayer* bottom = nullptr;
    for (auto it = image.layers.rbegin(); it != image.layers.rend(); ++it) {
        const XcfLayer& layer = *it;
        if (layer.group || layer.floating) {
            warnings |= VT_WARN_LAYER_TYPES;
            continue;
        }
        if (const std::int32_t r = check_xcf_layer(bytes, image, layer); r != VT_OK)
            return r;
        bool known = true;
        // GIMP draws the bottom layer as normal whatever its mode says.
        const std::uint8_t blend =
            call->frame_count == 0 ? 0 : blend_of_xcf_mode(layer.mode, known);
        if (!known)
            warnings |= VT_WARN_BLEND_MODES;
        if (call->frame_count == 0 && (layer.x != 0 || layer.y != 0 || layer.width != image.width ||
                                       layer.height != image.height || layer.opacity < 1.0))
            if (const std::int32_t r = add_blank_canvas(call, image); r != VT_OK)
                return r;
        if (call->frame_count >= capacity) {
            warnings |= VT_WARN_LAYERS_DROPPED;
            break;
        }
        const bool first = call->frame_count == 0;
        set_fields(call, layer, call->frame_count == 0 ? 0 : blend, warnings);
        if (const std::int32_t r = request_frame(call, layer.width, layer.height); r != VT_OK)
            return r;
        if (first) {
            deliver_metadata(call, image);
            bottom = &layer;
        }
        if (const std::int32_t r =
                decode_xcf_layer(bytes, image, layer, call->pixels, call->stride);
            r != VT_OK)
            return r;
    }
    call->warnings = static_cast<std::uint16_t>(call->warnings | warnings);
    if (call->frame_count == 1 && bottom != nullptr && deep_wanted(call))
        load_deep(call, bytes, image, *bottom);
    return call->frame_count > 0 ? VT_OK : VT_ERR_NO_IMAGE_DATA;
}

std::int32_t select(FilterCall* call, std::int32_t index) {
    if (call->frame_cb.select_frame(call, index) == 0)
        return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    return call->pixels != nullptr && call->width > 0 && call->height > 0 ? VT_OK
                                                                          : VT_ERR_BITMAP_REQUEST;
}

// The selected frame's resolution in pixels per inch, when it has one.
void frame_resolution(FilterCall* call, double& x, double& y) {
    const ChunkView phys = frame_chunk(call, kTagPhys);
    if (phys.size < 13)
        return;
    const auto le32 = [&](int at) {
        return phys.data[at] | (phys.data[at + 1] << 8) | (phys.data[at + 2] << 16) |
               (static_cast<std::uint32_t>(phys.data[at + 3]) << 24);
    };
    const double scale = phys.data[12] == 1 ? 2.54 : 1.0;
    x = le32(4) * scale;
    y = le32(8) * scale;
}

bool blank_canvas(const FilterCall* call) {
    if (call->x != 0 || call->y != 0 || (call->mode & 0xFF) != 0)
        return false;
    for (std::uint32_t y = 0; y < call->height; ++y)
        for (std::uint32_t x = 0; x < call->width; ++x)
            if ((call->pixels[std::size_t{y} * call->stride + x] >> 24) != 255)
                return false;
    return true;
}

// Each layer's pixels are copied: the host lends one frame at a time.
struct HeldLayer {
    XcfOutLayer out;
    std::vector<std::uint32_t> pixels;
};

void hold(FilterCall* call, std::vector<HeldLayer>& held, bool as_canvas) {
    HeldLayer h;
    h.out.name = to_utf8(call->name);
    h.out.width = h.out.stride = call->width;
    h.out.height = call->height;
    h.pixels.resize(std::size_t{call->width} * call->height);
    for (std::uint32_t y = 0; y < call->height; ++y)
        std::copy_n(call->pixels + std::size_t{y} * call->stride, call->width,
                    h.pixels.begin() + static_cast<std::ptrdiff_t>(std::size_t{y} * call->width));
    if (!as_canvas) {
        h.out.x = call->x;
        h.out.y = call->y;
        h.out.mode = xcf_mode_of_blend(static_cast<std::uint8_t>(call->mode & 0xFF));
        h.out.opacity = static_cast<std::uint8_t>(255 - call->transparency);
    }
    h.out.visible = (call->mode & kHidden) == 0;
    held.push_back(std::move(h));
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr || call->frame_cb.select_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<HeldLayer> held;
    double xres = 0;
    double yres = 0;
    if (const std::int32_t r = select(call, 0); r != VT_OK)
        return r;
    frame_resolution(call, xres, yres);
    std::vector<std::uint8_t> icc;
    if (const ChunkView profile = frame_chunk(call, kTagIcc); profile.data != nullptr)
        icc.assign(profile.data, profile.data + profile.size);
    const std::uint32_t width = call->width;
    const std::uint32_t height = call->height;
    if (call->doc_kind == 0) {
        for (std::uint32_t i = 0; i < call->frame_count; ++i) {
            if (i > 0)
                if (const std::int32_t r = select(call, static_cast<std::int32_t>(i)); r != VT_OK)
                    return r;
            if (i == 0 && call->frame_count > 1 && blank_canvas(call))
                continue;
            hold(call, held, i == 0);
        }
    } else {
        if (const std::int32_t r = select_composite(call); r != VT_OK)
            return r;
        hold(call, held, true);
        held.back().out.name.clear();
    }
    // One picture offered at 16 bits is written at 16 bits.
    const VtDeepImage* deep = held.size() == 1 ? deep_offered(call) : nullptr;
    if (deep != nullptr && deep->width == held[0].out.width && deep->height == held[0].out.height) {
        held[0].out.deep = deep->samples;
        held[0].out.deep_channels = deep->channels;
        held[0].out.deep_stride = deep->stride;
    } else {
        deep = nullptr;
    }
    std::vector<XcfOutLayer> layers;
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        it->out.pixels = it->pixels.data();
        layers.push_back(it->out);
    }
    std::vector<std::uint8_t> file;
    if (const std::int32_t r = write_xcf(width, height, xres, yres, layers, file, icc); r != VT_OK)
        return r;
    const std::int32_t r = write_target_bytes(call->path, file);
    if (r == VT_OK && deep != nullptr)
        deep_written(call);
    return r;
}

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".xcf");
}

bool has_signature(const FilterCheck& check) {
    return xcf_signature(
        std::span<const std::uint8_t>(check.head, check.head_size < 32 ? check.head_size : 32));
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, has_signature, known_extension, known_extension, load_image,
                                 save_image, 16,
                                 VT_KEEPS_PROFILE | VT_KEEPS_ALPHA | VT_KEEPS_RESOLUTION |
                                     VT_KEEPS_LAYERS)
