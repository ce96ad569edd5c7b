#pragma once
// The job's error log "_error_log.txt" at the top of the target folder: one line per file that
// could not be saved, its full source path and "\r\n", in UTF-16LE without a byte-order mark.
// Thread: any; the run appends under its statistics lock so lines never interleave.

#include <cstddef>
#include <string>
#include <string_view>

namespace vt::engine {

inline constexpr std::size_t kErrorLogLineLimit = 4096;

[[nodiscard]] std::u16string error_log_path(std::u16string_view target_folder);

// Removes the log, read-only or not. A missing log is no error.
bool delete_error_log(std::u16string_view target_folder);

// Appends `text` (cut at 4096 characters) and "\r\n". Another process holding the file is
// waited for briefly (about 100 ms); true only when every byte was written.
bool append_error_log_line(std::u16string_view target_folder, std::u16string_view text);

} // namespace vt::engine
