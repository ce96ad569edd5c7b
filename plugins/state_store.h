#pragma once
// The state store: small named values that plug-ins keep between calls (their options, the
// host's filter registries), in memory for the life of the program and, for the names a caller
// asks for, in state files "<name>.bin" in the Plugins sub-folder of the suite data root.
//
// Memory part: at most 1024 entries of at most 65,536 bytes, names of at most 31 characters;
// when all are used the least recently used entry makes room. Files: at most 262,144 bytes.
// A name containing "/" or "\" is refused by every file operation (result 0). State files are
// the user's alone (platform/private_files.h): one that another user owns or others may write,
// or whose folders up to the data root are not private, is neither read nor written.
//
// Thread: any; every operation takes the store's lock, so workers share it safely.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vt::plugins {

inline constexpr std::size_t kStateEntries = 1024;
inline constexpr std::size_t kStateDataLimit = 65536;
inline constexpr std::size_t kStateNameChars = 31;
inline constexpr std::size_t kStateFileLimit = 262144;

class StateStore {
public:
    // `folder`: where the state files live; empty means <suite data root>/Plugins.
    explicit StateStore(std::u16string folder = {});

    // Bytes copied: the smaller of the capacity and the stored size; renews the entry. 0 when
    // absent or when `out` is empty.
    int get(std::u16string_view name, std::span<std::uint8_t> out);
    // Bytes kept (at most 65,536). Empty data deletes the entry and answers 1.
    int set(std::u16string_view name, std::span<const std::uint8_t> data);
    // The stored size, 0 when absent.
    int size(std::u16string_view name);

    int file_read(std::u16string_view name, std::span<std::uint8_t> out);
    // Bytes written (at most 262,144). Empty data deletes the file, read-only or not, and
    // answers 1. 0 when the file cannot be written.
    int file_write(std::u16string_view name, std::span<const std::uint8_t> data);
    int file_size(std::u16string_view name);

    // The state file of a name, or empty when the name is refused.
    [[nodiscard]] std::u16string file_path(std::u16string_view name) const;

private:
    struct Entry {
        std::u16string name; // empty: free
        std::vector<std::uint8_t> data;
        std::uint64_t last_use = 0;
    };
    Entry* find(std::u16string_view name);
    Entry& take_slot();
    [[nodiscard]] std::u16string folder() const;
    // Up to where the folders above a state file must be private: the data root for the
    // program's store, the store's own folder otherwise.
    [[nodiscard]] std::u16string root() const;

    std::mutex m_lock;
    std::u16string m_folder;
    std::vector<Entry> m_entries{kStateEntries};
    std::uint64_t m_clock = 0; // use order; ties cannot happen
};

// The program's one store.
StateStore& state_store();

} // namespace vt::plugins
