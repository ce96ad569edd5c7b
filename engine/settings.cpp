#include "engine/settings.h"

#include "base/le.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace vt::engine {

SettingsRecord SettingsRecord::defaults() noexcept {
    SettingsRecord r;
    r.tag = kSettingsTag;
    r.size = kSettingsSize;
    r.resizeWidth = 640;
    r.resizeHeight = 480;
    return r;
}

std::array<std::uint8_t, kSettingsSize> SettingsRecord::to_bytes() const noexcept {
    std::array<std::uint8_t, kSettingsSize> b{};
    base::store_le32(&b[0], tag);
    base::store_le32(&b[4], size);
    base::store_le16(&b[8], resizeWidth);
    base::store_le16(&b[10], resizeHeight);
    base::store_le16(&b[16], static_cast<std::uint16_t>(windowLeft));
    base::store_le16(&b[18], static_cast<std::uint16_t>(windowTop));
    base::store_le16(&b[20], clientWidth);
    base::store_le16(&b[22], clientHeight);
    base::store_le16(&b[24], showState);
    return b;
}

SettingsRecord SettingsRecord::from_bytes(const std::uint8_t* b) noexcept {
    SettingsRecord r;
    r.tag = base::load_le32(&b[0]);
    r.size = base::load_le32(&b[4]);
    r.resizeWidth = base::load_le16(&b[8]);
    r.resizeHeight = base::load_le16(&b[10]);
    r.windowLeft = static_cast<std::int16_t>(base::load_le16(&b[16]));
    r.windowTop = static_cast<std::int16_t>(base::load_le16(&b[18]));
    r.clientWidth = base::load_le16(&b[20]);
    r.clientHeight = base::load_le16(&b[22]);
    r.showState = base::load_le16(&b[24]);
    return r;
}

std::optional<SettingsRecord> parse_settings(std::string_view bytes) noexcept {
    if (bytes.size() < kSettingsSize)
        return std::nullopt;
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    SettingsRecord r = SettingsRecord::from_bytes(p);
    if (!r.valid())
        return std::nullopt;
    return r;
}

SettingsSync::SettingsSync(std::u16string folder) : m_folder(std::move(folder)) {}

std::u16string SettingsSync::path() const {
    return platform::join_path(m_folder, u"settings.bin");
}

bool SettingsSync::sync(platform::TimeStamp now) {
    if (m_last_sync && platform::elapsed_ms(*m_last_sync, now) < kSettingsSyncIntervalMs)
        return true;
    m_last_sync = now;

    platform::create_folder_chain(m_folder);
    const std::u16string file = path();
    const std::int64_t write_time = platform::last_write_time(file).value_or(0);
    const auto bytes = platform::read_file_prefix(file, kSettingsSize);
    const std::optional<SettingsRecord> on_disk = parse_settings(bytes.value_or(std::string{}));

    const auto adopt = [&] {
        m_record = *on_disk;
        m_known_write_time = platform::last_write_time(file).value_or(0);
        return true;
    };
    if (!m_record.valid()) {
        if (on_disk)
            return adopt();
        m_record = SettingsRecord::defaults();
        return true;
    }
    if (on_disk && write_time > m_known_write_time)
        return adopt(); // another instance wrote it since our last look
    const auto mine = m_record.to_bytes();
    if (on_disk && on_disk->to_bytes() == mine)
        return true;

    platform::File out;
    if (!out.open(file, platform::File::Mode::read_write_create))
        return false;
    if (out.write(mine) != mine.size() || !out.truncate_here())
        return false;
    out.close();
    m_known_write_time = platform::last_write_time(file).value_or(0);
    return true;
}

} // namespace vt::engine
