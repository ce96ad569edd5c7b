#include "platform/pending_ops.h"

#include <cstdio>
#include <fstream>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/utf.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"

namespace vt::platform {
namespace {

std::mutex g_lock;
std::u16string g_override;

std::u16string journal_path() {
    if (!g_override.empty())
        return g_override;
    const std::u16string folder = program_data_folder();
    return folder.empty() ? std::u16string{} : join_path(folder, u"pending_operations.txt");
}

// A journal someone else could have written is not ours to carry out.
bool trusted(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void append(const std::string& line) {
    std::lock_guard lock(g_lock);
    const std::u16string path = journal_path();
    if (path.empty())
        return;
    const int fd = ::open(to_os_path(path).c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && trusted(st)) {
        const std::string text = line + '\n';
        (void)!::write(fd, text.data(), text.size());
    }
    ::close(fd);
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
    return true; // not ours to keep
}

} // namespace

void schedule_delete(std::u16string_view path) {
    append("delete\t" + base::utf16_to_utf8(path));
}

void schedule_move(std::u16string_view from, std::u16string_view to) {
    append("move\t" + base::utf16_to_utf8(from) + "\t" + base::utf16_to_utf8(to));
}

void set_pending_journal(std::u16string path) {
    std::lock_guard lock(g_lock);
    g_override = std::move(path);
}

int replay_pending_operations() {
    std::lock_guard lock(g_lock);
    const std::u16string path = journal_path();
    if (path.empty())
        return 0;
    const std::string os = to_os_path(path);
    struct stat st {};
    if (::lstat(os.c_str(), &st) != 0 || !trusted(st))
        return 0;
    std::ifstream in(os);
    std::vector<std::string> kept;
    int done = 0;
    for (std::string line; std::getline(in, line);) {
        if (carry_out(line))
            ++done;
        else
            kept.push_back(line);
    }
    in.close();
    if (kept.empty()) {
        delete_file(path, true);
    } else {
        std::ofstream out(os, std::ios::trunc);
        for (const auto& k : kept)
            out << k << '\n';
    }
    return done;
}

} // namespace vt::platform
