#include "vt5/format.h"

#include <algorithm>
#include <limits>

#include "base/le.h"

namespace vt::vt5 {
namespace {

template <std::size_t N>
std::array<std::uint8_t, N> padded(std::span<const std::uint8_t> bytes) noexcept {
    std::array<std::uint8_t, N> raw{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), N), raw.begin());
    return raw;
}

} // namespace

Vt5FileHeader parse_file_header(std::span<const std::uint8_t> bytes) noexcept {
    const auto raw = padded<kFileHeaderSize>(bytes);
    Vt5FileHeader h;
    std::copy_n(raw.begin(), 4, h.magic.begin());
    h.header_size = base::load_le32(&raw[4]);
    h.version = base::load_le32(&raw[8]);
    h.kind_code = raw[12];
    h.kind_param = raw[13];
    h.layer_count = base::load_le16(&raw[16]);
    return h;
}

std::array<std::uint8_t, kFileHeaderSize>
serialize_file_header(const Vt5FileHeader& header) noexcept {
    std::array<std::uint8_t, kFileHeaderSize> raw{};
    std::copy(header.magic.begin(), header.magic.end(), raw.begin());
    base::store_le32(&raw[4], header.header_size);
    base::store_le32(&raw[8], header.version);
    raw[12] = header.kind_code;
    raw[13] = header.kind_param;
    base::store_le16(&raw[16], header.layer_count);
    return raw;
}

Vt5LayerHeader parse_layer_header(std::span<const std::uint8_t> bytes) noexcept {
    const auto raw = padded<kLayerHeaderSize>(bytes);
    Vt5LayerHeader h;
    h.x = static_cast<std::int32_t>(base::load_le32(&raw[8]));
    h.y = static_cast<std::int32_t>(base::load_le32(&raw[12]));
    h.width = base::load_le32(&raw[16]);
    h.height = base::load_le32(&raw[20]);
    h.layout = raw[24];
    h.channels = raw[25];
    h.frame_type = raw[26];
    h.reference_distance = raw[27];
    h.meta_offset = base::load_le32(&raw[32]);
    h.meta_length = base::load_le32(&raw[36]);
    h.mode = base::load_le16(&raw[40]);
    h.mode2 = base::load_le16(&raw[42]);
    h.attr = raw[44];
    h.transparency = raw[45];
    for (std::size_t i = 0; i < h.name.size(); ++i)
        h.name[i] = static_cast<char16_t>(base::load_le16(&raw[64 + 2 * i]));
    return h;
}

std::array<std::uint8_t, kLayerHeaderSize>
serialize_layer_header(const Vt5LayerHeader& header) noexcept {
    std::array<std::uint8_t, kLayerHeaderSize> raw{};
    raw[4] = 1;
    base::store_le32(&raw[8], static_cast<std::uint32_t>(header.x));
    base::store_le32(&raw[12], static_cast<std::uint32_t>(header.y));
    base::store_le32(&raw[16], header.width);
    base::store_le32(&raw[20], header.height);
    raw[24] = header.layout;
    raw[25] = header.channels;
    raw[26] = header.frame_type;
    raw[27] = header.reference_distance;
    base::store_le32(&raw[32], header.meta_offset);
    base::store_le32(&raw[36], header.meta_length);
    base::store_le16(&raw[40], header.mode);
    base::store_le16(&raw[42], header.mode2);
    raw[44] = header.attr;
    raw[45] = header.transparency;
    for (std::size_t i = 0; i + 1 < header.name.size() && header.name[i] != 0; ++i)
        base::store_le16(&raw[64 + 2 * i], static_cast<std::uint16_t>(header.name[i]));
    return raw;
}

std::array<std::uint8_t, 8> serialize_element_header(std::uint8_t type,
                                                     std::uint32_t body) noexcept {
    std::array<std::uint8_t, 8> raw{};
    raw[0] = type;
    base::store_le32(&raw[4], body);
    return raw;
}

std::uint8_t doc_kind_of_code(std::uint8_t code, bool* kind_param_kept) noexcept {
    static constexpr std::uint8_t kKinds[] = {0, 2, 1, 3}; // codes 1-4
    const bool known = code >= 1 && code <= 4;
    if (kind_param_kept != nullptr)
        *kind_param_kept = known;
    return known ? kKinds[code - 1] : 0;
}

std::uint8_t kind_code_of_doc_kind(std::uint8_t doc_kind) noexcept {
    static constexpr std::uint8_t kCodes[] = {1, 3, 2, 4}; // doc_kind 0-3
    return doc_kind <= 3 ? kCodes[doc_kind] : 1;
}

std::uint64_t layer_pixel_bytes(const Vt5LayerHeader& header) noexcept {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    // width x height fits 64 bits; the channel factor (a whole byte) might not.
    const std::uint64_t pixels = std::uint64_t{header.width} * header.height;
    if (header.channels != 0 && pixels > (kMax - kPaletteBytes) / header.channels)
        return kMax;
    return pixels * header.channels + (header.layout == kLayoutPalette ? kPaletteBytes : 0);
}

std::uint64_t layer_stream_size(const Vt5LayerHeader& header) noexcept {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t pixels = layer_pixel_bytes(header);
    return pixels > kMax - header.meta_length ? kMax : pixels + header.meta_length;
}

} // namespace vt::vt5
