#pragma once
// Target paths. Without renaming a file keeps its name with the extension replaced; with
// renaming the name is built from the job's pattern after the picture has been processed, so
// that "%w" and "%h" see the final size.
// Thread: any; pure functions.

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/conversion_job.h"

namespace vt::engine {

// `stem` + `extension`, the stem cut on a character boundary so that the name's UTF-8 form fits
// in NAME_MAX (255) bytes. Overlong names are cut, never refused. A "/" or NUL in either part
// becomes "_": a built name is always one file in its folder.
[[nodiscard]] std::u16string fit_file_name(std::u16string_view stem, std::u16string_view extension);

// `target_folder` joined with `file_name`, the name's extension (from its last dot) replaced by
// `target_extension`; a name without a dot gets the extension appended.
[[nodiscard]] std::u16string plain_target_path(std::u16string_view target_folder,
                                               std::u16string_view file_name,
                                               std::u16string_view target_extension);

// What the placeholders of a rename pattern stand for, for one file.
struct NamingInput {
    std::u16string_view target_path; // the plain target path of the file
    std::uint32_t width = 0;         // first frame after processing
    std::uint32_t height = 0;
    std::uint32_t sequence = 0;     // 0-based among the files handed out from its folder
    std::uint32_t folder_count = 0; // files directly in its folder
};

// The file name the rename pattern gives (extension included), with the job's replacement and
// lower-case options applied. Placeholders: %s %f %w %h %nn %n, replaced in that order. The
// result is never hidden: a leading "." becomes "_", and an empty name "_".
[[nodiscard]] std::u16string renamed_file_name(const ConversionJob& job, const NamingInput& in);

// The target path with its file name replaced by renamed_file_name().
[[nodiscard]] std::u16string renamed_target_path(const ConversionJob& job, const NamingInput& in);

// Digits "%nn" pads to: those of (folder_count - 1), at least 1.
[[nodiscard]] int sequence_width(std::uint32_t folder_count) noexcept;

} // namespace vt::engine
