#include "platform/suite_config.h"

#include <ctime>

#include "base/le.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"

namespace vt::platform {
namespace {

constexpr std::uint32_t kCacheMs = 5000;
constexpr std::size_t kFlagsOffset = 18;
constexpr std::size_t kTextEnds[] = {638, 1542, 2062};

bool us_time_zone(int bias) {
    return bias >= 300 && bias <= 480;
}

} // namespace

SuiteConfig SuiteConfig::defaults(int time_zone_bias_minutes) {
    SuiteConfig c;
    const std::uint8_t flag = us_time_zone(time_zone_bias_minutes) ? 1 : 0;
    c.m_bytes[kFlagsOffset] = flag;
    c.m_bytes[kFlagsOffset + 1] = flag;
    return c;
}

SuiteConfig SuiteConfig::from_file_bytes(std::string_view bytes, int time_zone_bias_minutes) {
    if (bytes.size() > kSuiteConfigSize)
        bytes = bytes.substr(0, kSuiteConfigSize);
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    if (bytes.size() < 8 || base::load_le32(p + 4) != bytes.size())
        return defaults(time_zone_bias_minutes);
    SuiteConfig c;
    std::copy(p, p + bytes.size(), c.m_bytes.begin());
    base::store_le32(&c.m_bytes[0], kSuiteConfigTag);
    base::store_le32(&c.m_bytes[4], static_cast<std::uint32_t>(kSuiteConfigSize));
    for (const std::size_t end : kTextEnds)
        base::store_le16(&c.m_bytes[end], 0); // the text fields always end in NUL
    c.m_accepted = true;
    return c;
}

std::uint16_t SuiteConfig::writer_value() const noexcept {
    return base::load_le16(&m_bytes[16]);
}

std::uint8_t SuiteConfig::flag(int which) const noexcept {
    return m_bytes[kFlagsOffset + (which ? 1 : 0)] ? 1 : 0;
}

std::u16string SuiteConfig::text_at(std::size_t offset, std::size_t chars) const {
    std::u16string text;
    for (std::size_t i = 0; i < chars; ++i) {
        const char16_t c = base::load_le16(&m_bytes[offset + 2 * i]);
        if (c == 0)
            break;
        text.push_back(c);
    }
    return text;
}

std::u16string SuiteConfig::language() const {
    return text_at(256, 63);
}
std::u16string SuiteConfig::temp_override() const {
    return text_at(384, 63);
}

int local_time_zone_bias_minutes() noexcept {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!::localtime_r(&now, &local))
        return 0;
    return static_cast<int>(-local.tm_gmtoff / 60);
}

SuiteConfigCache::SuiteConfigCache(std::u16string file) : m_file(std::move(file)) {}

SuiteConfig SuiteConfigCache::get(bool force_reload, TimeStamp now) {
    std::lock_guard lock(m_lock);
    if (m_loaded && !force_reload && elapsed_ms(m_loaded_at, now) < kCacheMs)
        return m_config;
    std::u16string file = m_file;
    if (file.empty()) {
        const std::u16string root = suite_data_root();
        if (!root.empty())
            file = join_path(root, u"suite_config.bin");
    }
    const auto bytes = file.empty() ? std::nullopt : read_file_prefix(file, kSuiteConfigSize);
    m_config =
        SuiteConfig::from_file_bytes(bytes.value_or(std::string{}), local_time_zone_bias_minutes());
    m_loaded = true;
    m_loaded_at = now;
    return m_config;
}

SuiteConfig suite_config(bool force_reload) {
    static SuiteConfigCache cache;
    return cache.get(force_reload);
}

} // namespace vt::platform
