// fmx_KRA: Krita documents (".kra"), read only. A Krita document is a zip archive led by a
// stored "mimetype" entry ("application/x-krita"), with maindoc.xml describing the image and
// its layers (Krita's documented file layout) and "mergedimage.png", the whole picture
// flattened. The layers themselves are stored as Krita's own compressed tiles; this plug-in
// reads the merged picture as one layer, with maindoc.xml's resolution.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <expat.h>

#include "formats/ora/layer_util.h"
#include "formats/ora/ora_png.h"
#include "formats/ora/ora_zip.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::formats;
using namespace vt::kit;

constexpr std::uint64_t kMaxMainDoc = 16u << 20;

struct Resolution {
    double x = 0;
    double y = 0;
};

void XMLCALL on_start(void* data, const XML_Char* element, const XML_Char** atts) {
    if (std::strcmp(element, "IMAGE") != 0)
        return;
    auto& res = *static_cast<Resolution*>(data);
    for (int i = 0; atts[i] != nullptr && atts[i + 1] != nullptr; i += 2) {
        double* to = std::strcmp(atts[i], "x-res") == 0   ? &res.x
                     : std::strcmp(atts[i], "y-res") == 0 ? &res.y
                                                          : nullptr;
        if (to != nullptr && *to == 0)
            *to = std::strtod(atts[i + 1], nullptr);
    }
}

// The first IMAGE element's resolution in pixels per inch; nothing when the document has none.
Resolution main_doc_resolution(const ZipReader& zip) {
    Resolution res;
    std::vector<std::uint8_t> xml;
    if (zip.read("maindoc.xml", xml, kMaxMainDoc) != VT_OK)
        return res;
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser == nullptr)
        return res;
    XML_SetUserData(parser, &res);
    XML_SetStartElementHandler(parser, on_start);
    if (XML_Parse(parser, reinterpret_cast<const char*>(xml.data()), static_cast<int>(xml.size()),
                  XML_TRUE) != XML_STATUS_OK)
        res = Resolution{};
    XML_ParserFree(parser);
    return res;
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
    if (!zip_has_mimetype(zip, "application/x-krita"))
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    std::vector<std::uint8_t> png;
    if (const std::int32_t r = zip.read("mergedimage.png", png, kMaxFileBytes); r != VT_OK)
        return r == VT_ERR_NO_IMAGE_DATA ? VT_ERR_NOT_IMPLEMENTED : r;
    set_layer_fields(call, LayerFields{});
    if (const std::int32_t r = load_png_frame(call, png); r != VT_OK)
        return r == VT_ERR_CORRUPT_OR_UNSUPPORTED ? VT_ERR_INVALID_DATA : r;
    deliver_markup(call, {32});
    const Resolution res = main_doc_resolution(zip);
    deliver_resolution(call, res.x, res.y);
    return VT_OK;
}

std::int32_t save_image(FilterCall* /*call*/) {
    return VT_ERR_NOT_IMPLEMENTED;
}

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".kra");
}

bool has_signature(const FilterCheck& check) {
    const std::uint32_t n = check.head_size < 32 ? check.head_size : 32;
    return zip_mimetype_first(std::span<const std::uint8_t>(check.head, n));
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_READ_WRITE(30, has_signature, known_extension, writes_nothing, load_image,
                                    save_image)
