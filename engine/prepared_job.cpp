#include "engine/prepared_job.h"

#include <algorithm>

#include "base/utf.h"
#include "engine/job_checks.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace vt::engine {
namespace {

JobRefusal usage(std::u16string text, std::u16string reason = {}) {
    return {true, std::move(text), {}, std::move(reason)};
}

JobRefusal from(const Refusal& refusal, bool bad_usage) {
    return {bad_usage, std::u16string(refusal.text), std::u16string(refusal.title), {}};
}

std::u16string u16(std::string_view text) {
    return base::utf8_to_utf16(text);
}

} // namespace

std::optional<JobRefusal> check_record(const ConversionJob& job, const PluginOptions& options,
                                       const JobServices& services, bool folders_required) {
    if (folders_required && (job.sourceFolder.view().empty() || job.targetFolder.view().empty()))
        return usage(u"the source and the target folder must not be empty");
    if (const FieldRange* field = out_of_range_field(job))
        return usage(u16(field->field) + u" takes a number from " +
                     u16(std::to_string(field->min)) + u" to " + u16(std::to_string(field->max)));
    if (auto refusal = check_target_format(job))
        return from(*refusal, true);
    const std::u16string extension = job.targetExtension.str();
    if (services.writes && !services.writes(extension))
        return usage(u"no installed plug-in writes '" + extension + u"' (see --list-formats)");
    if (auto refusal = check_renaming(job))
        return from(*refusal, true);
    if (auto refusal = check_resizing(job)) {
        JobRefusal r = from(*refusal, true);
        r.reason = u"a resize needs a mode and a box of at least 2 x 2";
        return r;
    }
    if (!job.watermarkFile.view().empty() && !platform::is_file(job.watermarkFile.view()))
        return usage(u"the watermark file '" + job.watermarkFile.str() + u"' does not exist");
    if (services.check_option)
        for (const auto& [name, value] : options)
            if (auto wrong = services.check_option(name, value))
                return usage(u16(*wrong) + u" (see --list-formats)");
    return std::nullopt;
}

namespace {

// What the folders and the plan say: the job is right but cannot start here.
std::optional<JobRefusal> check_folders(ConversionJob& job, PrepareMode mode, JobPlan& plan,
                                        const SourceFiles& files) {
    std::u16string source = job.sourceFolder.str();
    if (auto refusal = check_source_folder(source))
        return from(*refusal, false);
    if (auto refusal = check_distinct_folders(source, job.targetFolder.view()))
        return from(*refusal, false);
    DoneList done;
    if (!job.extras.resumeFile.view().empty() && !done.load(job.extras.resumeFile.view()))
        return JobRefusal{false, u"cannot read the report " + job.extras.resumeFile.str(), {}, {}};
    plan = plan_job(job, done, files);
    if (plan.listed == 0) // only sub-folders, and the job does not go into them
        return JobRefusal{false, u"Could not search folder for files!", u"Source Folder Error",
                          u"the folder holds no file to convert"};
    if (!files.empty() &&
        std::all_of(plan.files.begin(), plan.files.end(),
                    [](const PlannedFile& f) { return f.action == PlanAction::unreachable; })) {
        std::u16string list;
        for (const PlannedFile& f : plan.files)
            list += u"\n  " + f.source + u": " + f.unreachable;
        return JobRefusal{false, u"None of the files can be converted:", u"Source File Error",
                          list};
    }
    if (!plan.clashes.empty()) {
        std::u16string list;
        for (const std::u16string& clash : plan.clashes)
            list += u"\n  " + clash;
        return JobRefusal{false,
                          u"Some source files would be written to the same target file. "
                          u"Choose \"Keep both\" (--existing keep-both) to number them, or "
                          u"rename them:",
                          u"Target Name Error", list};
    }
    // Last, so that a refused job leaves no folder behind.
    std::u16string target = job.targetFolder.str();
    if (auto refusal = check_target_folder(target, job.overwrite != 0, mode == PrepareMode::run))
        return from(*refusal, false);
    job.targetFolder.assign(target);
    return std::nullopt;
}

} // namespace

std::u16string refusal_line(const JobRefusal& refusal) {
    std::u16string line =
        refusal.title.empty() ? refusal.text : refusal.title + u": " + refusal.text;
    if (!refusal.reason.empty())
        line += (refusal.reason.front() == u'\n' ? u"" : u" (") + refusal.reason +
                (refusal.reason.front() == u'\n' ? u"" : u")");
    return line;
}

std::u16string refusal_message(const JobRefusal& refusal) {
    if (refusal.reason.empty())
        return refusal.text;
    return refusal.text + (refusal.reason.front() == u'\n' ? u"" : u"\n") + refusal.reason;
}

std::uint32_t PreparedJob::total() const noexcept {
    std::uint32_t n = 0;
    for (const PlannedFile& f : m_plan.files)
        n += f.action == PlanAction::done ? 0u : 1u;
    return n;
}

ConversionJob tidy_job(ConversionJob job) {
    for (PathText* folder : {&job.sourceFolder, &job.targetFolder})
        if (!folder->view().empty())
            folder->assign(tidy_folder(platform::absolute_path(folder->view())));
    for (PathText* file : {&job.extras.reportFile, &job.extras.resumeFile, &job.watermarkFile})
        if (!file->view().empty())
            file->assign(platform::absolute_path(file->view()));
    if (!job.targetExtension.view().empty())
        job.targetExtension.assign(normalize_extension(job.targetExtension.view()));
    // Re-runs and shares write into a target folder that holds files by design.
    const JobExtras& x = job.extras;
    if (x.existing != ExistingPolicy::overwrite || !x.resumeFile.view().empty() || x.shardCount > 1)
        job.overwrite = 1;
    return job;
}

std::u16string common_folder(const SourceFiles& files) {
    if (files.empty())
        return {};
    std::u16string common(platform::folder_of(files.front()));
    for (const std::u16string& file : files)
        while (!common.empty() && common != u"/" &&
               !(file.size() > common.size() && file.starts_with(common) &&
                 file[common.size()] == platform::kSeparator))
            common = std::u16string(platform::folder_of(common));
    return common.empty() ? std::u16string(u"/") : common;
}

Prepared prepare_job(ConversionJob job, PluginOptions options, const JobServices& services,
                     PrepareMode mode, SourceFiles files) {
    for (std::u16string& file : files)
        file = platform::absolute_path(file);
    if (!files.empty() && job.sourceFolder.view().empty())
        job.sourceFolder.assign(common_folder(files));
    job = tidy_job(std::move(job));
    if (auto refusal = check_record(job, options, services))
        return *refusal;
    PreparedJob prepared;
    if (auto refusal = check_folders(job, mode, prepared.m_plan, files))
        return *refusal;
    prepared.m_job = job;
    prepared.m_options = std::move(options);
    prepared.m_files = std::move(files);
    return prepared;
}

} // namespace vt::engine
