#pragma once
// A small plug-in host for the format plug-in tests and fuzz targets: loads a plug-in (or takes
// its entry points directly), fills zeroed call records and serves the callbacks with real
// Bitmap and MetaBlock records. It is test support, not a second host: one thread, one call at
// a time, frames in a fixed array, the composite of a multi-frame save is frame 0, and the
// state store is a process-wide map.

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"
#include "image/markup_buffer.h"
#include "image/meta_block.h"
#include "sdk/vt_plugin.h"

namespace vt::test {

struct PluginApi {
    VtCheckFn check_load = nullptr;
    VtCallFn load = nullptr;
    VtCheckFn check_save = nullptr;
    VtCallFn save = nullptr;
};

// A plug-in library opened the way the host opens one.
class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path) {
        m_handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_handle == nullptr) {
            m_error = ::dlerror();
            return;
        }
        m_api.check_load = reinterpret_cast<VtCheckFn>(::dlsym(m_handle, "flt_CheckLoad"));
        m_api.load = reinterpret_cast<VtCallFn>(::dlsym(m_handle, "flt_LoadImage"));
        m_api.check_save = reinterpret_cast<VtCheckFn>(::dlsym(m_handle, "flt_CheckSave"));
        m_api.save = reinterpret_cast<VtCallFn>(::dlsym(m_handle, "flt_SaveImage"));
    }
    ~PluginLibrary() {
        if (m_handle != nullptr)
            ::dlclose(m_handle);
    }
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    [[nodiscard]] bool loaded() const { return m_handle != nullptr; }
    [[nodiscard]] const PluginApi& api() const { return m_api; }
    [[nodiscard]] const std::string& error() const { return m_error; }

private:
    void* m_handle = nullptr;
    PluginApi m_api;
    std::string m_error;
};

#ifdef VT_PLUGINS_DIR
inline std::string plugin_path(std::string_view name) {
    return std::string(VT_PLUGINS_DIR) + "/" + std::string(name) + ".so";
}
#endif

// One frame as the tests see it: 32-bit B, G, R, transparency pixels, rows packed.
struct Frame {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> pixels{};
    std::string markup{};      // the "MARK" chunk's text
    std::uint16_t delay = 0;   // mode2: the frame delay of an animation frame
    std::int32_t x = 0, y = 0; // position on the canvas
    // Every other chunk of the frame's metadata by tag ("ICCP", "EXIF", "XMP ", ...).
    std::map<std::uint32_t, std::vector<std::uint8_t>> chunks{};
};

// A deep picture as a plug-in delivers or takes it (sdk/vt_plugin.h's VtDeepImage, unpadded).
struct DeepFrame {
    std::uint32_t width = 0, height = 0, channels = 0, bits = 0;
    std::vector<std::uint16_t> samples{};
    [[nodiscard]] bool empty() const { return samples.empty(); }
};

// A deep picture as red, green, blue, alpha samples (grey spread to the three colours).
inline std::vector<std::uint16_t> deep_rgba(const DeepFrame& d) {
    if (d.channels == 4)
        return d.samples;
    std::vector<std::uint16_t> out;
    for (std::size_t i = 0; i + 1 < d.samples.size(); i += 2)
        out.insert(out.end(), {d.samples[i], d.samples[i], d.samples[i], d.samples[i + 1]});
    return out;
}

struct LoadResult {
    std::int32_t result = 0;
    std::uint16_t warnings = 0;
    std::uint8_t doc_kind = 0; // what the plug-in reported
    std::vector<Frame> frames;
    // Each frame as the plug-in handed it over (x, y, width, height), before changes are composed.
    std::vector<std::array<std::int32_t, 4>> delivered;
    // Frame 0 at 16 bits, when asked for (LoadOptions::want_deep) and delivered.
    DeepFrame deep;
};

struct LoadOptions {
    std::uint32_t time_limit_ms = 0;
    std::uint32_t elapsed_ms = 0; // how long the call has already run when it starts
    std::uint32_t max_frames = 16;
    std::uint64_t max_pixels = 0; // a lower frame size limit (fuzzing), 0 = the bitmap's own
    bool want_deep = false;       // ask for frame 0 at 16 bits too
};

// The host's process-wide service state, as the plug-ins reach it through the tables.
struct HarnessServices {
    static std::map<std::u16string, std::vector<std::uint8_t>>& state() {
        static std::map<std::u16string, std::vector<std::uint8_t>> entries;
        return entries;
    }
    // What the markup service's EXIF import was last handed (the import itself answers 0, as
    // the host does without the core library).
    static std::vector<std::uint8_t>& last_exif() {
        static std::vector<std::uint8_t> bytes;
        return bytes;
    }
    static void set_state(std::u16string_view name, std::string_view value) {
        state()[std::u16string(name)] = std::vector<std::uint8_t>(value.begin(), value.end());
    }
    // The query table a test lends the plug-ins (video needs the host's); none by default.
    static const pi_BasicQuery*& basic_query() {
        static const pi_BasicQuery* table = nullptr;
        return table;
    }
};

namespace detail {

inline std::u16string name_of(const std::uint16_t* name) {
    std::u16string out;
    for (; name != nullptr && *name != 0; ++name)
        out += static_cast<char16_t>(*name);
    return out;
}

inline std::int32_t state_get(const std::uint16_t* name, void* buffer, std::int32_t capacity) {
    const auto& entries = HarnessServices::state();
    const auto it = entries.find(name_of(name));
    if (name == nullptr || buffer == nullptr || capacity < 1 || it == entries.end())
        return 0;
    const std::size_t n =
        std::min<std::size_t>(static_cast<std::size_t>(capacity), it->second.size());
    std::memcpy(buffer, it->second.data(), n);
    return static_cast<std::int32_t>(n);
}
inline std::int32_t state_set(const std::uint16_t* name, const void* data, std::int32_t size) {
    if (name == nullptr)
        return 0;
    if (size <= 0) {
        HarnessServices::state().erase(name_of(name));
        return 1;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    HarnessServices::state()[name_of(name)].assign(bytes, bytes + size);
    return size;
}
inline std::int32_t state_size(const std::uint16_t* name) {
    const auto it = HarnessServices::state().find(name_of(name));
    return it == HarnessServices::state().end() ? 0 : static_cast<std::int32_t>(it->second.size());
}
inline const pi_StateStore kStateStore = {
    VT_STATE_STORE_VERSION,
    0,
    state_get,
    state_set,
    state_size,
    [](const std::uint16_t*, void*, std::int32_t) { return 0; },
    [](const std::uint16_t*, const void*, std::int32_t) { return 0; },
    [](const std::uint16_t*) { return 0; }};

inline std::int32_t mb_get(const MarkupBuffer* mb, const char* key, char* value,
                           std::uint32_t capacity) {
    return key == nullptr ? 0 : image::markup_buffer_get_value(mb, key, value, capacity);
}
inline std::int32_t mb_set(MarkupBuffer* mb, const char* key, const char* value) {
    return key == nullptr || value == nullptr ? 0 : image::markup_buffer_set_value(mb, key, value);
}
inline std::int32_t mb_import_exif(MarkupBuffer*, const void* exif, std::uint32_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(exif);
    HarnessServices::last_exif().assign(bytes, bytes + size);
    return 0;
}
inline std::int32_t mb_import_xmp(MarkupBuffer* mb, const char* xmp) {
    return xmp == nullptr ? 0 : image::import_xmp(mb, xmp);
}

inline const pi_MetaMarkup kMetaMarkup = {
    VT_META_MARKUP_VERSION,
    0,
    image::markup_buffer_create,
    image::markup_buffer_create_from,
    image::markup_buffer_free,
    image::markup_buffer_append,
    mb_get,
    mb_set,
    image::markup_buffer_get_bit_depth,
    image::markup_buffer_set_bit_depth,
    [](const MarkupBuffer*, void*, std::uint32_t) { return 0; },
    mb_import_exif,
    mb_import_xmp};

inline std::uint64_t now_ms() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// The call record with what the harness keeps beside it; the callbacks find it from the
// record's address.
struct HostCall {
    FilterCall call;
    Layer* layers;
    std::uint64_t max_pixels;
    bool composite_used;
    std::uint16_t message[256];
};
static_assert(offsetof(HostCall, call) == 0);

inline HostCall& host_of(FilterCall* call) {
    return *reinterpret_cast<HostCall*>(call);
}

inline void release_current(FilterCall* call) {
    HostCall& host = host_of(call);
    if (call->current_frame >= 0)
        image::UnlockBitmap(&host.layers[call->current_frame].bitmap, 0);
    call->current_frame = -1;
    if (call->composite.signature != 0) {
        image::UnlockBitmap(&call->composite, 0);
        image::FreeBitmap(&call->composite);
    }
}

inline void describe(FilterCall* call, const Bitmap& bmp) {
    call->width = bmp.width;
    call->height = bmp.height;
    call->stride = bmp.stride;
    call->pixels = bmp.pixels;
}

inline std::int32_t add_frame(FilterCall* call) {
    HostCall& host = host_of(call);
    call->status = VT_ERR_INTERNAL;
    release_current(call);
    if (call->time_limit_ms != 0) {
        if ((call->flags & VT_CALL_RESTART_CLOCK) != 0) {
            call->flags = static_cast<std::uint16_t>(call->flags & ~VT_CALL_RESTART_CLOCK);
            call->start_time = now_ms();
        }
        if (now_ms() - call->start_time > call->time_limit_ms) {
            call->warnings |= VT_WARN_TIMEOUT;
            call->status = VT_ERR_TIMEOUT;
            return 0;
        }
    }
    const std::uint32_t index = call->frames_in_use;
    if (static_cast<std::int64_t>(index) > call->max_frame)
        return 0;
    Layer& layer = host.layers[index];
    image::FreeBitmap(&layer.bitmap);
    if (host.max_pixels != 0 &&
        static_cast<std::uint64_t>(call->width) * call->height > host.max_pixels) {
        call->status = VT_ERR_BITMAP_TOO_BIG;
        return 0;
    }
    const bool may_reduce = (call->flags & VT_CALL_MAY_REDUCE) != 0;
    const int made =
        image::CreateBitmap(&layer.bitmap, static_cast<std::int32_t>(call->width),
                            static_cast<std::int32_t>(call->height),
                            image::kCreateMemory | (may_reduce ? 0 : image::kCreateStrict));
    if (made == 0) {
        const std::uint32_t error = gfx::last_engine_error();
        call->status = error == 4   ? VT_ERR_BITMAP_SIZE_ZERO
                       : error == 6 ? VT_ERR_BITMAP_TOO_BIG
                                    : VT_ERR_BITMAP_REQUEST;
        return 0;
    }
    if (made == static_cast<int>(image::kCreateShrunk))
        call->reduced = 1;
    if (image::LockBitmap(&layer.bitmap, 0) == 0) {
        image::FreeBitmap(&layer.bitmap);
        return 0;
    }
    call->current_frame = static_cast<std::int32_t>(index);
    call->frames_in_use = index + 1;
    call->frame_count = index + 1;
    describe(call, layer.bitmap);
    std::memcpy(layer.name, call->name, sizeof(layer.name));
    layer.mode = call->mode;
    layer.mode2 = call->mode2;
    layer.x = call->x;
    layer.y = call->y;
    layer.attr = call->attr;
    layer.transparency = call->transparency;
    layer.meta = call->meta;
    layer.meta_size = image::meta_block_size(call->meta, 0xFFFFFFFFu);
    call->flags =
        static_cast<std::uint16_t>(call->reduced != 0 ? (call->flags | VT_CALL_MAY_REDUCE)
                                                      : (call->flags & ~VT_CALL_MAY_REDUCE));
    call->status = VT_OK;
    call->meta = nullptr;
    return made;
}

inline std::int32_t add_meta_chunk(FilterCall* call, std::uint32_t tag, std::uint32_t size) {
    HostCall& host = host_of(call);
    if (call->current_frame < 0 || tag == 0)
        return 0;
    void* data = nullptr;
    Layer& layer = host.layers[call->current_frame];
    if (image::add_layer_chunk(layer, tag, size, call->meta,
                               call->meta == nullptr ? &data : nullptr) == 0)
        return 0;
    if (call->meta == nullptr)
        call->meta = data;
    return static_cast<std::int32_t>(size);
}

inline std::int32_t select_frame(FilterCall* call, std::int32_t index) {
    HostCall& host = host_of(call);
    release_current(call);
    if (index >= static_cast<std::int32_t>(call->frame_count))
        return 0;
    if (index >= 0) {
        Layer& layer = host.layers[index];
        if (image::LockBitmap(&layer.bitmap, 0) == 0)
            return 0;
        call->current_frame = index;
        describe(call, layer.bitmap);
        std::memcpy(call->name, layer.name, sizeof(call->name));
        call->mode = layer.mode;
        call->mode2 = layer.mode2;
        call->x = static_cast<std::int16_t>(layer.x);
        call->y = static_cast<std::int16_t>(layer.y);
        call->attr = layer.attr;
        call->transparency = layer.transparency;
        call->meta = layer.meta;
        return 1;
    }
    // The harness's composite is a copy of frame 0: enough to see that it was asked for.
    host.composite_used = true;
    if (image::CopyBitmap(&call->composite, &host.layers[0].bitmap) == 0 ||
        image::LockBitmap(&call->composite, 0) == 0)
        return 0;
    describe(call, call->composite);
    std::memset(call->name, 0, sizeof(call->name));
    call->mode = call->mode2 = 0;
    call->x = call->y = 0;
    call->attr = call->transparency = 0;
    call->meta = nullptr;
    return 1;
}

inline std::int32_t set_message(FilterCall* call, const std::uint16_t* text) {
    if (call->message == nullptr || call->message_capacity < 16 || text == nullptr)
        return 0;
    std::uint32_t n = 0;
    for (; text[n] != 0 && n + 1 < call->message_capacity; ++n)
        call->message[n] = text[n];
    call->message[n] = 0;
    return static_cast<std::int32_t>(n);
}

inline void prepare(HostCall& host, const std::u16string& path) {
    FilterCall& call = host.call;
    call.path = reinterpret_cast<const std::uint16_t*>(path.c_str());
    call.meta_cb.add_meta_chunk = nullptr;
    call.set_message = set_message;
    call.state_store = &kStateStore;
    call.meta_markup = &kMetaMarkup;
    call.basic_query = HarnessServices::basic_query();
    call.layers = host.layers;
    call.current_frame = -1;
    call.message = host.message;
    call.message_capacity = 256;
}

inline Frame take_frame(Layer& layer) {
    Frame frame;
    if (layer.bitmap.signature != 0 && image::LockBitmap(&layer.bitmap, 0) != 0) {
        frame.width = layer.bitmap.width;
        frame.height = layer.bitmap.height;
        frame.pixels.resize(static_cast<std::size_t>(frame.width) * frame.height);
        for (std::uint32_t y = 0; y < frame.height; ++y)
            std::memcpy(&frame.pixels[static_cast<std::size_t>(y) * frame.width],
                        layer.bitmap.pixels + static_cast<std::size_t>(y) * layer.bitmap.stride,
                        frame.width * 4u);
        image::UnlockBitmap(&layer.bitmap, 0);
    }
    frame.delay = layer.mode2;
    frame.x = layer.x;
    frame.y = layer.y;
    image::MetaChunkIterator it(layer.meta, layer.meta_size);
    for (image::MetaChunk chunk{}; it.next(chunk);) {
        if (chunk.tag == image::kTagMark)
            frame.markup.assign(reinterpret_cast<const char*>(chunk.data),
                                strnlen(reinterpret_cast<const char*>(chunk.data), chunk.size));
        else
            frame.chunks[chunk.tag].assign(chunk.data, chunk.data + chunk.size);
    }
    return frame;
}

// The frame's metadata block as a plug-in's save finds it.
inline bool give_meta(Layer& layer, const Frame& frame) {
    if (!frame.markup.empty() &&
        image::add_layer_chunk(layer, image::kTagMark,
                               static_cast<std::uint32_t>(frame.markup.size() + 1),
                               frame.markup.c_str()) == 0)
        return false;
    for (const auto& [tag, bytes] : frame.chunks)
        if (image::add_layer_chunk(layer, tag, static_cast<std::uint32_t>(bytes.size()),
                                   bytes.data()) == 0)
            return false;
    return true;
}

inline std::int32_t get_meta_chunk(FilterCall* call, std::uint32_t tag) {
    HostCall& host = host_of(call);
    if (call->current_frame < 0)
        return 0;
    const Layer& layer = host.layers[call->current_frame];
    if (tag == 0) {
        call->meta = layer.meta;
        return static_cast<std::int32_t>(layer.meta_size);
    }
    image::MetaChunk chunk{};
    if (!image::find_layer_chunk(layer, tag, chunk)) {
        call->meta = nullptr;
        return 0;
    }
    call->meta = chunk.data;
    return static_cast<std::int32_t>(chunk.size);
}

inline void free_layers(std::vector<Layer>& layers) {
    for (Layer& layer : layers) {
        image::FreeBitmap(&layer.bitmap);
        std::free(layer.meta);
        layer.meta = nullptr;
    }
}

} // namespace detail

// Loads a file through the plug-in's flt_LoadImage.
inline LoadResult load_with(const PluginApi& api, const std::string& path,
                            const LoadOptions& options = {}) {
    LoadResult out;
    std::vector<Layer> layers(options.max_frames);
    auto host = std::make_unique<detail::HostCall>(); // zeroed
    host->layers = layers.data();
    host->max_pixels = options.max_pixels;
    const std::u16string path16 = base::utf8_to_utf16(path);
    detail::prepare(*host, path16);
    FilterCall& call = host->call;
    call.frame_cb.add_frame = detail::add_frame;
    call.meta_cb.add_meta_chunk = detail::add_meta_chunk;
    call.time_limit_ms = options.time_limit_ms;
    call.max_frame = static_cast<std::int32_t>(options.max_frames) - 1;
    call.start_time = detail::now_ms() - options.elapsed_ms;
    VtDeepCall deep{};
    if (options.want_deep) {
        deep.version = VT_DEEP_VERSION;
        deep.flags = VT_DEEP_WANTED;
        call.deep = &deep;
    }
    out.result = api.load(&call);
    detail::release_current(&call);
    if ((deep.answer & VT_DEEP_DELIVERED) != 0 && deep.image.samples != nullptr) {
        const VtDeepImage& d = deep.image;
        out.deep = {d.width, d.height, d.channels, d.bits, {}};
        for (std::uint32_t y = 0; y < d.height; ++y)
            out.deep.samples.insert(out.deep.samples.end(), d.samples + std::size_t{y} * d.stride,
                                    d.samples + std::size_t{y} * d.stride +
                                        std::size_t{d.width} * d.channels);
        std::free(d.samples);
    }
    out.warnings = call.warnings;
    out.doc_kind = call.doc_kind;
    for (std::uint32_t i = 0; i < call.frames_in_use; ++i) {
        out.frames.push_back(detail::take_frame(layers[i]));
        const Frame& f = out.frames.back();
        out.delivered.push_back(
            {f.x, f.y, static_cast<std::int32_t>(f.width), static_cast<std::int32_t>(f.height)});
    }
    // Frames that hold only their change (host mark 0x40) are shown whole, as the host would.
    for (std::size_t i = 1; call.doc_kind == 2 && (call.kind_param & 0x40) && i < out.frames.size();
         ++i) {
        Frame whole = out.frames[i - 1], &change = out.frames[i];
        for (std::uint32_t y = 0; y < change.height; ++y)
            std::memcpy(&whole.pixels[(change.y + y) * std::size_t{whole.width} + change.x],
                        &change.pixels[y * std::size_t{change.width}], change.width * 4u);
        whole.delay = change.delay;
        whole.markup = change.markup;
        whole.chunks = change.chunks;
        change = std::move(whole);
    }
    std::free(call.meta); // a block handed over but never taken by add_frame
    detail::free_layers(layers);
    return out;
}

struct SaveResult {
    std::int32_t result = 0;
    bool composite_used = false;
    bool deep_written = false; // the plug-in said it wrote the offered deep picture
};

// Saves frames through the plug-in's flt_SaveImage (frame 0 selected first, as the host does).
inline SaveResult save_with(const PluginApi& api, const std::string& path,
                            const std::vector<Frame>& frames, std::uint8_t doc_kind = 0,
                            const DeepFrame* deep_offer = nullptr) {
    SaveResult out;
    std::vector<Layer> layers(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const Frame& f = frames[i];
        Layer& layer = layers[i];
        const bool made = image::CreateBitmap(&layer.bitmap, static_cast<std::int32_t>(f.width),
                                              static_cast<std::int32_t>(f.height),
                                              image::kCreateMemory | image::kCreateStrict) != 0 &&
                          image::LockBitmap(&layer.bitmap, 0) != 0;
        for (std::uint32_t y = 0; made && y < f.height; ++y)
            std::memcpy(layer.bitmap.pixels + static_cast<std::size_t>(y) * layer.bitmap.stride,
                        &f.pixels[static_cast<std::size_t>(y) * f.width], f.width * 4u);
        layer.mode2 = f.delay;
        layer.x = f.x;
        layer.y = f.y;
        if (made)
            image::UnlockBitmap(&layer.bitmap, 0);
        if (!made || !detail::give_meta(layer, f)) {
            detail::free_layers(layers);
            out.result = made ? VT_ERR_OUT_OF_MEMORY : VT_ERR_BITMAP_REQUEST;
            return out;
        }
    }
    auto host = std::make_unique<detail::HostCall>(); // zeroed
    host->layers = layers.data();
    const std::u16string path16 = base::utf8_to_utf16(path);
    detail::prepare(*host, path16);
    FilterCall& call = host->call;
    call.frame_cb.select_frame = detail::select_frame;
    call.meta_cb.get_meta_chunk = detail::get_meta_chunk;
    call.frame_count = call.frames_in_use = static_cast<std::uint32_t>(frames.size());
    call.doc_kind = doc_kind;
    if (!frames.empty())
        (void)detail::select_frame(&call, 0);
    VtDeepCall deep{};
    if (deep_offer != nullptr && !deep_offer->empty()) {
        deep.version = VT_DEEP_VERSION;
        deep.flags = VT_DEEP_OFFERED;
        deep.image = {deep_offer->width,
                      deep_offer->height,
                      deep_offer->channels,
                      deep_offer->width * deep_offer->channels,
                      const_cast<std::uint16_t*>(deep_offer->samples.data()),
                      deep_offer->bits,
                      0};
        call.deep = &deep;
    }
    out.result = api.save(&call);
    detail::release_current(&call);
    out.deep_written = (deep.answer & VT_DEEP_WRITTEN) != 0;
    out.composite_used = host->composite_used;
    detail::free_layers(layers);
    return out;
}

// The answer of flt_CheckLoad / flt_CheckSave for an extension and the first bytes of a file.
inline FilterCheck check_with(VtCheckFn fn, std::u16string_view extension,
                              std::string_view head = {}) {
    FilterCheck check{};
    for (std::size_t i = 0; i < extension.size() && i < 31; ++i)
        check.extension[i] = extension[i];
    const std::size_t n = std::min<std::size_t>(head.size(), 32);
    if (n > 0)
        std::memcpy(check.head, head.data(), n);
    check.head_size = static_cast<std::uint32_t>(n);
    if (fn != nullptr && fn(&check) == 0)
        check.level = 0;
    return check;
}

// The host's load score of an answer.
inline int load_score(const FilterCheck& c) {
    if (c.level == 0)
        return 0;
    int score = c.level + c.bonus1 + c.bonus2;
    if ((c.flags & 1) == 0)
        score += 1000;
    if ((c.flags & 2) == 0)
        score += 1000;
    return score < 1 ? 1 : score;
}

} // namespace vt::test
