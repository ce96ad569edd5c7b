#pragma once
// Files the program loads as code or replays as commands (the plug-in registries and blacklist,
// the plug-in state files, the pending-operations journal) are the user's alone: they are used
// only when the effective user owns them, nobody else may write them, and the same holds for
// every folder from theirs up to the data root. A file that fails this is neither read nor
// written; the program goes on without it (docs/private-data.md).
// Thread: any; nothing here keeps state.

#include <optional>
#include <string>
#include <string_view>

namespace vt::platform {

// Whether `folder` and each folder above it up to and including `root` are folders the
// effective user owns that neither group nor others may write. When `root` is empty or not
// above `folder`, `folder` alone is checked. Symbolic links to folders count as their target.
[[nodiscard]] bool folders_private(std::u16string_view folder, std::u16string_view root = {});

// Whether the open file is a regular file the effective user owns that neither group nor
// others may write.
[[nodiscard]] bool file_private(int fd) noexcept;

// Why `root` cannot hold the user's private files (owned by another user, or others may write
// it), or empty when it can. A missing root has no problem: it is created private.
[[nodiscard]] std::u16string data_root_problem(std::u16string_view root);

// The path with every symbolic link, "." and ".." resolved; nothing when it does not exist.
[[nodiscard]] std::optional<std::u16string> real_path(std::u16string_view path);

// Whether `path`, resolved, lies below `folder`, resolved (not the folder itself).
[[nodiscard]] bool really_inside(std::u16string_view path, std::u16string_view folder);

} // namespace vt::platform
