#include "plugins/filter_registry.h"

#include <chrono>

#include "base/le.h"
#include "base/text.h"
#include "base/utf.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/private_files.h"

namespace vt::plugins {
namespace {

constexpr std::uint8_t kMagic[4] = {'f', 'p', '$', '_'};
constexpr std::size_t kExtensionOffset = 8;
constexpr std::size_t kPathOffset = 40;
constexpr std::uint32_t kBlacklistMaxAgeMs = 15000;
constexpr std::u16string_view kBlacklistBlanks = u" \t\r\n";
constexpr std::uint32_t kKeptLibraryIdleMs = 2000;
constexpr int kMaxScanDepth = 5;
constexpr std::size_t kDefaultTextLimit = 63;

struct DefaultRow {
    const char16_t* file;
    std::initializer_list<const char16_t*> extensions;
};

// The built-in map that an empty or stale registry starts from, in this order.
const DefaultRow kDefaultMap[] = {
    {u"fmx_BMP", {u".bmp"}},
    {u"fmx_JPEG", {u".jpg"}},
    {u"fmx_GIF", {u".gif"}},
    {u"fmx_PNG", {u".png"}},
    {u"fmx_TIFF", {u".tif"}},
    {u"fmx_AVI", {u".avi"}},
    {u"fmx_JP2K", {u".j2k", u".jp2", u".jpt", u".mj2"}},
    {u"fmx_WebP", {u".webp"}},
    {u"fmx_SVG", {u".svg"}},
    {u"fmx_XCF", {u".xcf"}},
    {u"fmx_PDN", {u".pdn"}},
    {u"fmx_PSD", {u".psd"}},
    {u"fmx_PSP", {u".psp"}},
    {u"fmx_CPT", {u".cpt"}},
    {u"fmx_ORA", {u".ora"}},
    {u"fmx_KRA", {u".kra"}},
    {u"fmx_AFPhoto", {u".afphoto"}},
    {u"fmx_WIC", {u".wdp", u".hdp", u".jxr"}},
    {u"fmx_ICO", {u".ico", u".cur"}},
    {u"fmx_FITS", {u".fits"}},
    {u"fmx_DDS", {u".dds"}},
    {u"fmx_GTX", {u".gtx"}},
    {u"fmx_RAW",
     {u".dng", u".cr2", u".cr3", u".raf", u".nef", u".nrw", u".arw", u".raw", u".k25", u".dcr",
      u".fff", u".orf", u".srf", u".rw2", u".ptx", u".srw", u".bay", u".mfw"}},
};

std::size_t entry_offset(std::size_t i) {
    return 8 + i * kRegistryEntryBytes;
}

std::u16string read_text(const std::uint8_t* p, std::size_t chars) {
    std::u16string text;
    for (std::size_t i = 0; i < chars; ++i) {
        const char16_t c = base::load_le16(p + 2 * i);
        if (c == 0)
            break;
        text.push_back(c);
    }
    return text;
}

void write_text(std::uint8_t* p, std::size_t capacity_chars, std::u16string_view text) {
    const std::size_t n = std::min(text.size(), capacity_chars - 1);
    for (std::size_t i = 0; i < capacity_chars; ++i)
        base::store_le16(p + 2 * i, i < n ? text[i] : 0);
}

// The first file `name` exactly `depth` folder levels below `folder`, in listing order.
std::u16string find_at_depth(std::u16string_view folder, std::u16string_view name, int depth) {
    if (depth == 0) {
        std::u16string path = platform::join_path(folder, name);
        return platform::is_file(path) ? path : std::u16string{};
    }
    platform::DirListing listing(folder);
    for (platform::DirEntry e; listing.next(e);) {
        if (!e.is_directory || e.name == u"." || e.name == u"..")
            continue;
        std::u16string found = find_at_depth(platform::join_path(folder, e.name), name, depth - 1);
        if (!found.empty())
            return found;
    }
    return {};
}

// A default plug-in: in the folder itself, else one, else two levels of sub-folders down.
std::u16string find_plugin(std::u16string_view folder, std::u16string_view name) {
    for (int depth = 0; depth <= 2; ++depth) {
        std::u16string found = find_at_depth(folder, name, depth);
        if (!found.empty())
            return found;
    }
    return {};
}

bool skipped_in_scan(std::u16string_view name) {
    return name == u"." || name == u".." || base::iequal(name, u"Thumbs.db") ||
           base::iequal(name, u"desktop.ini") || base::iequal(name, u"$RECYCLE.BIN") ||
           base::iequal(name, u"fmx_DSHOW.so");
}

std::u16string decode_text_file(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::u16string text;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
            text.push_back(base::load_le16(reinterpret_cast<const std::uint8_t*>(&bytes[i])));
        return text;
    }
    return base::utf8_to_utf16(bytes);
}

std::string encode_text_file(std::u16string_view text) {
    bool narrow = true;
    for (char16_t c : text)
        narrow = narrow && c < 256;
    if (narrow)
        return base::utf16_to_utf8(text);
    std::string bytes("\xFF\xFE");
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

} // namespace

std::u16string_view registry_state_name(RegistryKind kind) noexcept {
    switch (kind) {
    case RegistryKind::load:
        return u"_$pf.flt_load.5.08.01";
    case RegistryKind::save:
        return u"_$pf.flt_save.5.08.01";
    case RegistryKind::transform:
        break;
    }
    return u"_$pf.flt_xfrm.5.08.01";
}

std::uint32_t current_hour_stamp() noexcept {
    constexpr std::int64_t kSeconds1601To1970 = 11644473600;
    const std::int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    return static_cast<std::uint32_t>((seconds + kSeconds1601To1970) / 3600);
}

bool RegistryBlock::has_magic() const noexcept {
    return std::equal(std::begin(kMagic), std::end(kMagic), m_bytes.begin());
}

std::uint32_t RegistryBlock::stamp() const noexcept {
    return base::load_le32(&m_bytes[4]);
}

void RegistryBlock::set_stamp(std::uint32_t hours) noexcept {
    base::store_le32(&m_bytes[4], hours);
}

bool RegistryBlock::in_use(std::size_t i) const noexcept {
    return base::load_le16(&m_bytes[entry_offset(i) + kExtensionOffset]) == u'.';
}

std::int64_t RegistryBlock::age(std::size_t i) const noexcept {
    return static_cast<std::int64_t>(base::load_le64(&m_bytes[entry_offset(i)]));
}

void RegistryBlock::set_age(std::size_t i, std::int64_t value) noexcept {
    base::store_le64(&m_bytes[entry_offset(i)], static_cast<std::uint64_t>(value));
}

std::u16string RegistryBlock::extension(std::size_t i) const {
    return read_text(&m_bytes[entry_offset(i) + kExtensionOffset], kRegistryExtensionChars);
}

std::u16string RegistryBlock::path(std::size_t i) const {
    return read_text(&m_bytes[entry_offset(i) + kPathOffset], kRegistryPathChars);
}

void RegistryBlock::set_entry(std::size_t i, std::u16string_view ext, std::u16string_view path) {
    set_age(i, 0);
    write_text(&m_bytes[entry_offset(i) + kExtensionOffset], kRegistryExtensionChars + 1, ext);
    write_text(&m_bytes[entry_offset(i) + kPathOffset], kRegistryPathChars + 1, path);
}

void RegistryBlock::reset_to_defaults(std::u16string_view plugins_folder) {
    m_bytes.fill(0);
    std::copy(std::begin(kMagic), std::end(kMagic), m_bytes.begin());
    std::size_t slot = 0;
    for (const DefaultRow& row : kDefaultMap) {
        const std::u16string file = std::u16string(row.file) + std::u16string(kPluginSuffix);
        std::u16string path = find_plugin(plugins_folder, file.substr(0, kDefaultTextLimit));
        if (path.size() > kRegistryPathChars)
            path.clear(); // does not fit the record
        for (const char16_t* ext : row.extensions)
            set_entry(slot++, std::u16string_view(ext).substr(0, kDefaultTextLimit), path);
    }
}

std::size_t slot_for_new_extension(const RegistryBlock& block) noexcept {
    for (std::size_t i = 0; i < kRegistryEntries; ++i)
        if (!block.in_use(i))
            return i;
    std::size_t oldest = kRegistryEntries - 1;
    for (std::size_t i = 1; i < kRegistryEntries; ++i)
        if (block.age(i) >= block.age(oldest))
            oldest = i;
    return oldest;
}

std::uint32_t plugin_list_expiry_ms(const platform::PowerStatus& power) noexcept {
    if (!power.on_battery)
        return 30000;
    if (power.charge_percent < 10)
        return 150000;
    return static_cast<std::uint32_t>(((100 - power.charge_percent) * 2.5 / 90 + 1.5) * 30000);
}

FilterRegistry::FilterRegistry() : FilterRegistry(Options{}) {}

FilterRegistry::FilterRegistry(Options options) : m_options(std::move(options)) {
    for (auto& b : m_blocks)
        b = std::make_unique<RegistryBlock>();
    if (m_options.plugins_folder.empty())
        m_options.plugins_folder = platform::plugins_folder();
    if (!m_options.store)
        m_options.store = &state_store();
    if (!m_options.hours)
        m_options.hours = current_hour_stamp;
    if (!m_options.clock)
        m_options.clock = [] { return platform::now(); };
    if (!m_options.power)
        m_options.power = platform::power_status;
}

FilterRegistry::~FilterRegistry() = default;

platform::TimeStamp FilterRegistry::now() const {
    return m_options.clock();
}

RegistryBlock& FilterRegistry::block(RegistryKind kind) noexcept {
    return *m_blocks[static_cast<std::size_t>(kind)];
}

bool FilterRegistry::start() {
    std::lock_guard lock(m_lock);
    if (m_starts++ > 0)
        return true;
    const std::uint32_t hour = m_options.hours();
    for (auto kind : {RegistryKind::load, RegistryKind::save, RegistryKind::transform}) {
        RegistryBlock loaded;
        m_options.store->file_read(registry_state_name(kind), loaded.bytes());
        block(kind) = loaded.has_magic() && loaded.stamp() == hour ? loaded : RegistryBlock{};
    }
    return true;
}

void FilterRegistry::stop() {
    std::lock_guard lock(m_lock);
    if (m_starts == 0 || --m_starts > 0)
        return;
    const std::uint32_t hour = m_options.hours();
    for (auto kind : {RegistryKind::load, RegistryKind::save, RegistryKind::transform}) {
        RegistryBlock& b = block(kind);
        b.set_stamp(hour);
        // A state file that cannot be written keeps the registry in memory only.
        (void)m_options.store->file_write(registry_state_name(kind), b.bytes());
    }
    m_kept.reset();
}

void FilterRegistry::ensure_defaults(RegistryBlock& b) {
    if (!b.has_magic())
        b.reset_to_defaults(m_options.plugins_folder);
}

std::optional<std::u16string> FilterRegistry::look_up(RegistryKind kind,
                                                      std::u16string_view extension) {
    std::lock_guard lock(m_lock);
    RegistryBlock& b = block(kind);
    ensure_defaults(b);
    for (std::size_t i = 0; i < kRegistryEntries; ++i) {
        if (!b.in_use(i) || !base::iequal(b.extension(i), extension))
            continue;
        std::u16string path = b.path(i);
        // Another installation of the user (a package beside a build) made this entry: its
        // plug-in of the same name here is the one meant. Without this every file of a job
        // would walk every plug-in, as the entry could never be loaded.
        if (!path.empty() && !installed_here(path)) {
            const std::size_t slash = path.find_last_of(u'/');
            std::u16string own = find_plugin(m_options.plugins_folder, path.substr(slash + 1));
            if (!own.empty() && installed_here(own))
                path = std::move(own);
        }
        if (blacklisted_locked(path))
            return std::nullopt;
        for (std::size_t k = 0; k < kRegistryEntries; ++k)
            if (k != i && b.in_use(k))
                b.set_age(k, b.age(k) + 1);
        b.set_age(i, 0);
        return path;
    }
    return std::nullopt;
}

bool FilterRegistry::installed_here(std::u16string_view path) const {
    // By its text the path must name something below the folder without stepping back out of
    // it: a "../" through a folder that someone else controls could be switched between this
    // check and the load. Resolved, it must still lie inside: a link in the folder may point
    // anywhere.
    const std::u16string_view folder = m_options.plugins_folder;
    if (path.size() <= folder.size() + 1 || path.substr(0, folder.size()) != folder ||
        (path[folder.size()] != u'/' && !folder.ends_with(u'/')))
        return false;
    for (std::u16string_view rest = path.substr(folder.size()); !rest.empty();) {
        const std::size_t slash = rest.find(u'/');
        const std::u16string_view part = rest.substr(0, slash);
        if (part == u"." || part == u"..")
            return false;
        rest = slash == std::u16string_view::npos ? std::u16string_view{} : rest.substr(slash + 1);
    }
    return platform::really_inside(path, folder);
}

void FilterRegistry::remember(RegistryKind kind, std::u16string_view extension,
                              std::u16string_view path) {
    if (base::iequal(extension, u".jpg") || path.size() > kRegistryPathChars)
        return;
    std::lock_guard lock(m_lock);
    RegistryBlock& b = block(kind);
    ensure_defaults(b);
    b.set_stamp(m_options.hours());
    bool found = false;
    for (std::size_t i = 0; i < kRegistryEntries; ++i) {
        if (b.in_use(i) && base::iequal(b.extension(i), extension)) {
            b.set_entry(i, b.extension(i), path);
            found = true;
        }
    }
    if (found)
        return;
    const std::u16string ext(extension.substr(0, kRegistryExtensionChars));
    b.set_entry(slot_for_new_extension(b), base::to_lower(ext), path);
}

std::size_t FilterRegistry::refresh_plugin_list() {
    std::lock_guard lock(m_lock);
    const std::uint32_t expiry = plugin_list_expiry_ms(m_options.power());
    if (!m_plugins.empty() && m_plugins_scanned &&
        platform::elapsed_ms(*m_plugins_scanned, now()) <= expiry)
        return m_plugins.size();
    m_plugins.clear();
    // A link in the Plugins folder that leads out of it is not this installation's plug-in.
    const auto inside = [this](const std::u16string& path) {
        return platform::really_inside(path, m_options.plugins_folder);
    };
    const std::function<void(const std::u16string&, int)> scan = [&](const std::u16string& folder,
                                                                     int depth) {
        platform::DirListing listing(folder);
        for (platform::DirEntry e; listing.next(e) && m_plugins.size() < kMaxPluginFiles;) {
            if (skipped_in_scan(e.name))
                continue;
            const std::u16string path = platform::join_path(folder, e.name);
            if (e.is_directory) {
                if (depth < kMaxScanDepth && inside(path))
                    scan(path, depth + 1);
            } else if (base::iequal(platform::extension_of(e.name), kPluginSuffix) &&
                       inside(path) && !blacklisted_locked(path)) {
                m_plugins.push_back(path);
            }
        }
    };
    scan(m_options.plugins_folder, 0);
    m_plugins_scanned = now();
    return m_plugins.size();
}

std::u16string FilterRegistry::plugin_path(std::size_t index) {
    std::lock_guard lock(m_lock);
    return index < m_plugins.size() ? m_plugins[index] : std::u16string{};
}

std::vector<std::u16string> FilterRegistry::plugin_list() {
    (void)refresh_plugin_list();
    std::lock_guard lock(m_lock);
    return m_plugins;
}

std::u16string FilterRegistry::data_root() const {
    return m_options.data_root.empty() ? platform::suite_data_root() : m_options.data_root;
}

std::u16string FilterRegistry::blacklist_path() const {
    const std::u16string root = data_root();
    return root.empty() ? std::u16string{} : platform::join_path(root, u"plugin_blacklist.txt");
}

void FilterRegistry::read_blacklist_locked() {
    if (m_blacklist_read && platform::elapsed_ms(*m_blacklist_read, now()) <= kBlacklistMaxAgeMs)
        return;
    const std::u16string file = blacklist_path();
    std::string bytes;
    platform::File in;
    if (!file.empty() && in.open_private(file, platform::File::Mode::read, data_root())) {
        constexpr std::size_t kMaxBlacklistBytes = 1 << 20;
        bytes.resize(kMaxBlacklistBytes);
        bytes.resize(in.read({reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()}));
    }
    m_blacklist = decode_text_file(bytes);
    m_blacklist_read = now();
}

bool FilterRegistry::blacklisted_locked(std::u16string_view path) {
    if (path.empty())
        return false;
    read_blacklist_locked();
    return !m_blacklist.empty() && m_blacklist.find(path) != std::u16string::npos;
}

bool FilterRegistry::is_blacklisted(std::u16string_view path) {
    std::lock_guard lock(m_lock);
    return blacklisted_locked(path);
}

void FilterRegistry::blacklist_add(std::u16string_view path) {
    std::lock_guard lock(m_lock);
    read_blacklist_locked();
    if (!path.empty() && m_blacklist.find(path) != std::u16string::npos)
        return;
    std::u16string text(base::trim(m_blacklist, kBlacklistBlanks));
    text = text.empty() ? std::u16string(path) : text + u"\r\n" + std::u16string(path);
    write_blacklist_locked(std::u16string(base::trim(text, kBlacklistBlanks)));
}

bool FilterRegistry::blacklist_remove(std::u16string_view path) {
    std::lock_guard lock(m_lock);
    read_blacklist_locked();
    if (path.empty() || m_blacklist.find(path) == std::u16string::npos)
        return true;
    // Every line the path occurs in goes: those are what block it.
    std::u16string text;
    std::u16string_view rest = m_blacklist;
    while (!rest.empty()) {
        const std::size_t end = rest.find(u'\n');
        const std::u16string_view line = rest.substr(0, end);
        rest = end == std::u16string_view::npos ? std::u16string_view{} : rest.substr(end + 1);
        if (line.find(path) != std::u16string_view::npos)
            continue;
        const std::u16string_view kept = base::trim(line, kBlacklistBlanks);
        if (kept.empty())
            continue;
        if (!text.empty())
            text += u"\r\n";
        text += kept;
    }
    write_blacklist_locked(std::move(text));
    return m_blacklist.find(path) == std::u16string::npos;
}

std::vector<std::u16string> FilterRegistry::blacklist_entries() {
    std::lock_guard lock(m_lock);
    read_blacklist_locked();
    std::vector<std::u16string> lines;
    std::u16string_view rest = m_blacklist;
    while (!rest.empty()) {
        const std::size_t end = rest.find(u'\n');
        const std::u16string_view line = base::trim(rest.substr(0, end), kBlacklistBlanks);
        rest = end == std::u16string_view::npos ? std::u16string_view{} : rest.substr(end + 1);
        if (!line.empty())
            lines.emplace_back(line);
    }
    return lines;
}

void FilterRegistry::write_blacklist_locked(std::u16string text) {
    const std::u16string file = blacklist_path();
    if (!file.empty()) {
        if (text.empty()) {
            platform::delete_file(file, true);
        } else {
            const std::string bytes = encode_text_file(text);
            platform::File out;
            if (out.open_private(file, platform::File::Mode::read_write_create, data_root())) {
                out.write({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
                out.truncate_here();
                out.close();
                platform::keep_private(file);
            }
        }
    }
    m_blacklist = std::move(text);
    m_blacklist_read = now();
    m_plugins_scanned.reset(); // the plug-in list leaves out what is blocked now
}

void FilterRegistry::keep_library(std::u16string_view path) {
    std::lock_guard lock(m_lock);
    if (m_kept && m_kept.path() == path) {
        m_kept_used = now();
        return;
    }
    m_kept.reset();
    m_kept.open(path);
    m_kept_used = now();
}

bool FilterRegistry::release_kept_library(bool force) {
    std::lock_guard lock(m_lock);
    if (!m_kept)
        return true;
    if (!force && platform::elapsed_ms(m_kept_used, now()) < kKeptLibraryIdleMs)
        return false;
    m_kept.reset();
    return true;
}

bool FilterRegistry::library_kept() {
    std::lock_guard lock(m_lock);
    return static_cast<bool>(m_kept);
}

FilterRegistry& filter_registry() {
    static FilterRegistry registry;
    return registry;
}

} // namespace vt::plugins
