// stack.xml in and out.

#include "formats/ora/ora_stack.h"

#include <charconv>
#include <cstring>

#include <expat.h>

#include "sdk/vt_plugin.h"

namespace vt::formats {

namespace {

struct OpName {
    const char* op;
    std::uint8_t blend;
};

constexpr OpName kOps[] = {
    {"svg:src-over", 0},    {"svg:plus", 1},         {"svg:multiply", 3},    {"svg:hue", 5},
    {"svg:color", 6},       {"svg:luminosity", 7},   {"svg:screen", 8},      {"svg:dst-in", 9},
    {"svg:difference", 11}, {"svg:darken", 12},      {"svg:lighten", 13},    {"svg:saturation", 14},
    {"svg:overlay", 15},    {"svg:color-dodge", 16}, {"svg:color-burn", 17},
};

// What the enclosing stacks hand down to their layers.
struct Group {
    std::int32_t x = 0;
    std::int32_t y = 0;
    double opacity = 1.0;
    bool visible = true;
};

struct Parser {
    StackDoc* doc = nullptr;
    std::vector<Group> groups;
    bool seen_image = false;
    bool bad = false;
    std::vector<bool> opened_group; // per open element
};

const char* attribute(const XML_Char** atts, const char* name) {
    for (int i = 0; atts[i] != nullptr && atts[i + 1] != nullptr; i += 2)
        if (std::strcmp(atts[i], name) == 0)
            return atts[i + 1];
    return nullptr;
}

template <typename T>
bool number(const char* text, T& out) {
    if (text == nullptr)
        return false;
    while (*text == ' ')
        ++text;
    const char* end = text + std::strlen(text);
    T value{};
    const auto [p, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || p == text)
        return false;
    out = value;
    return true;
}

Group group_of(const Group& outer, const XML_Char** atts) {
    Group g = outer;
    std::int32_t v = 0;
    if (number(attribute(atts, "x"), v))
        g.x += v;
    v = 0;
    if (number(attribute(atts, "y"), v))
        g.y += v;
    double opacity = 1.0;
    if (number(attribute(atts, "opacity"), opacity))
        g.opacity *= opacity < 0 ? 0 : opacity > 1 ? 1 : opacity;
    const char* visibility = attribute(atts, "visibility");
    if (visibility != nullptr && std::strcmp(visibility, "hidden") == 0)
        g.visible = false;
    return g;
}

void XMLCALL on_start(void* data, const XML_Char* element, const XML_Char** atts) {
    auto& p = *static_cast<Parser*>(data);
    if (p.bad)
        return;
    const std::size_t groups = p.groups.size();
    if (std::strcmp(element, "image") == 0 && !p.seen_image && p.opened_group.empty()) {
        p.seen_image = true;
        if (!number(attribute(atts, "w"), p.doc->width) ||
            !number(attribute(atts, "h"), p.doc->height))
            p.bad = true;
        number(attribute(atts, "xres"), p.doc->xres);
        number(attribute(atts, "yres"), p.doc->yres);
        p.groups.push_back(Group{});
    } else if (std::strcmp(element, "stack") == 0 && !p.groups.empty()) {
        if (p.groups.size() > kMaxStackDepth)
            p.bad = true;
        else
            p.groups.push_back(group_of(p.groups.back(), atts));
    } else if (std::strcmp(element, "layer") == 0 && !p.groups.empty()) {
        const Group g = group_of(p.groups.back(), atts);
        StackLayer layer;
        const char* src = attribute(atts, "src");
        layer.src = src != nullptr ? src : "";
        const char* name = attribute(atts, "name");
        layer.fields.name = name != nullptr ? name : "";
        layer.fields.x = g.x;
        layer.fields.y = g.y;
        layer.fields.visible = g.visible;
        layer.fields.transparency = transparency_of(g.opacity);
        const char* op = attribute(atts, "composite-op");
        layer.fields.blend = op != nullptr ? blend_of_op(op, layer.known_op) : 0;
        p.doc->layers.push_back(std::move(layer));
    }
    p.opened_group.push_back(p.groups.size() > groups);
}

void XMLCALL on_end(void* data, const XML_Char* /*element*/) {
    auto& p = *static_cast<Parser*>(data);
    if (p.bad || p.opened_group.empty())
        return;
    if (p.opened_group.back())
        p.groups.pop_back();
    p.opened_group.pop_back();
}

std::string text_of(double v) {
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof(buffer), v, std::chars_format::fixed, 4);
    return std::string(buffer, r.ptr);
}

} // namespace

std::uint8_t blend_of_op(std::string_view op, bool& known) noexcept {
    for (const OpName& o : kOps)
        if (op == o.op) {
            known = true;
            return o.blend;
        }
    known = false;
    return 0;
}

const char* op_of_blend(std::uint8_t blend) noexcept {
    for (const OpName& o : kOps)
        if (o.blend == blend)
            return o.op;
    return "svg:src-over";
}

std::int32_t parse_stack(std::span<const std::uint8_t> xml, StackDoc& doc) {
    doc = StackDoc{};
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser == nullptr)
        return VT_ERR_OUT_OF_MEMORY;
    Parser p;
    p.doc = &doc;
    XML_SetUserData(parser, &p);
    XML_SetElementHandler(parser, on_start, on_end);
    const bool parsed = xml.size() <= static_cast<std::size_t>(INT32_MAX) &&
                        XML_Parse(parser, reinterpret_cast<const char*>(xml.data()),
                                  static_cast<int>(xml.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    if (!parsed || p.bad || !p.seen_image)
        return VT_ERR_INVALID_DATA;
    return VT_OK;
}

std::string write_stack(const StackDoc& doc) {
    std::string s = "<?xml version='1.0' encoding='UTF-8'?>\n";
    s += "<image version=\"0.0.5\" w=\"" + std::to_string(doc.width) + "\" h=\"" +
         std::to_string(doc.height) + "\"";
    if (doc.xres > 0 && doc.yres > 0)
        s += " xres=\"" + text_of(doc.xres) + "\" yres=\"" + text_of(doc.yres) + "\"";
    s += ">\n <stack>\n";
    for (const StackLayer& layer : doc.layers) {
        const LayerFields& f = layer.fields;
        s += "  <layer name=\"" + xml_escaped(f.name) + "\" src=\"" + xml_escaped(layer.src) +
             "\" x=\"" + std::to_string(f.x) + "\" y=\"" + std::to_string(f.y) + "\" opacity=\"" +
             text_of(opacity_of(f.transparency)) + "\" visibility=\"" +
             (f.visible ? "visible" : "hidden") + "\" composite-op=\"" + op_of_blend(f.blend) +
             "\"/>\n";
    }
    s += " </stack>\n</image>\n";
    return s;
}

} // namespace vt::formats
