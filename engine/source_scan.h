#pragma once
// Finding the files of a job. Every directory entry is a file or a sub-folder; any file counts,
// whatever its extension, except the skipped names ".", "..", "thumbs.db" and "desktop.ini"
// (in any case). Files are taken in the file system's listing order. A folder reached twice
// through symbolic links is walked once.
// Thread: any.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/conversion_job.h"

namespace vt::engine {

[[nodiscard]] bool is_skipped_name(std::u16string_view name) noexcept;

// Files directly in `folder`, plus with `recursive` those of every sub-folder. A folder that
// cannot be listed, or an empty path, counts 0. Only regular files count; the sub-folder that is
// `excluded` (the job's target inside its source) is not counted.
[[nodiscard]] std::uint32_t count_files(std::u16string_view folder, bool recursive,
                                        std::u16string_view excluded = {});

// One file as the walk hands it out.
struct JobFile {
    std::u16string source, relative, target; // target: the plain target path, before renaming
    std::uint32_t sequence = 0, folder_count = 0;
    // Why the walk could not reach it (a sub-folder it cannot open, a path too long); then
    // `source` names what could not be reached and the job counts it as a file not loaded.
    std::u16string unreachable;
};
// Every file the walk of `job` would hand out, in the walk's order (no filters applied), and
// every place below the source folder it could not reach. With `listed` files (pictures opened
// from the desktop, vtconvert's several sources) the job is exactly those, in their order, each
// relative to the source folder that holds them all; one that is not a regular file, or lies
// outside the source folder, is a place the job cannot reach. A file listed twice counts once.
[[nodiscard]] std::vector<JobFile> list_job_files(const ConversionJob& job,
                                                  std::span<const std::u16string> listed = {});
// Why `folder` cannot be listed ("Permission denied"); empty when it can.
[[nodiscard]] std::u16string unlistable_reason(std::u16string_view folder);

} // namespace vt::engine
