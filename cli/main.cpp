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
#include "engine/job_checks.h"
#include "engine/job_plan.h"
#include "engine/preset.h"
#include "engine/progress_estimate.h"
#include "pipeline/pipeline_step.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/ui_hooks.h"
#include "plugins/filter_registry.h"
#include "plugins/plugin_interface.h"
#include "session/format_catalogue.h"
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

std::u16string absolute(const std::u16string& path) {
    if (!path.empty() && path.front() == u'/')
        return path;
    std::vector<char> cwd(platform::kMaxPath);
    if (!getcwd(cwd.data(), cwd.size()))
        return path;
    return platform::join_path(base::utf8_to_utf16(cwd.data()), path);
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

// The files that were not converted, as a JSON list of source, stage and reason.
std::string failures_json(const std::vector<engine::FileFailure>& failures) {
    std::string out = "[";
    for (const engine::FileFailure& f : failures) {
        if (out.size() > 1)
            out += ',';
        out += "{\"source\":\"" + cli::json_escape(f.source) + "\",";
        if (cli::has_undecodable_bytes(f.source))
            out += "\"source_bytes\":\"" + cli::hex_bytes(f.source) + "\",";
        out += "\"stage\":\"" + std::string(engine::stage_name(f.stage)) + "\",\"reason\":\"" +
               cli::json_escape(f.reason) + "\"}";
    }
    return out + "]";
}

// One line per file that was not converted, with why.
void print_failures(const std::vector<engine::FileFailure>& failures) {
    for (const engine::FileFailure& f : failures)
        std::fprintf(stderr, "vtconvert: %s failed: %s%s%s\n", engine::stage_name(f.stage),
                     u8(f.source).c_str(), f.reason.empty() ? "" : ": ", u8(f.reason).c_str());
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
// each (each plug-in loaded once), then their options. help/formats.html lists the same formats.
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

// Mistakes in the command itself, found before anything is created.
std::optional<std::string> usage_error(const cli::Options& options) {
    const engine::ConversionJob& job = options.job;
    if (options.save_preset.empty() &&
        (job.sourceFolder.view().empty() || job.targetFolder.view().empty()))
        return "the source and the target folder must not be empty";
    // Only the target's writer is looked for: asking every plug-in about every format (the
    // catalogue of --list-formats) loads each library dozens of times and took 0.7 s.
    const std::u16string ext = job.targetExtension.str();
    const bool writable =
        base::iequal(ext, u".vt5") ||
        plugins::find_save_plugin(u"x" + ext, plugins::filter_registry()).has_value();
    if (!ext.empty() && !writable)
        return "no installed plug-in writes '" + u8(ext) + "' (see --list-formats)";
    const auto known =
        options.states.empty() ? std::vector<session::PluginOption>{} : session::plugin_options();
    for (const auto& state : options.states) {
        const std::string name = u8(state.first);
        const auto option =
            std::find_if(known.begin(), known.end(), [&](const auto& o) { return o.name == name; });
        if (option == known.end())
            return "unknown plug-in option '" + name + "' (see --list-formats)";
        if (auto wrong = session::check_option_value(*option, state.second))
            return *wrong + " (see --list-formats)";
    }
    if (!job.watermarkFile.view().empty() && !platform::is_file(job.watermarkFile.view()))
        return "the watermark file '" + u8(job.watermarkFile.view()) + "' does not exist";
    return std::nullopt;
}

// The plan of the job: printed for a dry run; clashing targets refuse the job.
std::optional<int> check_plan(const engine::ConversionJob& job, bool dry_run) {
    engine::DoneList done;
    if (!job.extras.resumeFile.view().empty() && !done.load(job.extras.resumeFile.view()))
        return refuse(kCannotStart, "cannot read the report " + u8(job.extras.resumeFile.view()));
    const engine::JobPlan plan = engine::plan_job(job, done);
    if (dry_run) {
        for (const engine::PlannedFile& f : plan.files)
            std::printf("%s -> %s  (%s%s)\n", u8(f.source).c_str(), u8(f.target).c_str(),
                        engine::action_name(f.action),
                        f.named_later ? ", named after processing" : "");
        std::printf("%zu files planned\n", plan.files.size());
    }
    if (!plan.clashes.empty()) {
        std::string list;
        for (const std::u16string& clash : plan.clashes)
            list += "\n  " + u8(clash);
        return refuse(kCannotStart, "sources of this job map to one target (use --existing "
                                    "keep-both to number them):" +
                                        list);
    }
    if (dry_run)
        return kAllConverted;
    return std::nullopt;
}

// --save-preset: the job of the other options, folders made absolute, into a preset file.
int save_preset(const cli::Options& options) {
    engine::Preset preset;
    preset.job = options.job;
    preset.options = options.states;
    const std::u16string_view name = platform::file_name_of(options.save_preset);
    preset.name = u8(name.substr(0, name.rfind(u'.')));
    for (engine::PathText* folder : {&preset.job.sourceFolder, &preset.job.targetFolder})
        if (!folder->view().empty())
            folder->assign(absolute(folder->str()));
    if (!engine::save_preset_file(absolute(options.save_preset), preset))
        return refuse(kCannotStart, "cannot write the preset " + u8(options.save_preset));
    if (!options.quiet)
        std::fprintf(stderr, "vtconvert: preset saved to %s\n", u8(options.save_preset).c_str());
    return kAllConverted;
}

int run(const cli::Options& options) {
    vt5::Vt5SetPasswords(options.passwords);
    engine::ConversionJob job = options.job;
    std::u16string source = absolute(job.sourceFolder.str());
    std::u16string target = absolute(job.targetFolder.str());
    std::optional<engine::Refusal> refusal = engine::check_source_folder(source);
    if (!refusal)
        refusal = engine::check_target_format(job);
    if (!refusal)
        refusal = engine::check_renaming(job);
    if (!refusal)
        refusal = engine::check_resizing(job);
    if (!refusal)
        refusal = engine::check_distinct_folders(source, engine::tidy_folder(target));
    if (refusal)
        return refuse(kCannotStart, u8(refusal->title) + ": " + u8(refusal->text));
    job.sourceFolder.assign(source);
    job.targetFolder.assign(engine::tidy_folder(target));
    for (engine::PathText* file : {&job.extras.reportFile, &job.extras.resumeFile})
        if (!file->view().empty())
            file->assign(absolute(file->str()));
    // Before the target folder is created: a refused or dry run leaves no trace.
    if (const auto status = check_plan(job, options.dry_run))
        return *status;
    if ((refusal = engine::check_target_folder(target, job.overwrite != 0)))
        return refuse(kCannotStart, u8(refusal->title) + ": " + u8(refusal->text));
    job.targetFolder.assign(target);

    // Nothing shows a preview here.
    engine::ConversionRun conversion(pipeline::make_pipeline_step(pipeline::picture_budget(
                                         options.threads, options.memory_budget_mb)),
                                     {.workers = options.threads, .preview = false});
    if (!conversion.start_job(job))
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
    const std::vector<engine::FileFailure> failures = conversion.failures();
    if (!options.quiet) {
        print_failures(failures);
        std::fprintf(stderr, "%u of %u converted, %u failed, %u unreadable in %.1f s\n",
                     stats.converted, stats.total, stats.failed, stats.unknown,
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
                    "\"failures\":%s}\n",
                    stats.total, stats.converted, stats.failed, stats.unknown, elapsed_ms,
                    json_escape(u8(stats.lastError.view())).c_str(),
                    cancelled ? "cancelled" : state_name(conversion.state()), stats.skipped,
                    failures_json(failures).c_str());
    const bool all = !cancelled && stats.failed == 0 && stats.unknown == 0 &&
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
    if (!options.list_formats) {
        if (const auto error = usage_error(options)) {
            const int status = refuse(kBadUsage, *error);
            std::fputs("Try 'vtconvert --help'.\n", stderr);
            return status;
        }
    }
    if (!options.save_preset.empty())
        return save_preset(options);
    for (const auto& [name, value] : options.states)
        session::set_plugin_option(name, value);
    if (options.list_formats) {
        print_formats();
        return kAllConverted;
    }
    return run(options);
}
