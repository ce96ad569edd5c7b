#pragma once
// Which format plug-in handles which extension. Three persistent registries (load, save and
// transform) map an extension to the plug-in that last handled it, seeded from a built-in
// default map, so the fronts can go straight to the right plug-in. Beside them: the list of
// plug-in libraries in the Plugins folder (rescanned when stale), the blacklist of plug-ins
// that misbehaved, and the one plug-in library kept loaded between files.
//
// A registry is one 71,688-byte little-endian block, stored as it is in the state file
// "<state name>.bin" (state store):
//
//   offset      size       field
//        0         4       magic "fp$_"
//        4         4       stamp: whole hours since 1601-01-01 UTC when written
//        8   128*560       entries:
//                            +0    8  age, signed; 0 = just used
//                            +8   32  extension, UTF-16, <= 15 characters + NUL, lower case,
//                                     with its dot (an entry is in use when it starts with ".")
//                           +40  520  plug-in path, UTF-16, <= 259 characters + NUL
//
// A block on disk counts only in the clock hour it was written in. Paths too long for the
// field are not stored.
//
// Thread: any; everything runs under one lock.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/dynamic_library.h"
#include "platform/power.h"
#include "plugins/state_store.h"

namespace vt::plugins {

enum class RegistryKind { load = 0, save = 1, transform = 2 };

inline constexpr std::size_t kRegistryEntries = 128;
inline constexpr std::size_t kRegistryEntryBytes = 560;
inline constexpr std::size_t kRegistryBytes = 8 + kRegistryEntries * kRegistryEntryBytes;
inline constexpr std::size_t kRegistryExtensionChars = 15;
inline constexpr std::size_t kRegistryPathChars = 259;
inline constexpr std::size_t kMaxPluginFiles = 1040;
inline constexpr std::u16string_view kPluginSuffix = u".so";

[[nodiscard]] std::u16string_view registry_state_name(RegistryKind kind) noexcept;
// Whole hours since 1601-01-01 UTC.
[[nodiscard]] std::uint32_t current_hour_stamp() noexcept;

// One registry's block, as stored.
class RegistryBlock {
public:
    RegistryBlock() { m_bytes.fill(0); }

    [[nodiscard]] bool has_magic() const noexcept;
    [[nodiscard]] std::uint32_t stamp() const noexcept;
    void set_stamp(std::uint32_t hours) noexcept;
    // All zero, then the default map with each plug-in's path as found under `plugins_folder`.
    void reset_to_defaults(std::u16string_view plugins_folder);

    [[nodiscard]] bool in_use(std::size_t i) const noexcept;
    [[nodiscard]] std::int64_t age(std::size_t i) const noexcept;
    [[nodiscard]] std::u16string extension(std::size_t i) const;
    [[nodiscard]] std::u16string path(std::size_t i) const;
    void set_age(std::size_t i, std::int64_t age) noexcept;
    void set_entry(std::size_t i, std::u16string_view extension, std::u16string_view path);

    [[nodiscard]] std::array<std::uint8_t, kRegistryBytes>& bytes() noexcept { return m_bytes; }
    [[nodiscard]] const std::array<std::uint8_t, kRegistryBytes>& bytes() const noexcept {
        return m_bytes;
    }

private:
    std::array<std::uint8_t, kRegistryBytes> m_bytes;
};

// The slot `remember` gives a new extension: the first free one, else among 1..127 the oldest
// (ties to the higher slot); slot 0 is never evicted.
[[nodiscard]] std::size_t slot_for_new_extension(const RegistryBlock& block) noexcept;

// How long a plug-in list stays fresh: 30 s on mains; on battery longer as the charge falls
// (45 s full, 120 s at 10 %, 150 s below).
[[nodiscard]] std::uint32_t plugin_list_expiry_ms(const platform::PowerStatus& power) noexcept;

class FilterRegistry {
public:
    struct Options {
        std::u16string plugins_folder;        // empty: the program's Plugins folder
        std::u16string data_root;             // empty: the suite data root (blacklist lives there)
        StateStore* store = nullptr;          // null: the program's state store
        std::function<std::uint32_t()> hours; // null: current_hour_stamp
        std::function<platform::TimeStamp()> clock;   // null: platform::now
        std::function<platform::PowerStatus()> power; // null: platform::power_status
    };

    FilterRegistry();
    explicit FilterRegistry(Options options);
    ~FilterRegistry();

    // Reference counted: the first start loads the registries, the last stop writes them back
    // and lets go of the kept library.
    bool start();
    void stop();

    // The plug-in path for an extension (ignoring case), possibly empty when the default
    // plug-in was not found; nothing when unknown or blacklisted. An entry naming a plug-in of
    // another installation gives this installation's plug-in of the same file name, if any.
    [[nodiscard]] std::optional<std::u16string> look_up(RegistryKind kind,
                                                        std::u16string_view extension);
    // Whether `path` lies in this installation's Plugins folder: written below it without "."
    // or ".." steps, and with every link resolved still inside the folder (itself resolved).
    // The registry lives in the user's data root, which every installation of the user shares:
    // another one's entries name its own plug-ins, which this program must not load.
    [[nodiscard]] bool installed_here(std::u16string_view path) const;
    // Records that the plug-in at `path` handled the extension. ".jpg" never changes.
    void remember(RegistryKind kind, std::u16string_view extension, std::u16string_view path);

    // The plug-in libraries of the Plugins folder (rescanned when stale), not blacklisted. Links
    // that lead out of the folder, to a library or a sub-folder, are left out.
    std::size_t refresh_plugin_list();
    [[nodiscard]] std::u16string plugin_path(std::size_t index);
    // The same list in one piece, refreshed first: unlike counting and indexing, it cannot
    // change half-way when another thread rescans.
    [[nodiscard]] std::vector<std::u16string> plugin_list();

    // "plugin_blacklist.txt" in the data root: one path a line; a path is blacklisted when it
    // occurs anywhere in the text. Like the registries' state files, it is read and written only
    // while it and the data root are the user's alone.
    [[nodiscard]] bool is_blacklisted(std::u16string_view path);
    void blacklist_add(std::u16string_view path);
    // Unblocks `path`: every line it occurs in is removed (a line naming a longer path that
    // begins with it goes too, as it blocks both); no line left deletes the file. True when
    // the path is no longer blacklisted.
    bool blacklist_remove(std::u16string_view path);
    // The blacklist's lines, trimmed, without empty ones.
    [[nodiscard]] std::vector<std::u16string> blacklist_entries();

    // Keeps the plug-in library `path` loaded between files (its own reference).
    void keep_library(std::u16string_view path);
    // Lets it go when unused for 2000 ms, or at once with `force`. False when it is still in
    // use (kept and used less than 2000 ms ago).
    bool release_kept_library(bool force);
    [[nodiscard]] bool library_kept();

    [[nodiscard]] std::u16string blacklist_path() const;
    [[nodiscard]] std::u16string data_root() const;

private:
    RegistryBlock& block(RegistryKind kind) noexcept;
    void ensure_defaults(RegistryBlock& b);
    bool blacklisted_locked(std::u16string_view path);
    void read_blacklist_locked();
    // Writes `text` as the blacklist (deleting the file when empty) and keeps it as read now.
    void write_blacklist_locked(std::u16string text);
    [[nodiscard]] platform::TimeStamp now() const;

    Options m_options;
    std::mutex m_lock;
    int m_starts = 0;
    std::array<std::unique_ptr<RegistryBlock>, 3> m_blocks;
    std::vector<std::u16string> m_plugins;
    std::optional<platform::TimeStamp> m_plugins_scanned;
    std::u16string m_blacklist;
    std::optional<platform::TimeStamp> m_blacklist_read;
    platform::DynamicLibrary m_kept;
    platform::TimeStamp m_kept_used = 0;
};

// The program's registry.
FilterRegistry& filter_registry();

} // namespace vt::plugins
