#pragma once
// LoadStatus: the options and status of one load or save, owned by the caller and zero-filled
// before the first use. The load front fills the result fields; the save front reads doc_kind.
// Thread: one record per worker.

#include <cstdint>

#include "base/fixed_text.h"
#include "image/deep_image.h"

namespace vt::image {

struct LoadStatus {
    std::uint32_t width = 0, height = 0; // load: the picture's size
    std::uint8_t doc_kind = 0;           // 0-3; set by the loader, read by the savers
    std::uint8_t kind_param = 0;
    std::uint8_t draw_on_request = 0; // flattening also draws layers with mode bit 10
    std::uint8_t silent = 0;          // no message boxes; forced on without a parent window
    std::uint32_t size_limit = 0;     // flattening: the longest side (with size_limit_on, >= 16)
    std::uint8_t size_limit_on = 0;
    std::uint8_t request[3] = {}; // passed to the plug-in as call flags 9, 8 and 10
    std::uintptr_t parent_window = 0;
    std::uint32_t time_limit = 0; // ms a plug-in load may take; outside 10..900000: 300000
    std::uint8_t is_native = 0;   // load: the native reader knew the file; save: a writer ran
    std::uint8_t resized = 0;     // a plug-in frame was reduced to a usable size
    std::uint8_t password_protected = 0, meta_upgraded = 0, layer_limit_hit = 0;
    std::uint8_t needs_flattening = 0; // the plug-in save answered -15
    std::uint8_t saved_flattened = 0;
    std::uint8_t mode_invalid = 0; // the plug-in save answered -14
    // Deep colour (docs/deep-colour.md). Load: when set, plug-ins that read more than 8 bits
    // also deliver frame 0 at 16 bits into it (left empty otherwise). Save: when set and not
    // empty, offered to the writer beside the 8-bit layers it stands for; deep_saved is the
    // bits per channel the writer kept of it (9 to 16), 0 when it did not take it.
    DeepImage* deep = nullptr;
    const DeepImage* deep_offer = nullptr;
    std::uint8_t deep_saved = 0;
    // Warnings in this order: layers dropped, invalid layer types, invalid blend modes, data
    // not transferred, transparency removed, thumbnail only, time-out, non-standard extension.
    std::uint8_t warnings[8] = {};
    base::FixedText<256> error_text;
    base::FixedText<32> version_text;
};

inline constexpr std::uint32_t kDefaultTimeLimitMs = 300000;

// The time limit brought into its range.
[[nodiscard]] inline std::uint32_t effective_time_limit(std::uint32_t ms) noexcept {
    return ms < 10 || ms > 900000 ? kDefaultTimeLimitMs : ms;
}

} // namespace vt::image
