#pragma once
// Files and folders. Every path is UTF-16 and converted to the file system's bytes here.
// Results follow the system's rule: true (or a count) for success, false (or 0) for failure;
// errno holds the reason where a caller wants it.
// Thread: any; nothing here keeps state.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <dirent.h>

namespace vt::platform {

[[nodiscard]] std::string to_os_path(std::u16string_view path);

struct DirEntry {
    std::u16string name;
    bool is_directory = false; // symbolic links count as what they point to
    bool is_regular =
        false; // a plain file: never a FIFO, socket or device, which block or never end
};

// A folder listing in the file system's own order. "." and ".." are listed as the system lists
// them; the caller decides what to skip.
class DirListing {
public:
    DirListing() = default;
    explicit DirListing(std::u16string_view folder) { open(folder); }
    ~DirListing() { close(); }
    DirListing(const DirListing&) = delete;
    DirListing& operator=(const DirListing&) = delete;

    bool open(std::u16string_view folder);
    [[nodiscard]] bool is_open() const noexcept { return m_dir != nullptr; }
    // Next entry; false at the end (or when not open).
    bool next(DirEntry& entry);
    void close() noexcept;

private:
    DIR* m_dir = nullptr;
};

// Identity of a folder, to stop a walk that meets the same folder twice through links.
struct FolderId {
    std::uint64_t device = 0, inode = 0;
    friend bool operator==(const FolderId&, const FolderId&) = default;
};
[[nodiscard]] std::optional<FolderId> folder_id(std::u16string_view folder);
using FileId = FolderId; // the same identity, of a file

[[nodiscard]] bool path_exists(std::u16string_view path);
// Whether two paths name the same existing file (through links too).
[[nodiscard]] bool same_file(std::u16string_view a, std::u16string_view b);
// `path` made absolute against the current folder; unchanged when it is absolute already, empty,
// or the current folder cannot be had.
[[nodiscard]] std::u16string absolute_path(std::u16string_view path);
[[nodiscard]] bool is_directory(std::u16string_view path);
// Exists and is not a folder.
[[nodiscard]] bool is_file(std::u16string_view path);
[[nodiscard]] std::optional<std::uint64_t> file_size(std::u16string_view path);

// Read-only is "nobody may write": no write bit set. Clearing it gives the owner write access.
[[nodiscard]] bool is_read_only(std::u16string_view path);
bool set_read_only(std::u16string_view path, bool read_only);

// Last-write time in nanoseconds since the epoch.
[[nodiscard]] std::optional<std::int64_t> last_write_time(std::u16string_view path);
bool set_last_write_time(std::u16string_view path, std::int64_t ns);

// Creates every missing folder along `folder`. True when the folder exists afterwards.
bool create_folder_chain(std::u16string_view folder);

// Deletes a file; a read-only file is deleted too when `even_read_only` is set. A missing file
// is success.
bool delete_file(std::u16string_view path, bool even_read_only = false);

// Copies `source` to `target`, replacing an existing target. The copy is written beside the
// target and renamed over it only when complete, so a failed copy (full disk, read error)
// leaves the earlier target as it was. A read-only target is not replaced.
bool copy_file_replace(std::u16string_view source, std::u16string_view target);

// Claims the name `path` for a file about to be written: creates it empty, only if nothing at
// all is there (O_EXCL: no existing file, folder or link, even a dangling one), so that of
// several processes wanting one name exactly one gets it. Its identity, or nothing with errno
// set (EEXIST when the name is taken). Mode 0666 less the umask, as any new file.
[[nodiscard]] std::optional<FileId> claim_new_file(std::u16string_view path);
// Removes a claimed file that is still the empty file claimed (nothing was written or renamed
// over it); true when it was removed.
bool drop_unused_claim(std::u16string_view path, const FileId& id);

// Whole-file helpers for small files (records, lists).
[[nodiscard]] std::optional<std::string> read_file_prefix(std::u16string_view path,
                                                          std::size_t max_bytes);

// An open file, closed on destruction.
class File {
public:
    enum class Mode { read, read_write_create };

    File() = default;
    ~File() { close(); }
    File(File&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool open(std::u16string_view path, Mode mode);
    // Opens and takes an exclusive lock without waiting: other cooperating processes that open
    // the same file this way fail until it is closed ("no sharing").
    bool open_exclusive(std::u16string_view path, Mode mode);
    // Opens a file that must be the user's alone (platform/private_files.h): its folders up to
    // `root` are checked before anything is created, a symbolic link is never followed, a new
    // file is 0600, and an existing one that another user owns or others may write is refused.
    bool open_private(std::u16string_view path, Mode mode, std::u16string_view root = {});
    void close() noexcept;
    [[nodiscard]] bool is_open() const noexcept { return m_fd >= 0; }

    // Read and write until done or failed; return the bytes moved.
    std::size_t read(std::span<std::uint8_t> out);
    std::size_t write(std::span<const std::uint8_t> bytes);
    bool seek(std::uint64_t offset);
    bool seek_end();
    bool truncate_here();

private:
    int m_fd = -1;
};

} // namespace vt::platform
