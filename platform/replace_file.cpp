#include "platform/replace_file.h"

#include <cerrno>
#include <cstdio>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/utf.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/pending_ops.h"

namespace vt::platform {
namespace {

constexpr int kNameTries = 64;
constexpr std::size_t kNameBytes = 255; // NAME_MAX

// Data and name of a rename reach the disk only when the file and then its folder are flushed.
bool sync_path(const std::string& os, int flags) {
    const int fd = ::open(os.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

// "<target name>.XXXXXXXX.tmp<suffix>" beside the target, the target's name cut (on a character
// boundary) so that the whole name fits in NAME_MAX bytes: a target of 250 bytes must not fail
// for want of room for its temporary name. The random word keeps it unique, the start of the
// target's name and ".tmp" keep it recognisable.
std::u16string temp_name_for(std::u16string_view target, std::u16string_view word,
                             std::u16string_view suffix) {
    const std::u16string_view name = file_name_of(target);
    const std::u16string_view folder = target.substr(0, target.size() - name.size());
    std::size_t room = kNameBytes - base::utf8_size(word); // the word is short ASCII
    suffix = suffix.substr(0, base::utf8_fitting_units(suffix, room));
    room -= base::utf8_size(suffix);
    std::u16string temp(folder);
    temp.append(name.substr(0, base::utf8_fitting_units(name, room)));
    temp.append(word);
    temp.append(suffix);
    return temp;
}

unsigned random_word() {
    thread_local std::mt19937 generator{std::random_device{}()};
    return static_cast<unsigned>(generator());
}

} // namespace

ReplacingFile::~ReplacingFile() {
    abandon();
}

bool ReplacingFile::create(std::u16string_view target, std::u16string_view suffix) {
    abandon();
    m_target = std::u16string(target);
    const std::string os_target = to_os_path(target);
    struct stat st {};
    if (::stat(os_target.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        m_mode = static_cast<int>((st.st_mode & 07777) | S_IWUSR);
    for (int i = 0; i < kNameTries; ++i) {
        char word[16];
        std::snprintf(word, sizeof word, ".%08x.tmp", random_word());
        const std::u16string temp = temp_name_for(m_target, base::ascii_to_utf16(word), suffix);
        const std::string os = to_os_path(temp);
        if (::access(os.c_str(), F_OK) == 0)
            continue;
        journal_partial(temp); // before it exists, so that no kill leaves it unrecorded
        const int fd = ::open(os.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            m_temp = temp;
            return true;
        }
        const int saved = errno;
        journal_partial_done(temp);
        errno = saved;
        if (saved != EEXIST)
            return false;
    }
    errno = EEXIST;
    return false;
}

bool ReplacingFile::commit() {
    if (m_temp.empty()) {
        errno = ENOENT;
        return false;
    }
    const std::string os = to_os_path(m_temp);
    bool ok = m_mode < 0 || ::chmod(os.c_str(), static_cast<mode_t>(m_mode)) == 0;
    ok = ok && sync_path(os, O_RDONLY);
    ok = ok && ::rename(os.c_str(), to_os_path(m_target).c_str()) == 0;
    if (!ok) {
        const int saved = errno;
        abandon();
        errno = saved;
        return false;
    }
    // The rename is done; a folder that cannot be flushed does not undo it.
    const std::u16string_view folder = folder_of(m_target);
    (void)sync_path(to_os_path(folder.empty() ? std::u16string_view(u".") : folder),
                    O_RDONLY | O_DIRECTORY);
    journal_partial_done(m_temp);
    m_temp.clear();
    return true;
}

void ReplacingFile::abandon() noexcept {
    if (m_temp.empty())
        return;
    const int saved = errno;
    if (::unlink(to_os_path(m_temp).c_str()) == 0 || errno == ENOENT)
        journal_partial_done(m_temp);
    m_temp.clear();
    errno = saved;
}

} // namespace vt::platform
