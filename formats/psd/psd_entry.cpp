// fmx_PSD: the plug-in's exports, its answers to the host's checks, and the mapping between the
// file's layers and the host's: names, offsets, opacity, visibility, clipping and blend modes.
// A 16-bit RGB or grey document of one picture (no layers, or one layer that is the canvas)
// also gives it at 16 bits when asked; a save of one picture offered at 16 bits writes a 16-bit
// document. The reading and writing of the format is in psd_codec.cpp.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "formats/psd/psd_codec.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;
namespace psd = vt::formats::psd;
using psd::key;

constexpr std::uint16_t kModeHidden = 0x0100;
constexpr std::uint16_t kModeBlendMask = 0x00FF;
// `attr` bits: the layer is clipped to the one below it; the layer is the transparent canvas the
// reader put under layers that do not cover the picture (a save leaves it out again).
constexpr std::uint8_t kAttrClipped = 0x01;
constexpr std::uint8_t kAttrCanvas = 0x02;
constexpr std::uint32_t kTagPhys = VT_TAG('P', 'H', 'Y', 'S');
// A blend key our operators cannot draw, kept with its layer (as it is in the file) so that a
// save writes it again.
constexpr std::uint32_t kTagBlendKey = VT_TAG('P', 'S', 'D', 'B');
constexpr std::uint32_t kMaxSide = 30000;
constexpr std::uint32_t kMaxSideLarge = 300000;

// The file's blend keys and the host's layer blend modes that draw the same.
struct BlendPair {
    std::uint32_t key;
    std::uint16_t mode;
};
constexpr BlendPair kBlends[] = {
    {key("norm"), 0},  {key("lddg"), 1},  {key("lbrn"), 2},  {key("mul "), 3},
    {key("hue "), 5},  {key("colr"), 6},  {key("lum "), 7},  {key("scrn"), 8},
    {key("fdiv"), 10}, {key("diff"), 11}, {key("dark"), 12}, {key("lite"), 13},
    {key("sat "), 14}, {key("over"), 15}, {key("div "), 16}, {key("idiv"), 17},
};

// The host's mode for a blend key; false for a key without one (drawn as normal).
bool mode_of(std::uint32_t blend, std::uint16_t& mode) {
    mode = 0;
    if (blend == key("pass")) // a group's pass-through: a layer alone draws normally
        return true;
    for (const BlendPair& p : kBlends)
        if (p.key == blend) {
            mode = p.mode;
            return true;
        }
    return false;
}

std::uint32_t key_of(std::uint16_t mode) {
    for (const BlendPair& p : kBlends)
        if (p.mode == (mode & kModeBlendMask))
            return p.key;
    return key("norm");
}

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".psd") || extension_is(check, u".psb");
}

bool writes(const FilterCheck& check) {
    return known_extension(check);
}

// A ".psb" target is written in the large-document layout.
bool large_target(const std::uint16_t* path) {
    std::size_t n = 0;
    while (path[n] != 0)
        ++n;
    const char16_t want[] = u".psb";
    for (std::size_t i = 0; n >= 4 && i < 4; ++i) {
        const std::uint16_t c = path[n - 4 + i];
        if ((c >= 'A' && c <= 'Z' ? c + 32 : c) != want[i])
            return false;
    }
    return n >= 4;
}

bool has_signature(const FilterCheck& check) {
    static const std::uint8_t kSmall[] = {'8', 'B', 'P', 'S', 0, 1};
    static const std::uint8_t kLarge[] = {'8', 'B', 'P', 'S', 0, 2};
    return head_starts_with(check, kSmall, 6) || head_starts_with(check, kLarge, 6);
}

void set_name(FilterCall* call, const std::u16string& name) {
    std::memset(call->name, 0, sizeof(call->name));
    const std::size_t n = std::min<std::size_t>(name.size(), 31);
    for (std::size_t i = 0; i < n; ++i)
        call->name[i] = name[i];
}

std::int16_t position(std::int32_t v, FilterCall* call) {
    const std::int32_t kept = std::clamp<std::int32_t>(v, -32768, 32767);
    if (kept != v)
        call->warnings |= VT_WARN_DATA_LOST;
    return static_cast<std::int16_t>(kept);
}

// The picture's metadata on the first frame: markup, colour profile, print resolution.
void deliver_metadata(FilterCall* call, const psd::Document& doc) {
    deliver_markup(call, {doc.depth * std::min<std::uint32_t>(doc.channels, 5)});
    add_frame_chunk(call, kTagIcc, doc.icc.data(), static_cast<std::uint32_t>(doc.icc.size()));
    if (doc.ppi_x > 0 && doc.ppi_y > 0) {
        std::uint8_t phys[16] = {1};
        for (int i = 0; i < 4; ++i) {
            phys[4 + i] = static_cast<std::uint8_t>(doc.ppi_x >> (8 * i));
            phys[8 + i] = static_cast<std::uint8_t>(doc.ppi_y >> (8 * i));
        }
        add_frame_chunk(call, kTagPhys, phys, sizeof(phys));
    }
}

// A layer that holds pixels, whether a hidden group holds it, and its opacity times that of
// every group around it.
struct Drawn {
    const psd::LayerRecord* layer;
    bool hidden;
    std::uint8_t opacity;
};

// The layers that hold pixels; group markers and empty layers have none. Groups are walked from
// the top: a group's record comes above its layers, its end marker below them. A group's
// opacity multiplies its layers' (exact when they do not overlap); a group mode other than
// pass-through or normal is lost.
std::vector<Drawn> drawn_layers(const psd::Document& doc, FilterCall* call) {
    struct Group {
        bool hidden;
        std::uint32_t opacity;
    };
    std::vector<Drawn> out;
    std::vector<Group> groups;
    const auto times = [](std::uint32_t a, std::uint32_t b) { return (a * b + 127) / 255; };
    for (auto it = doc.layers.rbegin(); it != doc.layers.rend(); ++it) {
        const bool hidden = (it->flags & 2) != 0 || (!groups.empty() && groups.back().hidden);
        const std::uint32_t outer = groups.empty() ? 255 : groups.back().opacity;
        if (it->section == 1 || it->section == 2) {
            if (it->blend != key("pass") && it->blend != key("norm"))
                call->warnings |= VT_WARN_LAYER_TYPES;
            groups.push_back({hidden, times(outer, it->opacity)});
        } else if (it->section == 3) {
            if (!groups.empty())
                groups.pop_back();
        } else if (!it->rect.empty()) {
            out.push_back({&*it, hidden, static_cast<std::uint8_t>(times(outer, it->opacity))});
        }
    }
    std::reverse(out.begin(), out.end());
    return out;
}

// The bottom layer is the host's canvas when it covers the picture exactly and draws plainly.
bool is_canvas(const Drawn& drawn, const psd::Document& doc) {
    const psd::LayerRecord& layer = *drawn.layer;
    std::uint16_t mode = 0;
    return layer.rect.top == 0 && layer.rect.left == 0 && layer.rect.width() == doc.width &&
           layer.rect.height() == doc.height && mode_of(layer.blend, mode) && mode == 0 &&
           drawn.opacity == 255 && layer.clipping == 0;
}

std::int32_t load_layers(FilterCall* call, std::span<const std::uint8_t> file,
                         const psd::Document& doc, const std::vector<Drawn>& layers) {
    std::int64_t index = 0;
    if (!is_canvas(layers.front(), doc)) {
        set_name(call, u"Canvas");
        call->attr = kAttrCanvas;
        if (const std::int32_t r = request_frame(call, doc.width, doc.height); r != VT_OK)
            return r;
        for (std::uint32_t y = 0; y < doc.height; ++y)
            std::fill_n(call->pixels + std::size_t{y} * call->stride, doc.width, 0xFF000000u);
        deliver_metadata(call, doc);
        ++index;
    }
    for (const auto& [layer, hidden, opacity] : layers) {
        if (index > call->max_frame) {
            call->warnings |= VT_WARN_LAYERS_DROPPED;
            break;
        }
        std::uint16_t mode = 0;
        const bool drawn = mode_of(layer->blend, mode);
        if (!drawn)
            call->warnings |= VT_WARN_BLEND_MODES;
        set_name(call, layer->name);
        call->mode = static_cast<std::uint16_t>(mode | (hidden ? kModeHidden : 0));
        call->transparency = static_cast<std::uint8_t>(255 - opacity);
        call->attr = layer->clipping != 0 ? kAttrClipped : 0;
        call->x = position(layer->rect.left, call);
        call->y = position(layer->rect.top, call);
        if (const std::int32_t r = request_frame(call, layer->rect.width(), layer->rect.height());
            r != VT_OK)
            return r;
        if (const std::int32_t r = psd::decode_layer(file, doc, *layer, call->pixels, call->stride);
            r != VT_OK)
            return r;
        if (index++ == 0)
            deliver_metadata(call, doc);
        const std::uint8_t blend[4] = {static_cast<std::uint8_t>(layer->blend >> 24),
                                       static_cast<std::uint8_t>(layer->blend >> 16),
                                       static_cast<std::uint8_t>(layer->blend >> 8),
                                       static_cast<std::uint8_t>(layer->blend)};
        if (!drawn)
            add_frame_chunk(call, kTagBlendKey, blend, sizeof(blend));
    }
    return VT_OK;
}

// Frame 0 at 16 bits when it is the whole picture: the merged image of a document without
// layers, or the one layer that is its canvas. Several layers are flattened by the host from
// their 8-bit frames, so they deliver none; nor does a decode that runs out of memory, which
// leaves the 8-bit frames as they are.
void load_deep(FilterCall* call, std::span<const std::uint8_t> file, const psd::Document& doc,
               const std::vector<Drawn>& layers) {
    const std::uint32_t channels = psd::deep_channels(doc);
    if (channels == 0 || layers.size() > 1 ||
        (layers.size() == 1 && (!is_canvas(layers[0], doc) || layers[0].hidden)))
        return;
    const std::size_t count = std::size_t{doc.width} * doc.height * channels;
    std::unique_ptr<std::uint16_t, decltype(&std::free)> samples(
        static_cast<std::uint16_t*>(std::malloc(count * sizeof(std::uint16_t))), &std::free);
    if (!samples)
        return;
    try {
        if ((layers.empty()
                 ? psd::decode_merged_deep(file, doc, samples.get())
                 : psd::decode_layer_deep(file, doc, *layers[0].layer, samples.get())) != VT_OK)
            return;
    } catch (const std::bad_alloc&) {
        return;
    }
    deliver_deep(call,
                 {doc.width, doc.height, channels, doc.width * channels, samples.release(), 16, 0});
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    // Mapped, not read: a PSB may be larger than any buffer.
    MappedFile mapped;
    if (const std::int32_t r = mapped.open(call->path); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> file = mapped.bytes();
    psd::Document doc;
    if (const std::int32_t r = psd::read_document(file, doc); r != VT_OK)
        return r;
    const std::vector<Drawn> layers = drawn_layers(doc, call);
    if (!layers.empty()) {
        if (const std::int32_t r = load_layers(call, file, doc, layers); r != VT_OK)
            return r;
    } else {
        if (const std::int32_t r = request_frame(call, doc.width, doc.height); r != VT_OK)
            return r;
        if (const std::int32_t r = psd::decode_merged(file, doc, call->pixels, call->stride);
            r != VT_OK)
            return r;
        deliver_metadata(call, doc);
    }
    if (deep_wanted(call))
        load_deep(call, file, doc, layers);
    return VT_OK;
}

// The selected frame's pixels, rows packed.
std::vector<std::uint32_t> copy_pixels(const FilterCall* call) {
    std::vector<std::uint32_t> out(std::size_t{call->width} * call->height);
    for (std::uint32_t y = 0; y < call->height; ++y)
        std::copy_n(call->pixels + std::size_t{y} * call->stride, call->width,
                    out.begin() + static_cast<std::ptrdiff_t>(std::size_t{y} * call->width));
    return out;
}

std::u16string name_of(const FilterCall* call) {
    std::u16string name;
    for (std::size_t i = 0; i < 32 && call->name[i] != 0; ++i)
        name += static_cast<char16_t>(call->name[i]);
    return name;
}

// Frame `index` as a layer of the file. The host draws its first layer plainly at the origin,
// so the file's bottom layer does the same.
std::int32_t take_layer(FilterCall* call, std::int32_t index, std::uint32_t max_side,
                        psd::OutLayer& layer) {
    if (call->frame_cb.select_frame(call, index) == 0)
        return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    if (call->pixels == nullptr || call->width < 1 || call->height < 1 ||
        call->stride < call->width)
        return VT_ERR_BITMAP_REQUEST;
    if (call->width > max_side || call->height > max_side)
        return VT_ERR_DIMENSIONS;
    layer.pixels = copy_pixels(call);
    layer.width = call->width;
    layer.height = call->height;
    layer.name = name_of(call);
    layer.hidden = (call->mode & kModeHidden) != 0;
    if (index > 0) {
        layer.x = call->x;
        layer.y = call->y;
        layer.blend = key_of(call->mode);
        const ChunkView kept = frame_chunk(call, kTagBlendKey);
        if ((call->mode & kModeBlendMask) == 0 && kept.data != nullptr && kept.size == 4)
            layer.blend = (static_cast<std::uint32_t>(kept.data[0]) << 24) |
                          (static_cast<std::uint32_t>(kept.data[1]) << 16) |
                          (static_cast<std::uint32_t>(kept.data[2]) << 8) | kept.data[3];
        layer.opacity = static_cast<std::uint8_t>(255 - call->transparency);
        layer.clipping = (call->attr & kAttrClipped) != 0 ? 1 : 0;
    }
    return VT_OK;
}

// The first frame's colour profile and print resolution.
void take_metadata(FilterCall* call, psd::OutDocument& doc) {
    if (call->frame_cb.select_frame(call, 0) == 0)
        return;
    if (const ChunkView icc = frame_chunk(call, kTagIcc); icc.data != nullptr)
        doc.icc.assign(icc.data, icc.data + icc.size);
    const ChunkView phys = frame_chunk(call, kTagPhys);
    if (phys.data == nullptr || phys.size < 13)
        return;
    auto at = [&phys](int o) {
        return static_cast<std::uint32_t>(phys.data[o] | (phys.data[o + 1] << 8) |
                                          (phys.data[o + 2] << 16) |
                                          (static_cast<std::uint32_t>(phys.data[o + 3]) << 24));
    };
    const bool per_cm = phys.data[12] == 1;
    auto ppi = [per_cm](std::uint32_t v) {
        return per_cm ? static_cast<std::uint32_t>(v * 2.54 + 0.5) : v;
    };
    if (at(4) > 0 && at(8) > 0) {
        doc.ppi_x = ppi(at(4));
        doc.ppi_y = ppi(at(8));
    }
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr || call->frame_cb.select_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    psd::OutDocument doc;
    doc.large = large_target(call->path);
    const std::uint32_t max_side = doc.large ? kMaxSideLarge : kMaxSide;
    if (const std::int32_t r = select_composite(call); r != VT_OK)
        return r;
    if (call->width > max_side || call->height > max_side)
        return VT_ERR_DIMENSIONS;
    doc.width = call->width;
    doc.height = call->height;
    doc.merged = copy_pixels(call);
    // Frame sets and animations have no layers to keep: their composite is the one layer.
    const bool layered = call->frame_count > 1 && (call->doc_kind == 0 || call->doc_kind == 3);
    const VtDeepImage* deep = layered ? nullptr : deep_offered(call);
    if (deep != nullptr) {
        doc.deep = deep->samples;
        doc.deep_channels = deep->channels;
        doc.deep_stride = deep->stride;
    }
    if (!layered) {
        psd::OutLayer layer;
        layer.pixels = doc.merged;
        layer.width = doc.width;
        layer.height = doc.height;
        doc.layers.push_back(std::move(layer));
        if (call->frame_count == 1 && call->frame_cb.select_frame(call, 0) != 0)
            doc.layers.back().name = name_of(call);
    }
    for (std::uint32_t i = 0; layered && i < call->frame_count; ++i) {
        psd::OutLayer layer;
        if (const std::int32_t r = take_layer(call, static_cast<std::int32_t>(i), max_side, layer);
            r != VT_OK)
            return r;
        if (i == 0 && (call->attr & kAttrCanvas) != 0)
            continue;
        doc.layers.push_back(std::move(layer));
    }
    take_metadata(call, doc);
    const std::vector<std::uint8_t> bytes = psd::write_document(doc);
    const std::int32_t r = write_target_bytes(call->path, bytes);
    if (r == VT_OK && deep != nullptr)
        deep_written(call);
    return r;
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, has_signature, known_extension, writes, load_image,
                                 save_image, 16,
                                 VT_KEEPS_PROFILE | VT_KEEPS_ALPHA | VT_KEEPS_RESOLUTION |
                                     VT_KEEPS_LAYERS)
