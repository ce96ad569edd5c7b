#pragma once
// Before and around a job: which files it converts, under which names, and what becomes of
// targets that exist already; the per-file report and the two filters a job may carry (the
// share of a job split over several processes, and the files an earlier run's report lists as
// done). Their defaults change nothing of a job.
// Thread: plain functions, any thread; FileRules as told there.

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/conversion_job.h"
#include "platform/files.h"

namespace vt::engine {

// The share (0..count-1) of a file: FNV-1a (64-bit) of its path relative to the source folder,
// in UTF-8 with "/" between folders, modulo count. The same on every machine and in every run,
// so processes that split one tree agree without talking to each other.
[[nodiscard]] std::uint32_t share_of(std::u16string_view relative, std::uint32_t count) noexcept;

// One line of a report.
struct ReportRecord {
    std::u16string source, target;
    std::string outcome; // outcome_name() of the file's outcome
    std::string reason;  // why, for every outcome but "converted"
    std::vector<std::string> warnings;
    std::uint32_t bits = 0; // bits per channel written; 0 when nothing was written
    std::uint64_t bytes_in = 0, bytes_out = 0, ms = 0;
};
// The JSON object of one record, without the line end.
[[nodiscard]] std::string report_line(const ReportRecord& record);
// A line written by report_line (keys in any order, unknown keys ignored); empty when the line
// is not such an object.
[[nodiscard]] std::optional<ReportRecord> parse_report_line(std::string_view line);

// The sources an earlier report lists as converted (with or without warnings) whose targets
// still exist with the size the report gives, with those targets.
class DoneList {
public:
    // Reads a report; false when it cannot be read (a missing report is an empty list).
    bool load(std::u16string_view report);
    [[nodiscard]] const std::u16string* target_of(std::u16string_view source) const;
    [[nodiscard]] std::size_t size() const noexcept { return m_done.size(); }

private:
    std::unordered_map<std::u16string, std::u16string> m_done;
};

// Where the job's report goes: reportFile, else with writeReport "_report.jsonl" in the target
// folder, else nowhere (empty).
[[nodiscard]] std::u16string report_path(const ConversionJob& job);
// "photo (2).jpg" for "photo.jpg" and 2, in the same folder.
[[nodiscard]] std::u16string numbered_target(std::u16string_view target, std::uint32_t n);
// Whether the job's target names wait for the picture's size ("%w", "%h" in the pattern).
[[nodiscard]] bool names_wait_for_size(const ConversionJob& job) noexcept;
// Whether the job is split into shares.
[[nodiscard]] inline bool sharded(const ConversionJob& job) noexcept {
    return job.extras.shardCount > 1;
}

enum class PlanAction {
    write,       // a new target
    replace,     // the target exists and is replaced
    skip,        // the target exists and is left as it is
    keep_both,   // the target exists or another file of the job takes it: a numbered name
    done,        // an earlier run converted it (resume)
    clash,       // another file of the job writes the same target: the job is refused
    unreachable, // the walk cannot reach it: counted as a file that could not be read
};
[[nodiscard]] const char* action_name(PlanAction action) noexcept;

struct PlannedFile {
    std::u16string source, relative, target;
    std::uint32_t sequence = 0, folder_count = 0;
    PlanAction action = PlanAction::write;
    bool named_later = false;   // the name waits for the picture's size; `target` is the plain one
    std::u16string unreachable; // why, with PlanAction::unreachable
};

struct JobPlan {
    std::vector<PlannedFile> files;      // this share's files, in the walk's order
    std::vector<std::u16string> clashes; // "target <- source, source, ..." per clashing target
    std::uint32_t listed = 0;            // files and unreachable places of the whole tree
};

// The plan of a job over the files of the whole tree; with shares, `files` holds this share's.
// Clashes are looked for in every share, so that each process refuses the same job.
// With `listed` files the job is exactly those (list_job_files).
[[nodiscard]] JobPlan plan_job(const ConversionJob& job, const DoneList& done,
                               std::span<const std::u16string> listed = {});

// A file's access and modification times, to the nanosecond. Taken before the source is read,
// since reading it may move its access time.
struct FileTimes {
    std::int64_t access_s = 0, access_ns = 0, modify_s = 0, modify_ns = 0;
};
[[nodiscard]] std::optional<FileTimes> file_times(std::u16string_view path);
bool set_file_times(std::u16string_view path, const FileTimes& times);

// What the workers of a running job ask per file. Built on the job thread from the job's plan
// before the workers start; then every member may be called from any worker.
class FileRules {
public:
    FileRules(const ConversionJob& job, const JobPlan& plan);
    ~FileRules(); // removes unused claims
    FileRules(const FileRules&) = delete;
    FileRules& operator=(const FileRules&) = delete;

    // Whether a file whose name is known before loading can be left alone at once.
    [[nodiscard]] bool skip_early(std::u16string_view target) const;
    // The name to write to, or empty to leave the file alone (the target exists and the job
    // skips existing targets). When the job keeps existing targets (skip, keep both) the name is
    // claimed on disk at once, as an empty file that the save then replaces, so that another job
    // writing into the same folder at the same time never takes the same name: keep both then
    // moves on to the next free number. A claim the save never filled is removed when the rules
    // go.
    [[nodiscard]] std::optional<std::u16string> final_target(std::u16string_view source,
                                                             std::u16string_view target);
    // Appends one line to the report, if the job keeps one.
    void report(const ReportRecord& record);
    [[nodiscard]] bool reporting() const noexcept { return m_report_fd >= 0; }

private:
    enum class Claim { mine, taken, failed };
    Claim claim(const std::u16string& name); // under m_lock

    const ConversionJob& m_job;
    std::unordered_map<std::u16string, std::u16string> m_planned; // keep both: source -> name
    std::mutex m_lock;                            // guards m_claimed, m_on_disk and report writes
    std::unordered_set<std::u16string> m_claimed; // names given out or planned
    std::vector<std::pair<std::u16string, platform::FileId>> m_on_disk; // claimed as empty files
    int m_report_fd = -1;
};

} // namespace vt::engine
