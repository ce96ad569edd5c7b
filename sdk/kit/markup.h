#pragma once
// The picture's metadata across the plug-in edge: a load hands the host its markup (built with
// the host's markup service from what the file holds) and chunks such as the colour profile; a
// save reads back the selected frame's chunks and markup. Metadata never fails a load or a
// save: whatever the host cannot give or take is left out.
// Thread: any, each call with its own record.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sdk/vt_plugin.h"

namespace vt::kit {

inline constexpr std::uint32_t kTagMark = VT_TAG('M', 'A', 'R', 'K');
inline constexpr std::uint32_t kTagIcc = VT_TAG('I', 'C', 'C', 'P'); // the raw colour profile
// EXIF beyond one JPEG marker's worth is never worth carrying.
inline constexpr std::uint32_t kMaxExifBytes = 65527;

// What a load knows of the picture's metadata; empty items are left out.
struct MarkupItems {
    std::uint32_t bits_per_pixel = 0;
    const std::uint8_t* exif = nullptr;
    std::uint32_t exif_size = 0;
    const char* xmp = nullptr;
    const char* ppi = nullptr;
    // An animation's "animation.plays": how often it runs, "0" for endlessly; null for a still.
    const char* plays = nullptr;
    // One key of the format's own ("hdr.exposure"), set when both are given.
    const char* key = nullptr;
    const char* value = nullptr;
    // The decoder has already turned the pixels as the EXIF orientation says, so the markup
    // says "top - left" wherever the EXIF gave an orientation.
    bool upright = false;
};

// A markup table of this version's family with the functions every use needs.
inline bool markup_usable(const pi_MetaMarkup* markup) noexcept {
    return markup != nullptr && (markup->version >> 16) == (VT_META_MARKUP_VERSION >> 16) &&
           (markup->version & 0xFFFF) >= (VT_META_MARKUP_VERSION & 0xFFFF) &&
           markup->create != nullptr && markup->free_buffer != nullptr;
}

// Adds the XMP packet's entries that `mb` lacks. EXIF is the picture's own record and the one
// written back, so where a packet disagrees with it (an editor that kept an older packet), EXIF
// wins.
inline void fill_from_xmp(const pi_MetaMarkup* markup, MarkupBuffer& mb, const char* xmp) noexcept {
    if (markup->get_value == nullptr || markup->set_value == nullptr)
        return;
    MarkupBuffer from{};
    if (markup->create(&from) == 0)
        return;
    if (markup->import_xmp(&from, xmp) != 0 && from.text != nullptr) {
        // The import writes "\r\nkey=value;" entries; values hold no ';', CR or LF.
        char key[256];
        char value[1024];
        char have[2];
        for (const char* p = from.text; *p != '\0';) {
            while (*p == '\r' || *p == '\n' || *p == ';' || *p == ' ')
                ++p;
            std::size_t k = 0;
            while (*p != '\0' && *p != '=' && *p != ';' && k + 1 < sizeof(key))
                key[k++] = *p++;
            key[k] = '\0';
            if (*p != '=') {
                while (*p != '\0' && *p != ';')
                    ++p;
                continue;
            }
            ++p;
            std::size_t v = 0;
            while (*p != '\0' && *p != ';' && *p != '\r' && *p != '\n' && v + 1 < sizeof(value))
                value[v++] = *p++;
            value[v] = '\0';
            if (k > 0 && markup->get_value(&mb, key, have, sizeof(have)) == 0)
                markup->set_value(&mb, key, value);
        }
    }
    markup->free_buffer(&from);
}

// Adds a chunk to the current frame's metadata; the host copies it before returning. Nothing
// happens for an empty chunk or a host without the callback.
inline void add_frame_chunk(FilterCall* call, std::uint32_t tag, const void* data,
                            std::uint32_t size) noexcept {
    if (data == nullptr || size == 0 || call->meta_cb.add_meta_chunk == nullptr)
        return;
    call->meta = const_cast<void*>(data);
    call->meta_cb.add_meta_chunk(call, tag, size);
    call->meta = nullptr;
}

// Metadata never fails a load: whatever the host cannot take is left out.
inline void deliver_markup(FilterCall* call, const MarkupItems& items) noexcept {
    const pi_MetaMarkup* markup = call->meta_markup;
    if (!markup_usable(markup) || call->meta_cb.add_meta_chunk == nullptr)
        return;
    MarkupBuffer mb{};
    if (markup->create(&mb) == 0)
        return;
    if (markup->set_bit_depth != nullptr)
        markup->set_bit_depth(&mb, static_cast<std::int32_t>(items.bits_per_pixel));
    if (items.ppi != nullptr && markup->set_value != nullptr)
        markup->set_value(&mb, "image.ppi", items.ppi);
    if (items.plays != nullptr && markup->set_value != nullptr)
        markup->set_value(&mb, "animation.plays", items.plays);
    if (items.key != nullptr && items.value != nullptr && markup->set_value != nullptr)
        markup->set_value(&mb, items.key, items.value);
    if (items.exif != nullptr && items.exif_size > 0 && markup->import_exif != nullptr) {
        markup->import_exif(&mb, items.exif, items.exif_size);
        char have[2];
        if (items.upright && markup->get_value != nullptr && markup->set_value != nullptr &&
            markup->get_value(&mb, "exif.orientation", have, sizeof(have)) != 0)
            markup->set_value(&mb, "exif.orientation", "1 (top - left)");
    }
    if (items.xmp != nullptr && markup->import_xmp != nullptr)
        fill_from_xmp(markup, mb, items.xmp);
    if (mb.size > 1)
        add_frame_chunk(call, kTagMark, mb.text, mb.size);
    markup->free_buffer(&mb);
}

struct ChunkView {
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
};

// A chunk of the selected frame's metadata through the host's get_meta_chunk; empty when absent.
inline ChunkView frame_chunk(FilterCall* call, std::uint32_t tag) {
    if (call->meta_cb.get_meta_chunk == nullptr)
        return {};
    void* const kept = call->meta;
    const std::int32_t n = call->meta_cb.get_meta_chunk(call, tag);
    ChunkView view;
    if (n > 0 && call->meta != nullptr) {
        view.data = static_cast<const std::uint8_t*>(call->meta);
        view.size = static_cast<std::uint32_t>(n);
    }
    call->meta = kept;
    return view;
}

// The selected frame's markup opened in `mb` (the caller frees it with the table's free_buffer);
// false when there is none or the host cannot open it.
inline bool open_frame_markup(FilterCall* call, MarkupBuffer& mb) {
    const pi_MetaMarkup* markup = call->meta_markup;
    if (!markup_usable(markup) || markup->create_from == nullptr)
        return false;
    const ChunkView mark = frame_chunk(call, kTagMark);
    return mark.data != nullptr && markup->create_from(&mb, mark.data, mark.size) != 0;
}

// The value of `key` in the selected frame's markup, cut to `capacity` bytes with its NUL; false
// when the frame has no markup or the markup no such key.
inline bool frame_markup_value(FilterCall* call, const char* key, char* out,
                               std::uint32_t capacity) noexcept {
    MarkupBuffer mb{};
    if (capacity == 0 || !open_frame_markup(call, mb))
        return false;
    const pi_MetaMarkup* markup = call->meta_markup;
    out[0] = '\0';
    const bool found =
        markup->get_value != nullptr && markup->get_value(&mb, key, out, capacity) != 0;
    markup->free_buffer(&mb);
    return found;
}

// EXIF (a TIFF-structured block) built from the selected frame's markup by the host's markup
// service; empty when the host cannot build it or it would exceed `max_bytes`.
inline std::vector<std::uint8_t> exif_from_markup(FilterCall* call, std::uint32_t max_bytes) {
    std::vector<std::uint8_t> exif;
    MarkupBuffer mb{};
    if (!open_frame_markup(call, mb))
        return exif;
    const pi_MetaMarkup* markup = call->meta_markup;
    std::int32_t n = 0;
    if (markup->export_exif != nullptr) {
        exif.resize(max_bytes);
        n = markup->export_exif(&mb, exif.data(), max_bytes);
    }
    markup->free_buffer(&mb);
    exif.resize(n > 0 && static_cast<std::uint32_t>(n) <= max_bytes ? static_cast<std::size_t>(n)
                                                                    : 0);
    return exif;
}

// How often the selected frame's markup says its animation runs ("animation.plays"): 0 for
// endlessly, which is also the answer when the markup does not say or says nonsense; at most
// 65535, what GIF and WebP can store.
inline std::uint32_t markup_plays(FilterCall* call) noexcept {
    char value[16] = {};
    if (!frame_markup_value(call, "animation.plays", value, sizeof(value)))
        return 0;
    std::uint32_t plays = 0;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || plays > 65535)
            return 0;
        plays = plays * 10 + static_cast<std::uint32_t>(*p - '0');
    }
    return plays <= 65535 ? plays : 0;
}

} // namespace vt::kit
