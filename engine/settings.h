#pragma once
// The settings file "settings.bin": the resize box and the main window's placement, shared by
// every running instance of the program. One 32-byte little-endian record:
//
//   offset size field
//        0    4 tag, 0x00010001
//        4    4 record size, 32
//        8    2 resizeWidth            10  2 resizeHeight
//       12    4 reserved (0)
//       16    2 window left            18  2 window top
//       20    2 client width           22  2 client height
//       24    2 show state (0 normal, 1 maximized; 2 reads as maximized)
//       26    6 reserved (0)
//
// Thread: one SettingsSync belongs to the thread that owns the main window.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace vt::engine {

inline constexpr std::uint32_t kSettingsTag = 0x00010001;
inline constexpr std::uint32_t kSettingsSize = 32;
inline constexpr std::uint32_t kSettingsSyncIntervalMs = 1000;

struct SettingsRecord {
    std::uint32_t tag = 0;
    std::uint32_t size = 0;
    std::uint16_t resizeWidth = 0;
    std::uint16_t resizeHeight = 0;
    std::int16_t windowLeft = 0;
    std::int16_t windowTop = 0;
    std::uint16_t clientWidth = 0;
    std::uint16_t clientHeight = 0;
    std::uint16_t showState = 0;

    [[nodiscard]] bool valid() const noexcept {
        return tag == kSettingsTag && size == kSettingsSize;
    }
    [[nodiscard]] bool maximized() const noexcept { return showState == 1 || showState == 2; }

    [[nodiscard]] static SettingsRecord defaults() noexcept;
    [[nodiscard]] std::array<std::uint8_t, kSettingsSize> to_bytes() const noexcept;
    [[nodiscard]] static SettingsRecord from_bytes(const std::uint8_t* bytes) noexcept;
};

// Reads a settings file's bytes: the record when they form a valid one (header complete, size
// 32, right tag, all 32 bytes present), otherwise nothing.
[[nodiscard]] std::optional<SettingsRecord> parse_settings(std::string_view bytes) noexcept;

// Keeps the in-memory record and the file in step. The in-memory record starts invalid, so the
// first sync adopts a valid file or the defaults.
class SettingsSync {
public:
    // `folder` is the program data folder; it is created when missing.
    explicit SettingsSync(std::u16string folder);

    // One sync at time `now`. Less than a second after the previous one it does nothing.
    // Returns false only when the file had to be written and could not be.
    bool sync(platform::TimeStamp now = platform::now());

    [[nodiscard]] SettingsRecord& record() noexcept { return m_record; }
    [[nodiscard]] const SettingsRecord& record() const noexcept { return m_record; }
    [[nodiscard]] std::u16string path() const;

private:
    std::u16string m_folder;
    SettingsRecord m_record{};
    std::optional<platform::TimeStamp> m_last_sync;
    std::int64_t m_known_write_time = 0;
};

} // namespace vt::engine
