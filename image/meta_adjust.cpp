#include "image/meta_adjust.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/le.h"
#include "image/markup.h"
#include "image/meta_block.h"

namespace vt::image {

namespace {

using base::load_le16;
using base::load_le32;
using base::store_le32;

constexpr double kTextLimit = 65535;
constexpr double kBinaryLimit = 2000000000;
constexpr std::uint16_t kAnimHorizontal = 272;
constexpr std::uint16_t kAnimVertical = 273;
constexpr std::uint32_t kAnimStepsOffset = 256;
constexpr std::uint32_t kAnimStepSize = 24;
constexpr std::uint32_t kPathPointsOffset = 16;
constexpr std::uint32_t kPathPointSize = 10;
constexpr std::size_t kMergeTextCapacity = 262144;
constexpr std::size_t kMergeFrameText = 65535;
constexpr std::uint32_t kMergeSpare = 1024;
// Below this many characters of room the orientation is written without its text.
constexpr std::size_t kShortOrientationRoom = 17;

constexpr const char* kOrientationTexts[] = {
    "",           "top - left",  "top - right",    "bottom - right", "bottom - left",
    "left - top", "right - top", "right - bottom", "left - bottom",
};

constexpr const char* kGpsKeys[] = {
    "exif.GPS.latitude.pos",  "exif.GPS.latitude.ref", "exif.GPS.longitude.pos",
    "exif.GPS.longitude.ref", "exif.GPS.altitude.pos", "exif.GPS.altitude.ref",
    "exif.GPS.speed.val",     "exif.GPS.speed.ref",
};
constexpr const char* kDateKeys[] = {
    "exif.date_time",     "exif.date_time_original", "exif.date_time_digitized",
    "exif.GPS.datestamp", "exif.GPS.timestamp",
};

// Every tag of the GPS directory lives under this prefix, so all of them go with the location.
constexpr std::string_view kGpsPrefix = "exif.GPS.";

bool iequal_prefix(std::string_view text, std::string_view prefix) noexcept {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

bool contains_ci(std::string_view text, std::string_view part) noexcept {
    for (std::size_t i = 0; i + part.size() <= text.size(); ++i)
        if (iequal_prefix(text.substr(i), part))
            return true;
    return false;
}

// Dates beyond the named keys: the other date tags and the sub-second and time-zone parts that
// belong to a date ("exif.photo.sub_sec_time_original", "exif.photo.offset_time", ...).
bool is_date_key(std::string_view key) noexcept {
    if (!iequal_prefix(key, "exif."))
        return false;
    const std::string_view name = key.substr(key.rfind('.') + 1);
    return contains_ci(name, "date") || iequal_prefix(name, "sub_sec_time") ||
           iequal_prefix(name, "offset_time");
}

// The GPS date and time stay with the location when only the dates are kept.
bool is_named_date(std::string_view key) noexcept {
    for (const char* date : kDateKeys)
        if (key.size() == std::strlen(date) && iequal_prefix(key, date))
            return true;
    return false;
}

// The keys of a markup text, in order (each once per entry).
std::vector<std::string> markup_keys(const char* text) {
    std::vector<std::string> keys;
    const char* p = text;
    while (*p != '\0') {
        while (*p == ';' || *p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
            ++p;
        const char* start = p;
        while (*p != '\0' && *p != '=' && *p != ';' && *p != '\r' && *p != '\n')
            ++p;
        if (*p == '=') {
            std::string_view key(start, static_cast<std::size_t>(p - start));
            while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
                key.remove_suffix(1);
            if (!key.empty())
                keys.emplace_back(key);
        }
        while (*p != '\0' && *p != ';' && *p != '\r' && *p != '\n')
            ++p;
    }
    return keys;
}

std::int32_t load_i32(const std::uint8_t* p) noexcept {
    return static_cast<std::int32_t>(load_le32(p));
}
void store_i32(std::uint8_t* p, std::int64_t v) noexcept {
    store_le32(p, static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
}

// A scaled integer: computed in double, limited, plus 0.5, truncated.
std::int64_t scaled(double value, double limit) noexcept {
    if (std::isnan(value))
        return 0;
    value = std::min(value, limit);
    value = std::max(value, -limit);
    return static_cast<std::int64_t>(value + 0.5);
}

// A decimal integer after optional blanks, saturating; 0 when there is none.
std::int64_t parse_int(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    if (i < text.size() && text[i] == '+')
        ++i;
    std::int64_t value = 0;
    const auto r = std::from_chars(text.data() + i, text.data() + text.size(), value);
    if (r.ec == std::errc::result_out_of_range)
        return (i < text.size() && text[i] == '-') ? INT32_MIN : INT32_MAX;
    return r.ec == std::errc() ? std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX) : 0;
}

std::string number(std::int64_t value) {
    char buffer[24];
    const auto r = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, r.ptr);
}

// The markup text of a chunk in a buffer of `capacity` bytes (at least the text + 1).
std::vector<char> markup_copy(const MetaChunk& chunk, std::size_t capacity) {
    std::vector<char> buffer(capacity, '\0');
    const void* nul = std::memchr(chunk.data, '\0', chunk.size);
    const std::size_t length =
        nul != nullptr
            ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - chunk.data)
            : chunk.size;
    std::memcpy(buffer.data(), chunk.data, std::min(length, capacity - 1));
    return buffer;
}

void store_markup(Layer& layer, const std::vector<char>& buffer) noexcept {
    const auto length = static_cast<std::uint32_t>(std::strlen(buffer.data()));
    (void)replace_layer_chunk(layer, kTagMark, length + 1, buffer.data());
}

// Rewrites the entry of `key` from the key's position as key=<replacement><rest after value>.
void rewrite_entry(std::vector<char>& buffer, const char* key, const std::string& replacement) {
    std::vector<char> value(buffer.size());
    const char* end = nullptr;
    const char* at = find_markup_value(buffer.data(), key, value.data(), value.size(), &end);
    if (at == nullptr)
        return;
    const std::string rest(end);
    const std::string entry = std::string(key) + "=" + replacement + rest;
    const std::size_t offset = static_cast<std::size_t>(at - buffer.data());
    const std::size_t n = std::min(entry.size(), buffer.size() - 1 - offset);
    std::memcpy(buffer.data() + offset, entry.data(), n);
    buffer[offset + n] = '\0';
}

void rotate_orientation(Layer& layer, int turn) {
    MetaChunk chunk{};
    if (!find_layer_chunk(layer, kTagMark, chunk))
        return;
    std::vector<char> buffer = markup_copy(chunk, std::size_t{chunk.size} * 2 + 16);
    std::vector<char> value(buffer.size());
    const char* end = nullptr;
    if (find_markup_value(buffer.data(), kKeyOrientation, value.data(), value.size(), &end) ==
        nullptr)
        return;
    const std::int64_t n = parse_int(value.data());
    static constexpr int kCycles[2][4] = {{1, 8, 3, 6}, {2, 7, 4, 5}};
    int turned = 0;
    for (const auto& cycle : kCycles)
        for (int i = 0; i < 4; ++i)
            if (cycle[i] == n)
                turned = cycle[(i + turn) % 4];
    if (turned == 0)
        return; // not an orientation we can turn: kept as it is
    const std::size_t free_room = buffer.size() - std::strlen(buffer.data()) - 1;
    const std::size_t old_length = std::strlen(value.data());
    std::string replacement = number(turned);
    if (free_room + old_length - 1 > kShortOrientationRoom)
        replacement += std::string(" (") + orientation_text(turned) + ")";
    rewrite_entry(buffer, kKeyOrientation, replacement);
    store_markup(layer, buffer);
}

// Replaces the quoted number after `entry` ("ROTATE$=" or "SIZE$=") in a TEXT chunk.
template <class NewValue>
void edit_text_entry(Layer& layer, std::string_view entry, NewValue&& new_value) {
    MetaChunk chunk{};
    if (!find_layer_chunk(layer, kTagText, chunk))
        return;
    const std::string_view bytes(reinterpret_cast<const char*>(chunk.data), chunk.size);
    const std::size_t at = bytes.find(entry);
    if (at == std::string_view::npos)
        return;
    // The value starts after the opening quote that follows "=".
    const std::size_t start = at + entry.size() + 1;
    if (start > bytes.size())
        return;
    std::size_t stop = bytes.find_first_of(std::string_view("\"\r\n\0", 4), start);
    if (stop == std::string_view::npos)
        stop = bytes.size();
    const std::string edited = std::string(bytes.substr(0, start)) +
                               number(new_value(parse_int(bytes.substr(start, stop - start)))) +
                               std::string(bytes.substr(stop));
    (void)replace_layer_chunk(layer, kTagText, static_cast<std::uint32_t>(edited.size()),
                              edited.data());
}

// Calls `edit(point)` for every in-range (x, y) pair of the chunk's points.
template <class Edit>
void for_each_path_point(MetaChunk& chunk, Edit&& edit) noexcept {
    if (chunk.size < kPathPointsOffset)
        return;
    const std::uint32_t room = (chunk.size - kPathPointsOffset) / kPathPointSize;
    const std::uint32_t count = std::min<std::uint32_t>(load_le16(chunk.data + 2), room);
    for (std::uint32_t i = 0; i < count; ++i)
        edit(chunk.data + kPathPointsOffset + i * kPathPointSize);
}

template <class Edit>
void for_each_anim_step(MetaChunk& chunk, Edit&& edit) noexcept {
    if (chunk.size < kAnimStepsOffset)
        return;
    const std::uint32_t room = (chunk.size - kAnimStepsOffset) / kAnimStepSize;
    const std::uint32_t count = std::min<std::uint32_t>(load_le16(chunk.data + 6), room);
    for (std::uint32_t i = 0; i < count; ++i)
        edit(chunk.data + kAnimStepsOffset + i * kAnimStepSize);
}

void turn_point(std::uint8_t* p, int turn, std::int64_t w, std::int64_t h) noexcept {
    const std::int64_t x = load_i32(p);
    const std::int64_t y = load_i32(p + 4);
    std::int64_t nx = x;
    std::int64_t ny = y;
    switch (turn) {
    case 1:
        nx = w - y - 1;
        ny = x;
        break;
    case 2:
        nx = w - x - 1;
        ny = h - y - 1;
        break;
    default:
        nx = y;
        ny = h - x - 1;
        break;
    }
    store_i32(p, nx);
    store_i32(p + 4, ny);
}

void swap_u32(std::uint8_t* a, std::uint8_t* b) noexcept {
    const std::uint32_t t = load_le32(a);
    store_le32(a, load_le32(b));
    store_le32(b, t);
}

// The data of the first chunk with `tag` when it has at least `min_size` bytes.
bool binary_chunk(Layer& layer, std::uint32_t tag, std::uint32_t min_size,
                  MetaChunk& chunk) noexcept {
    return find_layer_chunk(layer, tag, chunk) && chunk.size >= min_size;
}

} // namespace

const char* orientation_text(long value) noexcept {
    return value >= 1 && value <= 8 ? kOrientationTexts[value] : "";
}

int adjust_meta_for_rotation(Layer& layer, int turn) noexcept {
    if (turn < 1 || turn > 3)
        return 0;
    const std::int64_t w = layer.bitmap.width;
    const std::int64_t h = layer.bitmap.height;
    try {
        rotate_orientation(layer, turn);
        static constexpr std::int64_t kRotateAdd[4] = {0, 2700, 1800, 900};
        edit_text_entry(layer, "ROTATE$=", [&](std::int64_t old) {
            return ((old + kRotateAdd[turn]) % 3600 + 3600) % 3600;
        });
    } catch (...) {
        // Out of memory: the text chunks stay as they were.
    }
    // The binary chunks keep their size: they are edited in place.
    MetaChunk chunk{};
    if (find_layer_chunk(layer, kTagPath, chunk))
        for_each_path_point(chunk, [&](std::uint8_t* p) { turn_point(p, turn, w, h); });
    if (find_layer_chunk(layer, kTagAnim, chunk)) {
        for_each_anim_step(chunk, [&](std::uint8_t* step) {
            const std::uint16_t kind = load_le16(step + 4);
            if (kind != kAnimHorizontal && kind != kAnimVertical)
                return;
            const std::int64_t amount = load_i32(step + 16);
            const bool horizontal = kind == kAnimHorizontal;
            std::uint16_t new_kind = kind;
            std::int64_t new_amount = amount;
            if (turn == 1) {
                new_kind = horizontal ? kAnimVertical : kAnimHorizontal;
                new_amount = horizontal ? amount : -amount;
            } else if (turn == 2) {
                new_amount = -amount;
            } else {
                new_kind = horizontal ? kAnimVertical : kAnimHorizontal;
                new_amount = horizontal ? -amount : amount;
            }
            base::store_le16(step + 4, new_kind);
            store_i32(step + 16, new_amount);
        });
    }
    const bool quarter = turn != 2;
    if (quarter && binary_chunk(layer, kTagPhys, 12, chunk))
        swap_u32(chunk.data + 4, chunk.data + 8);
    if (binary_chunk(layer, kTagHots, 12, chunk))
        turn_point(chunk.data + 4, turn, w, h);
    if (quarter && binary_chunk(layer, kTagSprt, 12, chunk))
        swap_u32(chunk.data + 4, chunk.data + 8);
    return 1;
}

int adjust_meta_for_resize(Layer& layer, double sx, double sy, bool retain_print_size) noexcept {
    try {
        MetaChunk chunk{};
        if (find_layer_chunk(layer, kTagMark, chunk)) {
            std::vector<char> buffer = markup_copy(chunk, std::size_t{chunk.size} * 2 + 32);
            std::vector<char> value(buffer.size());
            if (find_markup_value(buffer.data(), kKeyBrushSpacing, value.data(), value.size()) !=
                nullptr) {
                const double spacing = static_cast<double>(parse_int(value.data()));
                rewrite_entry(buffer, kKeyBrushSpacing,
                              number(scaled(spacing * (sx + sy) * 0.5, kTextLimit)));
                store_markup(layer, buffer);
            }
        }
        edit_text_entry(layer, "SIZE$=", [&](std::int64_t old) {
            return scaled(static_cast<double>(old) * (sy * 0.96 + sx * 0.04), kTextLimit);
        });
    } catch (...) {
        // Out of memory: the text chunks stay as they were.
    }
    auto scale_xy = [&](std::uint8_t* p) {
        store_i32(p, scaled(load_i32(p) * sx, kBinaryLimit));
        store_i32(p + 4, scaled(load_i32(p + 4) * sy, kBinaryLimit));
    };
    MetaChunk chunk{};
    if (find_layer_chunk(layer, kTagPath, chunk))
        for_each_path_point(chunk, scale_xy);
    if (find_layer_chunk(layer, kTagAnim, chunk)) {
        for_each_anim_step(chunk, [&](std::uint8_t* step) {
            const std::uint16_t kind = load_le16(step + 4);
            if (kind == kAnimHorizontal || kind == kAnimVertical)
                store_i32(step + 16,
                          scaled(load_i32(step + 16) * (kind == kAnimHorizontal ? sx : sy),
                                 kBinaryLimit));
        });
    }
    if (retain_print_size && binary_chunk(layer, kTagPhys, 12, chunk)) {
        for (std::uint32_t offset : {4u, 8u}) {
            const double factor = offset == 4 ? sx : sy;
            const std::int64_t v = scaled(load_le32(chunk.data + offset) * factor, kBinaryLimit);
            store_le32(chunk.data + offset,
                       static_cast<std::uint32_t>(std::max<std::int64_t>(v, 0)));
        }
    }
    if (binary_chunk(layer, kTagHots, 12, chunk))
        scale_xy(chunk.data + 4);
    return 1;
}

namespace {

// The rest of the GPS directory and of the dates, whatever tags the EXIF import named.
void remove_keys_where(char* text, bool gps, bool dates) noexcept {
    try {
        for (const std::string& key : markup_keys(text))
            if ((gps && iequal_prefix(key, kGpsPrefix) && !is_named_date(key)) ||
                (dates && is_date_key(key)))
                while (delete_markup_entry(text, key) != 0) {
                }
    } catch (...) {
        // Without memory for the key list nothing can be sorted out: privacy comes first.
        text[0] = '\0';
    }
}

} // namespace

int remove_private_data(Layer* layers, std::uint32_t count, bool gps, bool dates) noexcept {
    if (!gps && !dates)
        return 0;
    for (std::uint32_t i = 0; layers != nullptr && i < count; ++i) {
        MetaChunk chunk{};
        if (!find_layer_chunk(layers[i], kTagMark, chunk) ||
            std::memchr(chunk.data, '\0', chunk.size) == nullptr)
            continue;
        auto* text = reinterpret_cast<char*>(chunk.data);
        // Every occurrence goes: a key written twice must not keep a location behind.
        if (gps)
            for (const char* key : kGpsKeys)
                while (delete_markup_entry(text, key) != 0) {
                }
        if (dates)
            for (const char* key : kDateKeys)
                while (delete_markup_entry(text, key) != 0) {
                }
        remove_keys_where(text, gps, dates);
    }
    return 1;
}

int sync_exif_dimensions(Layer& layer) noexcept {
    static constexpr const char* kKeys[2] = {"exif.photo.pixel_x_dimension",
                                             "exif.photo.pixel_y_dimension"};
    static constexpr std::string_view kShort = "(short) ";
    MetaChunk chunk{};
    if (!find_layer_chunk(layer, kTagMark, chunk) ||
        std::memchr(chunk.data, '\0', chunk.size) == nullptr)
        return 0;
    // Every picture passes here on its way out; most have no such keys and need no copy.
    const auto* original = reinterpret_cast<const char*>(chunk.data);
    if (locate_markup_key(original, kKeys[0]) == nullptr &&
        locate_markup_key(original, kKeys[1]) == nullptr)
        return 0;
    try {
        std::vector<char> text(chunk.size + 64, '\0');
        std::memcpy(text.data(), chunk.data, chunk.size);
        bool changed = false;
        const std::uint32_t sizes[2] = {layer.bitmap.width, layer.bitmap.height};
        for (int i = 0; i < 2; ++i) {
            char old[64] = {};
            if (find_markup_value(text.data(), kKeys[i], old, sizeof(old), nullptr) == nullptr)
                continue;
            const bool was_short = std::string_view(old).starts_with(kShort);
            std::string value = std::to_string(sizes[i]);
            if (was_short && sizes[i] <= 0xFFFF)
                value.insert(0, kShort);
            if (value == old)
                continue;
            changed = set_markup_value(text.data(), text.size(), kKeys[i], value) != 0 || changed;
        }
        if (!changed)
            return 0;
        const auto length = static_cast<std::uint32_t>(std::strlen(text.data()) + 1);
        return replace_layer_chunk(layer, kTagMark, length, text.data()) != 0 ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void* merge_frame_metadata(const Layer* layers, std::uint32_t count,
                           std::uint32_t* block_size) noexcept {
    if (layers == nullptr || count == 0 || block_size == nullptr)
        return nullptr;
    try {
        std::vector<char> work(kMergeTextCapacity, '\0');
        MetaChunk chunk{};
        if (find_layer_chunk(layers[0], kTagMark, chunk))
            work = markup_copy(chunk, kMergeTextCapacity);
        for (std::uint32_t i = 1; i < count; ++i) {
            if (!find_layer_chunk(layers[i], kTagMark, chunk))
                continue;
            const std::vector<char> frame = markup_copy(chunk, kMergeFrameText + 1);
            merge_markup_entries(work.data(), work.size(), frame.data(), "brush.");
            merge_markup_entries(work.data(), work.size(), frame.data(), "exif.");
        }
        void* copy = nullptr;
        std::uint32_t size = 0;
        if (layers[0].meta != nullptr && layers[0].meta_size != 0) {
            copy = std::malloc(std::size_t{layers[0].meta_size} + kMergeSpare);
            if (copy == nullptr)
                return nullptr;
            std::memcpy(copy, layers[0].meta, layers[0].meta_size);
            size = layers[0].meta_size;
        }
        const auto length = static_cast<std::uint32_t>(std::strlen(work.data()));
        if (replace_meta_chunk(&copy, &size, kTagMark, length + 1, work.data()) == 0) {
            std::free(copy);
            return nullptr;
        }
        *block_size = size;
        return copy;
    } catch (...) {
        return nullptr;
    }
}

} // namespace vt::image
