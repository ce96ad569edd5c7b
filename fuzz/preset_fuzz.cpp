// Preset files and report lines as a user, a script or a cut-off write may have left them.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/job_plan.h"
#include "engine/preset.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto record = vt::engine::parse_report_line(text)) {
        // A line we wrote reads back to the same record. Compared after one more pass: a byte
        // that is not UTF-8 is written as "\ufffd", which reads back as U+FFFD itself.
        const auto again = vt::engine::parse_report_line(vt::engine::report_line(*record));
        const std::string line = again ? vt::engine::report_line(*again) : std::string();
        const auto third = vt::engine::parse_report_line(line);
        if (!again || !third || vt::engine::report_line(*third) != line)
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
