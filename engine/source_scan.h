#pragma once
// Finding the files of a job. Every regular file counts, whatever its extension, except the
// skipped names ".", "..", "thumbs.db" and "desktop.ini" (in any case) and the desktops' clutter
// (".directory", ".DS_Store", "._*"); pipes, sockets and devices are never opened. Files are taken
// in name order (of their UTF-16 units), so numbered names keep the order of the originals. A
// folder reached twice through symbolic links is walked once, and the target folder is left out
// when it lies inside the source.
// Thread: any.

#include <cstdint>
#include <string_view>

namespace vt::engine {

[[nodiscard]] bool is_skipped_name(std::u16string_view name) noexcept;

// Files directly in `folder`, plus with `recursive` those of every sub-folder. A folder that
// cannot be listed, or an empty path, counts 0.
// `skip`: a folder left out with everything in it (the target folder inside the source).
[[nodiscard]] std::uint32_t count_files(std::u16string_view folder, bool recursive,
                                        std::u16string_view skip = {});

} // namespace vt::engine
