// Vt5UpgradeMeta: brings a layer's MetaBlock from the form an older file stored to the current
// one.
//
// Records made from legacy markup keys (all little-endian, zero-filled):
//
//   "PHYS" 16 bytes:  u16 1 | u32 x resolution at 4 | u32 y resolution at 8 | u8 unit at 12
//                     (0 per inch, 1 per centimetre)
//   "HOTS" 16 bytes:  u16 1 | i32 x at 4 | i32 y at 8
//   "SPRT" 128 bytes: u16 1 | u32 columns at 4 | u32 rows at 8 | u32 cells used at 12 |
//                     u16 frame time at 16

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "base/le.h"
#include "image/markup.h"
#include "image/meta_block.h"
#include "vt5/vt5.h"

namespace vt::vt5 {
namespace {

constexpr std::uint32_t kVersion41 = 0x00040001;
constexpr std::uint32_t kVersion42 = 0x00040002;
constexpr std::size_t kValueCapacity = 256;

bool is_number_char(char c) noexcept {
    return (c >= '0' && c <= '9') || c == '-';
}

// An integer as the suite's programs read one: an optional minus, then digits.
std::int32_t read_integer(const char* p) noexcept {
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    std::int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        v = std::min<std::int64_t>(v * 10 + (*p - '0'), std::int64_t{1} << 32);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(negative ? -v : v));
}

struct TwoNumbers {
    std::int32_t a = 0, b = 0;
};

// Two integers: skip to the first of "1234567890-", read one, skip the run of such characters,
// skip to the next such character, read the second.
TwoNumbers read_two(const char* p) noexcept {
    TwoNumbers n;
    while (*p != 0 && !is_number_char(*p))
        ++p;
    n.a = read_integer(p);
    while (is_number_char(*p))
        ++p;
    while (*p != 0 && !is_number_char(*p))
        ++p;
    n.b = read_integer(p);
    return n;
}

// Markup text of a chunk: up to its first NUL.
std::string chunk_text(const image::MetaChunk& chunk) {
    const char* p = reinterpret_cast<const char*>(chunk.data);
    std::size_t n = 0;
    while (n < chunk.size && p[n] != 0)
        ++n;
    return std::string(p, n);
}

// Finds `key`; when present its value goes to `value`, the entry is removed and true returned.
bool take_value(std::string& text, const char* key, char (&value)[kValueCapacity]) {
    value[0] = 0;
    if (image::find_markup_value(text.c_str(), key, value, kValueCapacity) == nullptr)
        return false;
    image::delete_markup_entry(text.data(), key);
    text.resize(std::strlen(text.c_str()));
    return true;
}

bool replace_ascii_case(std::string& text, std::string_view from, std::string_view to) {
    bool any = false;
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i + from.size() <= text.size(); ++i) {
        bool match = true;
        for (std::size_t k = 0; k < from.size() && match; ++k)
            match = lower(text[i + k]) == from[k];
        if (match) {
            text.replace(i, from.size(), to);
            i += to.size() - 1;
            any = true;
        }
    }
    return any;
}

// Major versions up to 3 kept resolution, hot spot and sprite grid as markup keys.
int upgrade_markup_keys(Layer& layer) {
    image::MetaChunk mark{};
    if (!image::find_layer_chunk(layer, image::kTagMark, mark))
        return 0;
    std::string text = chunk_text(mark);
    const std::string original = text;
    int changes = replace_ascii_case(text, "image.dpi", "image.ppi") ? 1 : 0;

    char value[kValueCapacity];
    std::array<std::uint8_t, 16> phys{};
    bool has_phys = false;
    auto set_phys = [&](std::uint8_t unit) {
        const TwoNumbers n = read_two(value);
        phys = {};
        base::store_le16(&phys[0], 1);
        base::store_le32(&phys[4], static_cast<std::uint32_t>(n.a));
        base::store_le32(&phys[8], static_cast<std::uint32_t>(n.b));
        phys[12] = unit;
        has_phys = true;
    };
    if (take_value(text, "image.ppcm", value))
        set_phys(1);
    if (take_value(text, "image.ppi", value))
        set_phys(0);

    std::array<std::uint8_t, 16> hots{};
    const bool has_hots = take_value(text, "image.hotspot", value);
    if (has_hots) {
        const TwoNumbers n = read_two(value);
        base::store_le16(&hots[0], 1);
        base::store_le32(&hots[4], static_cast<std::uint32_t>(n.a));
        base::store_le32(&hots[8], static_cast<std::uint32_t>(n.b));
    }

    std::array<std::uint8_t, 128> sprt{};
    const bool has_sprt = take_value(text, "image.sprite.size", value);
    if (has_sprt) {
        const TwoNumbers cell = read_two(value);
        const std::int64_t w = cell.a, h = cell.b;
        const auto columns = static_cast<std::uint32_t>((std::int64_t{layer.bitmap.width} + w / 2) /
                                                        std::max<std::int64_t>(w, 1));
        const auto rows = static_cast<std::uint32_t>((std::int64_t{layer.bitmap.height} + h / 2) /
                                                     std::max<std::int64_t>(h, 1));
        std::uint32_t used = columns * rows;
        if (take_value(text, "image.sprite.used", value))
            used = static_cast<std::uint32_t>(read_two(value).a);
        std::int32_t time = 0;
        char rate[kValueCapacity];
        const bool has_rate = take_value(text, "image.sprite.rate", rate);
        if (take_value(text, "image.sprite.time", value))
            time = read_two(value).a;
        else if (has_rate)
            time = read_two(rate).a;
        base::store_le16(&sprt[0], 1);
        base::store_le32(&sprt[4], columns);
        base::store_le32(&sprt[8], rows);
        base::store_le32(&sprt[12], used);
        base::store_le16(&sprt[16], static_cast<std::uint16_t>(time));
    }

    if (text != original)
        image::replace_layer_chunk(layer, image::kTagMark,
                                   static_cast<std::uint32_t>(text.size() + 1), text.c_str());
    if (has_phys && image::replace_layer_chunk(layer, image::kTagPhys, 16, phys.data()) > 0)
        ++changes;
    if (has_hots && image::replace_layer_chunk(layer, image::kTagHots, 16, hots.data()) > 0)
        ++changes;
    if (has_sprt && image::replace_layer_chunk(layer, image::kTagSprt, 128, sprt.data()) > 0)
        ++changes;
    return changes;
}

// Files of version 4.1 wrote unit 2 for per-inch resolutions.
int fix_resolution_unit(Layer& layer) noexcept {
    image::MetaChunk phys{};
    if (!image::find_layer_chunk(layer, image::kTagPhys, phys) || phys.size < 13)
        return 0;
    const std::uint32_t x = base::load_le32(phys.data + 4);
    if (phys.data[12] != 2 || x < 72 || x > 2400)
        return 0;
    phys.data[12] = 0;
    return 1;
}

// Older "ANIM" and "ADJU" chunks lack the 240 bytes the current versions keep after their first
// 16, and the 16 at their end.
int rebuild_chunk(Layer& layer, std::uint32_t tag, std::uint16_t current) {
    image::MetaChunk chunk{};
    if (!image::find_layer_chunk(layer, tag, chunk))
        return 0;
    std::uint8_t version_bytes[2] = {};
    for (std::uint32_t i = 4; i < 6 && i < chunk.size; ++i)
        version_bytes[i - 4] = chunk.data[i];
    if (base::load_le16(version_bytes) >= current)
        return 0;
    std::vector<std::uint8_t> rebuilt(std::size_t{chunk.size} + 256, 0);
    std::copy_n(chunk.data, std::min<std::uint32_t>(chunk.size, 16), rebuilt.begin());
    if (chunk.size > 16)
        std::copy(chunk.data + 16, chunk.data + chunk.size, rebuilt.begin() + 256);
    base::store_le16(&rebuilt[4], current);
    return image::replace_layer_chunk(layer, tag, static_cast<std::uint32_t>(rebuilt.size()),
                                      rebuilt.data()) > 0
               ? 1
               : 0;
}

} // namespace

int Vt5UpgradeMeta(Layer& layer, std::uint32_t version) noexcept {
    if (layer.meta == nullptr || layer.meta_size == 0)
        return 0;
    int changes = 0;
    try {
        if ((version >> 16) <= 3)
            changes += upgrade_markup_keys(layer);
        if (version == kVersion41)
            changes += fix_resolution_unit(layer);
        if (version <= kVersion42) {
            changes += rebuild_chunk(layer, image::kTagAnim, 3);
            changes += rebuild_chunk(layer, image::kTagAdju, 2);
        }
    } catch (...) {
        // Out of memory: the remaining steps are skipped, the block stays usable.
    }
    return changes;
}

} // namespace vt::vt5
