#pragma once
// The engine's one door with this installation behind it: the plug-ins that write each format
// and the options they declare. Both front ends prepare every job here.
// Thread: any; the registry locks.

#include "engine/prepared_job.h"

namespace vt::session {

// What the installed plug-ins say: a writer per extension (VT5 is built in), and whether a
// plug-in option and its value exist. The plug-ins' options are listed only when asked.
[[nodiscard]] engine::JobServices job_services();

// The file list that goes with the process's one job record (pictures opened from the desktop,
// vtconvert's several sources): the record has no room for it, so it lives beside it. Empty:
// the job is its source folder's tree. Thread: set on the front end's main thread.
void set_job_files(engine::SourceFiles files);
[[nodiscard]] engine::SourceFiles job_files();

// The job through the engine's door, with the installation's services and the job files.
[[nodiscard]] engine::Prepared prepare_job(const engine::ConversionJob& job,
                                           engine::PluginOptions options, engine::PrepareMode mode);

} // namespace vt::session
