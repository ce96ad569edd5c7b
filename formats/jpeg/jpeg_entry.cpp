// fmx_JPEG: the plug-in's exports, its answers to the host's checks and the call records.
// The codec work is in jpeg_glue.c.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "formats/jpeg/jpeg_glue.h"
#include "plugins/sdk/vt_plugin.h"

namespace {

constexpr std::uint8_t kSignature[3] = {0xFF, 0xD8, 0xFF};
constexpr std::uint32_t kTagMark = VT_TAG('M', 'A', 'R', 'K');
constexpr std::uint32_t kTagIcc = VT_TAG('I', 'C', 'C', 'P');
constexpr std::uint32_t kTagExif = VT_TAG('E', 'X', 'I', 'F');
constexpr int kDefaultQuality = 90;
// Markup export gives at most one marker's worth of EXIF.
constexpr std::uint32_t kMaxExifBytes = 65527;
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
           markup->set_bit_depth != nullptr && markup->import_exif != nullptr &&
           markup->import_xmp != nullptr;
}

// Metadata never fails a load: whatever the host cannot take is left out.
void deliver_markup(FilterCall* call, std::uint32_t bits_per_pixel, const std::uint8_t* exif,
                    std::uint32_t exif_size, const char* xmp) noexcept {
    const pi_MetaMarkup* markup = call->meta_markup;
    if (!markup_usable(markup) || call->meta_cb.add_meta_chunk == nullptr)
        return;
    MarkupBuffer mb{};
    if (markup->create(&mb) == 0)
        return;
    markup->set_bit_depth(&mb, static_cast<std::int32_t>(bits_per_pixel));
    if (exif != nullptr && exif_size > 0)
        markup->import_exif(&mb, exif, exif_size);
    if (xmp != nullptr)
        markup->import_xmp(&mb, xmp);
    if (mb.text != nullptr && mb.size > 1) {
        call->meta = mb.text;
        call->meta_cb.add_meta_chunk(call, kTagMark, mb.size);
        call->meta = nullptr;
    }
    markup->free_buffer(&mb);
}

struct LoadContext {
    FilterCall* call;
    std::uint32_t bits_per_pixel;
};

std::int32_t begin_frame(void* context, const VtJpegHeader* header, VtJpegTarget* target) noexcept {
    auto* load = static_cast<LoadContext*>(context);
    FilterCall* call = load->call;
    load->bits_per_pixel = header->bits_per_pixel;
    call->width = header->width;
    call->height = header->height;
    call->flags = static_cast<std::uint16_t>(call->flags & ~VT_CALL_MAY_REDUCE);
    if (call->frame_cb.add_frame(call) == 0)
        return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    if (call->pixels == nullptr || call->width != header->width || call->height != header->height ||
        call->stride < header->width)
        return VT_ERR_BITMAP_REQUEST;
    target->pixels = call->pixels;
    target->stride = call->stride;
    return VT_OK;
}

void take_metadata(void* context, const VtJpegMetadata* meta) noexcept {
    auto* load = static_cast<LoadContext*>(context);
    FilterCall* call = load->call;
    if (meta->damaged != 0)
        call->warnings |= VT_WARN_DATA_LOST;
    deliver_markup(call, load->bits_per_pixel, meta->exif, meta->exif_size, meta->xmp);
    if (meta->icc != nullptr && meta->icc_size > 0 && call->meta_cb.add_meta_chunk != nullptr) {
        // The host copies the chunk from the pointer before returning.
        call->meta = const_cast<std::uint8_t*>(meta->icc);
        call->meta_cb.add_meta_chunk(call, kTagIcc, meta->icc_size);
        call->meta = nullptr;
    }
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    LoadContext context{call, 0};
    const VtJpegReadSink sink{&context, begin_frame, take_metadata};
    return vt_jpeg_read(bytes.data(), bytes.size(), &sink);
}

// An option from the state store as decimal text or a 32-bit number; `fallback` when absent or
// unreadable, else clamped to [low, high].
int state_option(const FilterCall* call, const char16_t* name, int fallback, int low, int high) {
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

// A chunk of the selected frame's metadata, or an empty view.
struct ChunkView {
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
};

ChunkView frame_chunk(FilterCall* call, std::uint32_t tag) {
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

// EXIF from the markup, when the host's markup service can build it.
std::vector<std::uint8_t> exif_from_markup(FilterCall* call) {
    std::vector<std::uint8_t> exif;
    const pi_MetaMarkup* markup = call->meta_markup;
    const ChunkView mark = frame_chunk(call, kTagMark);
    if (mark.data == nullptr || !markup_usable(markup) || markup->create_from == nullptr ||
        markup->export_exif == nullptr)
        return exif;
    MarkupBuffer mb{};
    if (markup->create_from(&mb, mark.data, mark.size) == 0)
        return exif;
    exif.resize(kMaxExifBytes);
    const std::int32_t n = markup->export_exif(&mb, exif.data(), kMaxExifBytes);
    markup->free_buffer(&mb);
    exif.resize(
        n > 0 && static_cast<std::uint32_t>(n) <= kMaxExifBytes ? static_cast<std::size_t>(n) : 0);
    return exif;
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
    if (call->width > VT_JPEG_MAX_SAVE_SIDE || call->height > VT_JPEG_MAX_SAVE_SIDE)
        return VT_ERR_DIMENSIONS;

    VtJpegWriteOptions options{};
    options.quality = state_option(call, u"fmx_JPEG.quality", kDefaultQuality, 1, 100);
    options.progressive = state_option(call, u"fmx_JPEG.progressive", 0, 0, 1);
    // Small colour detail is worth keeping when the user asks for high quality.
    options.subsample =
        state_option(call, u"fmx_JPEG.subsampling", options.quality < 90 ? 1 : 0, 0, 1);
    const ChunkView icc = frame_chunk(call, kTagIcc);
    options.icc = icc.data;
    options.icc_size = icc.size;
    std::vector<std::uint8_t> exported;
    const ChunkView exif = frame_chunk(call, kTagExif);
    if (exif.data != nullptr) {
        options.exif = exif.data;
        options.exif_size = exif.size;
    } else {
        exported = exif_from_markup(call);
        options.exif = exported.empty() ? nullptr : exported.data();
        options.exif_size = static_cast<std::uint32_t>(exported.size());
    }

    const std::string name = to_utf8(call->path);
    if (name.empty())
        return VT_ERR_OPEN_WRITE;
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr)
        return VT_ERR_OPEN_WRITE;
    std::int32_t result =
        vt_jpeg_write(file, call->pixels, call->width, call->height, call->stride, &options);
    if (std::fclose(file) != 0 && result == VT_OK)
        result = VT_ERR_WRITE;
    // A half-written file must not pass for a picture.
    if (result != VT_OK)
        std::remove(name.c_str());
    return result;
}

bool jpeg_extension(const FilterCheck& check) {
    return extension_is(check, u".jpg") || extension_is(check, u".jpeg") ||
           extension_is(check, u".jpe") || extension_is(check, u".jfif");
}

} // namespace

extern "C" {

VT_PLUGIN_EXPORT std::int32_t flt_CheckLoad(FilterCheck* check) noexcept {
    return firewall([&] {
        if (check == nullptr)
            return 0;
        check->level = check->bonus1 = check->bonus2 = check->flags = 0;
        const bool extension = jpeg_extension(*check);
        const std::uint32_t have = check->head_size < 32 ? check->head_size : 32;
        const bool signature = have >= 3 && std::memcmp(check->head, kSignature, 3) == 0;
        if (signature) {
            check->level = 100;
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
        if (jpeg_extension(*check))
            check->level = 100;
        return 1;
    });
}

VT_PLUGIN_EXPORT std::int32_t flt_SaveImage(FilterCall* call) noexcept {
    return firewall([&] { return call == nullptr ? VT_ERR_PARAMETER_RANGE : save_image(call); });
}

// The options live in the state store ("fmx_JPEG.quality", "fmx_JPEG.progressive",
// "fmx_JPEG.subsampling"); there is no dialog to show.
VT_PLUGIN_EXPORT std::int32_t plg_ShowDialog(FilterDialog* /*dialog*/) noexcept {
    return 0;
}

} // extern "C"
