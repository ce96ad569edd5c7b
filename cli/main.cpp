// vtconvert: the conversion engine on the command line.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/text.h"
#include "base/utf.h"
#include "cli/json_text.h"
#include "cli/options.h"
#include "engine/conversion_run.h"
#include "engine/preset.h"
#include "engine/progress_estimate.h"
#include "pipeline/pipeline_step.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/ui_hooks.h"
#include "plugins/filter_registry.h"
#include "plugins/plugin_interface.h"
#include "session/engine_limits.h"
#include "session/format_catalogue.h"
#include "session/job_door.h"
#include "session/session.h"
#include "vt5/vt5.h"

extern char** environ;

namespace {

using namespace vt;

constexpr const char* kVersion = "0.1.0";
enum Exit { kAllConverted = 0, kSomeFailed = 1, kBadUsage = 2, kCannotStart = 3 };

std::atomic<bool> g_interrupted{false};

void on_interrupt(int) {
    g_interrupted = true;
}

std::string u8(std::u16string_view text) {
    return base::utf16_to_utf8(text);
}

// Nobody can be asked in a batch: say it on standard error and take the default answer.
platform::MessageAnswer print_message(std::u16string_view text, std::u16string_view title,
                                      platform::MessageButtons buttons, platform::MessageIcon) {
    std::fprintf(stderr, "vtconvert: %s: %s\n", u8(title).c_str(), u8(text).c_str());
    return platform::default_answer(buttons);
}

bool open_with_desktop(std::u16string_view folder) {
    const std::string path = u8(folder);
    const char* argv[] = {"xdg-open", path.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string json_escape(const std::string& text) {
    return cli::json_escape(base::utf8_to_utf16(text));
}

const char* state_name(engine::JobState s) {
    switch (s) {
    case engine::JobState::idle:
        return "idle";
    case engine::JobState::starting:
        return "starting";
    case engine::JobState::running:
        return "running";
    case engine::JobState::paused:
        return "paused";
    case engine::JobState::finished:
        return "finished";
    case engine::JobState::failed:
        return "failed";
    }
    return "unknown";
}

// A record's source as JSON members: the name, and its bytes when they are not UTF-8.
std::string json_source(const std::u16string& source) {
    std::string out = "\"source\":\"" + cli::json_escape(source) + "\",";
    if (cli::has_undecodable_bytes(source))
        out += "\"source_bytes\":\"" + cli::hex_bytes(source) + "\",";
    return out;
}

bool is_failure(engine::Outcome outcome) {
    return outcome == engine::Outcome::failed || outcome == engine::Outcome::not_loaded;
}

// The files that were not converted, as a JSON list of source, stage and reason; and those
// converted with warnings or cut short, with their warnings.
std::string outcomes_json(const std::vector<engine::FileOutcome>& outcomes, bool failures) {
    std::string out = "[";
    for (const engine::FileOutcome& f : outcomes) {
        if (is_failure(f.outcome) != failures)
            continue;
        if (out.size() > 1)
            out += ',';
        out += "{" + json_source(f.source) + "\"outcome\":\"" + engine::outcome_name(f.outcome) +
               "\",";
        if (f.outcome != engine::Outcome::warned)
            out += "\"stage\":\"" + std::string(engine::stage_name(f.stage)) + "\",";
        out += "\"reason\":\"" + cli::json_escape(f.reason) + "\"";
        if (!failures) {
            out += ",\"warnings\":[";
            for (std::size_t i = 0; i < f.warnings.size(); ++i)
                out += (i ? ",\"" : "\"") + cli::json_escape(f.warnings[i]) + "\"";
            out += "]";
        }
        out += "}";
    }
    return out + "]";
}

// One line per file that was not plainly converted, with why; a name or reason never breaks
// its record over two lines.
void print_outcomes(const std::vector<engine::FileOutcome>& outcomes) {
    for (const engine::FileOutcome& f : outcomes) {
        const std::string source = cli::one_line_text(f.source);
        if (f.outcome == engine::Outcome::warned) {
            for (const std::u16string& w : f.warnings)
                std::fprintf(stderr, "vtconvert: warning: %s: %s\n", source.c_str(),
                             cli::one_line_text(w).c_str());
            continue;
        }
        if (f.outcome == engine::Outcome::cut_short)
            std::fprintf(stderr, "vtconvert: cut short: %s: %s\n", source.c_str(),
                         cli::one_line_text(f.reason).c_str());
        else
            std::fprintf(stderr, "vtconvert: %s failed: %s%s%s\n", engine::stage_name(f.stage),
                         source.c_str(), f.reason.empty() ? "" : ": ",
                         cli::one_line_text(f.reason).c_str());
        for (const std::u16string& w : f.warnings)
            std::fprintf(stderr, "vtconvert: warning: %s: %s\n", source.c_str(),
                         cli::one_line_text(w).c_str());
    }
}

void show_progress(const engine::JobStats& s, engine::TimeLeftEstimate& estimate) {
    const std::uint32_t done = s.converted + s.failed + s.unknown;
    const auto left = estimate.update(s, true);
    std::fprintf(stderr, "\r%u/%u  converted %u  failed %u  unknown %u  left %s   ", done, s.total,
                 s.converted, s.failed, s.unknown, u8(engine::format_duration(left)).c_str());
    std::fflush(stderr);
}

std::string plugin_name(const std::u16string& path) {
    return path.empty() ? "-" : u8(platform::file_name_of(path));
}

// --list-formats: every format a plug-in says it reads or writes, with the plug-in chosen for
// each (each plug-in loaded once), then what each writer keeps, then their options. The first
// table keeps its four columns, which the desktop entry's build step reads.
// help/formats.html is generated from the same listing.
void print_formats() {
    const session::PluginListing listing = session::list_plugins();
    std::printf("%-8s %-28s %-16s %s\n", "FORMAT", "DESCRIPTION", "READ BY", "WRITTEN BY");
    for (const session::FormatEntry& f : listing.formats) {
        const std::string reader = f.built_in         ? "(built in)"
                                   : f.reader.empty() ? "(write only)"
                                                      : plugin_name(f.reader);
        const std::string writer = f.built_in         ? "(built in)"
                                   : f.writer.empty() ? "(read only)"
                                                      : plugin_name(f.writer);
        std::printf("%-8s %-28s %-16s %s\n", u8(f.extension).c_str(),
                    f.description.empty() ? "-" : f.description.c_str(), reader.c_str(),
                    writer.c_str());
    }
    std::printf("\nWRITERS (bits per channel; what they keep besides the pixels, ? not said)\n"
                "%-8s %-4s %s\n",
                "FORMAT", "BITS", "KEEPS");
    for (const session::FormatEntry& f : listing.formats)
        if (f.built_in || !f.writer.empty())
            std::printf("%-8s %-4d %s\n", u8(f.extension).c_str(), f.write_depth,
                        session::keeps_text(f.keeps).c_str());
    if (listing.formats.size() < 2)
        std::printf("(no format plug-ins found in %s)\n", u8(platform::plugins_folder()).c_str());
    bool heading = false;
    for (const session::PluginOption& o : listing.options) {
        if (!heading)
            std::printf("\nOPTIONS (vtconvert --set NAME=VALUE)\n%-26s %-10s %s\n", "NAME",
                        "DEFAULT", "MEANING");
        heading = true;
        std::printf("%-26s %-10s %s\n", o.name.c_str(), o.default_value.c_str(), o.meaning.c_str());
    }
}

bool g_json = false; // --json was asked for: every exit ends with one JSON line

// The exit of a job that never ran: the reason on standard error and, with --json, as a line.
int refuse(int status, const std::string& reason) {
    std::fprintf(stderr, "vtconvert: %s\n", reason.c_str());
    if (g_json)
        std::printf("{\"total\":0,\"converted\":0,\"failed\":0,\"unknown\":0,\"elapsed_ms\":0,"
                    "\"last_error\":\"%s\",\"state\":\"%s\",\"exit\":%d,\"failures\":[]}\n",
                    json_escape(reason).c_str(), status == kBadUsage ? "bad usage" : "not started",
                    status);
    return status;
}

// The job through the one door: refused with its exit status, or prepared. A dry run prints
// the plan and changes nothing.
std::optional<int> prepare(const cli::Options& options, std::optional<engine::PreparedJob>& out) {
    session::set_job_files(options.files);
    auto prepared = session::prepare_job(options.job, options.states,
                                         options.dry_run ? engine::PrepareMode::check
                                                         : engine::PrepareMode::run);
    if (const auto* refusal = std::get_if<engine::JobRefusal>(&prepared)) {
        const int status = refuse(refusal->bad_usage ? kBadUsage : kCannotStart,
                                  u8(engine::refusal_line(*refusal)));
        if (refusal->bad_usage)
            std::fputs("Try 'vtconvert --help'.\n", stderr);
        return status;
    }
    out = std::move(std::get<engine::PreparedJob>(prepared));
    if (!options.dry_run)
        return std::nullopt;
    for (const engine::PlannedFile& f : out->plan().files)
        std::printf("%s -> %s  (%s%s)\n", cli::one_line_text(f.source).c_str(),
                    cli::one_line_text(f.action == engine::PlanAction::unreachable ? f.unreachable
                                                                                   : f.target)
                        .c_str(),
                    engine::action_name(f.action), f.named_later ? ", named after processing" : "");
    // Which depth a file gets is known only once it is read: the rule is told instead.
    static const char* const kDepthRules[] = {
        "up to 16 bits per channel where the source and the format hold them", "8 bits per channel",
        "up to 16 bits per channel where the source and the format hold them"};
    std::printf("%zu files planned, %s\n", out->plan().files.size(),
                kDepthRules[std::clamp(out->job().depth, 0, 2)]);
    return kAllConverted;
}

// --save-preset: the job of the other options, folders made absolute, into a preset file.
int save_preset(const cli::Options& options) {
    const engine::ConversionJob job = engine::tidy_job(options.job);
    if (const auto refusal =
            engine::check_record(job, options.states, session::job_services(), false)) {
        const int status = refuse(kBadUsage, u8(engine::refusal_line(*refusal)));
        std::fputs("Try 'vtconvert --help'.\n", stderr);
        return status;
    }
    engine::Preset preset;
    preset.job = job;
    preset.options = options.states;
    const std::u16string_view name = platform::file_name_of(options.save_preset);
    preset.name = u8(name.substr(0, name.rfind(u'.')));
    if (!engine::save_preset_file(platform::absolute_path(options.save_preset), preset))
        return refuse(kCannotStart, "cannot write the preset " + u8(options.save_preset));
    if (!options.quiet)
        std::fprintf(stderr, "vtconvert: preset saved to %s\n", u8(options.save_preset).c_str());
    return kAllConverted;
}

int run(const cli::Options& options) {
    vt5::Vt5SetPasswords(options.passwords);
    std::optional<engine::PreparedJob> prepared;
    if (const auto status = prepare(options, prepared))
        return *status;
    for (const auto& [name, value] : options.states)
        session::set_plugin_option(name, value);
    const std::u16string target = prepared->job().targetFolder.str();

    // Nothing shows a preview here.
    const session::EngineLimits limits =
        session::job_limits(options.threads, options.memory_budget_mb);
    engine::ConversionRun conversion(
        pipeline::make_pipeline_step(pipeline::picture_budget(limits.workers, limits.memory_mb)),
        {.workers = limits.workers, .preview = false});
    if (!conversion.start_job(*prepared))
        return refuse(kCannotStart, u8(conversion.failure_text()));
    const bool live = !options.quiet && isatty(STDERR_FILENO);
    engine::TimeLeftEstimate estimate;
    bool cancelled = false;
    while (!conversion.wait_for_end(std::chrono::milliseconds(200))) {
        if (g_interrupted && !cancelled) {
            cancelled = true;
            if (!options.quiet)
                std::fprintf(stderr, "\nvtconvert: cancelling; the files in work finish first\n");
            conversion.cancel_job();
        }
        engine::JobStats stats;
        if (live && conversion.take_snapshot(stats))
            show_progress(stats, estimate);
    }
    engine::JobStats stats;
    conversion.take_snapshot(stats);
    const auto elapsed_ms =
        stats.endTime > stats.startTime ? platform::elapsed_ms(stats.startTime, stats.endTime) : 0u;
    if (live)
        std::fprintf(stderr, "\r%*s\r", 72, "");
    const std::vector<engine::FileOutcome> outcomes = conversion.outcomes();
    if (!options.quiet) {
        print_outcomes(outcomes);
        std::string also;
        if (stats.warned || stats.cutShort)
            also = " (" + std::to_string(stats.warned) + " with warnings, " +
                   std::to_string(stats.cutShort) + " cut short)";
        std::fprintf(stderr, "%u of %u converted%s, %u failed, %u unreadable in %.1f s\n",
                     stats.converted, stats.total, also.c_str(), stats.failed, stats.unknown,
                     elapsed_ms / 1000.0);
        if (stats.skipped)
            std::fprintf(stderr, "%u skipped: their targets exist\n", stats.skipped);
        if (!stats.lastError.empty() && (stats.failed || stats.unknown))
            std::fprintf(stderr, "last error: %s\n", u8(stats.lastError.view()).c_str());
        // A log that could not be written (a full disk) is not pointed to.
        const std::u16string log = platform::join_path(target, u"_error_log.txt");
        if (stats.failed && platform::file_size(log).value_or(0) > 0)
            std::fprintf(stderr, "failed files are listed in %s\n", u8(log).c_str());
    }
    if (options.json)
        std::printf("{\"total\":%u,\"converted\":%u,\"failed\":%u,\"unknown\":%u,"
                    "\"elapsed_ms\":%u,\"last_error\":\"%s\",\"state\":\"%s\",\"skipped\":%u,"
                    "\"warned\":%u,\"cut_short\":%u,\"failures\":%s,\"warnings\":%s}\n",
                    stats.total, stats.converted, stats.failed, stats.unknown, elapsed_ms,
                    json_escape(u8(stats.lastError.view())).c_str(),
                    cancelled ? "cancelled" : state_name(conversion.state()), stats.skipped,
                    stats.warned, stats.cutShort, outcomes_json(outcomes, true).c_str(),
                    outcomes_json(outcomes, false).c_str());
    const bool all = !cancelled && stats.failed == 0 && stats.unknown == 0 && stats.cutShort == 0 &&
                     stats.converted + stats.skipped == stats.total;
    return all ? kAllConverted : kSomeFailed;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const cli::ParseResult parsed = cli::parse_options(args);
    g_json = std::find(args.begin(), args.end(), "--json") != args.end();
    if (!parsed.options) {
        if (g_json)
            return refuse(kBadUsage, parsed.error);
        std::fprintf(stderr, "vtconvert: %s\nTry 'vtconvert --help'.\n", parsed.error.c_str());
        return kBadUsage;
    }
    const cli::Options& options = *parsed.options;
    if (options.help) {
        std::fputs(cli::usage_text().c_str(), stdout);
        return kAllConverted;
    }
    if (options.version) {
        std::printf("vtconvert %s\n", kVersion);
        return kAllConverted;
    }

    platform::UiHooks hooks;
    hooks.message_box = print_message;
    hooks.open_folder = open_with_desktop;
    platform::set_ui_hooks(hooks);
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr); // a closed terminal cancels like Ctrl-C

    const session::Session session;
    if (!session.started())
        return refuse(kCannotStart, u8(session.failure_text()));
    if (!options.save_preset.empty())
        return save_preset(options);
    if (options.list_formats) {
        print_formats();
        return kAllConverted;
    }
    return run(options);
}
