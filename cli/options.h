#pragma once
// The command line of vtconvert: options into a ConversionJob and the program's own settings.
// Thread: main thread only.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/conversion_job.h"

namespace vt::cli {

struct Options {
    engine::ConversionJob job = engine::default_job();
    std::vector<std::pair<std::u16string, std::string>> states; // --set NAME=VALUE
    unsigned threads = 0;                                       // 0: one per processor
    std::uint64_t memory_budget_mb = 0;                         // --memory-budget; 0: the default
    std::vector<std::u16string> passwords; // --password, tried in order on protected sources
    bool json = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool list_formats = false;
    bool dry_run = false;       // print the plan, change nothing
    std::u16string save_preset; // --save-preset: write the job there instead of running it
    // The job's file-list source: several SOURCE files, or --files-from; empty: the folder.
    std::vector<std::u16string> files;
};

struct ParseResult {
    std::optional<Options> options; // empty: bad usage
    std::string error;              // why, for the user
};

[[nodiscard]] ParseResult parse_options(const std::vector<std::string>& args);
[[nodiscard]] std::string usage_text();

} // namespace vt::cli
