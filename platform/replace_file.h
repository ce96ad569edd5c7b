#pragma once
// Replacing a file so that a crash, a kill or a full disk never leaves it missing or cut: the new
// content goes to a temporary name in the target's folder (same file system, so the final rename
// is atomic), is flushed to the disk, and only then renamed over the target. The old target stays
// where it is until that rename. The pending-operations journal notes the temporary file before
// it exists, so the next start (or the next job) removes what a kill left behind.
//
// Temporary names are the target's name + ".XXXXXXXX.tmp" + `suffix` (the target's extension for
// pictures, so that a writer still sees the type it writes), the target's name cut at a character
// boundary so that the whole temporary name fits in 255 bytes (NAME_MAX) as the target does.
//
// Thread: any; each ReplacingFile belongs to one thread.

#include <string>
#include <string_view>

#include <sys/types.h>

namespace vt::platform {

class ReplacingFile {
public:
    ReplacingFile() = default;
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;
    // Removes the temporary file unless it was committed.
    ~ReplacingFile();

    // Reserves an empty temporary file beside `target`. False with errno set (a read-only or
    // missing folder, a full disk).
    bool create(std::u16string_view target, std::u16string_view suffix);
    [[nodiscard]] const std::u16string& temp_path() const noexcept { return m_temp; }

    // The new file's permissions; by default those of the target it replaces (owner-writable),
    // or the usual ones of a new file.
    void set_mode(mode_t mode) noexcept { m_mode = static_cast<int>(mode & 07777); }

    // Flushes the temporary file, renames it over the target and flushes the folder. False with
    // errno set; the target is then untouched and the temporary file removed.
    bool commit();

    // Removes the temporary file (also done by the destructor).
    void abandon() noexcept;

private:
    std::u16string m_target;
    std::u16string m_temp;
    int m_mode = -1;
};

} // namespace vt::platform
