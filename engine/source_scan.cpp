#include "engine/source_scan.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "engine/detail/job_context.h"
#include "engine/target_naming.h"
#include "platform/files.h"
#include "platform/keep_awake.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace vt::engine {
namespace {

constexpr std::uint32_t kPausePollMs = 50;

// The folders on the way down from the top, to refuse a link back up the chain.
class FolderChain {
public:
    bool enter(std::u16string_view folder) {
        const auto id = platform::folder_id(folder);
        if (!id)
            return false;
        for (const auto& seen : m_ids)
            if (seen == *id)
                return false;
        m_ids.push_back(*id);
        return true;
    }
    void leave() { m_ids.pop_back(); }

private:
    std::vector<platform::FolderId> m_ids;
};

// A folder the walk leaves out: the target folder when it lies inside the source, so that a job
// never converts its own output.
bool is_left_out(std::u16string_view folder, std::u16string_view skip) {
    return !skip.empty() && platform::same_file(folder, skip);
}

std::uint32_t count_in(std::u16string_view folder, bool recursive, FolderChain& chain,
                       std::u16string_view skip) {
    if (folder.empty() || !chain.enter(folder))
        return 0;
    std::uint32_t count = 0;
    platform::DirListing listing(folder);
    platform::DirEntry entry;
    while (listing.next(entry)) {
        if (is_skipped_name(entry.name))
            continue;
        if (entry.is_regular)
            ++count;
        else if (entry.is_directory && recursive) {
            const std::u16string sub = platform::join_path(folder, entry.name);
            if (!is_left_out(sub, skip))
                count += count_in(sub, true, chain, skip);
        }
    }
    chain.leave();
    return count;
}

} // namespace

bool is_skipped_name(std::u16string_view name) noexcept {
    // Files the system and the desktops keep beside pictures; none of them is one.
    return name == u"." || name == u".." || base::ascii_iequal(name, u"thumbs.db") ||
           base::ascii_iequal(name, u"desktop.ini") || name == u".directory" ||
           name == u".DS_Store" || name.starts_with(u"._");
}

std::uint32_t count_files(std::u16string_view folder, bool recursive, std::u16string_view skip) {
    FolderChain chain;
    return count_in(folder, recursive, chain, skip);
}

namespace detail {
namespace {

constexpr long kCancelled = -99;

class FolderWalk {
public:
    explicit FolderWalk(JobContext& ctx) : m_ctx(ctx) {}

    long walk(std::u16string_view relative);

private:
    bool hold_while_paused();
    bool hand_out(std::u16string_view source, std::u16string_view target, std::uint32_t sequence,
                  std::uint32_t folder_count);

    JobContext& m_ctx;
    FolderChain m_chain;
};

// Acts on a pending pause or cancel. False on cancel.
bool FolderWalk::hold_while_paused() {
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

// Puts one file into the slot once it is free. A pause that comes while the slot is full takes
// effect at once rather than when a worker frees the slot. False when the job is over: cancel,
// the end marker, or no worker left to take a file.
bool FolderWalk::hand_out(std::u16string_view source, std::u16string_view target,
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

long FolderWalk::walk(std::u16string_view relative) {
    const std::u16string source = platform::join_path(m_ctx.job.sourceFolder.view(), relative);
    const std::u16string target = platform::join_path(m_ctx.job.targetFolder.view(), relative);

    // Each file carries its own number through the slot; the slot's number is never reset
    // here, since a file of the parent folder may still be waiting in it.
    if (!relative.empty() && is_left_out(source, m_ctx.job.targetFolder.view()))
        return 0;
    const std::uint32_t folder_count = count_files(source, false);
    std::uint32_t sequence = 0;
    if (!m_chain.enter(source))
        return 0;
    platform::DirListing listing(source);
    if (!listing.is_open()) {
        m_chain.leave();
        return 0;
    }
    // Name order, so that numbered names follow the names as a file manager lists them.
    std::vector<platform::DirEntry> entries;
    for (platform::DirEntry entry; listing.next(entry);)
        entries.push_back(std::move(entry));
    listing.close();
    std::sort(
        entries.begin(), entries.end(),
        [](const platform::DirEntry& a, const platform::DirEntry& b) { return a.name < b.name; });
    {
        JobLock lock(m_ctx.state_lock, JobLock::kState);
        m_ctx.set_state_locked(JobState::running);
        m_ctx.clear_command_locked();
    }

    long handed_out = 0;
    for (const platform::DirEntry& entry : entries) {
        if (!hold_while_paused())
            return kCancelled;
        if (is_skipped_name(entry.name))
            continue;
        if (!entry.is_directory && !entry.is_regular)
            continue; // a pipe or device would block the worker that opens it
        if (entry.is_directory) {
            if (!m_ctx.job.includeSubfolders)
                continue;
            const long sub = walk(platform::join_path(relative, entry.name));
            if (sub < 0)
                return kCancelled;
            handed_out += sub;
            continue;
        }
        const std::u16string source_path = platform::join_path(source, entry.name);
        const std::u16string target_path =
            plain_target_path(target, entry.name, m_ctx.job.targetExtension.view());
        if (!hand_out(source_path, target_path, sequence++, folder_count))
            return kCancelled;
        {
            JobLock lock(m_ctx.state_lock, JobLock::kState);
            m_ctx.current_file.assign(source_path);
        }
        platform::keep_system_awake();
        ++handed_out;
    }
    m_chain.leave();
    return handed_out;
}

} // namespace

long walk_folder(JobContext& ctx, std::u16string_view relative) {
    FolderWalk walk(ctx);
    return walk.walk(relative);
}

} // namespace detail
} // namespace vt::engine
