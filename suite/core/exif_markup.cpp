#include "suite/core/exif_markup.h"

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include <exiv2/tags.hpp>
#include <exiv2/value.hpp>

#include "suite/core/exif_value_text.h"

namespace vt::core {

namespace {

// ---- groups and generic keys ------------------------------------------------------------

struct GroupRow {
    const char* group; // exiv2's group name
    const char* prefix;
};

constexpr GroupRow kGroups[] = {
    {"Image", "exif.image."},
    {"Photo", "exif.photo."},
    {"GPSInfo", "exif.GPS."},
    {"Iop", "exif.iop."},
};

const GroupRow* find_group(std::string_view group) noexcept {
    for (const GroupRow& row : kGroups)
        if (group == row.group)
            return &row;
    return nullptr;
}

std::string snake_case(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool upper = c >= 'A' && c <= 'Z';
        if (upper && i > 0) {
            const char prev = name[i - 1];
            const bool prev_lower = (prev >= 'a' && prev <= 'z') || (prev >= '0' && prev <= '9');
            const bool prev_upper = prev >= 'A' && prev <= 'Z';
            const bool next_lower = i + 1 < name.size() && name[i + 1] >= 'a' && name[i + 1] <= 'z';
            if (prev_lower || (prev_upper && next_lower))
                out += '_';
        }
        out += upper ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

std::string key_name(std::string_view group, std::string_view tag_name) {
    if (group == "GPSInfo" && tag_name.size() > 3 && tag_name.substr(0, 3) == "GPS")
        tag_name.remove_prefix(3);
    return snake_case(tag_name);
}

// Generic key names of the tags exiv2 knows, per group.
const std::map<std::pair<std::string, std::string>, std::uint16_t>& known_names() {
    static const auto table = [] {
        std::map<std::pair<std::string, std::string>, std::uint16_t> names;
        for (const GroupRow& row : kGroups) {
            const Exiv2::TagInfo* info = Exiv2::ExifTags::tagList(row.group);
            for (; info != nullptr && info->tag_ != 0xffff; ++info)
                names.emplace(
                    std::make_pair(std::string(row.group), key_name(row.group, info->name_)),
                    info->tag_);
        }
        return names;
    }();
    return table;
}

bool parse_hex_tag(std::string_view name, std::uint16_t& tag) {
    if (name.size() < 3 || name.size() > 6 || name.substr(0, 2) != "0x")
        return false;
    unsigned value = 0;
    for (const char c : name.substr(2)) {
        int d = -1;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        if (d < 0)
            return false;
        value = value * 16 + static_cast<unsigned>(d);
    }
    tag = static_cast<std::uint16_t>(value);
    return true;
}

// The group and tag of a generic key (already lower-case).
bool parse_generic_key(const std::string& key, const char*& group, std::uint16_t& tag) {
    for (const GroupRow& row : kGroups) {
        const std::string prefix = lower_ascii(row.prefix);
        if (key.size() <= prefix.size() || key.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string name = key.substr(prefix.size());
        group = row.group;
        if (parse_hex_tag(name, tag))
            return true;
        const auto& names = known_names();
        const auto it = names.find({std::string(row.group), name});
        if (it == names.end())
            return false;
        tag = it->second;
        return true;
    }
    return false;
}

// The type a tag is normally stored with, as a TIFF type.
std::uint16_t usual_type(const char* group, std::uint16_t tag) {
    const Exiv2::TypeId type = Exiv2::ExifKey(tag, group).defaultTypeId();
    if (type == Exiv2::comment)
        return kTypeUndefined;
    if (type >= Exiv2::unsignedByte && type <= Exiv2::tiffDouble)
        return static_cast<std::uint16_t>(type);
    return kTypeAscii;
}

// ---- raw values ---------------------------------------------------------------------------

struct RawValue {
    std::uint16_t type = 0;
    std::vector<std::uint8_t> bytes;
    std::size_t count() const { return bytes.size() / exif_type_size(type); }
};

// The value's bytes: numbers little-endian; undefined bytes as stored (so a comment's text is
// not converted between byte orders).
bool read_raw(const Exiv2::Exifdatum& datum, Exiv2::ByteOrder order, RawValue& raw) {
    const auto type = static_cast<std::uint16_t>(datum.typeId());
    if (exif_type_size(type) == 0)
        return false;
    const long size = datum.size();
    if (size < 0 || static_cast<std::size_t>(size) > 4 * kMaxValueText)
        return false;
    raw.type = type;
    // Room to spare: a comment's copy may convert its text.
    raw.bytes.assign(static_cast<std::size_t>(size) + 16, 0);
    const long copied =
        size == 0
            ? 0
            : datum.copy(raw.bytes.data(), type == kTypeUndefined ? order : Exiv2::littleEndian);
    if (copied < 0 || copied > size)
        return false;
    raw.bytes.resize(static_cast<std::size_t>(copied));
    return raw.bytes.size() % exif_type_size(type) == 0;
}

std::uint32_t u32_at(const RawValue& raw, std::size_t at) {
    const std::uint8_t* p = raw.bytes.data() + at;
    return static_cast<std::uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) |
           (static_cast<std::uint32_t>(p[3]) << 24);
}

unsigned u16_at(const RawValue& raw) {
    return static_cast<unsigned>(raw.bytes[0] | (raw.bytes[1] << 8));
}

URational rational_at(const RawValue& raw, std::size_t index) {
    return {u32_at(raw, index * 8), u32_at(raw, index * 8 + 4)};
}

bool add_tag(Exiv2::ExifData& exif, const char* group, std::uint16_t tag, std::uint16_t type,
             const std::vector<std::uint8_t>& bytes) {
    auto value = Exiv2::Value::create(static_cast<Exiv2::TypeId>(type));
    if (value.get() == nullptr ||
        value->read(bytes.data(), static_cast<long>(bytes.size()), Exiv2::littleEndian) != 0)
        return false;
    exif.add(Exiv2::ExifKey(tag, group), value.get());
    return true;
}

void push_u16(std::vector<std::uint8_t>& bytes, unsigned v) {
    bytes.push_back(static_cast<std::uint8_t>(v));
    bytes.push_back(static_cast<std::uint8_t>(v >> 8));
}

void push_rational(std::vector<std::uint8_t>& bytes, URational r) {
    for (const std::uint32_t v : {r.num, r.den})
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// ---- the vocabulary -----------------------------------------------------------------------

enum class Form {
    kText,
    kDate,
    kGpsDate,
    kOrientation,
    kColorSpace,
    kExposure,
    kAperture,
    kFocal,
    kIso,
    kFlash,
    kCoord,
    kGpsTime,
    kAltitude,
    kAltitudeRef,
    kSpeed,
};

struct VocabRow {
    const char* key;
    const char* group;
    std::uint16_t tag;
    Form form;
};

constexpr VocabRow kVocabulary[] = {
    {"exif.orientation", "Image", 0x0112, Form::kOrientation},
    {"exif.make", "Image", 0x010f, Form::kText},
    {"exif.model", "Image", 0x0110, Form::kText},
    {"exif.software", "Image", 0x0131, Form::kText},
    {"exif.artist", "Image", 0x013b, Form::kText},
    {"exif.description", "Image", 0x010e, Form::kText},
    {"exif.lens", "Photo", 0xa434, Form::kText},
    {"exif.color_space", "Photo", 0xa001, Form::kColorSpace},
    {"exif.exposure_time", "Photo", 0x829a, Form::kExposure},
    {"exif.aperture", "Photo", 0x829d, Form::kAperture},
    {"exif.focal_length", "Photo", 0x920a, Form::kFocal},
    {"exif.ISO_speed", "Photo", 0x8827, Form::kIso},
    {"exif.flash", "Photo", 0x9209, Form::kFlash},
    {"exif.date_time", "Image", 0x0132, Form::kDate},
    {"exif.date_time_original", "Photo", 0x9003, Form::kDate},
    {"exif.date_time_digitized", "Photo", 0x9004, Form::kDate},
    {"exif.GPS.datestamp", "GPSInfo", 0x001d, Form::kGpsDate},
    {"exif.GPS.timestamp", "GPSInfo", 0x0007, Form::kGpsTime},
    {"exif.GPS.latitude.pos", "GPSInfo", 0x0002, Form::kCoord},
    {"exif.GPS.latitude.ref", "GPSInfo", 0x0001, Form::kText},
    {"exif.GPS.longitude.pos", "GPSInfo", 0x0004, Form::kCoord},
    {"exif.GPS.longitude.ref", "GPSInfo", 0x0003, Form::kText},
    {"exif.GPS.altitude.pos", "GPSInfo", 0x0006, Form::kAltitude},
    {"exif.GPS.altitude.ref", "GPSInfo", 0x0005, Form::kAltitudeRef},
    {"exif.GPS.speed.val", "GPSInfo", 0x000d, Form::kSpeed},
    {"exif.GPS.speed.ref", "GPSInfo", 0x000c, Form::kText},
};

constexpr const char* kOrientationTexts[] = {"top - left",     "top - right",  "bottom - right",
                                             "bottom - left",  "left - top",   "right - top",
                                             "right - bottom", "left - bottom"};

// The type and count a vocabulary form stands for (count 0: any).
std::pair<std::uint16_t, std::size_t> form_shape(Form form) {
    switch (form) {
    case Form::kText:
    case Form::kDate:
    case Form::kGpsDate:
        return {kTypeAscii, 0};
    case Form::kOrientation:
    case Form::kColorSpace:
    case Form::kIso:
    case Form::kFlash:
        return {kTypeShort, 1};
    case Form::kCoord:
    case Form::kGpsTime:
        return {kTypeRational, 3};
    case Form::kAltitudeRef:
        return {kTypeByte, 1};
    default:
        return {kTypeRational, 1};
    }
}

// Text for a vocabulary key: the characters that would end the entry become blanks.
std::string plain_text(const RawValue& raw) {
    std::string text;
    for (const std::uint8_t b : raw.bytes) {
        if (b == 0)
            break;
        text += (b == ';' || b == '\r' || b == '\n') ? ' ' : static_cast<char>(b);
    }
    return text;
}

std::string flash_text(unsigned v) {
    if ((v & 0x20) != 0)
        return "No flash function";
    std::string text = (v & 1) != 0 ? "Fired" : "No flash";
    static constexpr const char* kModes[] = {nullptr, "compulsory", "suppressed", "auto"};
    if (const char* mode = kModes[(v >> 3) & 3])
        text += std::string(", ") + mode;
    if (((v >> 1) & 3) == 2)
        text += ", return not detected";
    else if (((v >> 1) & 3) == 3)
        text += ", return detected";
    if ((v & 0x40) != 0)
        text += ", red-eye reduction";
    return text;
}

// A time component: the integer part padded to two digits ("05.5", "14").
std::string time_part(URational r) {
    std::string text = rational_text(r);
    if (text.size() == 1 || (text.size() > 1 && text[1] == '.'))
        text.insert(0, 1, '0');
    return text;
}

std::string vocabulary_value(Form form, const RawValue& raw) {
    switch (form) {
    case Form::kText:
    case Form::kDate:
    case Form::kGpsDate:
        return plain_text(raw);
    case Form::kOrientation: {
        const unsigned v = u16_at(raw);
        return v >= 1 && v <= 8 ? std::to_string(v) + " (" + kOrientationTexts[v - 1] + ")"
                                : std::to_string(v);
    }
    case Form::kColorSpace: {
        const unsigned v = u16_at(raw);
        return v == 1 ? "sRGB" : v == 65535 ? "Uncalibrated" : std::to_string(v);
    }
    case Form::kIso:
        return "ISO-" + std::to_string(u16_at(raw));
    case Form::kFlash:
        return std::to_string(u16_at(raw)) + " (" + flash_text(u16_at(raw)) + ")";
    case Form::kExposure: {
        const URational r = rational_at(raw, 0);
        return (r.den == 1 ? std::to_string(r.num)
                           : std::to_string(r.num) + "/" + std::to_string(r.den)) +
               " sec";
    }
    case Form::kAperture:
        return "f/" + rational_text(rational_at(raw, 0));
    case Form::kFocal:
        return rational_text(rational_at(raw, 0)) + " mm";
    case Form::kAltitude:
        return rational_text(rational_at(raw, 0)) + " m";
    case Form::kSpeed:
        return rational_text(rational_at(raw, 0));
    case Form::kCoord:
        return rational_text(rational_at(raw, 0)) + " deg " + rational_text(rational_at(raw, 1)) +
               "' " + rational_text(rational_at(raw, 2)) + "\"";
    case Form::kGpsTime:
        return time_part(rational_at(raw, 0)) + ":" + time_part(rational_at(raw, 1)) + ":" +
               time_part(rational_at(raw, 2));
    case Form::kAltitudeRef: {
        const unsigned v = raw.bytes[0];
        return v == 0 ? "0 (above sea level)" : v == 1 ? "1 (below sea level)" : std::to_string(v);
    }
    }
    return {};
}

// ---- reading vocabulary values back ---------------------------------------------------------

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// The integer the (trimmed) text starts with.
bool leading_integer(std::string_view text, unsigned limit, unsigned& value) {
    text = trim(text);
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    unsigned long v = 0;
    for (std::size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + static_cast<unsigned>(text[i] - '0');
        if (v > limit)
            return false;
    }
    value = static_cast<unsigned>(v);
    return true;
}

bool digits_at(std::string_view text, std::size_t at, std::size_t n) {
    if (at + n > text.size())
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (text[at + i] < '0' || text[at + i] > '9')
            return false;
    return true;
}

// "YYYY-MM-DD[( |T)HH:MM[:SS][fraction][zone]]" (as XMP writes dates) in EXIF's form
// "YYYY:MM:DD HH:MM:SS"; any other text stays as it is.
std::string exif_date(std::string_view text, bool with_time) {
    const std::string_view t = trim(text);
    if (!(digits_at(t, 0, 4) && t.size() >= 10 && t[4] == '-' && digits_at(t, 5, 2) &&
          t[7] == '-' && digits_at(t, 8, 2)))
        return std::string(text);
    std::string date = std::string(t.substr(0, 4)) + ":" + std::string(t.substr(5, 2)) + ":" +
                       std::string(t.substr(8, 2));
    if (!with_time)
        return date;
    std::string hh = "00", mm = "00", ss = "00";
    if (t.size() >= 16 && (t[10] == ' ' || t[10] == 'T') && digits_at(t, 11, 2) && t[13] == ':' &&
        digits_at(t, 14, 2)) {
        hh = t.substr(11, 2);
        mm = t.substr(14, 2);
        if (t.size() >= 19 && t[16] == ':' && digits_at(t, 17, 2))
            ss = t.substr(17, 2);
    }
    return date + " " + hh + ":" + mm + ":" + ss;
}

std::vector<std::uint8_t> ascii_bytes(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// Up to `max` rationals in order; how many were found.
std::size_t parse_rationals(std::string_view text, URational* out, std::size_t max,
                            bool* negative) {
    std::size_t found = 0;
    std::size_t at = 0;
    while (found < max) {
        std::size_t end = 0;
        if (!parse_rational_at(text, at, out[found], end, found == 0 ? negative : nullptr))
            break;
        ++found;
        at = end;
    }
    return found;
}

struct Pending {
    bool latitude_negative = false;
    bool longitude_negative = false;
    bool altitude_negative = false;
};

bool vocabulary_bytes(const VocabRow& row, std::string_view value, std::vector<std::uint8_t>& out,
                      Pending& pending) {
    out.clear();
    unsigned v = 0;
    URational r[3] = {};
    bool negative = false;
    switch (row.form) {
    case Form::kText:
        out = ascii_bytes(std::string(value));
        return true;
    case Form::kDate:
        out = ascii_bytes(exif_date(value, true));
        return true;
    case Form::kGpsDate:
        out = ascii_bytes(exif_date(value, false));
        return true;
    case Form::kOrientation:
        if (!leading_integer(value, 65535, v))
            return false;
        push_u16(out, v);
        return true;
    case Form::kFlash:
        if (!leading_integer(value, 65535, v))
            return false;
        // The XMP import gives the bare flash mode (0-3), which sits in bits 3-4 of the tag.
        if (v <= 3 && value.find('(') == std::string_view::npos)
            v <<= 3;
        push_u16(out, v);
        return true;
    case Form::kColorSpace: {
        const std::string lower = lower_ascii(trim(value));
        if (lower == "srgb")
            v = 1;
        else if (lower == "uncalibrated")
            v = 65535;
        else if (!leading_integer(value, 65535, v))
            return false;
        push_u16(out, v);
        return true;
    }
    case Form::kIso: {
        const std::size_t first = value.find_first_of("0123456789");
        if (first == std::string_view::npos || !leading_integer(value.substr(first), 65535, v))
            return false;
        push_u16(out, v);
        return true;
    }
    case Form::kAltitudeRef:
        if (!leading_integer(value, 255, v))
            return false;
        out.push_back(static_cast<std::uint8_t>(v));
        return true;
    case Form::kExposure:
    case Form::kAperture:
    case Form::kFocal:
    case Form::kSpeed:
    case Form::kAltitude:
        if (parse_rationals(value, r, 1, &negative) != 1)
            return false;
        push_rational(out, r[0]);
        if (row.form == Form::kAltitude)
            pending.altitude_negative = negative;
        return true;
    case Form::kCoord:
    case Form::kGpsTime: {
        const std::size_t n = parse_rationals(value, r, 3, &negative);
        if (n == 0 || (row.form == Form::kGpsTime && n < 2))
            return false;
        for (std::size_t i = n; i < 3; ++i)
            r[i] = {0, 1};
        for (const URational& part : r)
            push_rational(out, part);
        if (row.tag == 0x0002)
            pending.latitude_negative = negative;
        else if (row.tag == 0x0004)
            pending.longitude_negative = negative;
        return true;
    }
    }
    return false;
}

bool has_tag(const Exiv2::ExifData& exif, const char* group, std::uint16_t tag) {
    return exif.findKey(Exiv2::ExifKey(tag, group)) != exif.end();
}

// A signed decimal position without its reference key: the sign chooses the reference.
void add_implied_refs(Exiv2::ExifData& exif, const Pending& pending) {
    if (pending.latitude_negative && !has_tag(exif, "GPSInfo", 0x0001))
        add_tag(exif, "GPSInfo", 0x0001, kTypeAscii, ascii_bytes("S"));
    if (pending.longitude_negative && !has_tag(exif, "GPSInfo", 0x0003))
        add_tag(exif, "GPSInfo", 0x0003, kTypeAscii, ascii_bytes("W"));
    if (pending.altitude_negative && !has_tag(exif, "GPSInfo", 0x0005))
        add_tag(exif, "GPSInfo", 0x0005, kTypeByte, {1});
}

// "(type) value" or "value" of a generic key.
bool generic_bytes(const char* group, std::uint16_t tag, std::string_view value,
                   std::uint16_t& type, std::vector<std::uint8_t>& bytes) {
    type = usual_type(group, tag);
    if (!value.empty() && value[0] == '(') {
        const std::size_t close = value.find(')');
        if (close == std::string_view::npos)
            return false;
        type = exif_type_from_name(value.substr(1, close - 1));
        value.remove_prefix(close + 1);
        if (!value.empty() && value[0] == ' ')
            value.remove_prefix(1);
    }
    return type != 0 && text_to_value(type, value, bytes);
}

} // namespace

bool is_left_out(std::string_view group, std::uint16_t tag) noexcept {
    if (group == "Image") {
        switch (tag) {
        case 0x0106: // PhotometricInterpretation
        case 0x0111: // StripOffsets
        case 0x0116: // RowsPerStrip
        case 0x0117: // StripByteCounts
        case 0x0120: // FreeOffsets
        case 0x0121: // FreeByteCounts
        case 0x0144: // TileOffsets
        case 0x0145: // TileByteCounts
        case 0x014a: // SubIFDs
        case 0x0201: // JPEGInterchangeFormat
        case 0x0202: // JPEGInterchangeFormatLength
        case 0x0207: // JPEGQTables
        case 0x0208: // JPEGDCTables
        case 0x0209: // JPEGACTables
        case 0x8769: // ExifTag
        case 0x8825: // GPSTag
        case 0xc634: // DNGPrivateData
            return true;
        default:
            return false;
        }
    }
    if (group == "Photo")
        return tag == 0x927c /* MakerNote */ || tag == 0xa005 /* InteroperabilityTag */;
    return find_group(group) == nullptr;
}

std::string generic_key(std::string_view group, std::uint16_t tag) {
    const GroupRow* row = find_group(group);
    if (row == nullptr)
        return {};
    return row->prefix + key_name(group, Exiv2::ExifKey(tag, row->group).tagName());
}

std::vector<KeyValue> exif_to_markup(const Exiv2::ExifData& exif, Exiv2::ByteOrder order) {
    std::vector<KeyValue> entries;
    std::set<std::pair<std::string, std::uint16_t>> done;
    for (const VocabRow& row : kVocabulary) {
        const auto it = exif.findKey(Exiv2::ExifKey(row.tag, row.group));
        RawValue raw;
        if (it == exif.end() || !read_raw(*it, order, raw))
            continue;
        const auto [type, count] = form_shape(row.form);
        // A tag stored in an unusual shape keeps it under its generic key.
        if (raw.type != type || (count != 0 && raw.count() != count))
            continue;
        std::string value = vocabulary_value(row.form, raw);
        done.emplace(row.group, row.tag);
        if (value.size() <= kMaxValueText)
            entries.push_back({row.key, std::move(value)});
    }
    for (const Exiv2::Exifdatum& datum : exif) {
        const std::string group = datum.groupName();
        const std::uint16_t tag = datum.tag();
        if (is_left_out(group, tag) || !done.emplace(group, tag).second)
            continue;
        RawValue raw;
        std::string text;
        if (!read_raw(datum, order, raw) || !value_to_text(raw.type, raw.bytes, text))
            continue;
        const std::uint16_t usual = usual_type(find_group(group)->group, tag);
        if (raw.type != usual)
            text.insert(0, std::string("(") + exif_type_name(raw.type) + ") ");
        if (text.size() <= kMaxValueText)
            entries.push_back({generic_key(group, tag), std::move(text)});
    }
    return entries;
}

void markup_to_exif(const std::vector<MarkupEntry>& entries, Exiv2::ExifData& exif) {
    std::set<std::pair<std::string, std::uint16_t>> done;
    std::vector<std::uint8_t> bytes;
    Pending pending;
    std::vector<const MarkupEntry*> generic;
    for (const MarkupEntry& entry : entries) {
        if (entry.key.compare(0, 5, "exif.") != 0)
            continue;
        const VocabRow* row = nullptr;
        for (const VocabRow& candidate : kVocabulary)
            if (entry.key == lower_ascii(candidate.key))
                row = &candidate;
        if (row == nullptr) {
            generic.push_back(&entry);
            continue;
        }
        if (vocabulary_bytes(*row, entry.value, bytes, pending) &&
            add_tag(exif, row->group, row->tag, form_shape(row->form).first, bytes))
            done.emplace(row->group, row->tag);
    }
    for (const MarkupEntry* entry : generic) {
        const char* group = nullptr;
        std::uint16_t tag = 0;
        std::uint16_t type = 0;
        if (!parse_generic_key(entry->key, group, tag) || is_left_out(group, tag) ||
            done.count({group, tag}) != 0 || !generic_bytes(group, tag, entry->value, type, bytes))
            continue;
        if (add_tag(exif, group, tag, type, bytes))
            done.emplace(group, tag);
    }
    add_implied_refs(exif, pending);
}

} // namespace vt::core
