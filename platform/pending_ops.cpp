#include "platform/pending_ops.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/utf.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/private_files.h"

namespace vt::platform {
namespace {

std::mutex g_lock;
std::u16string g_override;

struct Journal {
    std::u16string path;
    std::u16string root; // the folders up to here must be the user's alone
};

Journal journal() {
    if (!g_override.empty())
        return {g_override, {}};
    const std::u16string folder = program_data_folder();
    if (folder.empty())
        return {};
    return {join_path(folder, u"pending_operations.txt"), suite_data_root()};
}

// A journal someone else could have written is not ours to carry out.
bool trusted(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The journal opened and locked against the other programs of the suite; -1 when it cannot be
// used. A journal unlinked by a replay between our open and our lock is opened again. A folder
// that others may write could have been given a journal of theirs, so it is not used at all.
int open_locked(const Journal& journal, int flags) {
    if (!folders_private(folder_of(journal.path), journal.root))
        return -1;
    const std::string os = to_os_path(journal.path);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = ::open(os.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return -1;
        struct stat st {};
        if (::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &st) != 0 || !trusted(st)) {
            ::close(fd);
            return -1;
        }
        if (st.st_nlink > 0)
            return fd;
        ::close(fd);
    }
    return -1;
}

void append(const std::string& line) {
    std::lock_guard lock(g_lock);
    const Journal j = journal();
    if (j.path.empty())
        return;
    const int fd = open_locked(j, O_WRONLY | O_CREAT | O_APPEND);
    if (fd < 0)
        return;
    const std::string text = line + '\n';
    (void)!::write(fd, text.data(), text.size());
    ::close(fd);
}

bool process_alive(long pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// "partial\tPID\tPATH": a file being written by process PID that a kill would leave half done.
// Its "done" line says it was renamed into place or removed.
struct Partial {
    long pid = 0;
    std::string path;
};

std::optional<Partial> parse_partial(const std::string& line, std::string_view op) {
    if (line.compare(0, op.size() + 1, std::string(op) + '\t') != 0)
        return std::nullopt;
    const auto tab = line.find('\t', op.size() + 1);
    if (tab == std::string::npos)
        return std::nullopt;
    return Partial{std::strtol(line.c_str() + op.size() + 1, nullptr, 10), line.substr(tab + 1)};
}

bool carry_out(const std::string& line) {
    const auto tab = line.find('\t');
    const std::string op = line.substr(0, tab);
    if (op == "delete" && tab != std::string::npos)
        return delete_file(base::utf8_to_utf16(line.substr(tab + 1)), true);
    if (op == "move" && tab != std::string::npos) {
        const auto tab2 = line.find('\t', tab + 1);
        if (tab2 == std::string::npos)
            return false;
        const std::string from = line.substr(tab + 1, tab2 - tab - 1);
        // A source that is gone was moved by someone else: nothing left to do.
        return std::rename(from.c_str(), line.substr(tab2 + 1).c_str()) == 0 ||
               !path_exists(base::utf8_to_utf16(from));
    }
    if (const auto partial = parse_partial(line, "partial")) {
        // Another program still writing it keeps it; a dead writer's half file goes.
        if (partial->pid != ::getpid() && process_alive(partial->pid))
            return false;
        return ::unlink(partial->path.c_str()) == 0 || errno == ENOENT;
    }
    return true; // not ours to keep
}

} // namespace

void schedule_delete(std::u16string_view path) {
    append("delete\t" + base::utf16_to_utf8(path));
}

void schedule_move(std::u16string_view from, std::u16string_view to) {
    append("move\t" + base::utf16_to_utf8(from) + "\t" + base::utf16_to_utf8(to));
}

void journal_partial(std::u16string_view path) {
    append("partial\t" + std::to_string(::getpid()) + "\t" + base::utf16_to_utf8(path));
}

void journal_partial_done(std::u16string_view path) {
    append("done\t" + std::to_string(::getpid()) + "\t" + base::utf16_to_utf8(path));
}

void set_pending_journal(std::u16string path) {
    std::lock_guard lock(g_lock);
    g_override = std::move(path);
}

int replay_pending_operations() {
    std::lock_guard lock(g_lock);
    const Journal j = journal();
    if (j.path.empty())
        return 0;
    const std::string os = to_os_path(j.path);
    const int fd = open_locked(j, O_RDWR);
    if (fd < 0)
        return 0;
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    std::vector<std::string> lines;
    std::set<std::pair<long, std::string>> finished;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (const auto done = parse_partial(line, "done"))
            finished.emplace(done->pid, done->path);
        else if (!line.empty())
            lines.push_back(std::move(line));
    }
    std::string kept;
    int done = 0;
    for (const std::string& line : lines) {
        const auto partial = parse_partial(line, "partial");
        if ((partial && finished.contains({partial->pid, partial->path})) || carry_out(line))
            ++done;
        else
            kept += line + '\n';
    }
    if (kept.empty()) {
        ::unlink(os.c_str());
    } else {
        (void)!::ftruncate(fd, 0);
        (void)!::pwrite(fd, kept.data(), kept.size(), 0);
    }
    ::close(fd);
    return done;
}

} // namespace vt::platform
