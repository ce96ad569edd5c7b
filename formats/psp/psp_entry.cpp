// fmx_PSP: the plug-in's exports and the layers it hands the host. Each raster layer becomes a
// frame at its place on the canvas with its name, opacity, visibility and blend mode; the
// bottom one is spread over the whole canvas (the first frame is the canvas), its opacity folded
// into its pixels. Vector, adjustment and group layers are left out (warning 0x0002); blend
// modes our operators lack are drawn as normal (warning 0x0004). A file without raster layers
// loads its composite picture. Load only.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "formats/psp/psp_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;
using vt::formats::PspChannel;
using vt::formats::PspDocument;
using vt::formats::PspLayer;
using vt::formats::PspRect;

constexpr std::uint32_t kTagPhys = VT_TAG('P', 'H', 'Y', 'S');

PspRect clip(const PspRect& r, const PspRect& to) {
    return {std::max(r.left, to.left), std::max(r.top, to.top), std::min(r.right, to.right),
            std::min(r.bottom, to.bottom)};
}

bool empty(const PspRect& r) {
    return r.width() < 1 || r.height() < 1;
}

// A decoded layer and where its frame lies on the canvas.
struct Picture {
    const PspLayer* layer = nullptr; // null for the composite
    PspRect frame;
    PspRect saved;
    std::vector<std::uint32_t> pixels; // over `saved`
};

std::int32_t decode(std::span<const std::uint8_t> file, const PspDocument& doc,
                    const std::vector<PspChannel>& channels, std::uint16_t compression,
                    std::uint16_t depth, Picture& p) {
    if (p.saved.width() > 65536 || p.saved.height() > 65536 ||
        p.saved.width() * p.saved.height() > 250000000)
        return VT_ERR_DIMENSIONS;
    return vt::formats::decode_psp_pixels(file, doc, channels, compression, depth,
                                          static_cast<std::uint32_t>(p.saved.width()),
                                          static_cast<std::uint32_t>(p.saved.height()), p.pixels);
}

void set_name(FilterCall* call, const std::string& name) {
    std::fill(std::begin(call->name), std::end(call->name), 0);
    for (std::size_t i = 0; i < name.size() && i < 31; ++i)
        call->name[i] = static_cast<unsigned char>(name[i]); // Latin-1
}

void deliver_resolution(FilterCall* call, const PspDocument& doc) {
    if (!(doc.resolution > 0.5 && doc.resolution < 1e6) || (doc.metric != 1 && doc.metric != 2))
        return deliver_markup(call, {doc.bit_depth, nullptr, 0, nullptr, nullptr});
    const auto per_unit = static_cast<std::uint32_t>(std::lround(doc.resolution));
    std::uint8_t phys[16] = {1, 0};
    for (int i = 0; i < 4; ++i)
        phys[4 + i] = phys[8 + i] = static_cast<std::uint8_t>(per_unit >> (8 * i));
    phys[12] = doc.metric == 1 ? 0 : 1;
    add_frame_chunk(call, kTagPhys, phys, sizeof(phys));
    char ppi[32];
    const long inch = std::lround(doc.metric == 1 ? doc.resolution : doc.resolution * 2.54);
    std::snprintf(ppi, sizeof(ppi), "%ld %ld", inch, inch);
    deliver_markup(call, {doc.bit_depth, nullptr, 0, nullptr, ppi});
}

// Hands one picture to the host as the next frame; the first spreads over the canvas.
std::int32_t add_picture(FilterCall* call, const PspDocument& doc, const Picture& p, bool first) {
    const PspRect frame = first ? PspRect{0, 0, static_cast<std::int32_t>(doc.width),
                                          static_cast<std::int32_t>(doc.height)}
                                : p.frame;
    call->x = static_cast<std::int16_t>(frame.left);
    call->y = static_cast<std::int16_t>(frame.top);
    call->mode = 0;
    call->transparency = 0;
    std::uint32_t opacity = 255;
    if (p.layer != nullptr) {
        set_name(call, p.layer->name);
        std::uint16_t mode = 0;
        if (!vt::formats::psp_layer_mode(p.layer->blend, mode))
            call->warnings |= VT_WARN_BLEND_MODES;
        call->mode = static_cast<std::uint16_t>((first ? 0 : mode) | (p.layer->visible ? 0 : 256));
        if (first)
            opacity = p.layer->opacity; // the first frame is copied plainly: fold it in
        else
            call->transparency = static_cast<std::uint8_t>(255 - p.layer->opacity);
    }
    const auto w = static_cast<std::uint32_t>(frame.width());
    const auto h = static_cast<std::uint32_t>(frame.height());
    if (const std::int32_t r = request_frame(call, w, h); r != VT_OK)
        return r;
    for (std::uint32_t y = 0; y < h; ++y)
        std::fill_n(call->pixels + std::size_t{y} * call->stride, w, 0xFF000000u);
    const PspRect part = clip(p.saved, frame);
    const auto sw = static_cast<std::size_t>(p.saved.width());
    for (std::int32_t y = part.top; y < part.bottom; ++y) {
        const std::uint32_t* in =
            p.pixels.data() + std::size_t(y - p.saved.top) * sw + (part.left - p.saved.left);
        std::uint32_t* out =
            call->pixels + std::size_t(y - frame.top) * call->stride + (part.left - frame.left);
        for (std::int32_t x = 0; x < part.width(); ++x) {
            std::uint32_t v = in[x];
            if (opacity < 255) {
                const std::uint32_t a = (255 - (v >> 24)) * opacity / 255;
                v = (v & 0xFFFFFFu) | ((255 - a) << 24);
            }
            out[x] = v;
        }
    }
    return VT_OK;
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    MappedFile mapped;
    if (const std::int32_t r = mapped.open(call->path); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> file = mapped.bytes();
    PspDocument doc;
    if (const std::int32_t r = vt::formats::read_psp(file, doc); r != VT_OK)
        return r;
    const PspRect canvas{0, 0, static_cast<std::int32_t>(doc.width),
                         static_cast<std::int32_t>(doc.height)};
    std::vector<const PspLayer*> layers;
    for (const PspLayer& layer : doc.layers) {
        if (layer.kind != vt::formats::PspLayerKind::raster) {
            call->warnings |= VT_WARN_LAYER_TYPES;
            continue;
        }
        // An empty layer, or one wholly off the canvas, shows nothing.
        const PspRect frame = clip(layer.image, canvas);
        if (!layer.channels.empty() && !empty(clip(layer.saved, frame)))
            layers.push_back(&layer);
    }
    bool first = true;
    if (layers.empty()) {
        if (doc.composite.empty())
            return VT_ERR_NO_IMAGE_DATA;
        Picture p{nullptr, canvas, canvas, {}};
        if (const std::int32_t r =
                decode(file, doc, doc.composite, doc.composite_compression, doc.composite_depth, p);
            r != VT_OK)
            return r;
        if (const std::int32_t r = add_picture(call, doc, p, true); r != VT_OK)
            return r;
        deliver_resolution(call, doc);
        return VT_OK;
    }
    for (const PspLayer* layer : layers) {
        Picture p{layer, clip(layer->image, canvas), layer->saved, {}};
        if (!first && (p.frame.left > 32767 || p.frame.top > 32767)) {
            call->warnings |= VT_WARN_DATA_LOST; // beyond the frame record's positions
            continue;
        }
        if (static_cast<std::int64_t>(call->frame_count) > call->max_frame) {
            call->warnings |= VT_WARN_LAYERS_DROPPED;
            break;
        }
        if (const std::int32_t r =
                decode(file, doc, layer->channels, doc.compression, doc.bit_depth, p);
            r != VT_OK)
            return r;
        if (const std::int32_t r =
                vt::formats::apply_psp_mask(file, *layer, doc.compression, p.pixels);
            r != VT_OK)
            return r;
        if (const std::int32_t r = add_picture(call, doc, p, first); r != VT_OK)
            return r;
        if (first)
            deliver_resolution(call, doc);
        first = false;
    }
    return VT_OK;
}

std::int32_t save_image(FilterCall* /*call*/) {
    return VT_ERR_NOT_IMPLEMENTED;
}

bool psp_signature(const FilterCheck& check) {
    static constexpr std::uint8_t kHead[] = "Paint Shop Pro Image File\n\x1a";
    return head_starts_with(check, kHead, sizeof(kHead) - 1);
}

bool psp_extension(const FilterCheck& check) {
    return extension_is(check, u".psp");
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_READ_WRITE(100, psp_signature, psp_extension, ::vt::kit::writes_nothing,
                                    load_image, save_image)
