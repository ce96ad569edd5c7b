#include "cli/options.h"

#include <cstdlib>

#include "base/utf.h"
#include "engine/job_fields.h"
#include "engine/preset.h"
#include "platform/files.h"

namespace vt::cli {
namespace {

// An option of the program itself rather than of the job.
struct ProgramOption {
    const char* flag;
    char short_flag;
    const char* value; // null for a switch
    engine::HelpSection section;
    const char* help;
    bool (*apply)(Options& o, std::string_view value, std::string& error);
};

using S = engine::HelpSection;

// The lines of a list file, blank ones left out: one path each, as the shell would pass it.
bool read_file_list(std::string_view file, Options& o, std::string& error) {
    constexpr std::size_t kMostListBytes = 64u << 20;
    const auto bytes = platform::read_file_prefix(base::utf8_to_utf16(file), kMostListBytes);
    if (!bytes) {
        error = "--files-from: cannot read '" + std::string(file) + "'";
        return false;
    }
    std::string_view rest(*bytes);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty())
            o.files.push_back(base::utf8_to_utf16(line));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return true;
}

constexpr ProgramOption kProgramOptions[] = {
    {"--files-from", 0, "LIST", S::job,
     "convert the files named in LIST, one path a line,\ninstead of a SOURCE folder",
     [](Options& o, std::string_view v, std::string& error) {
         return read_file_list(v, o, error);
     }},
    {"--dry-run", 0, nullptr, S::reruns,
     "print the plan (source -> target, action) and\nchange nothing",
     [](Options& o, std::string_view, std::string&) { return o.dry_run = true; }},
    {"--preset", 0, "FILE", S::reruns,
     "start from the job saved in FILE (options given on\nthe command line change it further)",
     [](Options&, std::string_view, std::string&) { return true; }}, // read before the others
    {"--save-preset", 0, "FILE", S::reruns,
     "save the job described by the other options to FILE\ninstead of running it",
     [](Options& o, std::string_view v, std::string&) {
         o.save_preset = base::utf8_to_utf16(v);
         return !v.empty();
     }},
    {"--set", 0, "NAME=VALUE", S::program,
     "set a plug-in option (whole numbers are stored as\n32-bit integers, anything else as text)",
     [](Options& o, std::string_view v, std::string& error) {
         const auto eq = v.find('=');
         if (eq == std::string_view::npos || eq == 0) {
             error = "--set takes NAME=VALUE";
             return false;
         }
         o.states.emplace_back(base::utf8_to_utf16(v.substr(0, eq)), std::string(v.substr(eq + 1)));
         return true;
     }},
    {"--threads", 0, "N", S::program,
     "worker threads (default: the state entry\nConverter.workers, else one per processor)",
     [](Options& o, std::string_view v, std::string& error) {
         long long x = 0;
         return engine::parse_whole("--threads", v, 1, 32, x, error) &&
                (o.threads = static_cast<unsigned>(x), true);
     }},
    {"--memory-budget", 0, "MB", S::program,
     "memory the job's pictures may take together; each\nworker's picture gets its share, a "
     "bigger one fails\nwith its reason (default: VANTREL_MEMORY_BUDGET_MB,\nelse the state entry "
     "Converter.memory_mb, else 3/4\nof the available memory). Without it a\npicture over 1 GB and "
     "over 1024 times its file's\nsize "
     "is refused as a decompression bomb",
     [](Options& o, std::string_view v, std::string& error) {
         long long x = 0;
         return engine::parse_whole("--memory-budget", v, 16, 1LL << 30, x, error) &&
                (o.memory_budget_mb = static_cast<std::uint64_t>(x), true);
     }},
    {"--password", 0, "TEXT", S::program,
     "password of protected VT5 sources (repeatable, tried\nin order)",
     [](Options& o, std::string_view v, std::string&) {
         o.passwords.push_back(base::utf8_to_utf16(v));
         return true;
     }},
    {"--json", 0, nullptr, S::program, "end with a one-line JSON summary on standard output",
     [](Options& o, std::string_view, std::string&) { return o.json = true; }},
    {"--quiet", 'q', nullptr, S::program, "no progress line, no summary",
     [](Options& o, std::string_view, std::string&) { return o.quiet = true; }},
    {"--list-formats", 0, nullptr, S::program,
     "list the formats the installed plug-ins handle, what\neach writer keeps, and their options "
     "(for --set)",
     [](Options& o, std::string_view, std::string&) { return o.list_formats = true; }},
    {"--help", 'h', nullptr, S::program, "this text",
     [](Options& o, std::string_view, std::string&) { return o.help = true; }},
    {"--version", 0, nullptr, S::program, "the program's version",
     [](Options& o, std::string_view, std::string&) { return o.version = true; }},
};

constexpr const char* kSectionHeadings[] = {
    "Job:",
    "Renaming:",
    "Metadata:",
    "Transforms (applied in this order: metadata, levels, denoise, rotation, resize,\n"
    "watermark; a picture that any of them changes is re-encoded, never passed through):",
    "Colour:",
    "Re-runs, reports and shares:",
    "Program:",
};

constexpr std::size_t kHelpColumn = 28;

// "  -f, --format EXT          target format ...", further lines under the first.
void help_row(std::string& out, const char* flag, char short_flag, const char* value,
              std::string_view help) {
    std::string left = short_flag ? std::string("  -") + short_flag + ", " : std::string(6, ' ');
    left += flag;
    if (value)
        left += std::string(" ") + value;
    out += left;
    if (left.size() + 1 > kHelpColumn)
        out += "\n" + std::string(kHelpColumn, ' ');
    else
        out += std::string(kHelpColumn - left.size(), ' ');
    for (std::size_t at = 0;;) {
        const std::size_t end = help.find('\n', at);
        out += std::string(help.substr(at, end - at)) + "\n";
        if (end == std::string_view::npos)
            break;
        out += std::string(kHelpColumn, ' ');
        at = end + 1;
    }
}

// The option named `arg` ("--format" or "-f"): a job option or a program option.
struct Found {
    const engine::JobOption* job = nullptr;
    const ProgramOption* program = nullptr;
    [[nodiscard]] bool takes_value() const {
        return job ? job->value != nullptr : program && program->value != nullptr;
    }
};

Found find_option(std::string_view arg) {
    const bool short_form = arg.size() == 2 && arg[0] == '-' && arg[1] != '-';
    const auto matches = [&](const char* flag, char short_flag) {
        return short_form ? short_flag == arg[1] : arg == flag;
    };
    for (const engine::JobOption& o : engine::job_options())
        if (matches(o.flag, o.short_flag))
            return {&o, nullptr};
    for (const ProgramOption& o : kProgramOptions)
        if (matches(o.flag, o.short_flag))
            return {nullptr, &o};
    return {};
}

// A preset is the starting point whatever its place among the options.
bool read_presets(const std::vector<std::string>& args, Options& o, std::string& error) {
    for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
        std::string file;
        if (args[i] == "--preset" && i + 1 < args.size())
            file = args[i + 1];
        else if (args[i].rfind("--preset=", 0) == 0)
            file = args[i].substr(9);
        else
            continue;
        engine::Preset preset;
        preset.job = o.job;
        if (!engine::load_preset_file(base::utf8_to_utf16(file), preset, error)) {
            error = "--preset " + file + ": " + error;
            return false;
        }
        o.job = preset.job;
        for (const auto& option : preset.options)
            o.states.push_back(option);
    }
    return true;
}

} // namespace

std::string usage_text() {
    std::string out = "Usage: vtconvert [options] SOURCE TARGET\n"
                      "       vtconvert [options] FILE... TARGET\n"
                      "       vtconvert [options] --files-from LIST TARGET\n\n"
                      "Converts every picture in the folder SOURCE (or exactly the files named) "
                      "into\nthe folder TARGET, in one format.\n";
    for (std::size_t section = 0; section < std::size(kSectionHeadings); ++section) {
        out += std::string("\n") + kSectionHeadings[section] + "\n";
        for (const engine::JobOption& o : engine::job_options())
            if (static_cast<std::size_t>(o.section) == section)
                help_row(out, o.flag, o.short_flag, o.value, o.help);
        for (const ProgramOption& o : kProgramOptions)
            if (static_cast<std::size_t>(o.section) == section)
                help_row(out, o.flag, o.short_flag, o.value, o.help);
    }
    out += R"(
Outcomes: each file is converted, converted with warnings (something was lost or
repaired on the way), cut short (saved after a cancel or a failed step; --resume
does it again), failed, not loaded, or skipped.

Exit status: 0 all converted, 1 some failed, could not be read or were cut short
(or the job was cancelled with Ctrl-C or a closed terminal), 2 bad usage (found
before anything is created), 3 the job could not start. With --json every exit
ends with the JSON line.
)";
    return out;
}

ParseResult parse_options(const std::vector<std::string>& args) {
    Options o;
    std::string error;
    if (!read_presets(args, o, error))
        return {std::nullopt, error};
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "--") {
            positional.insert(positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                              args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        const Found found = find_option(arg);
        if (!found.job && !found.program)
            return {std::nullopt, "unknown option '" + args[i] + "'"};
        if (!found.takes_value() && value)
            return {std::nullopt, arg + " takes no value"};
        if (found.takes_value() && !value) {
            if (i + 1 >= args.size())
                return {std::nullopt, arg + " needs a value"};
            value = args[++i];
        }
        const std::string_view v = value ? std::string_view(*value) : std::string_view();
        const bool ok = found.job ? engine::apply_job_option(*found.job, o.job, v, error)
                                  : found.program->apply(o, v, error);
        if (!ok)
            return {std::nullopt, error.empty() ? arg + " takes a value" : error};
    }
    if (o.help || o.version || o.list_formats)
        return {std::move(o), {}};
    const bool folders_given =
        !o.job.sourceFolder.view().empty() && !o.job.targetFolder.view().empty(); // by a preset
    // SOURCE TARGET, FILE... TARGET, or --files-from LIST TARGET: the last is the target; the
    // others are files when there are several or the one names a file, else the source folder.
    const bool listed = !o.files.empty();
    if (positional.empty() && !listed && (folders_given || !o.save_preset.empty()))
        return {std::move(o), {}};
    if (positional.size() < (listed ? 1u : 2u))
        return {std::nullopt, "expected SOURCE (a folder, or files) and TARGET"};
    o.job.targetFolder.assign(base::utf8_to_utf16(positional.back()));
    positional.pop_back();
    if (positional.size() == 1 && !platform::is_file(base::utf8_to_utf16(positional[0]))) {
        o.job.sourceFolder.assign(base::utf8_to_utf16(positional[0]));
        return {std::move(o), {}};
    }
    for (const std::string& file : positional)
        o.files.push_back(base::utf8_to_utf16(file));
    // The folder that holds the files is the source; the door finds it.
    o.job.sourceFolder.assign(u"");
    return {std::move(o), {}};
}

} // namespace vt::cli
