// fmx_ORA: OpenRaster files (the OpenRaster format description, openraster.org): a zip archive
// whose first entry "mimetype" says "image/openraster", a stack.xml naming PNG layers, the merged
// picture "mergedimage.png" and "Thumbnails/thumbnail.png" (at most 256 a side).
// Layers come in bottom first with their names, positions, opacity, visibility and composite
// operators (ora_stack.h) and go out the same way; other documents go out as one layer.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "formats/ora/layer_util.h"
#include "formats/ora/ora_png.h"
#include "formats/ora/ora_stack.h"
#include "formats/ora/ora_zip.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::formats;
using namespace vt::kit;

constexpr const char* kMimeType = "image/openraster";
constexpr std::uint64_t kMaxStackXml = 16u << 20;
constexpr std::uint32_t kThumbnailSide = 256;

bool ends_with_png(const std::string& name) {
    if (name.size() < 4)
        return false;
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return tail == ".png";
}

bool canvas_fits_limits(std::uint32_t width, std::uint32_t height) {
    return width >= 1 && height >= 1 && width <= 65536 && height <= 65536 &&
           std::uint64_t{width} * height <= 250000000u;
}

// What every first frame carries: the markup and the print resolution.
void deliver_document_metadata(FilterCall* call, const StackDoc& doc) {
    deliver_markup(call, {32});
    deliver_resolution(call, doc.xres, doc.yres);
}

std::int32_t load_layers(FilterCall* call, const ZipReader& zip, const StackDoc& doc) {
    std::uint16_t warnings = 0;
    const std::uint32_t capacity =
        call->max_frame >= 0 ? static_cast<std::uint32_t>(call->max_frame) + 1 : 1;
    std::vector<std::uint8_t> png;
    std::set<std::string> used; // one entry named by many layers would multiply its memory
    for (auto it = doc.layers.rbegin(); it != doc.layers.rend(); ++it) {
        if (!ends_with_png(it->src)) {
            warnings |= VT_WARN_LAYER_TYPES;
            continue;
        }
        if (!used.insert(it->src).second) {
            warnings |= VT_WARN_DATA_LOST;
            continue;
        }
        if (const std::int32_t r = zip.read(it->src.c_str(), png, kMaxFileBytes); r != VT_OK) {
            if (r != VT_ERR_NO_IMAGE_DATA)
                return r;
            warnings |= VT_WARN_DATA_LOST;
            continue;
        }
        if (call->frame_count == 0) {
            std::uint32_t w = 0;
            std::uint32_t h = 0;
            if (const std::int32_t r = png_size(png, w, h); r != VT_OK)
                return r == VT_ERR_CORRUPT_OR_UNSUPPORTED ? VT_ERR_INVALID_DATA : r;
            if (!fits_as_canvas(it->fields, w, h, doc.width, doc.height)) {
                if (const std::int32_t r = add_blank_canvas(call, doc.width, doc.height);
                    r != VT_OK)
                    return r;
                deliver_document_metadata(call, doc);
            }
        }
        if (call->frame_count >= capacity) {
            warnings |= VT_WARN_LAYERS_DROPPED;
            break;
        }
        const bool first = call->frame_count == 0;
        if (!set_layer_fields(call, it->fields))
            warnings |= VT_WARN_DATA_LOST;
        if (!it->known_op)
            warnings |= VT_WARN_BLEND_MODES;
        if (const std::int32_t r = load_png_frame(call, png); r != VT_OK)
            return r == VT_ERR_CORRUPT_OR_UNSUPPORTED ? VT_ERR_INVALID_DATA : r;
        if (first)
            deliver_document_metadata(call, doc);
    }
    call->warnings = static_cast<std::uint16_t>(call->warnings | warnings);
    return call->frame_count > 0 ? VT_OK : VT_ERR_NO_IMAGE_DATA;
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    ZipReader zip;
    if (const std::int32_t r = zip.open(bytes); r != VT_OK)
        return r;
    if (!zip_has_mimetype(zip, kMimeType))
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    std::vector<std::uint8_t> xml;
    if (const std::int32_t r = zip.read("stack.xml", xml, kMaxStackXml); r != VT_OK)
        return r == VT_ERR_NO_IMAGE_DATA ? VT_ERR_INVALID_DATA : r;
    StackDoc doc;
    if (const std::int32_t r = parse_stack(xml, doc); r != VT_OK)
        return r;
    if (!canvas_fits_limits(doc.width, doc.height))
        return VT_ERR_DIMENSIONS;
    // The merged picture the format asks for is a PNG of the canvas, which deflate cannot
    // pack below 1 byte in 1032: a tiny file does not get a huge canvas.
    if (bytes.size() < std::uint64_t{doc.width} * doc.height / 1032)
        return VT_ERR_READ;
    return load_layers(call, zip, doc);
}

// One layer of the stack as a PNG entry.
std::int32_t add_layer(ZipWriter& zip, StackDoc& doc, FilterCall* call, const LayerFields& f) {
    std::vector<std::uint8_t> png;
    if (const std::int32_t r =
            encode_png(call->pixels, call->width, call->height, call->stride, png);
        r != VT_OK)
        return r;
    StackLayer layer;
    layer.fields = f;
    layer.src = "data/layer" + std::to_string(doc.layers.size()) + ".png";
    if (!zip.add(layer.src.c_str(), std::move(png), false))
        return VT_ERR_OUT_OF_MEMORY;
    doc.layers.push_back(std::move(layer));
    return VT_OK;
}

std::int32_t select(FilterCall* call, std::int32_t index) {
    if (call->frame_cb.select_frame(call, index) == 0)
        return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    return call->pixels != nullptr && call->width > 0 && call->height > 0 ? VT_OK
                                                                          : VT_ERR_BITMAP_REQUEST;
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr || call->frame_cb.select_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (const std::int32_t r = select_composite(call); r != VT_OK)
        return r;
    StackDoc doc;
    doc.width = call->width;
    doc.height = call->height;
    std::vector<std::uint8_t> merged;
    std::vector<std::uint8_t> thumbnail;
    {
        if (const std::int32_t r =
                encode_png(call->pixels, call->width, call->height, call->stride, merged);
            r != VT_OK)
            return r;
        const SmallPicture small =
            reduce_picture(call->pixels, call->width, call->height, call->stride, kThumbnailSide);
        if (const std::int32_t r =
                encode_png(small.pixels.data(), small.width, small.height, small.width, thumbnail);
            r != VT_OK)
            return r;
    }
    // The archive's entries go in the order added: "mimetype" first and stored, as readers
    // find the type at a fixed offset.
    ZipWriter zip;
    if (!zip.add("mimetype", std::vector<std::uint8_t>(kMimeType, kMimeType + 16), false))
        return VT_ERR_OUT_OF_MEMORY;
    const bool layered = call->doc_kind == 0 && call->frame_count > 1;
    if (!layered) {
        LayerFields f;
        if (call->frame_count <= 1) {
            if (const std::int32_t r = select(call, 0); r != VT_OK)
                return r;
            f.name = layer_fields(call).name;
        }
        frame_resolution(call, doc.xres, doc.yres);
        if (call->frame_count > 1 && (select_composite(call) != VT_OK))
            return VT_ERR_BITMAP_REQUEST;
        if (const std::int32_t r = add_layer(zip, doc, call, f); r != VT_OK)
            return r;
    } else {
        for (std::uint32_t i = 0; i < call->frame_count; ++i) {
            if (const std::int32_t r = select(call, static_cast<std::int32_t>(i)); r != VT_OK)
                return r;
            if (i == 0)
                frame_resolution(call, doc.xres, doc.yres);
            if (i == 0 && is_blank_canvas(call))
                continue;
            LayerFields f = layer_fields(call);
            if (i == 0) { // the canvas layer is drawn at the origin as it is
                f.x = f.y = 0;
                f.blend = 0;
                f.transparency = 0;
            }
            if (const std::int32_t r = add_layer(zip, doc, call, f); r != VT_OK)
                return r;
        }
    }
    std::vector<StackLayer> bottom_first = std::move(doc.layers);
    doc.layers.assign(bottom_first.rbegin(), bottom_first.rend());
    const std::string xml = write_stack(doc);
    if (!zip.add("stack.xml", std::vector<std::uint8_t>(xml.begin(), xml.end()), true) ||
        !zip.add("mergedimage.png", std::move(merged), false) ||
        !zip.add("Thumbnails/thumbnail.png", std::move(thumbnail), false))
        return VT_ERR_OUT_OF_MEMORY;
    std::vector<std::uint8_t> archive;
    if (const std::int32_t r = zip.finish(archive); r != VT_OK)
        return r;
    return write_target_bytes(call->path, archive);
}

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".ora");
}

bool has_signature(const FilterCheck& check) {
    const std::uint32_t n = check.head_size < 32 ? check.head_size : 32;
    return zip_mimetype_first(std::span<const std::uint8_t>(check.head, n));
}

} // namespace

// A zip led by "mimetype" may be any such container, so the bytes alone rank low.
VT_FORMAT_PLUGIN_EXPORTS_KEEPING(30, has_signature, known_extension, known_extension, load_image,
                                 save_image, 0,
                                 VT_KEEPS_ALPHA | VT_KEEPS_RESOLUTION | VT_KEEPS_LAYERS)
