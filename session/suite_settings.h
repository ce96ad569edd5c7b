#pragma once
// The fields of "suite_config.bin" that the suite's settings tools change on Linux, and the
// writing of the record back. Every other byte of the record is kept as it was, since the
// suite's other programs own them.
// Thread: any; writing replaces the file whole, so a reader never sees half a record.

#include <array>
#include <cstdint>
#include <string>

#include "platform/suite_config.h"

namespace vt::session {

struct SuiteSettings {
    std::u16string language;      // the language file's name; shorter than 4: none chosen
    std::u16string temp_override; // empty: the system's temporary folder
    std::uint16_t vt5_writer_value = 0;
    std::array<std::uint8_t, 2> flags{};
};

// The longest text a field holds: 64 characters, one of them the ending NUL.
inline constexpr std::size_t kSuiteTextChars = 63;

[[nodiscard]] SuiteSettings suite_settings(const platform::SuiteConfig& config);

// `base`'s bytes with the settings written in, the tag and the size set: an accepted record.
// Texts longer than a field are cut.
[[nodiscard]] std::array<std::uint8_t, platform::kSuiteConfigSize>
suite_config_bytes(const platform::SuiteConfig& base, const SuiteSettings& settings);

// Writes the settings into the suite data root's "suite_config.bin" (0600, replaced whole) over
// the record as it is now, and makes the process's cache read it again. False when the file
// could not be written.
bool save_suite_settings(const SuiteSettings& settings);

} // namespace vt::session
