#include "plugins/plugin_interface.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include <malloc.h>

#include "base/text.h"
#include "base/utf.h"
#include "gfx/flatten.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"
#include "image/image_doc.h"
#include "image/meta_block.h"
#include "platform/clock.h"
#include "platform/guarded_call.h"
#include "platform/keep_awake.h"
#include "platform/paths.h"
#include "platform/ui_hooks.h"
#include "plugins/frame_budget.h"
#include "plugins/frame_changes.h"
#include "plugins/host_services.h"

namespace vt::plugins {

namespace {

using platform::DynamicLibrary;

std::u16string_view code_text(int code) {
    switch (code) {
    case 1:
        return u"Success: The operation completed successfully";
    case -1:
        return u"Error: The file is either corrupted or the file format is not supported";
    case -2:
        return u"Error: The file format is supported but the requested feature is not implemented";
    case -3:
        return u"Error: Cannot find any image data in the specified source";
    case -4:
        return u"Error: A component required by this plug-in was not found";
    case -5:
        return u"Error: A component required by this plug-in encountered an error";
    case -6:
        return u"Error: The system requirements of this plug-in have not been met";
    case -7:
        return u"Error: An I/O device error occurred";
    case -10:
        return u"Error: This plug-in requires services not provided by the host";
    case -11:
        return u"Error: One or more parameters are out of range for this plug-in";
    case -12:
        return u"Error: The image does not meet this plug-in's requirements";
    case -13:
        return u"Error: The image has dimensions that are not supported";
    case -14:
        return u"Error: The current image-mode is invalid for the selected destination";
    case -15:
        return u"Error: This plug-in requires a flattened single-layer image";
    case -20:
        return u"Error: The system ran out of RAM while servicing the request";
    case -25:
        return u"Error: The system was unable to service a bitmap request";
    case -26:
        return u"Error: The requested bitmap size is zero";
    case -27:
        return u"Error: The requested bitmap size is too big";
    case -30:
    case -31:
    case -32:
    case -33:
    case -34:
        return u"Error: An internal error occurred";
    case -40:
        return u"Error: Cannot open the file for reading, please check access";
    case -41:
        return u"Error: Cannot open the file for writing, please check access";
    case -42:
        return u"Error: Cannot read data from the file, file may be incomplete";
    case -43:
        return u"Error: Cannot write data to the file, check disk space";
    case -44:
        return u"Error: Invalid data was found while processing the file";
    case -98:
        return u"Expired: The operation timed out";
    case -99:
        return u"Cancelled: The operation was cancelled by the user";
    default:
        return u"Error: An unknown error occurred";
    }
}

template <typename Fn, typename Record>
struct GuardedExport {
    Fn fn;
    Record* record;
    std::int32_t result;
    void operator()() { result = fn(record); }
};

// Calls an export under the fault guard; a fault gives -30 and, unless silent, the box.
template <typename Fn, typename Record>
std::int32_t call_guarded(Fn fn, Record* record, std::u16string_view module, bool silent) {
    GuardedExport<Fn, Record> call{fn, record, -30};
    platform::Fault fault;
    if (platform::guarded(call, fault))
        return call.result;
    if (!silent)
        platform::message_box(fault.description() + u" in module\n" + std::u16string(module),
                              u"Plug-in Error!!", platform::MessageButtons::ok,
                              platform::MessageIcon::warning);
    return -30;
}

template <typename Fn>
Fn export_of(const DynamicLibrary& lib, const char* name) {
    return reinterpret_cast<Fn>(lib.symbol(name));
}

void set_extension(FilterCheck& check, std::u16string_view ext) {
    std::memset(check.extension, 0, sizeof check.extension);
    const std::size_t n = std::min<std::size_t>(ext.size(), 31);
    for (std::size_t i = 0; i < n; ++i)
        check.extension[i] = ext[i];
}

// The impossible questions: a plug-in that claims them claims everything.
bool claims_load_probe(VtCheckFn check_load, std::u16string_view module) {
    FilterCheck probe{};
    set_extension(probe, u".***");
    std::memcpy(probe.head, "abcdefgh", 8);
    probe.head_size = 8;
    return call_guarded(check_load, &probe, module, true) != 0 && load_score(probe) > 1;
}

bool claims_save_probe(VtCheckFn check_save, std::u16string_view module) {
    for (std::u16string_view ext : {u".***", u".sys", u".vxd"}) {
        FilterCheck probe{};
        set_extension(probe, ext);
        if (call_guarded(check_save, &probe, module, true) != 0 && save_score(probe) > 1)
            return true;
    }
    return false;
}

std::vector<Candidate> candidates(const FilterCheck& check, FilterRegistry& registry, bool save) {
    std::vector<Candidate> list;
    const bool has_extension = check.extension[0] != 0;
    const std::size_t count = registry.refresh_plugin_list();
    for (std::size_t i = 0; i < count && list.size() < kMaxCandidates; ++i) {
        const std::u16string path = registry.plugin_path(i);
        DynamicLibrary lib;
        if (path.empty() || !lib.open(path))
            continue;
        const auto check_fn = export_of<VtCheckFn>(lib, save ? "flt_CheckSave" : "flt_CheckLoad");
        const auto call_fn = lib.symbol(save ? "flt_SaveImage" : "flt_LoadImage");
        if (!call_fn)
            continue;
        int score = 0;
        if ((has_extension || save) && check_fn) {
            if (save ? claims_save_probe(check_fn, path) : claims_load_probe(check_fn, path)) {
                registry.blacklist_add(path);
                score = -1;
            } else {
                FilterCheck copy = check;
                if (call_guarded(check_fn, &copy, path, true) != 0)
                    score = save ? save_score(copy) : load_score(copy);
            }
        }
        if (!save || score > 0)
            list.push_back({score, path});
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    return list;
}

// --- callbacks: everything they need is in the record

Layer* layer_at(FilterCall* c, std::int32_t index) {
    return c->layers + index;
}

void describe_bitmap(FilterCall* c, const Bitmap& bmp) {
    c->width = bmp.width;
    c->height = bmp.height;
    c->stride = bmp.stride;
    c->pixels = bmp.pixels;
}

void release_current(FilterCall* c) {
    if (c->current_frame >= 0)
        image::UnlockBitmap(&layer_at(c, c->current_frame)->bitmap, 0);
    c->current_frame = -1;
    if (c->composite.signature != 0) {
        image::UnlockBitmap(&c->composite, 0);
        image::FreeBitmap(&c->composite);
    }
}

// The pixel bytes of the frames a load has added so far.
std::uint64_t held_frame_bytes(FilterCall* c, std::int32_t count) {
    std::uint64_t held = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const Bitmap& b = layer_at(c, i)->bitmap;
        held += std::uint64_t{b.width} * b.height * 4;
    }
    return held;
}

std::int32_t on_add_frame(FilterCall* c) {
    c->status = -30;
    platform::keep_system_awake();
    release_current(c);
    if (c->time_limit_ms != 0) {
        if (c->flags & VT_CALL_RESTART_CLOCK) {
            c->flags = static_cast<std::uint16_t>(c->flags & ~VT_CALL_RESTART_CLOCK);
            if (c->parent_window != 0)
                c->start_time = platform::now();
        }
        if (platform::elapsed_ms(c->start_time) > c->time_limit_ms) {
            c->warnings |= VT_WARN_TIMEOUT;
            c->status = -98;
            return 0;
        }
    }
    const auto index = static_cast<std::int32_t>(c->frames_in_use);
    if (index > c->max_frame) {
        note_frame_limit();
        return 0;
    }
    Layer* layer = layer_at(c, index);
    if (image::IsBitmapValid(&layer->bitmap))
        image::FreeBitmap(&layer->bitmap);
    const std::uint64_t bytes = std::uint64_t{c->width} * c->height * 4;
    if (!frame_fits(held_frame_bytes(c, index), bytes)) {
        c->status = VT_ERR_OUT_OF_MEMORY;
        return 0;
    }
    const std::uint32_t create_flags =
        image::kCreateMemory | ((c->flags & VT_CALL_MAY_REDUCE) ? 0 : image::kCreateStrict);
    const int made = image::CreateBitmap(&layer->bitmap, static_cast<std::int32_t>(c->width),
                                         static_cast<std::int32_t>(c->height), create_flags);
    if (made == 0) {
        const std::uint32_t why = gfx::last_engine_error();
        if (why == gfx::kErrorScratch)
            note_out_of_memory(bytes);
        if (why == gfx::kErrorTooLarge)
            note_too_large(c->width, c->height);
        c->status = why == gfx::kErrorArgument   ? -26
                    : why == gfx::kErrorTooLarge ? -27
                    : why == gfx::kErrorScratch  ? VT_ERR_OUT_OF_MEMORY
                                                 : -25;
        return 0;
    }
    if (made == static_cast<int>(image::kCreateShrunk))
        c->reduced = 1;
    if (!image::LockBitmap(&layer->bitmap, 0)) {
        image::FreeBitmap(&layer->bitmap);
        return 0;
    }
    c->current_frame = index;
    c->frames_in_use = static_cast<std::uint32_t>(index) + 1;
    c->frame_count = c->frames_in_use;
    describe_bitmap(c, layer->bitmap);

    std::memcpy(layer->name, c->name, sizeof layer->name);
    layer->name[31] = 0;
    layer->mode = c->mode;
    layer->x = c->x;
    layer->y = c->y;
    layer->mode2 = c->mode2;
    layer->attr = c->attr;
    layer->transparency = c->transparency;
    if (c->meta) {
        // The host owns the plug-in's block from here on.
        const auto available = static_cast<std::uint32_t>(
            std::min<std::size_t>(malloc_usable_size(c->meta), UINT32_MAX));
        image::set_layer_meta(*layer, c->meta, image::meta_block_size(c->meta, available));
    }
    if (c->mode2 != 0 && (c->min_mode2 == 0 || c->mode2 < c->min_mode2))
        c->min_mode2 = c->mode2;
    c->flags = static_cast<std::uint16_t>((c->flags & ~VT_CALL_MAY_REDUCE) |
                                          (c->reduced ? VT_CALL_MAY_REDUCE : 0));
    c->status = 1;
    c->meta = nullptr;
    return made;
}

CallRecord& record_of(FilterCall* c) {
    static_assert(std::is_standard_layout_v<CallRecord> && offsetof(CallRecord, call) == 0);
    return *reinterpret_cast<CallRecord*>(c);
}

// A frame of an animation that holds only changes, composed whole for the plug-in, with the
// frame's own name, modes and metadata; composed on from the frame composed last when that
// came before it (savers select frames in order), else from the first.
std::int32_t select_composed_frame(FilterCall* c, std::int32_t index) {
    Layer* layer = layer_at(c, index);
    CallRecord& r = record_of(c);
    const bool on = r.composed_index >= 0 && r.composed_index <= index;
    if (!(on ? advance_frame(&r.composed, c->layers, r.composed_index, index)
             : compose_frame(&r.composed, c->layers, c->frame_count, index))) {
        r.forget_composed();
        return 0;
    }
    r.composed_index = index;
    if (!image::CopyBitmap(&c->composite, &r.composed) || !image::LockBitmap(&c->composite, 0)) {
        image::FreeBitmap(&c->composite);
        return 0;
    }
    // The frame itself is current too, so its metadata chunks can be asked for.
    if (!image::LockBitmap(&layer->bitmap, 0)) {
        release_current(c);
        return 0;
    }
    c->current_frame = index;
    describe_bitmap(c, c->composite);
    std::memcpy(c->name, layer->name, sizeof c->name);
    c->x = c->y = 0;
    c->mode = layer->mode;
    c->mode2 = layer->mode2;
    c->attr = layer->attr;
    c->transparency = layer->transparency;
    c->meta = layer->meta;
    return 1;
}

std::int32_t on_select_frame(FilterCall* c, std::int32_t index) {
    release_current(c);
    if (index >= static_cast<std::int32_t>(c->frame_count))
        return 0;
    if (index >= 0 && holds_frame_changes(c->doc_kind, c->kind_param))
        return select_composed_frame(c, index);
    if (index >= 0) {
        Layer* layer = layer_at(c, index);
        if (!image::LockBitmap(&layer->bitmap, 0))
            return 0;
        c->current_frame = index;
        describe_bitmap(c, layer->bitmap);
        std::memcpy(c->name, layer->name, sizeof c->name);
        c->mode = layer->mode;
        c->x = static_cast<std::int16_t>(layer->x);
        c->y = static_cast<std::int16_t>(layer->y);
        c->mode2 = layer->mode2;
        c->attr = layer->attr;
        c->transparency = layer->transparency;
        c->meta = layer->meta;
        return 1;
    }
    if (!flatten_layers(&c->composite, c->layers, c->frame_count, c->doc_kind, c->kind_param) ||
        !image::LockBitmap(&c->composite, 0)) {
        image::FreeBitmap(&c->composite);
        return 0;
    }
    describe_bitmap(c, c->composite);
    c->x = c->y = 0;
    std::memset(c->name, 0, sizeof c->name);
    c->mode = c->mode2 = 0;
    c->attr = c->transparency = 0;
    c->meta = nullptr;
    return 1;
}

std::int32_t on_add_meta_chunk(FilterCall* c, std::uint32_t tag, std::uint32_t size) {
    if (c->current_frame < 0 || tag == 0)
        return 0;
    void* chunk_data = nullptr;
    if (!image::add_layer_chunk(*layer_at(c, c->current_frame), tag, size, c->meta, &chunk_data))
        return 0;
    if (!c->meta)
        c->meta = chunk_data; // for the plug-in to fill
    return static_cast<std::int32_t>(size);
}

std::int32_t on_get_meta_chunk(FilterCall* c, std::uint32_t tag) {
    if (c->current_frame < 0)
        return 0;
    const Layer& layer = *layer_at(c, c->current_frame);
    if (tag == 0) {
        c->meta = layer.meta;
        return static_cast<std::int32_t>(layer.meta_size);
    }
    image::MetaChunk chunk{};
    if (!image::find_layer_chunk(layer, tag, chunk)) {
        c->meta = nullptr;
        return 0;
    }
    c->meta = chunk.data;
    return static_cast<std::int32_t>(chunk.size);
}

std::int32_t on_set_message(FilterCall* c, const std::uint16_t* text) {
    if (!c->message || c->message_capacity < 16 || !text)
        return 0;
    std::uint32_t n = 0;
    while (n + 1 < c->message_capacity && text[n] != 0) {
        c->message[n] = text[n];
        ++n;
    }
    c->message[n] = 0;
    return static_cast<std::int32_t>(n);
}

void fill_common(CallRecord& r, std::u16string_view path_z, Layer* layers,
                 const LoadStatus& status) {
    FilterCall& c = r.call;
    c = FilterCall{};
    r.forget_composed();
    c.path = reinterpret_cast<const std::uint16_t*>(path_z.data());
    c.parent_window = status.silent ? 0 : status.parent_window;
    c.meta_cb.add_meta_chunk = nullptr;
    c.set_message = on_set_message;
    c.state_store = state_store_table();
    c.meta_markup = meta_markup_table();
    c.basic_query = basic_query_table();
    c.basic_image = basic_image_table();
    c.basic_color = basic_color_table();
    c.basic_utils = basic_utils_table();
    c.layers = layers;
    c.current_frame = -1;
    std::fill(std::begin(r.message), std::end(r.message), u'\0');
    c.message = reinterpret_cast<std::uint16_t*>(r.message);
    c.message_capacity = kMessageChars;
    c.flags = static_cast<std::uint16_t>((status.request[1] ? VT_CALL_REQUEST_1 : 0) |
                                         (status.request[0] ? VT_CALL_REQUEST_2 : 0) |
                                         (status.request[2] ? VT_CALL_REQUEST_3 : 0));
}

std::u16string extension_for_check(std::u16string_view path) {
    std::u16string ext = base::to_lower(platform::extension_of(path));
    if (ext == u".tmp" || ext == u".temp")
        ext.clear();
    return ext.substr(0, 31);
}

} // namespace

std::u16string result_text(int code, std::u16string_view module, std::u16string_view hint) {
    std::u16string text;
    if (code >= 2)
        text = u"Success: Operation completed successfully for " +
               base::decimal(static_cast<unsigned>(code)) + u" items";
    else
        text = code_text(code);
    if (!hint.empty() && text.size() < kResultTextChars - 1)
        text += u"\n\nHint: " + std::u16string(hint);
    if (module.size() > 2 && text.size() < kResultTextChars - 1)
        text += u"\n\nReporting Module: " + std::u16string(platform::file_name_of(module));
    text.resize(std::min(text.size(), kResultTextChars - 1));
    return text;
}

int load_score(const FilterCheck& c) noexcept {
    if (c.level == 0)
        return 0;
    int score = c.level + c.bonus1 + c.bonus2;
    score += (c.flags & 1) ? 0 : 1000;
    score += (c.flags & 2) ? 0 : 1000;
    return std::max(score, 1);
}

int save_score(const FilterCheck& c) noexcept {
    if (c.level < 1)
        return 0;
    return std::max(c.level + c.bonus1 + c.bonus2, 1);
}

FilterCheck make_check(std::u16string_view path, std::span<const std::uint8_t> head) {
    FilterCheck check{};
    set_extension(check, extension_for_check(path));
    const std::size_t n = std::min<std::size_t>(head.size(), sizeof check.head);
    std::copy_n(head.begin(), n, check.head);
    check.head_size = static_cast<std::uint32_t>(n);
    return check;
}

std::vector<Candidate> candidates_for_load(const FilterCheck& check, FilterRegistry& registry) {
    return candidates(check, registry, false);
}

std::vector<Candidate> candidates_for_save(const FilterCheck& check, FilterRegistry& registry) {
    return candidates(check, registry, true);
}

int check_load_with(const DynamicLibrary& plugin, const FilterCheck& check) {
    const auto check_load = export_of<VtCheckFn>(plugin, "flt_CheckLoad");
    FilterCheck copy = check;
    return check_load && call_guarded(check_load, &copy, plugin.path(), true) != 0
               ? load_score(copy)
               : 0;
}

bool check_save_with(const DynamicLibrary& plugin, const FilterCheck& check, bool probe,
                     FilterRegistry& registry) {
    const auto check_save = export_of<VtCheckFn>(plugin, "flt_CheckSave");
    if (!check_save)
        return false;
    if (probe && claims_save_probe(check_save, plugin.path())) {
        registry.blacklist_add(plugin.path());
        return false;
    }
    FilterCheck copy = check;
    return call_guarded(check_save, &copy, plugin.path(), true) != 0 && save_score(copy) >= 1;
}

CallRecord::~CallRecord() {
    forget_composed();
    drop_deep();
}

void CallRecord::drop_deep() noexcept {
    if ((deep.flags & VT_DEEP_WANTED) != 0)
        std::free(deep.image.samples);
    deep = VtDeepCall{};
    call.deep = nullptr;
}

void CallRecord::forget_composed() noexcept {
    if (composed.signature != 0)
        image::FreeBitmap(&composed);
    composed_index = -1;
}

std::optional<int> call_load(const DynamicLibrary& plugin, std::u16string_view file, Layer* layers,
                             std::uint32_t capacity, const LoadStatus& status, CallRecord& record) {
    const auto load = export_of<VtCallFn>(plugin, "flt_LoadImage");
    if (!load || capacity == 0)
        return std::nullopt;
    const std::u16string path_z(file);
    fill_common(record, path_z, layers, status);
    FilterCall& c = record.call;
    c.frame_cb.add_frame = on_add_frame;
    c.meta_cb.add_meta_chunk = on_add_meta_chunk;
    c.time_limit_ms = status.time_limit;
    c.max_frame = static_cast<std::int32_t>(capacity) - 1;
    c.start_time = platform::now();
    record.drop_deep();
    if (status.deep != nullptr) {
        record.deep.version = VT_DEEP_VERSION;
        record.deep.flags = VT_DEEP_WANTED;
        c.deep = &record.deep;
    }
    const int result = call_guarded(load, &c, plugin.path(), status.silent != 0);
    release_current(&c);
    c.path = nullptr;
    c.deep = nullptr;
    // A picture the plug-in did not say it delivered is not ours to free.
    if ((record.deep.answer & VT_DEEP_DELIVERED) == 0)
        record.deep.image = VtDeepImage{};
    return result;
}

std::optional<int> call_save(const DynamicLibrary& plugin, std::u16string_view target,
                             Layer* layers, std::uint32_t count, LoadStatus& status,
                             CallRecord& record) {
    const auto save = export_of<VtCallFn>(plugin, "flt_SaveImage");
    if (!save || count == 0)
        return std::nullopt;
    const std::u16string path_z(target);
    fill_common(record, path_z, layers, status);
    FilterCall& c = record.call;
    c.frame_cb.select_frame = on_select_frame;
    c.meta_cb.get_meta_chunk = on_get_meta_chunk;
    c.frame_count = count;
    c.frames_in_use = count;
    c.doc_kind = status.doc_kind >= 1 && status.doc_kind <= 3 ? status.doc_kind : 0;
    c.kind_param = status.kind_param;
    on_select_frame(&c, 0);
    status.is_native = 1;
    status.deep_saved = 0;
    record.drop_deep();
    if (status.deep_offer != nullptr && !status.deep_offer->empty()) {
        record.deep.version = VT_DEEP_VERSION;
        record.deep.flags = VT_DEEP_OFFERED;
        record.deep.image = status.deep_offer->record();
        c.deep = &record.deep;
    }
    const int result = call_guarded(save, &c, plugin.path(), status.silent != 0);
    release_current(&c);
    c.path = nullptr;
    const bool deep_written =
        c.deep != nullptr && result > 0 && (record.deep.answer & VT_DEEP_WRITTEN) != 0;
    const std::uint32_t bits = record.deep.bits_written;
    status.deep_saved = !deep_written            ? 0
                        : bits >= 9 && bits < 16 ? static_cast<std::uint8_t>(bits)
                                                 : 16;
    record.drop_deep();
    if (result == -15)
        status.needs_flattening = 1;
    if (result == -14)
        status.mode_invalid = 1;
    return result;
}

namespace {

// The plug-in's save answer for the check's extension; nothing when it does not save it.
std::optional<FilterCheck> save_answer(const DynamicLibrary& plugin, const FilterCheck& check) {
    const auto check_save = export_of<VtCheckFn>(plugin, "flt_CheckSave");
    FilterCheck copy = check;
    if (!check_save || call_guarded(check_save, &copy, plugin.path(), true) == 0 ||
        save_score(copy) < 1)
        return std::nullopt;
    return copy;
}

std::optional<FilterCheck> save_answer_of(std::u16string_view path, const FilterCheck& check) {
    DynamicLibrary lib;
    if (!lib.open(path))
        return std::nullopt;
    return save_answer(lib, check);
}

// The writer the save asks first, with its answer: the one the registry remembers, else the
// first of the list. Only the plug-ins asked are loaded: a library that cannot be unloaded
// stays in memory for the whole job.
std::optional<std::pair<std::u16string, FilterCheck>> find_writer(std::u16string_view file_name,
                                                                  FilterRegistry& registry) {
    const std::u16string ext = base::to_lower(platform::extension_of(file_name));
    if (ext.size() < 2 || ext == u".tmp" || ext == u".temp")
        return std::nullopt;
    FilterCheck check{};
    set_extension(check, ext);
    if (ext.size() <= kRegistryExtensionChars) {
        const std::optional<std::u16string> remembered = registry.look_up(RegistryKind::save, ext);
        if (remembered && !remembered->empty() && registry.installed_here(*remembered))
            if (auto answer = save_answer_of(*remembered, check))
                return std::pair{*remembered, *answer};
    }
    for (const std::u16string& path : registry.plugin_list())
        if (auto answer = save_answer_of(path, check))
            return std::pair{path, *answer};
    return std::nullopt;
}

} // namespace

std::optional<std::u16string> find_save_plugin(std::u16string_view file_name,
                                               FilterRegistry& registry) {
    auto writer = find_writer(file_name, registry);
    if (!writer)
        return std::nullopt;
    return std::move(writer->first);
}

namespace {

std::optional<FilterCheck> target_save_answer(std::u16string_view file_name,
                                              FilterRegistry& registry) {
    const std::u16string ext = base::to_lower(platform::extension_of(file_name));
    if (ext.size() > kRegistryExtensionChars)
        return std::nullopt;
    auto writer = find_writer(file_name, registry);
    if (!writer)
        return std::nullopt;
    return writer->second;
}

int depth_of(const std::optional<FilterCheck>& answer) {
    return answer && answer->deep_bits > 8 ? std::min<int>(answer->deep_bits, 16) : 8;
}

// An answer without the declared bit says nothing, whatever else its bytes hold.
std::uint16_t keeps_of(const std::optional<FilterCheck>& answer) {
    return answer && (answer->keeps & VT_KEEPS_DECLARED) != 0 ? answer->keeps : 0;
}

} // namespace

int save_depth_with(const DynamicLibrary& plugin, const FilterCheck& check) {
    return depth_of(save_answer(plugin, check));
}

int save_depth(std::u16string_view file_name, FilterRegistry& registry) {
    return depth_of(target_save_answer(file_name, registry));
}

std::uint16_t save_keeps_with(const DynamicLibrary& plugin, const FilterCheck& check) {
    return keeps_of(save_answer(plugin, check));
}

std::uint16_t save_keeps(std::u16string_view file_name, FilterRegistry& registry) {
    return keeps_of(target_save_answer(file_name, registry));
}

std::string plugin_version(std::u16string_view plugin) {
    DynamicLibrary lib;
    if (!lib.open(plugin))
        return {};
    using VersionFn = const char* (*)();
    const auto version = export_of<VersionFn>(lib, "plg_Version");
    if (!version)
        return {};
    struct Call {
        VersionFn fn;
        const char* text = nullptr;
        void operator()() { text = fn(); }
    } call{version};
    platform::Fault fault;
    if (!platform::guarded(call, fault) || call.text == nullptr)
        return {};
    // A plug-in's text is not trusted to end, nor to be UTF-8: at most 64 bytes, made valid.
    const std::size_t n = ::strnlen(call.text, 64);
    return base::utf16_to_utf8(base::utf8_to_utf16({call.text, n}));
}

int show_dialog(std::u16string_view plugin, std::uintptr_t parent_window) {
    DynamicLibrary lib;
    if (!lib.open(plugin))
        return 0;
    const auto dialog = export_of<VtDialogFn>(lib, "plg_ShowDialog");
    if (!dialog)
        return 0;
    FilterDialog record{};
    record.parent_window = parent_window;
    record.one = 1;
    record.state_store = state_store_table();
    record.meta_markup = meta_markup_table();
    record.basic_query = basic_query_table();
    record.basic_image = basic_image_table();
    record.basic_color = basic_color_table();
    record.basic_utils = basic_utils_table();
    return call_guarded(dialog, &record, plugin, parent_window == 0);
}

int flatten_layers(Bitmap* out, const Layer* layers, std::uint32_t count, int doc_kind,
                   int kind_param) noexcept {
    // The frame an animation is shown by (a fifth of the way in), composed whole.
    if (holds_frame_changes(doc_kind, kind_param))
        return compose_frame(out, layers, count, static_cast<std::int32_t>(count / 5));
    gfx::FlattenRequest request;
    request.doc_kind = static_cast<std::uint8_t>(doc_kind);
    request.kind_param = static_cast<std::uint8_t>(kind_param);
    request.silent = 1;
    // The compositor reads the layers only; its interface takes them as they come.
    return gfx::FlattenLayers(out, -1, const_cast<Layer*>(layers), count, &request) ? 1 : 0;
}

} // namespace vt::plugins
