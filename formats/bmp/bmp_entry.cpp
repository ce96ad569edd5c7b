// fmx_BMP: the plug-in's exports, its answers to the host's checks and the call records.
// The reading and writing of the format is in bmp_codec.cpp.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "formats/bmp/bmp_codec.h"
#include "plugins/sdk/vt_plugin.h"

namespace {

using vt::formats::BmpHeader;

constexpr std::uint32_t kTagMark = VT_TAG('M', 'A', 'R', 'K');
// A file read whole must fit the largest picture's worth of bytes and some.
constexpr long kMaxFileBytes = 1L << 31;

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

std::string to_utf8(const std::uint16_t* text) {
    std::string out;
    if (text == nullptr)
        return out;
    for (std::size_t i = 0; text[i] != 0; ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
        else if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        if (c < 0x80) {
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

std::int32_t read_file(const std::uint16_t* path, std::vector<std::uint8_t>& bytes) {
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

bool extension_is(const FilterCheck& check, const char16_t* ext) {
    for (std::size_t i = 0; i < 32; ++i) {
        if (check.extension[i] != static_cast<std::uint16_t>(ext[i]))
            return false;
        if (ext[i] == 0)
            return true;
    }
    return false;
}

bool markup_usable(const pi_MetaMarkup* markup) {
    return markup != nullptr && (markup->version >> 16) == (VT_META_MARKUP_VERSION >> 16) &&
           (markup->version & 0xFFFF) >= (VT_META_MARKUP_VERSION & 0xFFFF) &&
           markup->create != nullptr && markup->free_buffer != nullptr &&
           markup->set_bit_depth != nullptr;
}

// Metadata never fails a load: whatever the host cannot take is left out.
void deliver_markup(FilterCall* call, std::uint32_t bits_per_pixel, const char* ppi) noexcept {
    const pi_MetaMarkup* markup = call->meta_markup;
    if (!markup_usable(markup) || call->meta_cb.add_meta_chunk == nullptr)
        return;
    MarkupBuffer mb{};
    if (markup->create(&mb) == 0)
        return;
    markup->set_bit_depth(&mb, static_cast<std::int32_t>(bits_per_pixel));
    if (ppi != nullptr && markup->set_value != nullptr)
        markup->set_value(&mb, "image.ppi", ppi);
    if (mb.text != nullptr && mb.size > 1) {
        call->meta = mb.text;
        call->meta_cb.add_meta_chunk(call, kTagMark, mb.size);
        call->meta = nullptr;
    }
    markup->free_buffer(&mb);
}

// "BM", then a plausible information header size when the head shows it.
bool has_signature(const FilterCheck& check) {
    const std::uint32_t have = check.head_size < 32 ? check.head_size : 32;
    if (have < 2 || check.head[0] != 'B' || check.head[1] != 'M')
        return false;
    if (have < 18)
        return true;
    const std::uint32_t info = static_cast<std::uint32_t>(check.head[14]) |
                               (static_cast<std::uint32_t>(check.head[15]) << 8) |
                               (static_cast<std::uint32_t>(check.head[16]) << 16) |
                               (static_cast<std::uint32_t>(check.head[17]) << 24);
    return info >= 12 && info <= 124;
}

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".bmp") || extension_is(check, u".dib");
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> file(bytes);
    auto header = std::make_unique<BmpHeader>();
    if (const std::int32_t r = vt::formats::read_bmp_header(file, *header); r != VT_OK)
        return r;
    call->width = header->width;
    call->height = header->height;
    call->flags = static_cast<std::uint16_t>(call->flags & ~VT_CALL_MAY_REDUCE);
    if (call->frame_cb.add_frame(call) == 0)
        return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    if (call->pixels == nullptr || call->width != header->width || call->height != header->height ||
        call->stride < header->width)
        return VT_ERR_BITMAP_REQUEST;
    if (const std::int32_t r = vt::formats::decode_bmp(file, *header, call->pixels, call->stride);
        r != VT_OK)
        return r;
    char ppi[32] = {};
    if (header->ppm_x > 0 && header->ppm_y > 0)
        std::snprintf(ppi, sizeof(ppi), "%d %d", static_cast<int>(header->ppm_x * 0.0254 + 0.5),
                      static_cast<int>(header->ppm_y * 0.0254 + 0.5));
    deliver_markup(call, header->bits_per_pixel, ppi[0] != 0 ? ppi : nullptr);
    return VT_OK;
}

bool any_transparent(const FilterCall* call) {
    for (std::uint32_t y = 0; y < call->height; ++y) {
        const std::span<const std::uint32_t> row(
            call->pixels + static_cast<std::size_t>(y) * call->stride, call->width);
        for (const std::uint32_t p : row)
            if ((p >> 24) != 0)
                return true;
    }
    return false;
}

std::int32_t save_image(FilterCall* call) {
    if (call->frame_cb.select_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    // A document of several frames is saved as the host's composite of them.
    const std::int32_t index = call->frame_count > 1 ? -1 : 0;
    if (call->frame_cb.select_frame(call, index) == 0)
        return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    if (call->width < 1 || call->height < 1)
        return VT_ERR_BITMAP_SIZE_ZERO;
    if (call->pixels == nullptr || call->stride < call->width)
        return VT_ERR_BITMAP_REQUEST;
    if (call->width > vt::formats::kBmpMaxSide || call->height > vt::formats::kBmpMaxSide)
        return VT_ERR_DIMENSIONS;
    const std::string name = to_utf8(call->path);
    if (name.empty())
        return VT_ERR_OPEN_WRITE;
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr)
        return VT_ERR_OPEN_WRITE;
    std::int32_t result = vt::formats::write_bmp(file, call->pixels, call->width, call->height,
                                                 call->stride, any_transparent(call));
    if (std::fclose(file) != 0 && result == VT_OK)
        result = VT_ERR_WRITE;
    // A half-written file must not pass for a picture.
    if (result != VT_OK)
        std::remove(name.c_str());
    return result;
}

} // namespace

extern "C" {

VT_PLUGIN_EXPORT std::int32_t flt_CheckLoad(FilterCheck* check) noexcept {
    return firewall([&] {
        if (check == nullptr)
            return 0;
        check->level = check->bonus1 = check->bonus2 = check->flags = 0;
        const bool extension = known_extension(*check);
        if (has_signature(*check)) {
            check->level = 90;
            check->bonus1 = extension ? 50 : 0;
        } else if (extension) {
            // The name alone: worth a try, after every plug-in that knows the bytes.
            check->level = 10;
            check->flags = 3;
        }
        return 1;
    });
}

VT_PLUGIN_EXPORT std::int32_t flt_LoadImage(FilterCall* call) noexcept {
    return firewall([&] { return call == nullptr ? VT_ERR_PARAMETER_RANGE : load_image(call); });
}

VT_PLUGIN_EXPORT std::int32_t flt_CheckSave(FilterCheck* check) noexcept {
    return firewall([&] {
        if (check == nullptr)
            return 0;
        check->level = check->bonus1 = check->bonus2 = check->flags = 0;
        if (known_extension(*check))
            check->level = 100;
        return 1;
    });
}

VT_PLUGIN_EXPORT std::int32_t flt_SaveImage(FilterCall* call) noexcept {
    return firewall([&] { return call == nullptr ? VT_ERR_PARAMETER_RANGE : save_image(call); });
}

// Nothing to configure.
VT_PLUGIN_EXPORT std::int32_t plg_ShowDialog(FilterDialog* /*dialog*/) noexcept {
    return 0;
}

} // extern "C"
