#include "plugins/state_store.h"

#include <algorithm>

#include "base/fixed_text.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/private_files.h"

namespace vt::plugins {
namespace {

std::u16string_view clip_name(std::u16string_view name) {
    return name.substr(0, base::cut_length(name, kStateNameChars));
}

int as_result(std::size_t n) {
    return static_cast<int>(n);
}

} // namespace

StateStore::StateStore(std::u16string folder) : m_folder(std::move(folder)) {}

std::u16string StateStore::folder() const {
    if (!m_folder.empty())
        return m_folder;
    const std::u16string root = platform::suite_data_root();
    return root.empty() ? std::u16string{} : platform::join_path(root, u"Plugins");
}

std::u16string StateStore::root() const {
    return m_folder.empty() ? platform::suite_data_root() : std::u16string{};
}

std::u16string StateStore::file_path(std::u16string_view name) const {
    if (name.empty() || name.find_first_of(u"/\\") != std::u16string_view::npos)
        return {};
    const std::u16string dir = folder();
    if (dir.empty())
        return {};
    return platform::join_path(dir, std::u16string(name) + u".bin");
}

StateStore::Entry* StateStore::find(std::u16string_view name) {
    const std::u16string_view key = clip_name(name);
    for (auto& e : m_entries)
        if (!e.name.empty() && e.name == key)
            return &e;
    return nullptr;
}

// A free slot, else the least recently used one.
StateStore::Entry& StateStore::take_slot() {
    for (auto& e : m_entries)
        if (e.name.empty())
            return e;
    return *std::min_element(
        m_entries.begin(), m_entries.end(),
        [](const Entry& a, const Entry& b) { return a.last_use < b.last_use; });
}

int StateStore::get(std::u16string_view name, std::span<std::uint8_t> out) {
    std::lock_guard lock(m_lock);
    Entry* e = name.empty() || out.empty() ? nullptr : find(name);
    if (!e)
        return 0;
    e->last_use = ++m_clock;
    const std::size_t n = std::min(out.size(), e->data.size());
    std::copy_n(e->data.begin(), n, out.begin());
    return as_result(n);
}

int StateStore::set(std::u16string_view name, std::span<const std::uint8_t> data) {
    if (name.empty())
        return 0;
    std::lock_guard lock(m_lock);
    Entry* e = find(name);
    if (data.empty()) {
        if (e)
            *e = Entry{};
        return 1;
    }
    if (!e) {
        e = &take_slot();
        e->name = clip_name(name);
    }
    const std::size_t n = std::min(data.size(), kStateDataLimit);
    e->data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    e->last_use = ++m_clock;
    return as_result(n);
}

int StateStore::size(std::u16string_view name) {
    std::lock_guard lock(m_lock);
    const Entry* e = name.empty() ? nullptr : find(name);
    return e ? as_result(e->data.size()) : 0;
}

int StateStore::file_read(std::u16string_view name, std::span<std::uint8_t> out) {
    const std::u16string path = file_path(name);
    if (path.empty() || out.empty())
        return 0;
    std::lock_guard lock(m_lock);
    platform::File file;
    if (!file.open_private(path, platform::File::Mode::read, root()))
        return 0;
    return as_result(file.read(out));
}

int StateStore::file_write(std::u16string_view name, std::span<const std::uint8_t> data) {
    const std::u16string path = file_path(name);
    if (path.empty())
        return 0;
    std::lock_guard lock(m_lock);
    // Nothing is created or removed in a folder that is not the user's alone.
    const std::u16string_view dir = platform::folder_of(path);
    if (data.empty()) {
        const bool ours = !platform::is_directory(dir) || platform::folders_private(dir, root());
        return ours && platform::delete_file(path, /*even_read_only=*/true) ? 1 : 0;
    }
    if (!platform::is_directory(dir) &&
        platform::folders_private(platform::folder_of(dir), root()) &&
        platform::create_folder_chain(dir))
        platform::keep_private(dir);
    platform::File file;
    if (!file.open_private(path, platform::File::Mode::read_write_create, root()))
        return 0;
    const std::size_t n = std::min(data.size(), kStateFileLimit);
    const std::size_t written = file.write(data.first(n));
    file.truncate_here();
    file.close();
    platform::keep_private(path);
    return as_result(written);
}

int StateStore::file_size(std::u16string_view name) {
    const std::u16string path = file_path(name);
    if (path.empty())
        return 0;
    std::lock_guard lock(m_lock);
    platform::File file;
    if (!file.open_private(path, platform::File::Mode::read, root()) || !file.seek_end())
        return 0;
    const auto size = platform::file_size(path);
    return size ? as_result(std::min<std::uint64_t>(*size, INT32_MAX)) : 0;
}

StateStore& state_store() {
    static StateStore store;
    return store;
}

} // namespace vt::plugins
