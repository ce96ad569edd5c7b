#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

#include "image/markup.h"
#include "image/markup_buffer.h"

namespace vt::image {

namespace {

constexpr std::size_t kMaxContent = 1023;

char fold(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool iequal_at(std::string_view text, std::size_t at, std::string_view name) noexcept {
    if (at > text.size() || text.size() - at < name.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (fold(text[at + i]) != fold(name[i]))
            return false;
    return true;
}

bool ends_name(std::string_view text, std::size_t at) noexcept {
    if (at >= text.size())
        return false;
    const char c = text[at];
    return c == '>' || c == '/' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Whether an element `name` starts (`<name` + delimiter) or ends (`</name` + delimiter) at `at`.
bool opens_at(std::string_view text, std::size_t at, std::string_view name) noexcept {
    return text[at] == '<' && iequal_at(text, at + 1, name) &&
           ends_name(text, at + 1 + name.size());
}
bool closes_at(std::string_view text, std::size_t at, std::string_view name) noexcept {
    return text.compare(at, 2, "</") == 0 && iequal_at(text, at + 2, name) &&
           ends_name(text, at + 2 + name.size());
}

// The content of the first element `name`: from after its start tag to the matching end tag,
// counting nested elements of the same name. A self-closing element has empty content.
bool find_element(std::string_view text, std::string_view name, std::string_view& content) {
    std::size_t at = text.find('<');
    while (at != std::string_view::npos && !opens_at(text, at, name))
        at = text.find('<', at + 1);
    if (at == std::string_view::npos)
        return false;
    const std::size_t tag_end = text.find('>', at + 1 + name.size());
    if (tag_end == std::string_view::npos)
        return false;
    if (text[tag_end - 1] == '/') {
        content = {};
        return true;
    }
    const std::size_t start = tag_end + 1;
    int depth = 1;
    for (std::size_t p = text.find('<', start); p != std::string_view::npos;
         p = text.find('<', p + 1)) {
        if (closes_at(text, p, name)) {
            if (--depth == 0) {
                content = text.substr(start, p - start);
                return true;
            }
        } else if (opens_at(text, p, name)) {
            const std::size_t nested_end = text.find('>', p + 1);
            if (nested_end == std::string_view::npos)
                return false;
            if (text[nested_end - 1] != '/')
                ++depth;
            p = nested_end;
        }
    }
    return false;
}

// A content as a markup value: cut at the limit (and at a NUL), with the characters that would
// end the entry replaced by blanks.
std::string as_value(std::string_view content) {
    content = content.substr(0, std::min(content.size(), kMaxContent));
    content = content.substr(0, content.find('\0'));
    std::string value(content);
    for (char& c : value)
        if (c == ';' || c == '\r' || c == '\n')
            c = ' ';
    return value;
}

std::string format_double(double value, std::chars_format format, int precision) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof(buffer), value, format, precision);
    return r.ec == std::errc() ? std::string(buffer, r.ptr) : std::string();
}

// "f/%.1f" or "%g mm" of a rational content; the content itself when it holds no usable one.
std::string rational_value(const std::string& content, bool aperture) {
    double value = 0;
    if (content.find('/') == std::string::npos || parse_rational(content.c_str(), &value) == 0 ||
        !std::isfinite(value))
        return content;
    return aperture ? "f/" + format_double(value, std::chars_format::fixed, 1)
                    : format_double(value, std::chars_format::general, 6) + " mm";
}

enum class Rule { kContent, kFirstItem, kDate, kSeconds, kAperture, kFocal, kIso, kFlashMode };

struct XmpRow {
    const char* element;
    const char* key;
    Rule rule;
};

constexpr XmpRow kRows[] = {
    {"tiff:Make", "exif.make", Rule::kContent},
    {"tiff:Model", "exif.model", Rule::kContent},
    {"tiff:Orientation", "exif.orientation", Rule::kContent},
    {"xmp:CreatorTool", "exif.software", Rule::kContent},
    {"dc:creator", "exif.artist", Rule::kFirstItem},
    {"dc:description", "exif.description", Rule::kFirstItem},
    {"exif:ColorSpace", "exif.color_space", Rule::kContent},
    {"exif:DateTime", "exif.date_time", Rule::kDate},
    {"exif:DateTimeOriginal", "exif.date_time_original", Rule::kDate},
    {"exif:DateTimeDigitized", "exif.date_time_digitized", Rule::kDate},
    {"exif:ExposureTime", "exif.exposure_time", Rule::kSeconds},
    {"exif:FNumber", "exif.aperture", Rule::kAperture},
    {"exif:FocalLength", "exif.focal_length", Rule::kFocal},
    {"exif:ISOSpeedRatings", "exif.ISO_speed", Rule::kIso},
    {"exif:Flash", "exif.flash", Rule::kFlashMode},
    {"exif:Lens", "exif.lens", Rule::kContent},
};

// The value a row writes, or false when the element lacks what the row needs.
bool row_value(const XmpRow& row, std::string_view content, std::string& value) {
    std::string_view inner;
    switch (row.rule) {
    case Rule::kContent:
        value = as_value(content);
        return true;
    case Rule::kFirstItem:
        if (!find_element(content, "rdf:li", inner))
            return false;
        value = as_value(inner);
        return true;
    case Rule::kFlashMode:
        if (!find_element(content, "exif:Mode", inner))
            return false;
        value = as_value(inner);
        return true;
    case Rule::kDate:
        value = as_value(content);
        for (char& c : value)
            if (c == 'T')
                c = ' ';
        return true;
    case Rule::kSeconds:
        value = as_value(content) + " sec";
        return true;
    case Rule::kAperture:
    case Rule::kFocal:
        value = rational_value(as_value(content), row.rule == Rule::kAperture);
        return true;
    case Rule::kIso: {
        const std::string text = as_value(content);
        const std::size_t first = text.find_first_of("123456789");
        if (first == std::string::npos)
            return false;
        const std::size_t last = text.find_first_not_of("0123456789", first);
        value = "ISO-" + text.substr(first, last == std::string::npos ? last : last - first);
        return true;
    }
    }
    return false;
}

} // namespace

int import_xmp(MarkupBuffer* mb, std::string_view xmp) noexcept {
    if (mb == nullptr)
        return 0;
    try {
        for (const XmpRow& row : kRows) {
            std::string_view content;
            std::string value;
            if (find_element(xmp, row.element, content) && row_value(row, content, value))
                (void)markup_buffer_set_value(mb, row.key, value);
        }
    } catch (...) {
        return 0;
    }
    return 1;
}

} // namespace vt::image
