#pragma once
// The load/save front: the one door through which the conversion run reads a file into layers
// and writes layers to a file. Loading tries the native reader, then the format plug-ins
// (registry first, then every candidate), reloads when a loader hands back broken bitmaps and
// names nameless frames. Saving checks the target, keeps a backup of an existing target until
// the new file is complete, flattens and retries when a plug-in wants one layer, and explains
// failures in LoadStatus::error_text.
// Thread: any; each worker has its own LoadStatus and layers.

#include <cstdint>
#include <string>
#include <string_view>

#include "image/load_status.h"
#include "plugins/filter_registry.h"
#include "sdk/vt_plugin.h"

namespace vt::plugins {

using image::LoadStatus;

// Frames loaded into `layers` (zeroed slots, `capacity` of them), 0 on failure with
// status.error_text set and every slot freed. A plug-in that recognised the file and refused it
// (damage, limits, memory, time) ends the search: no other plug-in reads a part of it. After a
// load with warnings, status.error_text holds the loader's own words about them (empty when it
// gave none); after a load without, it is empty.
std::uint32_t load_image(std::u16string_view path, Layer* layers, std::uint32_t capacity,
                         LoadStatus& status, FilterRegistry& registry = filter_registry());

// The picture flattened into `out` (its frames by document kind). Frames loaded, 0 on failure.
std::uint32_t load_flattened(std::u16string_view path, Bitmap* out, LoadStatus& status,
                             FilterRegistry& registry = filter_registry());

// Writes `count` layers to `path`. The writer's positive result, 0 on failure with
// status.error_text set; the earlier target is back in place whatever happened.
int save_image(std::u16string_view path, Layer* layers, std::uint32_t count, LoadStatus& status,
               FilterRegistry& registry = filter_registry());

// The text of warning flag `index` (0-7, LoadStatus::warnings order).
[[nodiscard]] std::u16string_view warning_text(int index) noexcept;

// Shows the load's warnings unless silent; true when any was shown.
bool show_warnings(const LoadStatus& status);

} // namespace vt::plugins
