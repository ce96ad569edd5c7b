#pragma once
// What the desktop program remembers across restarts beyond the settings record: the last job
// (a preset file "last_job.vtpreset" in the program data folder, the user's alone) and the
// plug-in options set in the plug-in dialog (the state file "plugin_options" beside the
// plug-ins' own, read back into the state store when a session starts, so both front ends and
// the plug-ins see them).
// Thread: the front end's main thread.

#include <span>
#include <string>

#include "engine/conversion_job.h"
#include "plugins/state_store.h"

namespace vt::session {

// Where the last job is kept; empty when the program data folder cannot be had.
[[nodiscard]] std::u16string last_job_path();
// Writes `job` as the last job. False when it could not be written.
bool save_last_job(const engine::ConversionJob& job);
// The last job into `job`; false (and `job` untouched) when there is none or it cannot be read.
bool load_last_job(engine::ConversionJob& job);

// The state file that keeps the options.
inline constexpr std::u16string_view kPluginOptionsFile = u"plugin_options";

// Notes the current values of the named options in the state file: a value the store holds
// is kept, an absent one forgotten; other options in the file stay. False when the file could
// not be written.
bool remember_plugin_options(std::span<const std::u16string> names,
                             plugins::StateStore& store = plugins::state_store());
// Puts every option the state file keeps into the store. The number put back.
std::size_t restore_plugin_options(plugins::StateStore& store = plugins::state_store());

} // namespace vt::session
