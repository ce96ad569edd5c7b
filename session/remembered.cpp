#include "session/remembered.h"

#include <map>
#include <string_view>

#include "engine/preset.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "session/format_catalogue.h"

namespace vt::session {
namespace {

// A stored option as vtconvert --set would give it: a 4-byte value that is not plain text is a
// 32-bit integer (what set_plugin_option stores for whole numbers), anything else its text.
std::string option_text(std::span<const std::uint8_t> bytes) {
    bool printable = true;
    for (std::uint8_t b : bytes)
        printable = printable && b >= 0x20 && b < 0x7f;
    if (bytes.size() == 4 && !printable) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | bytes[static_cast<std::size_t>(i)];
        return std::to_string(static_cast<std::int32_t>(v));
    }
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The options the state file keeps, as a preset's "plugin" lines (the one parser of them).
std::map<std::u16string, std::string> read_options(plugins::StateStore& store) {
    std::map<std::u16string, std::string> options;
    std::vector<std::uint8_t> bytes(plugins::kStateFileLimit);
    const int got = store.file_read(kPluginOptionsFile, bytes);
    if (got <= 0)
        return options;
    engine::Preset preset;
    std::string error;
    if (!engine::parse_preset(
            {reinterpret_cast<const char*>(bytes.data()), static_cast<std::size_t>(got)}, preset,
            error))
        return options;
    for (auto& [name, value] : preset.options)
        options[name] = std::move(value);
    return options;
}

} // namespace

std::u16string last_job_path() {
    const std::u16string folder = platform::program_data_folder();
    return folder.empty() ? std::u16string{} : platform::join_path(folder, u"last_job.vtpreset");
}

bool save_last_job(const engine::ConversionJob& job) {
    const std::u16string path = last_job_path();
    engine::Preset preset;
    preset.name = "last job";
    preset.job = job;
    return !path.empty() && engine::save_preset_file(path, preset);
}

bool load_last_job(engine::ConversionJob& job) {
    const std::u16string path = last_job_path();
    engine::Preset preset;
    std::string error;
    if (path.empty() || !engine::load_preset_file(path, preset, error))
        return false;
    job = preset.job;
    return true;
}

bool remember_plugin_options(std::span<const std::u16string> names, plugins::StateStore& store) {
    std::map<std::u16string, std::string> options = read_options(store);
    for (const std::u16string& name : names) {
        std::vector<std::uint8_t> bytes(plugins::kStateDataLimit);
        const int got = store.get(name, bytes);
        std::string text =
            got > 0 ? option_text({bytes.data(), static_cast<std::size_t>(got)}) : std::string();
        // A value over several lines is no preset line; such an option is not kept.
        if (!text.empty() && text.find_first_of("\r\n") == std::string::npos)
            options[name] = std::move(text);
        else
            options.erase(name);
    }
    engine::Preset preset;
    preset.name = "plug-in options";
    preset.options.assign(options.begin(), options.end());
    const std::string text = engine::format_preset(preset);
    return store.file_write(kPluginOptionsFile,
                            {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}) > 0;
}

std::size_t restore_plugin_options(plugins::StateStore& store) {
    const auto options = read_options(store);
    for (const auto& [name, value] : options)
        set_plugin_option(name, value, store);
    return options.size();
}

} // namespace vt::session
