#pragma once
// The checks a job must pass before it starts, with the texts and titles the user sees. The
// wizard's pages and the command line use the same ones.
// Thread: any.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/conversion_job.h"

namespace vt::engine {

struct Refusal {
    std::u16string_view text;
    std::u16string_view title;
};

// The folder text tidied the way the folder pages store it: blanks and slashes removed from
// its end (the root folder thus becomes empty).
[[nodiscard]] std::u16string tidy_folder(std::u16string_view text);

// Source folder: an absolute path of an existing, readable folder holding at least one entry.
// `folder` is tidied in place.
[[nodiscard]] std::optional<Refusal> check_source_folder(std::u16string& folder);

// Target folder: an absolute path, empty unless `overwrite`, created with its parents, and a
// file can be created in it. Without `create` nothing is created and only what exists is
// looked at. `folder` is tidied in place.
[[nodiscard]] std::optional<Refusal> check_target_folder(std::u16string& folder, bool overwrite,
                                                         bool create = true);

// Source and target must be different folders: converting a folder into itself would replace
// the sources, and walk its own output. Both are tidied paths.
[[nodiscard]] std::optional<Refusal> check_distinct_folders(std::u16string_view source,
                                                            std::u16string_view target);

// The target the target page proposes for a source folder: "<source> (Converted)" when the
// target is shorter than 3 characters; unless `overwrite`, a name that is a folder holding
// entries gets " (0001)", " (0002)", ... (a previous such suffix is replaced, not stacked).
[[nodiscard]] std::u16string propose_target_folder(std::u16string_view source,
                                                   std::u16string_view target, bool overwrite);

// Renaming: the pattern must hold "%s" or "%n"; a replacement needs a non-empty "from". Names
// stay visible files inside the target folder: neither the pattern nor the replacement's "to"
// may hold a "/", the pattern may not begin with "." and the replacement may not turn its
// literal start into one. (What source names bring in is made safe by the name builder,
// target_naming.h.)
[[nodiscard]] std::optional<Refusal> check_renaming(const ConversionJob& job);
// The target extension: at least 2 characters, no "/".
[[nodiscard]] std::optional<Refusal> check_target_format(const ConversionJob& job);
// Resizing: a mode above 0 needs a box the resize step uses (resize_applies).
[[nodiscard]] std::optional<Refusal> check_resizing(const ConversionJob& job);

// The extension the format page stores for a typed text: from its first dot on, or a dot
// followed by the text; cut to 31 characters and lower-cased ("JPEG" -> ".jpeg").
[[nodiscard]] std::u16string normalize_extension(std::u16string_view text);

} // namespace vt::engine
