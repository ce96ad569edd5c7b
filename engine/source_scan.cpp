#include "engine/source_scan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <unordered_set>
#include <vector>

#include "base/text.h"
#include "base/utf.h"
#include "engine/detail/job_context.h"
#include "engine/job_plan.h"
#include "engine/target_naming.h"
#include "platform/files.h"
#include "platform/keep_awake.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace vt::engine {
namespace {

constexpr std::uint32_t kPausePollMs = 50;

// Whether `name` joined to `folder` stays within the system's path limit (bytes, not characters),
// so that joining never has to cut it into the path of something else.
bool fits_path(std::u16string_view folder, std::u16string_view name) {
    const std::size_t units = folder.size() + 1 + name.size();
    if (units * 3 < PATH_MAX)
        return true;
    return base::utf16_to_utf8(folder).size() + 1 + base::utf16_to_utf8(name).size() < PATH_MAX;
}

enum class Entered { yes, loop, error };

// The folders on the way down from the top, to refuse a link back up the chain.
class FolderChain {
public:
    bool enter(std::u16string_view folder) { return enter_why(folder) == Entered::yes; }
    // A link back up is no error; a folder that cannot be looked at is (errno tells why).
    Entered enter_why(std::u16string_view folder) {
        const auto id = platform::folder_id(folder);
        if (!id)
            return Entered::error;
        for (const auto& seen : m_ids)
            if (seen == *id)
                return Entered::loop;
        m_ids.push_back(*id);
        return Entered::yes;
    }
    void leave() { m_ids.pop_back(); }

private:
    std::vector<platform::FolderId> m_ids;
};

// A sub-folder that is the job's target folder (the target lies inside the source) is not
// walked: the job would convert its own output.
bool is_excluded(std::u16string_view folder, std::u16string_view excluded) {
    if (excluded.empty())
        return false;
    const auto id = platform::folder_id(folder);
    const auto other = platform::folder_id(excluded);
    return id && other && *id == *other;
}

std::uint32_t count_in(std::u16string_view folder, bool recursive, FolderChain& chain,
                       std::u16string_view excluded);

// A sub-folder that cannot be entered or listed counts as one file: the walk reports it as one
// it could not read.
std::uint32_t count_sub(std::u16string_view folder, FolderChain& chain,
                        std::u16string_view excluded) {
    const Entered entered = chain.enter_why(folder);
    if (entered != Entered::yes)
        return entered == Entered::error ? 1 : 0;
    chain.leave();
    if (!platform::DirListing(folder).is_open())
        return 1;
    return count_in(folder, true, chain, excluded);
}

std::uint32_t count_in(std::u16string_view folder, bool recursive, FolderChain& chain,
                       std::u16string_view excluded) {
    if (folder.empty() || !chain.enter(folder))
        return 0;
    std::uint32_t count = 0;
    platform::DirListing listing(folder);
    platform::DirEntry entry;
    while (listing.next(entry)) {
        if (is_skipped_name(entry.name))
            continue;
        if (entry.is_regular) {
            ++count;
        } else if (entry.is_directory && recursive) {
            if (!fits_path(folder, entry.name)) {
                ++count; // counted, so that the walk's report of it adds up
                continue;
            }
            const std::u16string sub = platform::join_path(folder, entry.name);
            if (!is_excluded(sub, excluded))
                count += count_sub(sub, chain, excluded);
        }
    }
    chain.leave();
    return count;
}

} // namespace

bool is_skipped_name(std::u16string_view name) noexcept {
    // The folder files of desktops and file managers, and resource forks copied from a Mac.
    return name == u"." || name == u".." || base::ascii_iequal(name, u"thumbs.db") ||
           base::ascii_iequal(name, u"desktop.ini") || base::ascii_iequal(name, u".directory") ||
           base::ascii_iequal(name, u".ds_store") || name.starts_with(u"._");
}

std::uint32_t count_files(std::u16string_view folder, bool recursive,
                          std::u16string_view excluded) {
    FolderChain chain;
    return count_in(folder, recursive, chain, excluded);
}

static std::vector<platform::DirEntry> sorted_listing(std::u16string_view folder, bool& opened) {
    std::vector<std::pair<std::string, platform::DirEntry>> keyed;
    platform::DirListing listing(folder);
    opened = listing.is_open();
    for (platform::DirEntry entry; listing.next(entry);)
        keyed.emplace_back(base::utf16_to_utf8(entry.name), entry);
    // Byte order of the UTF-8 names, so that numbered names follow the names' order.
    std::sort(keyed.begin(), keyed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<platform::DirEntry> entries;
    entries.reserve(keyed.size());
    for (auto& k : keyed)
        entries.push_back(std::move(k.second));
    return entries;
}

namespace {

std::u16string errno_text() {
    return base::utf8_to_utf16(std::strerror(errno));
}

void list_folder(const ConversionJob& job, std::u16string_view relative, FolderChain& chain,
                 std::vector<JobFile>& out) {
    const std::u16string source = platform::join_path(job.sourceFolder.view(), relative);
    const std::u16string target = platform::join_path(job.targetFolder.view(), relative);
    const auto unreachable = [&](std::u16string path, std::u16string why) {
        out.push_back({std::move(path), {}, {}, 0, 0, std::move(why)});
    };
    const Entered entered = chain.enter_why(source);
    if (entered != Entered::yes) {
        if (entered == Entered::error && !relative.empty())
            unreachable(source, u"cannot open the folder: " + errno_text());
        return;
    }
    bool opened = false;
    const std::vector<platform::DirEntry> entries = sorted_listing(source, opened);
    if (!opened) {
        if (!relative.empty())
            unreachable(source, u"cannot open the folder: " + errno_text());
        chain.leave();
        return;
    }
    std::uint32_t folder_count = 0;
    for (const platform::DirEntry& entry : entries)
        folder_count += !is_skipped_name(entry.name) && entry.is_regular ? 1u : 0u;
    std::uint32_t sequence = 0;
    for (const platform::DirEntry& entry : entries) {
        if (is_skipped_name(entry.name) || (!entry.is_directory && !entry.is_regular))
            continue;
        if (!fits_path(source, entry.name)) {
            if (entry.is_regular || job.includeSubfolders)
                unreachable(source + u"/" + entry.name,
                            u"the path is longer than the system allows");
            continue;
        }
        if (entry.is_directory) {
            if (job.includeSubfolders &&
                !is_excluded(platform::join_path(source, entry.name), job.targetFolder.view()))
                list_folder(job, platform::join_path(relative, entry.name), chain, out);
            continue;
        }
        out.push_back({platform::join_path(source, entry.name),
                       platform::join_path(relative, entry.name),
                       plain_target_path(target, entry.name, job.targetExtension.view()),
                       sequence++,
                       folder_count,
                       {}});
    }
    chain.leave();
}

} // namespace

namespace {

// The listed files, numbered in their order within each folder as the walk numbers a folder's.
std::vector<JobFile> list_listed_files(const ConversionJob& job,
                                       std::span<const std::u16string> listed) {
    std::u16string prefix = job.sourceFolder.str();
    if (prefix.empty() || prefix.back() != platform::kSeparator)
        prefix.push_back(platform::kSeparator);
    std::vector<JobFile> files;
    std::unordered_set<std::u16string> seen;
    std::map<std::u16string, std::uint32_t> per_folder;
    for (const std::u16string& path : listed) {
        if (!seen.insert(path).second)
            continue;
        const bool inside = path.size() > prefix.size() && path.starts_with(prefix);
        std::u16string why;
        if (!inside)
            why = u"the file lies outside the source folder";
        else if (!platform::is_file(path))
            why = platform::path_exists(path) ? u"it is not a file" : u"the file does not exist";
        if (!why.empty()) {
            files.push_back({path, {}, {}, 0, 0, std::move(why)});
            continue;
        }
        const std::u16string relative = path.substr(prefix.size());
        files.push_back({path,
                         relative,
                         {},
                         per_folder[std::u16string(platform::folder_of(relative))]++,
                         0,
                         {}});
    }
    for (JobFile& f : files) {
        if (!f.unreachable.empty())
            continue;
        const std::u16string folder(platform::folder_of(f.relative));
        f.folder_count = per_folder[folder];
        f.target = plain_target_path(platform::join_path(job.targetFolder.view(), folder),
                                     platform::file_name_of(f.source), job.targetExtension.view());
    }
    return files;
}

} // namespace

std::vector<JobFile> list_job_files(const ConversionJob& job,
                                    std::span<const std::u16string> listed) {
    if (!listed.empty())
        return list_listed_files(job, listed);
    std::vector<JobFile> files;
    FolderChain chain;
    list_folder(job, u"", chain, files);
    return files;
}

std::u16string unlistable_reason(std::u16string_view folder) {
    errno = 0;
    if (platform::DirListing(folder).is_open())
        return {};
    return errno ? errno_text() : std::u16string(u"cannot list it");
}

namespace detail {
namespace {

constexpr long kCancelled = -99;

class PlanHandOut {
public:
    explicit PlanHandOut(JobContext& ctx) : m_ctx(ctx) {}

    long run();

private:
    bool hold_while_paused();
    // A folder or file the walk cannot reach counts as a file that could not be read.
    void note_unreachable(std::u16string_view path, std::u16string_view why);
    bool hand_out(std::u16string_view source, std::u16string_view target, std::uint32_t sequence,
                  std::uint32_t folder_count);

    JobContext& m_ctx;
};

// Acts on a pending pause or cancel. False on cancel.
bool PlanHandOut::hold_while_paused() {
    JobLock lock(m_ctx.state_lock, JobLock::kState);
    if (m_ctx.command == JobCommand::cancel)
        return false;
    if (m_ctx.command == JobCommand::pause) {
        m_ctx.set_state_locked(JobState::paused);
        m_ctx.command = JobCommand::none;
        m_ctx.command_mirror = JobCommand::none;
        lock.get().unlock();
        m_ctx.notify_slot(); // waiting workers show that they are held

        std::uint32_t paused_before;
        {
            JobLock stats(m_ctx.stats_lock, JobLock::kStats);
            paused_before = m_ctx.paused_ms;
        }
        const platform::TimeStamp pause_start = platform::now();
        lock.get().lock();
        for (;;) {
            m_ctx.state_changed.wait_for(lock.get(), std::chrono::milliseconds(kPausePollMs), [&] {
                return m_ctx.command == JobCommand::resume || m_ctx.command == JobCommand::cancel;
            });
            const JobCommand command = m_ctx.command;
            lock.get().unlock();
            {
                // The paused time grows while the pause lasts, so the display can show it.
                JobLock stats(m_ctx.stats_lock, JobLock::kStats);
                const std::uint64_t sum =
                    std::uint64_t{paused_before} + platform::elapsed_ms(pause_start);
                m_ctx.paused_ms = sum > platform::kMaxMilliseconds
                                      ? platform::kMaxMilliseconds
                                      : static_cast<std::uint32_t>(sum);
            }
            lock.get().lock();
            if (command == JobCommand::cancel)
                return false;
            if (command == JobCommand::resume)
                break;
        }
    }
    m_ctx.set_state_locked(JobState::running);
    m_ctx.clear_command_locked();
    return true;
}

void PlanHandOut::note_unreachable(std::u16string_view path, std::u16string_view why) {
    JobLock lock(m_ctx.stats_lock, JobLock::kStats);
    m_ctx.set_last_error_locked(u"Failed while loading %s", path);
    m_ctx.note_outcome_locked({std::u16string(path),
                               {},
                               Outcome::not_loaded,
                               FailureStage::walk,
                               std::u16string(why),
                               {}});
    ++m_ctx.unknown;
}

// Puts one file into the slot once it is free. A pause that comes while the slot is full takes
// effect at once rather than when a worker frees the slot. False when the job is over: cancel,
// the end marker, or no worker left to take a file.
bool PlanHandOut::hand_out(std::u16string_view source, std::u16string_view target,
                           std::uint32_t sequence, std::uint32_t folder_count) {
    for (;;) {
        {
            JobLock lock(m_ctx.stats_lock, JobLock::kStats);
            bool over = false, free = false;
            m_ctx.slot_changed.wait(lock.get(), [&] {
                over = m_ctx.cancel || m_ctx.slot.source == kEndMarker || m_ctx.live_workers() == 0;
                free = m_ctx.slot.source.empty();
                return over || free || m_ctx.command_mirror == JobCommand::pause;
            });
            if (over)
                return false;
            if (free) {
                m_ctx.slot.source.assign(source);
                m_ctx.slot.target.assign(target);
                m_ctx.slot.sequence = sequence;
                m_ctx.slot.folder_count = folder_count;
                m_ctx.slot_changed.notify_all();
                return true;
            }
        }
        if (!hold_while_paused())
            return false;
    }
}

long PlanHandOut::run() {
    {
        JobLock lock(m_ctx.state_lock, JobLock::kState);
        m_ctx.set_state_locked(JobState::running);
        m_ctx.clear_command_locked();
    }
    long handed_out = 0;
    for (const PlannedFile& file : m_ctx.plan.files) {
        if (!hold_while_paused())
            return kCancelled;
        if (file.action == PlanAction::done)
            continue;
        if (file.action == PlanAction::unreachable) {
            note_unreachable(file.source, file.unreachable);
            ++handed_out; // dealt with, as a file that could not be read
            continue;
        }
        // The plain name: the workers name it again once the picture is known, and the rules
        // give a planned number back.
        const std::u16string target = plain_target_path(
            platform::join_path(m_ctx.job.targetFolder.view(), platform::folder_of(file.relative)),
            platform::file_name_of(file.source), m_ctx.job.targetExtension.view());
        if (!hand_out(file.source, target, file.sequence, file.folder_count))
            return kCancelled;
        {
            JobLock lock(m_ctx.state_lock, JobLock::kState);
            m_ctx.current_file.assign(file.source);
        }
        platform::keep_system_awake();
        ++handed_out;
    }
    return handed_out;
}

} // namespace

long hand_out_plan(JobContext& ctx) {
    return PlanHandOut(ctx).run();
}

} // namespace detail
} // namespace vt::engine
