#include "plugins/host_services.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "base/text.h"
#include "image/bitmap.h"
#include "image/markup_buffer.h"
#include "lang/translator.h"
#include "lang/xlat.h"
#include "platform/folders.h"
#include "platform/suite_config.h"
#include "plugins/core_bridge.h"
#include "plugins/frame_budget.h"
#include "plugins/image_services.h"
#include "plugins/load_hints.h"
#include "plugins/state_store.h"
#include "plugins/video_session.h"

namespace vt::plugins {
namespace {

constexpr std::size_t kMaxNameChars = 4096;

std::u16string_view name_of(const std::uint16_t* text) {
    if (!text)
        return {};
    std::size_t n = 0;
    while (n < kMaxNameChars && text[n] != 0)
        ++n;
    return {reinterpret_cast<const char16_t*>(text), n};
}

std::span<std::uint8_t> out_bytes(void* buffer, std::int32_t capacity) {
    return {static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(capacity)};
}

std::span<const std::uint8_t> in_bytes(const void* data, std::int32_t size) {
    return {static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

// --- pi_StateStore

std::int32_t ss_get(const std::uint16_t* name, void* buffer, std::int32_t capacity) {
    if (!name || !buffer || capacity < 1)
        return 0;
    return state_store().get(name_of(name), out_bytes(buffer, capacity));
}
std::int32_t ss_set(const std::uint16_t* name, const void* data, std::int32_t size) {
    if (!name || (size > 0 && !data))
        return 0;
    return state_store().set(name_of(name),
                             size > 0 ? in_bytes(data, size) : std::span<const std::uint8_t>{});
}
std::int32_t ss_size(const std::uint16_t* name) {
    return name ? state_store().size(name_of(name)) : 0;
}
std::int32_t ss_file_read(const std::uint16_t* name, void* buffer, std::int32_t capacity) {
    if (!name || !buffer || capacity < 1)
        return 0;
    return state_store().file_read(name_of(name), out_bytes(buffer, capacity));
}
std::int32_t ss_file_write(const std::uint16_t* name, const void* data, std::int32_t size) {
    if (!name || (size > 0 && !data))
        return 0;
    return state_store().file_write(name_of(name), size > 0 ? in_bytes(data, size)
                                                            : std::span<const std::uint8_t>{});
}
std::int32_t ss_file_size(const std::uint16_t* name) {
    return name ? state_store().file_size(name_of(name)) : 0;
}

const pi_StateStore kStateStore = {
    VT_STATE_STORE_VERSION, 0, ss_get, ss_set, ss_size, ss_file_read, ss_file_write, ss_file_size};

// --- pi_MetaMarkup

std::int32_t mm_create(MarkupBuffer* mb) {
    return image::markup_buffer_create(mb);
}
std::int32_t mm_create_from(MarkupBuffer* mb, const void* data, std::uint32_t count) {
    return image::markup_buffer_create_from(mb, data, count);
}
void mm_free(MarkupBuffer* mb) {
    image::markup_buffer_free(mb);
}
std::int32_t mm_append(MarkupBuffer* mb, const char* text) {
    return text ? image::markup_buffer_append(mb, text) : 0;
}
std::int32_t mm_get(const MarkupBuffer* mb, const char* key, char* value, std::uint32_t capacity) {
    return key ? image::markup_buffer_get_value(mb, key, value, capacity) : 0;
}
std::int32_t mm_set(MarkupBuffer* mb, const char* key, const char* value) {
    return key && value ? image::markup_buffer_set_value(mb, key, value) : 0;
}
std::int32_t mm_get_depth(const MarkupBuffer* mb, std::uint32_t* depth) {
    return image::markup_buffer_get_bit_depth(mb, depth);
}
std::int32_t mm_set_depth(MarkupBuffer* mb, std::int32_t depth) {
    return image::markup_buffer_set_bit_depth(mb, depth);
}
// EXIF conversion belongs to the suite's core library.
std::int32_t mm_export_exif(const MarkupBuffer* mb, void* out, std::uint32_t capacity) {
    return core_export_exif(mb, out, capacity);
}
std::int32_t mm_import_exif(MarkupBuffer* mb, const void* exif, std::uint32_t size) {
    return core_import_exif(mb, exif, size);
}
std::int32_t mm_import_xmp(MarkupBuffer* mb, const char* xmp) {
    return xmp ? image::import_xmp(mb, xmp) : 0;
}

const pi_MetaMarkup kMetaMarkup = {VT_META_MARKUP_VERSION,
                                   0,
                                   mm_create,
                                   mm_create_from,
                                   mm_free,
                                   mm_append,
                                   mm_get,
                                   mm_set,
                                   mm_get_depth,
                                   mm_set_depth,
                                   mm_export_exif,
                                   mm_import_exif,
                                   mm_import_xmp};

// --- pi_BasicQuery

const void* bq_get_interface(const std::uint16_t* name) {
    const std::u16string_view n = name_of(name);
    if (base::ascii_iequal(n, u"pi_StateStore"))
        return state_store_table();
    if (base::ascii_iequal(n, u"pi_MetaMarkup"))
        return meta_markup_table();
    if (base::ascii_iequal(n, u"pi_BasicImage"))
        return basic_image_table();
    if (base::ascii_iequal(n, u"pi_BasicColor"))
        return basic_color_table();
    if (base::ascii_iequal(n, u"pi_BasicUtils"))
        return basic_utils_table();
    if (base::ascii_iequal(n, u"pi_BasicVideo"))
        return basic_video_table();
    return nullptr; // "pi_BasicQuery" too: it is only handed out in the records
}

std::int32_t write_utf16(std::u16string_view text, std::size_t field_bytes, void* buffer,
                         std::int32_t capacity) {
    const auto need = static_cast<std::int32_t>(field_bytes);
    if (capacity < need)
        return -need;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::memset(out, 0, field_bytes);
    for (std::size_t i = 0; i < text.size() && 2 * i + 1 < field_bytes; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(text[i]);
        out[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
    }
    return need;
}

std::int32_t bq_query(const char* key, void* buffer, std::int32_t capacity) {
    if (!key || !buffer)
        return 0;
    if (capacity < 1)
        return -4;
    const std::string_view k(key);
    if (k == "host.name")
        return write_utf16(u"Vantrel", 32, buffer, capacity);
    if (k == "host.version")
        return write_utf16(u"5.08.01", 16, buffer, capacity);
    if (k == "host.temp_path") {
        const std::u16string temp = platform::temp_folder(platform::suite_config().temp_override());
        return write_utf16(temp, (temp.size() + 1) * 2, buffer, capacity);
    }
    if (k == "load.draft_size")
        return answer_draft_query(buffer, capacity);
    if (k == "load.frame_bytes")
        return answer_frame_bytes_query(buffer, capacity);
    if (k == "job.spare_threads")
        return answer_spare_threads_query(buffer, capacity);
    return 0;
}

std::int32_t bq_set(const char* key, const void* value, std::int32_t size) {
    return !key || !value || size < 1 ? -1 : 0;
}

const pi_BasicQuery kBasicQuery = {VT_BASIC_QUERY_VERSION, 0, bq_get_interface, bq_query, bq_set};

// --- pi_BasicImage

std::int32_t bi_free(VtImage* image) {
    if (!image)
        return 0;
    if (image->bitmap) {
        image::FreeBitmap(image->bitmap);
        delete image->bitmap;
    }
    *image = VtImage{};
    return 1;
}

// A fresh host record for the handle, after freeing what it held.
Bitmap* new_record(VtImage* image) {
    bi_free(image);
    return new (std::nothrow) Bitmap{};
}

std::int32_t bi_create(VtImage* image, std::uint32_t width, std::uint32_t height) {
    if (!image)
        return 0;
    Bitmap* bmp = new_record(image);
    if (!bmp)
        return 0;
    if (!image::CreateBitmap(bmp, static_cast<std::int32_t>(width),
                             static_cast<std::int32_t>(height),
                             image::kCreateMemory | image::kCreateStrict)) {
        delete bmp;
        return 0;
    }
    image->bitmap = bmp;
    detail::refresh_image(image);
    return 1;
}

std::int32_t bi_wrap(VtImage* image, std::uint32_t width, std::uint32_t height,
                     std::uint32_t stride, std::uint32_t* pixels) {
    if (!image)
        return 0;
    Bitmap* bmp = new_record(image);
    if (!bmp)
        return 0;
    if (!image::WrapBitmap(bmp, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height),
                           static_cast<std::int32_t>(stride), pixels)) {
        delete bmp;
        return 0;
    }
    image->bitmap = bmp;
    detail::refresh_image(image);
    return 1;
}

std::int32_t bi_lock(VtImage* image) {
    if (!image || !image->bitmap || !image::LockBitmap(image->bitmap, 0))
        return 0;
    detail::refresh_image(image);
    return 1;
}

std::int32_t bi_unlock(VtImage* image) {
    return image && image->bitmap ? image::UnlockBitmap(image->bitmap, 0) : 0;
}

std::int32_t bi_difference_rect(const VtImage* image, const VtImage* other, std::int32_t* rect) {
    if (!image || !other || !image->bitmap || !other->bitmap || !rect)
        return 0;
    image::BitmapRect r{};
    const int found = image::DiffRect(image->bitmap, other->bitmap, &r);
    rect[0] = r.left;
    rect[1] = r.top;
    rect[2] = r.right;
    rect[3] = r.bottom;
    return found;
}

// No device contexts on this platform.
std::uintptr_t bi_no_dc(VtImage*) {
    return 0;
}
std::int32_t bi_release_dc(VtImage*, std::uintptr_t) {
    return 0;
}

const pi_BasicImage kBasicImage = {VT_BASIC_IMAGE_VERSION,
                                   0,
                                   bi_create,
                                   bi_wrap,
                                   bi_free,
                                   detail::image_resize,
                                   bi_lock,
                                   bi_unlock,
                                   bi_no_dc,
                                   bi_release_dc,
                                   bi_no_dc,
                                   nullptr,
                                   core_load_image,
                                   core_save_image,
                                   nullptr,
                                   nullptr,
                                   detail::image_mirror,
                                   detail::image_rotate,
                                   nullptr,
                                   nullptr,
                                   detail::image_fill,
                                   detail::image_blit,
                                   detail::image_stretch_blit,
                                   detail::image_composite,
                                   detail::image_apply_tables,
                                   detail::image_convolve,
                                   bi_difference_rect,
                                   nullptr,
                                   detail::image_masked_copy};

// --- pi_BasicColor

const pi_BasicColor kBasicColor = {VT_BASIC_COLOR_VERSION, 0, detail::colour_convert_pixels,
                                   detail::colour_convert_row, detail::colour_convert_colour};

// --- pi_BasicUtils: the host's translator; with no language loaded, text passes unchanged.

// The units written; a null text and buffer ask whether a translation is active (1 or 0).
std::int32_t bu_translate(const std::uint16_t* text, std::uint16_t* out, std::int32_t capacity) {
    if (!text && !out)
        return lang::IsTranslationActive();
    if (!text || !out || capacity < 1)
        return 0;
    auto* translated = reinterpret_cast<char16_t*>(out);
    lang::Translate(translated, static_cast<std::size_t>(capacity),
                    reinterpret_cast<const char16_t*>(text));
    return static_cast<std::int32_t>(std::char_traits<char16_t>::length(translated));
}
std::int32_t bu_set_window_text(std::uintptr_t window, const std::uint16_t* text) {
    lang::WindowText* w = lang::window_from_handle(window);
    if (!w || !text)
        return 0;
    try {
        return lang::XlatSetWindowText(*w, name_of(text));
    } catch (...) {
        return 0;
    }
}
std::int32_t bu_translate_window(std::uintptr_t window) {
    if (!lang::IsTranslationActive())
        return -1;
    try {
        if (lang::WindowText* w = lang::window_from_handle(window))
            (void)lang::TranslateWindow(*w);
    } catch (...) {
        // A window that fails to take its texts keeps the English ones.
    }
    return 1;
}

const pi_BasicUtils kBasicUtils = {VT_BASIC_UTILS_VERSION, 0, bu_translate, bu_set_window_text,
                                   bu_translate_window};

// --- pi_BasicVideo: served by the suite's video helper, one process per session.

VideoSession* as_session(void* session) {
    return static_cast<VideoSession*>(session);
}

void* bv_open(const std::uint16_t* path, std::int32_t timeout_ms, std::int32_t* result) {
    std::int32_t r = VT_ERR_COMPONENT_MISSING;
    VideoSession* session = nullptr;
    try {
        session = VideoSession::open(find_video_helper(), reinterpret_cast<const char16_t*>(path),
                                     timeout_ms, r);
    } catch (const std::bad_alloc&) {
        r = VT_ERR_OUT_OF_MEMORY;
    }
    if (result != nullptr)
        *result = r;
    return session;
}
std::int32_t bv_close(void* session) {
    delete as_session(session);
    return session != nullptr ? VT_OK : VT_ERR_PARAMETER_RANGE;
}
const VtVideoFrame* bv_read(void* session, std::int64_t frame) {
    return session != nullptr ? as_session(session)->read_frame(frame) : nullptr;
}
std::int32_t bv_keep_alive(void* session) {
    return session != nullptr ? as_session(session)->keep_alive() : VT_ERR_PARAMETER_RANGE;
}
std::int32_t bv_set_timeout(void* session, std::int32_t timeout_ms) {
    return session != nullptr ? as_session(session)->set_timeout(timeout_ms)
                              : VT_ERR_PARAMETER_RANGE;
}
std::int32_t bv_query_time(void* session, std::int64_t* ms) {
    return session != nullptr && ms != nullptr ? as_session(session)->query_time(*ms)
                                               : VT_ERR_PARAMETER_RANGE;
}
std::int32_t bv_query_count(void* session, std::int64_t* count) {
    return session != nullptr && count != nullptr ? as_session(session)->query_count(*count)
                                                  : VT_ERR_PARAMETER_RANGE;
}
std::int32_t bv_query_value4(void* session, double* value) {
    return session != nullptr && value != nullptr ? as_session(session)->query_value4(*value)
                                                  : VT_ERR_PARAMETER_RANGE;
}

const pi_BasicVideo kBasicVideo = {VT_BASIC_VIDEO_VERSION,
                                   0,
                                   bv_open,
                                   bv_close,
                                   bv_read,
                                   bv_keep_alive,
                                   bv_set_timeout,
                                   bv_query_time,
                                   bv_query_count,
                                   bv_query_value4};

} // namespace

const pi_StateStore* state_store_table() noexcept {
    return &kStateStore;
}
const pi_MetaMarkup* meta_markup_table() noexcept {
    return &kMetaMarkup;
}
const pi_BasicQuery* basic_query_table() noexcept {
    return &kBasicQuery;
}
const pi_BasicImage* basic_image_table() noexcept {
    return &kBasicImage;
}
const pi_BasicColor* basic_color_table() noexcept {
    return &kBasicColor;
}
const pi_BasicUtils* basic_utils_table() noexcept {
    return &kBasicUtils;
}
const pi_BasicVideo* basic_video_table() noexcept {
    return &kBasicVideo;
}

} // namespace vt::plugins
