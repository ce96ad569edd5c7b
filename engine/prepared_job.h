#pragma once
// The one door every job goes through before it runs: the command line, the wizard's START, a
// loaded preset and the desktop program's command line all hand their record to prepare_job,
// which tidies it, checks it and plans it, and either refuses it (the system's text and why) or
// returns a prepared job. The run takes nothing else, so no front end can start a job that
// another would refuse, and the tree is walked once: the run hands out the plan's files.
// Thread: any; plain functions and values.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "engine/conversion_job.h"
#include "engine/job_plan.h"

namespace vt::engine {

// What the engine cannot know by itself: the installed plug-ins. The session of a front end
// fills it; an empty function is not asked (engine tests).
struct JobServices {
    // Whether something writes files with this extension (".png").
    std::function<bool(std::u16string_view extension)> writes;
    // Why a plug-in option NAME=VALUE is wrong (unknown name, value out of range), if it is.
    std::function<std::optional<std::string>(std::u16string_view name, std::string_view value)>
        check_option;
};

// Plug-in options that travel with a job (vtconvert --set, a preset's "plugin" lines).
using PluginOptions = std::vector<std::pair<std::u16string, std::string>>;

// A job's file-list source: when not empty the job converts exactly these files (pictures
// opened from the desktop, vtconvert's several SOURCE files or --files-from) rather than its
// source folder's tree; the source folder then is the folder that holds them all.
using SourceFiles = std::vector<std::u16string>;

enum class PrepareMode {
    check, // look only: nothing is created (dry runs, the wizard's plan)
    run,   // the target folder is created and tried, ready for start_job
};

struct JobRefusal {
    bool bad_usage = false; // the job itself is wrong (vtconvert exit 2), else it cannot start (3)
    std::u16string text;    // the system's text
    std::u16string title;   // the message box title
    std::u16string reason;  // more, for the user: which value, which files; may be empty
};

// "title: text" plus the reason, for a terminal or a log.
[[nodiscard]] std::u16string refusal_line(const JobRefusal& refusal);
// The text with the reason on the lines below it, for a message box under the title.
[[nodiscard]] std::u16string refusal_message(const JobRefusal& refusal);

class PreparedJob {
public:
    [[nodiscard]] const ConversionJob& job() const noexcept { return m_job; }
    [[nodiscard]] const JobPlan& plan() const noexcept { return m_plan; }
    [[nodiscard]] const PluginOptions& options() const noexcept { return m_options; }
    // The listed files, tidied; empty for a job of its source folder.
    [[nodiscard]] const SourceFiles& files() const noexcept { return m_files; }
    // The files the run hands out: this share's, less those an earlier run converted.
    [[nodiscard]] std::uint32_t total() const noexcept;

private:
    friend std::variant<PreparedJob, JobRefusal>
    prepare_job(ConversionJob, PluginOptions, const JobServices&, PrepareMode, SourceFiles);
    PreparedJob() = default;

    ConversionJob m_job;
    JobPlan m_plan;
    PluginOptions m_options;
    SourceFiles m_files;
};

using Prepared = std::variant<PreparedJob, JobRefusal>;

// Tidies `job` (folders made absolute against the current folder and tidied, the extension
// normalised, re-runs and shares allowed into a folder that holds files), checks every field
// the way the wizard's pages do, plus what only the installation can say (a writer for the
// format, the plug-in options, the watermark file), and plans it. With `files` the files are
// made absolute, the source folder (when empty) becomes the deepest folder that holds them all,
// and the plan holds exactly them; a list of which none is a file is refused.
[[nodiscard]] Prepared prepare_job(ConversionJob job, PluginOptions options,
                                   const JobServices& services, PrepareMode mode,
                                   SourceFiles files = {});

// The deepest folder that holds every one of the absolute `files` ("/" at the least).
[[nodiscard]] std::u16string common_folder(const SourceFiles& files);

// The checks of prepare_job that need no folder on disk, on a tidied record: for a job that is
// saved as a preset rather than run (its folders may be left empty then).
[[nodiscard]] std::optional<JobRefusal> check_record(const ConversionJob& job,
                                                     const PluginOptions& options,
                                                     const JobServices& services,
                                                     bool folders_required = true);

// The record as prepare_job tidies it before its checks.
[[nodiscard]] ConversionJob tidy_job(ConversionJob job);

} // namespace vt::engine
