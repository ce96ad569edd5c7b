#include "session/suite_settings.h"

#include <sys/stat.h>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/replace_file.h"

namespace vt::session {
namespace {

constexpr std::size_t kLanguageOffset = 256;
constexpr std::size_t kTempOffset = 384;
constexpr std::size_t kWriterOffset = 16;
constexpr std::size_t kFlagsOffset = 18;

void put32(std::array<std::uint8_t, platform::kSuiteConfigSize>& b, std::size_t at,
           std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put_text(std::array<std::uint8_t, platform::kSuiteConfigSize>& b, std::size_t at,
              std::u16string_view text) {
    for (std::size_t i = 0; i <= kSuiteTextChars; ++i) {
        const char16_t c = i < text.size() && i < kSuiteTextChars ? text[i] : u'\0';
        b[at + 2 * i] = static_cast<std::uint8_t>(c & 0xFF);
        b[at + 2 * i + 1] = static_cast<std::uint8_t>(c >> 8);
    }
}

} // namespace

SuiteSettings suite_settings(const platform::SuiteConfig& config) {
    SuiteSettings s;
    s.language = config.language();
    s.temp_override = config.temp_override();
    s.vt5_writer_value = config.writer_value();
    s.flags = {config.flag(0), config.flag(1)};
    return s;
}

std::array<std::uint8_t, platform::kSuiteConfigSize>
suite_config_bytes(const platform::SuiteConfig& base, const SuiteSettings& settings) {
    auto bytes = base.bytes();
    put32(bytes, 0, platform::kSuiteConfigTag);
    put32(bytes, 4, static_cast<std::uint32_t>(platform::kSuiteConfigSize));
    bytes[kWriterOffset] = static_cast<std::uint8_t>(settings.vt5_writer_value & 0xFF);
    bytes[kWriterOffset + 1] = static_cast<std::uint8_t>(settings.vt5_writer_value >> 8);
    bytes[kFlagsOffset] = settings.flags[0] ? 1 : 0;
    bytes[kFlagsOffset + 1] = settings.flags[1] ? 1 : 0;
    put_text(bytes, kLanguageOffset, settings.language);
    put_text(bytes, kTempOffset, settings.temp_override);
    return bytes;
}

bool save_suite_settings(const SuiteSettings& settings) {
    const std::u16string root = platform::suite_data_root();
    if (root.empty())
        return false;
    const auto bytes = suite_config_bytes(platform::suite_config(true), settings);
    const std::u16string target = platform::join_path(root, u"suite_config.bin");
    platform::ReplacingFile file;
    if (!file.create(target, u""))
        return false;
    // The user's settings are the user's alone, whatever mode a record of another program had.
    file.set_mode(S_IRUSR | S_IWUSR);
    platform::File out;
    if (!out.open(file.temp_path(), platform::File::Mode::read_write_create) ||
        out.write(bytes) != bytes.size())
        return false;
    out.close();
    if (!file.commit())
        return false;
    (void)platform::suite_config(true);
    return true;
}

} // namespace vt::session
