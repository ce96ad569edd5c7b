#include "plugins/load_save.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <cstdio>

#include "base/text.h"
#include "base/utf.h"
#include "image/bitmap.h"
#include "image/image_doc.h"
#include "image/meta_adjust.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/mime.h"
#include "platform/paths.h"
#include "platform/replace_file.h"
#include "platform/system.h"
#include "platform/ui_hooks.h"
#include "plugins/frame_budget.h"
#include "plugins/plugin_interface.h"
#include "vt5/vt5.h"

namespace vt::plugins {

using image::effective_time_limit;
namespace {

constexpr int kLoadAttempts = 3;
constexpr std::size_t kPathLimit = platform::kMaxPath - 1;
constexpr std::u16string_view kSupportLine =
    u"\n\nFor further assistance, please contact the Vantrel project's issue tracker";

struct Warning {
    const char16_t* title;
    const char16_t* text;
    std::uint16_t plugin_bit;
};
const Warning kWarnings[8] = {
    {u"Warning: Incomplete Data", u"Layers beyond the set limit were dropped", 0x0001},
    {u"Warning: Incomplete Data", u"Unknown or invalid layer-types were found", 0x0002},
    {u"Warning: Incomplete Data", u"Unknown or invalid blend-modes were found", 0x0004},
    {u"Warning: Incomplete Data", u"Some image data was not transferred correctly", 0x0008},
    {u"Warning: Incomplete Data", u"Transparency information was removed from the image", 0x0010},
    {u"Warning: Thumbnail Only", u"Thumbnail only, the rest of the image was not loaded", 0x0020},
    {u"Warning: Timeout", u"Operation was interrupted due to a timeout", 0x0100},
    {u"Warning: Non-standard", u"A non-stardard extension was used in the file", 0x0080},
};

void release_layers(Layer* layers, std::uint32_t capacity) {
    for (std::uint32_t i = 0; i < capacity; ++i)
        image::release_layer(layers[i]);
}

void set_error(LoadStatus& status, std::u16string_view text) {
    status.error_text.assign(text);
}

// The error a failed load reports. A plug-in that claimed the file (a positive check score) has
// the say over every plug-in that did not, so a file that its own plug-in refuses is never
// blamed on one that was merely tried; within each group the lowest code wins.
struct BestError {
    int code = -1;
    bool claimed = false;
    std::u16string module;
    std::u16string message;
    void offer(int result, std::u16string_view path, const CallRecord& record, bool claim = false) {
        if (result > 0 || (claimed && !claim))
            return;
        if ((claim && !claimed) || result < code) {
            code = result;
            claimed = claim;
            module = path;
            message = reinterpret_cast<const char16_t*>(record.message);
        }
    }
    [[nodiscard]] std::u16string text() const { return result_text(code, module, message); }
};

// A refusal by a plug-in that knew the file: the file is damaged, beyond a limit, or needs
// more memory or time than it may have. Another plug-in would only read less of it (a first
// page, grey rows), so the search ends. Other failures (not this variant, a missing
// component, a crash) leave the next candidate its turn.
bool ends_search(int result) {
    switch (result) {
    case VT_ERR_IO_DEVICE:
    case VT_ERR_DIMENSIONS:
    case VT_ERR_OUT_OF_MEMORY:
    case VT_ERR_BITMAP_REQUEST:
    case VT_ERR_BITMAP_SIZE_ZERO:
    case VT_ERR_BITMAP_TOO_BIG:
    case VT_ERR_OPEN_READ:
    case VT_ERR_READ:
    case VT_ERR_INVALID_DATA:
    case VT_ERR_TIMEOUT:
    case VT_ERR_CANCELLED:
        return true;
    default:
        return false;
    }
}

// --- load

// The deep picture a plug-in delivered, kept when it is sound and stands for frame 0 as loaded.
void take_deep(CallRecord& record, const Layer* layers, std::uint32_t frames, LoadStatus& status) {
    VtDeepImage& got = record.deep.image;
    if (status.deep != nullptr && frames >= 1 && got.width == layers[0].bitmap.width &&
        got.height == layers[0].bitmap.height)
        (void)status.deep->adopt(got);
    record.drop_deep();
}

std::uint32_t accept_plugin_load(platform::DynamicLibrary& lib, CallRecord& record, Layer* layers,
                                 LoadStatus& status, FilterRegistry& registry) {
    const FilterCall& c = record.call;
    const std::uint32_t frames = c.frames_in_use;
    take_deep(record, layers, frames, status);
    registry.keep_library(lib.path());
    lib.reset();
    if (c.reduced) {
        if (!status.silent)
            platform::message_box(u"Vantrel requested that the image be\nresized by the plug-in "
                                  u"to usable dimensions.",
                                  u"Image was Resized", platform::MessageButtons::ok,
                                  platform::MessageIcon::information);
        status.resized = 1;
    }
    if (c.doc_kind >= 1 && c.doc_kind <= 3) {
        status.doc_kind = c.doc_kind;
    } else {
        bool delays = false;
        for (std::uint32_t i = 0; i < frames; ++i)
            delays = delays || layers[i].mode2 != 0;
        status.doc_kind = frames > 1 && delays ? 2 : 0;
    }
    status.kind_param = c.kind_param;
    for (int i = 0; i < 8; ++i)
        if (c.warnings & kWarnings[i].plugin_bit)
            status.warnings[i] = 1;
    // A plug-in that warns may say what it could not read in its own words.
    if (c.warnings != 0)
        status.error_text.assign(reinterpret_cast<const char16_t*>(record.message));
    return frames;
}

std::uint32_t refuse_load(LoadStatus& status, BestError& best) {
    // A loader refuses a size from the file's header that no bitmap can hold: say which limit.
    if (best.code == VT_ERR_DIMENSIONS && best.message.empty())
        best.message = u"a picture may have at most 65536 pixels a side and 250000000 pixels";
    set_error(status, best.text());
    return 0;
}

std::uint32_t load_via_plugins(std::u16string_view path, Layer* layers, std::uint32_t capacity,
                               LoadStatus& status, FilterRegistry& registry) {
    platform::File file;
    if (!file.open(path, platform::File::Mode::read)) {
        set_error(status, u"Cannot open file for read access");
        return 0;
    }
    std::uint8_t head[32];
    const std::size_t got = file.read(head);
    file.close();
    if (got < 4) {
        set_error(status, u"Error reading data from file");
        return 0;
    }
    const FilterCheck check = make_check(path, {head, got});
    const std::u16string ext(reinterpret_cast<const char16_t*>(check.extension));
    BestError best;
    auto record = std::make_unique<CallRecord>();
    // A refusal that ends the search: the plug-in claimed the file and found it unusable, or
    // the host stopped the load for memory, the bomb rule or a limit.
    const auto final_refusal = [](int result, bool claim) {
        return memory_stopped() || (claim && ends_search(result));
    };
    std::u16string tried;

    if (!ext.empty() && ext.size() <= 15) {
        if (const auto known = registry.look_up(RegistryKind::load, ext);
            known && !known->empty() && registry.installed_here(*known)) {
            platform::DynamicLibrary lib;
            if (lib.open(*known)) {
                const bool claim = check_load_with(lib, check) > 0;
                const auto result = call_load(lib, path, layers, capacity, status, *record);
                if (result && *result > 0 && record->call.frames_in_use > 0)
                    return accept_plugin_load(lib, *record, layers, status, registry);
                release_layers(layers, capacity);
                if (result) {
                    best.offer(*result, *known, *record, claim);
                    if (final_refusal(*result, claim))
                        return refuse_load(status, best);
                }
                tried = *known;
            }
        }
    }
    for (const Candidate& candidate : candidates_for_load(check, registry)) {
        if (candidate.path.empty())
            break;
        if (candidate.path == tried)
            continue; // it has had its turn and said no
        platform::DynamicLibrary lib;
        if (!lib.open(candidate.path))
            continue;
        const auto result = call_load(lib, path, layers, capacity, status, *record);
        if (!result)
            continue;
        const bool claim = candidate.score > 0;
        if (*result >= 1 && record->call.frames_in_use > 0) {
            if (candidate.score >= 128 && !ext.empty())
                registry.remember(RegistryKind::load, ext, candidate.path);
            return accept_plugin_load(lib, *record, layers, status, registry);
        }
        best.offer(*result, candidate.path, *record, claim);
        release_layers(layers, capacity);
        if (final_refusal(*result, claim))
            break;
    }
    return refuse_load(status, best);
}

void size_by_kind(const Layer* layers, std::uint32_t frames, LoadStatus& status) {
    if (status.doc_kind == 1 && frames > 2) {
        std::uint64_t best = 0;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const std::uint64_t area =
                std::uint64_t{layers[i].bitmap.width} * layers[i].bitmap.height;
            if (area >= best) {
                best = area;
                status.width = layers[i].bitmap.width;
                status.height = layers[i].bitmap.height;
            }
        }
    } else if (status.doc_kind == 2) {
        status.width = status.height = 0;
        for (std::uint32_t i = 0; i < frames; ++i) {
            status.width = std::max(status.width, layers[i].bitmap.width);
            status.height = std::max(status.height, layers[i].bitmap.height);
        }
    } else {
        status.width = layers[0].bitmap.width;
        status.height = layers[0].bitmap.height;
    }
}

void name_frames(Layer* layers, std::uint32_t frames, std::u16string_view path) {
    for (std::uint32_t i = 0; i < frames; ++i)
        if (layers[i].name[0] != 0)
            return;
    const std::u16string_view file = path.substr(path.find_last_of(u"/\\") + 1);
    const std::u16string base(file.substr(0, 24));
    for (std::uint32_t i = 0; i < frames; ++i)
        image::set_layer_name(layers[i], frames == 1 ? base : base + u"#" + base::decimal(i + 1));
}

// A ".lnk" name that is a symbolic link stands for its target.
std::u16string resolve_shortcut(std::u16string path) {
    if (!base::iequal(platform::extension_of(path), u".lnk"))
        return path;
    std::string target(platform::kMaxPath, '\0');
    const std::string os = platform::to_os_path(path);
    const ssize_t n = ::readlink(os.c_str(), target.data(), target.size() - 1);
    if (n <= 0)
        return path;
    target.resize(static_cast<std::size_t>(n));
    std::u16string resolved = base::utf8_to_utf16(target);
    if (!resolved.empty() && resolved.front() != u'/')
        resolved = platform::join_path(platform::folder_of(path), resolved);
    return resolved;
}

// --- save

int save_via_plugins(std::u16string_view path, Layer* layers, std::uint32_t count,
                     LoadStatus& status, FilterRegistry& registry) {
    const FilterCheck check = make_check(path);
    const std::u16string ext(reinterpret_cast<const char16_t*>(check.extension));
    if (ext.size() < 2)
        return 0;
    BestError best;
    auto record = std::make_unique<CallRecord>();
    if (ext.size() <= 15) {
        if (const auto known = registry.look_up(RegistryKind::save, ext);
            known && !known->empty() && registry.installed_here(*known)) {
            platform::DynamicLibrary lib;
            if (lib.open(*known) && check_save_with(lib, check, true, registry)) {
                const auto result = call_save(lib, path, layers, count, status, *record);
                if (result && *result > 0)
                    return *result;
                if (result && *result < -1)
                    best.offer(*result, *known, *record);
            }
        }
    }
    for (const Candidate& candidate : candidates_for_save(check, registry)) {
        platform::DynamicLibrary lib;
        if (!lib.open(candidate.path) || !check_save_with(lib, check, true, registry))
            continue;
        const auto result = call_save(lib, path, layers, count, status, *record);
        if (!result)
            continue;
        if (*result > 0) {
            registry.remember(RegistryKind::save, ext, candidate.path);
            return *result;
        }
        best.offer(*result, candidate.path, *record);
    }
    set_error(status, best.text());
    return 0;
}

// One layer holding the flattened picture and the frames' merged metadata.
int save_flattened(std::u16string_view path, Layer* layers, std::uint32_t count, LoadStatus& status,
                   FilterRegistry& registry) {
    Layer flat = layers[0];
    flat.bitmap = Bitmap{};
    flat.x = flat.y = 0;
    flat.meta = nullptr;
    flat.meta_size = 0;
    if (!flatten_layers(&flat.bitmap, layers, count, status.doc_kind, status.kind_param))
        return 0;
    std::uint32_t meta_size = 0;
    flat.meta = image::merge_frame_metadata(layers, count, &meta_size);
    flat.meta_size = flat.meta ? meta_size : 0;
    const int result = save_via_plugins(path, &flat, 1, status, registry);
    image::release_layer(flat);
    if (result > 0)
        status.saved_flattened = 1;
    return result;
}

} // namespace

std::uint32_t load_image(std::u16string_view path_in, Layer* layers, std::uint32_t capacity,
                         LoadStatus& status, FilterRegistry& registry) {
    platform::BusyCursor busy;
    status.doc_kind = 0;
    status.error_text.clear();
    status.is_native = 0; // a status reused from a save must not look like a native file
    if (status.parent_window == 0)
        status.silent = 1;
    status.time_limit = effective_time_limit(status.time_limit);
    const LoadStatus original = status;

    std::u16string path(path_in.substr(0, std::min(path_in.size(), kPathLimit)));
    path = resolve_shortcut(path);
    std::uint32_t frames = 0;
    if (path.size() < 3 || path.size() > kPathLimit || !platform::is_file(path)) {
        set_error(status, u"The specified file does not exist");
    } else {
        set_source_size(platform::file_size(path).value_or(0));
        for (int attempt = 1; attempt <= kLoadAttempts; ++attempt) {
            status = original;
            release_layers(layers, capacity);
            if (status.deep != nullptr)
                status.deep->reset();
            frames = vt5::Vt5Read(layers, capacity, status, path);
            if (frames == 0 && !status.is_native) {
                status = original;
                release_layers(layers, capacity);
                frames = load_via_plugins(path, layers, capacity, status, registry);
            }
            if (frames == 0)
                break;
            bool all_valid = true;
            for (std::uint32_t i = 0; i < frames; ++i)
                all_valid = all_valid && image::IsBitmapValid(&layers[i].bitmap);
            if (all_valid || attempt == kLoadAttempts)
                break;
            release_layers(layers, capacity);
        }
    }
    if (frames == 0) {
        if (status.deep != nullptr)
            status.deep->reset();
        if (status.error_text.size() < 3)
            set_error(status, u"An unknown error occurred during load");
        else
            status.error_text.append(kSupportLine);
        release_layers(layers, capacity);
        return 0;
    }
    size_by_kind(layers, frames, status);
    if (std::none_of(std::begin(status.warnings), std::end(status.warnings),
                     [](std::uint8_t w) { return w != 0; }))
        status.error_text.clear(); // what a reader left there is no longer news
    show_warnings(status);
    name_frames(layers, frames, path);
    return frames;
}

std::uint32_t load_flattened(std::u16string_view path, Bitmap* out, LoadStatus& status,
                             FilterRegistry& registry) {
    auto doc = std::make_unique<image::ImageDoc>();
    std::memset(doc.get(), 0, sizeof *doc);
    const std::uint32_t frames = load_image(path, doc->layers, image::kMaxLayers, status, registry);
    std::uint32_t result = 0;
    if (frames > 0 && flatten_layers(out, doc->layers, frames, status.doc_kind, status.kind_param))
        result = frames;
    image::release_image(*doc);
    return result;
}

int save_image(std::u16string_view path, Layer* layers, std::uint32_t count, LoadStatus& status,
               FilterRegistry& registry) {
    if (!layers || count < 1 || path.empty())
        return 0;
    status.silent = status.silent || status.parent_window == 0;
    status.is_native = 0;
    status.saved_flattened = 0;
    status.error_text.clear();
    if (path.find(platform::kSeparator) == std::u16string_view::npos) {
        set_error(status, u"The path is not fully qualified");
        return 0;
    }
    if (platform::file_name_of(path).find(u'.') == std::u16string_view::npos) {
        set_error(status, u"The file does not have an extension");
        return 0;
    }
    const std::u16string target(path);
    if (platform::is_directory(target)) {
        // A folder is never moved aside as a backup, nor replaced.
        set_error(status, result_text(-41));
        return 0;
    }
    if (platform::is_file(target) && platform::is_read_only(target)) {
        if (!status.silent &&
            platform::message_box(
                u"The target file is marked as read-only.\nAre you sure you want to replace it?",
                u"File is READ ONLY", platform::MessageButtons::yes_no,
                platform::MessageIcon::warning) != platform::MessageAnswer::yes) {
            set_error(status, u"The target file is marked as read-only.");
            return 0;
        }
        // Replacing it by rename needs no change to the old file; the new one is writable.
    }
    // The new picture is written beside the target and replaces it only when complete, so the
    // earlier target stays in place whatever happens to the save (see platform/replace_file.h).
    const std::u16string ext = base::to_lower(platform::extension_of(target).substr(0, 11));
    platform::ReplacingFile temp;
    if (!temp.create(target, platform::extension_of(target))) {
        set_error(status, u"Backup for fault-tolerant save failed.\nReason:\n" +
                              base::utf8_to_utf16(std::strerror(errno)));
        return 0;
    }

    platform::BusyCursor busy;
    int result = 0;
    const bool native = ext == u".vt5";
    if (native) {
        status.is_native = 1;
        result = static_cast<int>(vt5::Vt5Write(layers, count, status, temp.temp_path()));
    } else {
        status.needs_flattening = status.saved_flattened = status.size_limit_on = 0;
        result = save_via_plugins(temp.temp_path(), layers, count, status, registry);
        if (result == 0 && status.needs_flattening && status.doc_kind == 0)
            result = save_flattened(temp.temp_path(), layers, count, status, registry);
    }
    if (result != 0 && !temp.commit()) {
        set_error(status, u"The saved file could not replace the target.\nReason:\n" +
                              base::utf8_to_utf16(std::strerror(errno)));
        result = 0;
    }
    if (result != 0) {
        show_warnings(status);
        return result;
    }
    temp.abandon();
    if (status.error_text.size() < 3)
        set_error(status, result_text(native ? 0 : -1));
    if (status.error_text.size() < 224)
        status.error_text.append(u"\nFile type: '" + ext + u"' (" + platform::file_type_name(ext) +
                                 u")");
    return 0;
}

std::u16string_view warning_text(int index) noexcept {
    return index >= 0 && index < 8 ? kWarnings[index].text : std::u16string_view();
}

bool show_warnings(const LoadStatus& status) {
    if (status.silent)
        return false;
    bool shown = false;
    for (int i = 0; i < 8; ++i) {
        if (!status.warnings[i])
            continue;
        platform::message_box(kWarnings[i].text, kWarnings[i].title, platform::MessageButtons::ok,
                              platform::MessageIcon::information);
        shown = true;
    }
    return shown;
}

} // namespace vt::plugins
