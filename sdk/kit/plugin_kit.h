#pragma once
// What every format plug-in of this repository needs around its codec: the exception firewall
// of the exports, file access by the host's UTF-16 path, the check record's extension, the
// delivery of the picture's markup and options from the state store. It uses nothing of the
// host but the SDK header, like the plug-ins themselves; each plug-in compiles it in.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "sdk/vt_plugin.h"

namespace vt::formats::kit {

inline constexpr std::uint32_t kTagMark = VT_TAG('M', 'A', 'R', 'K');
inline constexpr std::uint32_t kTagIcc = VT_TAG('I', 'C', 'C', 'P'); // the raw colour profile
// EXIF beyond one JPEG marker's worth is never worth carrying.
inline constexpr std::uint32_t kMaxExifBytes = 65527;
// A file read whole must fit the largest picture's worth of bytes and some.
inline constexpr long kMaxFileBytes = 1L << 31;

// No exception may leave an export.
template <class F>
std::int32_t firewall(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return VT_ERR_OUT_OF_MEMORY;
    } catch (...) {
        return VT_ERR_INTERNAL;
    }
}

// The host's UTF-16 path as the file system's UTF-8.
inline std::string to_utf8(const std::uint16_t* text) {
    std::string out;
    if (text == nullptr)
        return out;
    for (std::size_t i = 0; text[i] != 0; ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
        else if (c >= 0xDC80 && c <= 0xDCFF)
            c = 0x110000 + (c - 0xDC00); // a byte the host could not decode: give it back
        else if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        if (c >= 0x110000) {
            out += static_cast<char>(c - 0x110000);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct File {
    std::FILE* f = nullptr;
    explicit File(std::FILE* file) : f(file) {}
    ~File() {
        if (f != nullptr)
            std::fclose(f);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

// The whole file; VT_OK, or the result code of what went wrong.
inline std::int32_t read_file(const std::uint16_t* path, std::vector<std::uint8_t>& bytes) {
    const std::string name = to_utf8(path);
    if (name.empty())
        return VT_ERR_OPEN_READ;
    File file(std::fopen(name.c_str(), "rb"));
    if (file.f == nullptr)
        return VT_ERR_OPEN_READ;
    if (std::fseek(file.f, 0, SEEK_END) != 0)
        return VT_ERR_READ;
    const long size = std::ftell(file.f);
    if (size < 0 || std::fseek(file.f, 0, SEEK_SET) != 0)
        return VT_ERR_READ;
    if (size > kMaxFileBytes)
        return VT_ERR_DIMENSIONS;
    bytes.resize(static_cast<std::size_t>(size));
    if (size > 0 && std::fread(bytes.data(), 1, bytes.size(), file.f) != bytes.size())
        return VT_ERR_READ;
    return VT_OK;
}

inline bool extension_is(const FilterCheck& check, const char16_t* ext) {
    for (std::size_t i = 0; i < 32; ++i) {
        if (check.extension[i] != static_cast<std::uint16_t>(ext[i]))
            return false;
        if (ext[i] == 0)
            return true;
    }
    return false;
}

// What a load knows of the picture's metadata; empty items are left out.
struct MarkupItems {
    std::uint32_t bits_per_pixel = 0;
    const std::uint8_t* exif = nullptr;
    std::uint32_t exif_size = 0;
    const char* xmp = nullptr;
    const char* ppi = nullptr;
    // An animation's "animation.plays": how often it runs, "0" for endlessly; null for a still.
    const char* plays = nullptr;
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
    if (items.exif != nullptr && items.exif_size > 0 && markup->import_exif != nullptr)
        markup->import_exif(&mb, items.exif, items.exif_size);
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
    MarkupBuffer mb{};
    if (!open_frame_markup(call, mb))
        return 0;
    const pi_MetaMarkup* markup = call->meta_markup;
    char value[16] = {};
    const bool found = markup->get_value != nullptr &&
                       markup->get_value(&mb, "animation.plays", value, sizeof(value)) != 0;
    markup->free_buffer(&mb);
    std::uint32_t plays = 0;
    for (const char* p = value; found && *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || plays > 65535)
            return 0;
        plays = plays * 10 + static_cast<std::uint32_t>(*p - '0');
    }
    return plays <= 65535 ? plays : 0;
}

// An option from the state store as decimal text or a 32-bit number; `fallback` when absent or
// unreadable, else clamped to [low, high].
inline int state_option(const FilterCall* call, const char16_t* name, int fallback, int low,
                        int high) noexcept {
    const pi_StateStore* store = call->state_store;
    if (store == nullptr || store->state_get == nullptr)
        return fallback;
    std::uint8_t value[16] = {};
    const std::int32_t n =
        store->state_get(reinterpret_cast<const std::uint16_t*>(name), value, sizeof(value) - 1);
    if (n < 1)
        return fallback;
    long number = 0;
    bool text = true;
    int digits = 0;
    for (std::int32_t i = 0; i < n && value[i] != 0; ++i, ++digits) {
        if (value[i] < '0' || value[i] > '9') {
            text = false;
            break;
        }
        if (number < 1000000)
            number = number * 10 + (value[i] - '0');
    }
    if (!text || digits == 0) {
        if (n != 4)
            return fallback;
        std::int32_t binary = 0;
        std::memcpy(&binary, value, 4);
        number = binary;
    }
    return number < low ? low : number > high ? high : static_cast<int>(number);
}

// Asks the host for a frame of width x height, never reduced, and checks what it gave: VT_OK
// with the record's pixels and stride describing it, or the result code.
inline std::int32_t request_frame(FilterCall* call, std::uint32_t width,
                                  std::uint32_t height) noexcept {
    call->width = width;
    call->height = height;
    call->flags = static_cast<std::uint16_t>(call->flags & ~VT_CALL_MAY_REDUCE);
    if (call->frame_cb.add_frame(call) == 0)
        return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    if (call->pixels == nullptr || call->width != width || call->height != height ||
        call->stride < width)
        return VT_ERR_BITMAP_REQUEST;
    return VT_OK;
}

// Selects the picture to save, the host's composite when the document has several frames:
// VT_OK with the record describing it, or the result code.
inline std::int32_t select_picture(FilterCall* call) noexcept {
    if (call->frame_cb.select_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    const std::int32_t index = call->frame_count > 1 ? -1 : 0;
    if (call->frame_cb.select_frame(call, index) == 0)
        return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    if (call->width < 1 || call->height < 1)
        return VT_ERR_BITMAP_SIZE_ZERO;
    if (call->pixels == nullptr || call->stride < call->width)
        return VT_ERR_BITMAP_REQUEST;
    return VT_OK;
}

// Whether any pixel of the selected picture is not fully opaque.
inline bool any_transparent(const FilterCall* call) noexcept {
    for (std::uint32_t y = 0; y < call->height; ++y) {
        const std::uint32_t* row = call->pixels + static_cast<std::size_t>(y) * call->stride;
        for (std::uint32_t x = 0; x < call->width; ++x)
            if ((row[x] >> 24) != 0)
                return true;
    }
    return false;
}

using CheckTest = bool (*)(const FilterCheck& check);

// The head of the file starts with `signature`.
inline bool head_starts_with(const FilterCheck& check, const std::uint8_t* signature,
                             std::uint32_t size) noexcept {
    const std::uint32_t have = check.head_size < 32 ? check.head_size : 32;
    return have >= size && std::memcmp(check.head, signature, size) == 0;
}

// The answer to flt_CheckLoad: the file's bytes rank `level` (50 more with the extension too);
// the extension alone ranks 10 with both restrictions, after every plug-in that knows the bytes.
inline std::int32_t check_load(FilterCheck* check, std::uint8_t level, CheckTest has_signature,
                               CheckTest known_extension) noexcept {
    return firewall([&] {
        if (check == nullptr)
            return 0;
        check->level = check->bonus1 = check->bonus2 = check->flags = 0;
        const bool extension = known_extension(*check);
        if (has_signature(*check)) {
            check->level = level;
            check->bonus1 = extension ? 50 : 0;
        } else if (extension) {
            check->level = 10;
            check->flags = 3;
        }
        return 1;
    });
}

// The answer to flt_CheckSave: level 100 for the extensions the plug-in writes.
inline std::int32_t check_save(FilterCheck* check, CheckTest known_extension) noexcept {
    return firewall([&] {
        if (check == nullptr)
            return 0;
        check->level = check->bonus1 = check->bonus2 = check->flags = 0;
        if (known_extension(*check))
            check->level = 100;
        return 1;
    });
}

// flt_LoadImage and flt_SaveImage: a null record is out of range.
inline std::int32_t run_call(FilterCall* call, std::int32_t (*body)(FilterCall*)) noexcept {
    return firewall([&] { return call == nullptr ? VT_ERR_PARAMETER_RANGE : body(call); });
}

} // namespace vt::formats::kit
