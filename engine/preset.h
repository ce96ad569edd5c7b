#pragma once
// Presets: a job saved to and loaded from a human-readable text file, one "key = value" per
// line, texts in double quotes, so that a job described once can be run again from the wizard
// or a script. Every field of the job record and of its extras is written; on reading, keys
// that are missing keep the value the job had, so a preset may name only what it is about.
// Thread: any; plain functions.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/conversion_job.h"

namespace vt::engine {

inline constexpr std::size_t kMaxPresetBytes = 1 << 20;
inline constexpr std::size_t kMaxPresetOptions = 4096;

struct Preset {
    std::string name;
    ConversionJob job = default_job();
    // Plug-in options, "NAME" and the value as vtconvert --set takes it.
    std::vector<std::pair<std::u16string, std::string>> options;
};

// The text of a preset: a comment line, "name", every field in the record's order, then one
// "plugin NAME = VALUE" line per plug-in option.
[[nodiscard]] std::string format_preset(const Preset& preset);
// Reads `text` into `preset`. False with `error` ("line 3: ...") on the first bad line: an
// unknown key, a malformed line, or a value out of its field's range.
bool parse_preset(std::string_view text, Preset& preset, std::string& error);

bool load_preset_file(std::u16string_view path, Preset& preset, std::string& error);
// Writes the preset privately (0600); false when it cannot be written.
bool save_preset_file(std::u16string_view path, const Preset& preset);

} // namespace vt::engine
