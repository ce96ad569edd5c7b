#pragma once
// Talking to format plug-ins: result texts, scores, probes, the candidate lists, the load and
// save calls with their callbacks, and the plug-ins' own dialogs. Every call into a plug-in runs
// under the fault guard: a crash gives -30 and the job goes on with the next candidate.
// Thread: any; each caller has its own records. The registry is shared and locked.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/load_status.h"
#include "platform/dynamic_library.h"
#include "plugins/filter_registry.h"
#include "sdk/vt_plugin.h"

namespace vt::plugins {

using image::LoadStatus;

inline constexpr std::size_t kResultTextChars = 256;
inline constexpr std::size_t kMaxCandidates = 256;
inline constexpr std::uint32_t kMessageChars = 256;

// The text of a result code, with "\n\nHint: %s" when there is a hint and "\n\nReporting
// Module: %s" (the file name) when the module path has more than 2 characters; at most 255.
[[nodiscard]] std::u16string result_text(int code, std::u16string_view module = {},
                                         std::u16string_view hint = {});

[[nodiscard]] int load_score(const FilterCheck& check) noexcept;
[[nodiscard]] int save_score(const FilterCheck& check) noexcept;

// The check record of a file: its extension (lower case, at most 31 characters; empty for
// ".tmp" and ".temp") and, for a load, up to 32 of its first bytes.
[[nodiscard]] FilterCheck make_check(std::u16string_view path,
                                     std::span<const std::uint8_t> head = {});

struct Candidate {
    std::int32_t score = 0;
    std::u16string path;
};

// Every plug-in of the list that can load (or save) the file, best first, equal scores in list
// order. Plug-ins that claim the impossible probe are blacklisted and ranked -1 (load only).
[[nodiscard]] std::vector<Candidate> candidates_for_load(const FilterCheck& check,
                                                         FilterRegistry& registry);
[[nodiscard]] std::vector<Candidate> candidates_for_save(const FilterCheck& check,
                                                         FilterRegistry& registry);

// The plug-in's load score for the check record (its flt_CheckLoad answer); 0 when it has no
// such export or cannot load the file.
[[nodiscard]] int check_load_with(const platform::DynamicLibrary& plugin, const FilterCheck& check);

// Whether the plug-in saves the check's extension (score >= 1), after the save probe if asked.
[[nodiscard]] bool check_save_with(const platform::DynamicLibrary& plugin, const FilterCheck& check,
                                   bool probe, FilterRegistry& registry);

// A call in progress: the record and the message buffer it points to. The callbacks reach the
// rest through the record, which comes first.
struct CallRecord {
    FilterCall call{};
    char16_t message[kMessageChars] = {};
    // The frame a save of frame changes composed last, so that frames selected in order cost
    // one paste each rather than every paste before them.
    Bitmap composed{};
    std::int32_t composed_index = -1;
    // The deep picture of the call: a load's is the plug-in's gift (freed here unless taken),
    // a save's borrows the host's samples.
    VtDeepCall deep{};

    CallRecord() = default;
    ~CallRecord();
    CallRecord(const CallRecord&) = delete;
    CallRecord& operator=(const CallRecord&) = delete;
    void forget_composed() noexcept;
    void drop_deep() noexcept;
};

// Loads `file` into `layers` (capacity slots) through the plug-in; nothing when the plug-in
// lacks flt_LoadImage. The record stays filled for the caller to read (frames, warnings, kind).
[[nodiscard]] std::optional<int> call_load(const platform::DynamicLibrary& plugin,
                                           std::u16string_view file, Layer* layers,
                                           std::uint32_t capacity, const LoadStatus& status,
                                           CallRecord& record);
// Saves `count` layers to `target` through the plug-in; nothing when it lacks flt_SaveImage.
// Sets status.needs_flattening on -15 and status.mode_invalid on -14.
[[nodiscard]] std::optional<int> call_save(const platform::DynamicLibrary& plugin,
                                           std::u16string_view target, Layer* layers,
                                           std::uint32_t count, LoadStatus& status,
                                           CallRecord& record);

// The most bits per channel the plug-in writes for the check's extension (its save answer's
// deep_bits): 9 to 16, or 8 for a plug-in that writes 8-bit pictures only.
[[nodiscard]] int save_depth_with(const platform::DynamicLibrary& plugin, const FilterCheck& check);

// The bits per channel the writer of the target's extension keeps: 16 when the plug-in that
// saves it writes deep pictures, else 8 (also when none saves it).
[[nodiscard]] int save_depth(std::u16string_view file_name, FilterRegistry& registry);

// What the plug-in's writer keeps for the check's extension (its save answer's keeps:
// VT_KEEPS_* with VT_KEEPS_DECLARED), 0 when it does not say or does not save the extension.
[[nodiscard]] std::uint16_t save_keeps_with(const platform::DynamicLibrary& plugin,
                                            const FilterCheck& check);

// What the writer of the target's extension keeps, asked of the plug-in save_depth asks; 0 when
// it does not say or none saves the extension.
[[nodiscard]] std::uint16_t save_keeps(std::u16string_view file_name, FilterRegistry& registry);

// The plug-in the save asks first for the file name's extension: the one the save registry
// remembers, when it is installed here and saves the extension, else the first of the list that
// does.
[[nodiscard]] std::optional<std::u16string> find_save_plugin(std::u16string_view file_name,
                                                             FilterRegistry& registry);

// The version the plug-in states (its optional plg_Version), at most 64 bytes of UTF-8; empty
// when it states none, the library does not load or the export faults.
[[nodiscard]] std::string plugin_version(std::u16string_view plugin);

// The plug-in's options dialog; its result, 0 when the library or export is missing.
int show_dialog(std::u16string_view plugin, std::uintptr_t parent_window);

// Flattens `count` layers into `out` by document kind (the composite a plug-in asks for with
// select_frame(-1), and the single layer of a flattened save). 1 on success.
int flatten_layers(Bitmap* out, const Layer* layers, std::uint32_t count, int doc_kind,
                   int kind_param) noexcept;

} // namespace vt::plugins
