#pragma once
// "suite_config.bin" in the suite data root: the configuration the suite's programs share. One
// little-endian record of 2064 bytes, of which this program reads a few fields:
//
//   offset size field
//        0    4 tag, 0x0001000A once accepted
//        4    4 record size, 2064
//       16    2 a value the VT5 writer reads
//       18    2 two one-byte flags; by default 1 when the local time zone lies 300 to 480
//               minutes west of UTC, else 0
//      256  128 language setting, 64 UTF-16 characters
//      384  128 temporary-folder override, 64 UTF-16 characters
//      512 1552 fields of the suite's other programs (text fields end at 638, 1542, 2062)
//
// A file is accepted when at least 8 bytes could be read and its size field equals the number
// of bytes read, so the shorter records of older versions load with the rest zero.
// Thread: any; the cache is shared and locked.

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace vt::platform {

inline constexpr std::uint32_t kSuiteConfigTag = 0x0001000A;
inline constexpr std::size_t kSuiteConfigSize = 2064;

class SuiteConfig {
public:
    // All zero but the time-zone flags: what a missing or foreign file gives.
    [[nodiscard]] static SuiteConfig defaults(int time_zone_bias_minutes);
    // The record from a file's bytes (at most the first 2064 count); the defaults when refused.
    [[nodiscard]] static SuiteConfig from_file_bytes(std::string_view bytes,
                                                     int time_zone_bias_minutes);

    [[nodiscard]] bool accepted() const noexcept { return m_accepted; }
    [[nodiscard]] std::uint16_t writer_value() const noexcept;
    [[nodiscard]] std::uint8_t flag(int which) const noexcept; // 0 or 1
    [[nodiscard]] std::u16string language() const;
    [[nodiscard]] std::u16string temp_override() const;
    [[nodiscard]] const std::array<std::uint8_t, kSuiteConfigSize>& bytes() const noexcept {
        return m_bytes;
    }

private:
    [[nodiscard]] std::u16string text_at(std::size_t offset, std::size_t chars) const;

    std::array<std::uint8_t, kSuiteConfigSize> m_bytes{};
    bool m_accepted = false;
};

// Minutes west of UTC of the local time zone now (UTC - local time), as the suite counts it.
[[nodiscard]] int local_time_zone_bias_minutes() noexcept;

// The loaded record, read again only when it is older than 5 seconds or a reload is forced.
// Several threads may ask at once; each gets a consistent copy.
class SuiteConfigCache {
public:
    // `file`: the full path of "suite_config.bin"; empty means the suite data root's.
    explicit SuiteConfigCache(std::u16string file = {});

    [[nodiscard]] SuiteConfig get(bool force_reload = false, TimeStamp now = platform::now());

private:
    std::mutex m_lock;
    std::u16string m_file;
    SuiteConfig m_config;
    TimeStamp m_loaded_at = 0;
    bool m_loaded = false;
};

// The process's shared cache over the suite data root's file.
[[nodiscard]] SuiteConfig suite_config(bool force_reload = false);

} // namespace vt::platform
