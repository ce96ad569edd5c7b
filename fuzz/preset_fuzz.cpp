// Preset files and report lines as a user, a script or a cut-off write may have left them.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/job_plan.h"
#include "engine/preset.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto record = vt::engine::parse_report_line(text)) {
        const std::string line = vt::engine::report_line(*record);
        const auto again = vt::engine::parse_report_line(line);
        if (!again || vt::engine::report_line(*again) != line)
            std::abort();
    }
    vt::engine::Preset preset;
    std::string error;
    if (!vt::engine::parse_preset(text, preset, error))
        return 0;
    // What was read is written back whole and reads the same.
    vt::engine::Preset again;
    if (!vt::engine::parse_preset(vt::engine::format_preset(preset), again, error) ||
        !(again.job == preset.job) || again.name != preset.name || again.options != preset.options)
        std::abort();
    return 0;
}
