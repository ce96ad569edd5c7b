#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/utf.h"
#include "platform/paths.h"
#include "platform/replace_file.h"

namespace vt::platform {
namespace {

std::optional<struct stat> stat_of(std::u16string_view path) {
    struct stat st {};
    if (::stat(to_os_path(path).c_str(), &st) != 0)
        return std::nullopt;
    return st;
}

bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool copy_contents(int in, int out) {
    std::uint8_t buffer[1 << 16];
    for (;;) {
        const ssize_t r = ::read(in, buffer, sizeof buffer);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return false;
        if (r == 0)
            return true;
        if (!write_all(out, buffer, static_cast<std::size_t>(r)))
            return false;
    }
}

} // namespace

std::string to_os_path(std::u16string_view path) {
    return base::utf16_to_utf8(path);
}

bool DirListing::open(std::u16string_view folder) {
    close();
    m_dir = ::opendir(to_os_path(folder.empty() ? u"." : folder).c_str());
    return m_dir != nullptr;
}

bool DirListing::next(DirEntry& entry) {
    if (!m_dir)
        return false;
    errno = 0;
    const dirent* d = ::readdir(m_dir);
    if (!d)
        return false;
    entry.name = base::utf8_to_utf16(d->d_name);
    entry.is_directory = d->d_type == DT_DIR;
    entry.is_regular = d->d_type == DT_REG;
    if (d->d_type == DT_LNK || d->d_type == DT_UNKNOWN) {
        struct stat st {};
        const bool known = ::fstatat(::dirfd(m_dir), d->d_name, &st, 0) == 0;
        entry.is_directory = known && S_ISDIR(st.st_mode);
        entry.is_regular = known && S_ISREG(st.st_mode);
    }
    return true;
}

void DirListing::close() noexcept {
    if (m_dir)
        ::closedir(m_dir);
    m_dir = nullptr;
}

std::optional<FolderId> folder_id(std::u16string_view folder) {
    const auto st = stat_of(folder);
    if (!st || !S_ISDIR(st->st_mode))
        return std::nullopt;
    return FolderId{static_cast<std::uint64_t>(st->st_dev), static_cast<std::uint64_t>(st->st_ino)};
}

bool path_exists(std::u16string_view path) {
    return stat_of(path).has_value();
}

std::u16string absolute_path(std::u16string_view path) {
    if (path.empty() || path.front() == kSeparator)
        return std::u16string(path);
    std::string cwd(kMaxPath, '\0');
    if (::getcwd(cwd.data(), cwd.size()) == nullptr)
        return std::u16string(path);
    return join_path(base::utf8_to_utf16(cwd.c_str()), path);
}

bool same_file(std::u16string_view a, std::u16string_view b) {
    const auto sa = stat_of(a), sb = stat_of(b);
    return sa && sb && sa->st_dev == sb->st_dev && sa->st_ino == sb->st_ino;
}

bool is_directory(std::u16string_view path) {
    const auto st = stat_of(path);
    return st && S_ISDIR(st->st_mode);
}

bool is_file(std::u16string_view path) {
    const auto st = stat_of(path);
    return st && !S_ISDIR(st->st_mode);
}

std::optional<std::uint64_t> file_size(std::u16string_view path) {
    const auto st = stat_of(path);
    if (!st)
        return std::nullopt;
    return static_cast<std::uint64_t>(st->st_size);
}

bool is_read_only(std::u16string_view path) {
    const auto st = stat_of(path);
    return st && (st->st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

bool set_read_only(std::u16string_view path, bool read_only) {
    const auto st = stat_of(path);
    if (!st)
        return false;
    mode_t mode = st->st_mode & 07777;
    mode =
        read_only ? (mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
    return ::chmod(to_os_path(path).c_str(), mode) == 0;
}

std::optional<std::int64_t> last_write_time(std::u16string_view path) {
    const auto st = stat_of(path);
    if (!st)
        return std::nullopt;
    return static_cast<std::int64_t>(st->st_mtim.tv_sec) * 1000000000 + st->st_mtim.tv_nsec;
}

bool set_last_write_time(std::u16string_view path, std::int64_t ns) {
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
    times[1].tv_nsec = static_cast<long>(ns % 1000000000);
    return ::utimensat(AT_FDCWD, to_os_path(path).c_str(), times, 0) == 0;
}

bool create_folder_chain(std::u16string_view folder) {
    const std::string os = to_os_path(folder);
    if (os.empty())
        return false;
    for (std::size_t i = 1; i <= os.size(); ++i) {
        if (i < os.size() && os[i] != '/')
            continue;
        const std::string part = os.substr(0, i);
        if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return ::stat(os.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool delete_file(std::u16string_view path, bool even_read_only) {
    const std::string os = to_os_path(path);
    struct stat st {};
    if (::lstat(os.c_str(), &st) != 0)
        return errno == ENOENT;
    if (!even_read_only && !S_ISLNK(st.st_mode) &&
        (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return false;
    return ::unlink(os.c_str()) == 0 || errno == ENOENT;
}

bool copy_file_replace(std::u16string_view source, std::u16string_view target) {
    const std::string src = to_os_path(source), dst = to_os_path(target);
    struct stat tst {};
    if (::stat(dst.c_str(), &tst) == 0) {
        if (S_ISDIR(tst.st_mode) || (tst.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            return false;
    }
    // Only a regular file is read: a FIFO or device would block or never end.
    const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0)
        return false;
    struct stat sst {};
    ReplacingFile temp;
    bool ok =
        ::fstat(in, &sst) == 0 && S_ISREG(sst.st_mode) && temp.create(target, extension_of(target));
    const int out =
        ok ? ::open(to_os_path(temp.temp_path()).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC) : -1;
    ok = out >= 0 && copy_contents(in, out);
    if (out >= 0)
        ok = ::close(out) == 0 && ok;
    ::close(in);
    temp.set_mode(sst.st_mode & 0777);
    return ok && temp.commit();
}

std::optional<FileId> claim_new_file(std::u16string_view path) {
    const int fd = ::open(to_os_path(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    const bool known = ::fstat(fd, &st) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (!known)
        return std::nullopt;
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool drop_unused_claim(std::u16string_view path, const FileId& id) {
    const std::string os = to_os_path(path);
    struct stat st {};
    if (::lstat(os.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0 ||
        static_cast<std::uint64_t>(st.st_dev) != id.device ||
        static_cast<std::uint64_t>(st.st_ino) != id.inode)
        return false;
    return ::unlink(os.c_str()) == 0;
}

std::optional<std::string> read_file_prefix(std::u16string_view path, std::size_t max_bytes) {
    File f;
    if (!f.open(path, File::Mode::read))
        return std::nullopt;
    std::string data(max_bytes, '\0');
    const std::size_t n = f.read({reinterpret_cast<std::uint8_t*>(data.data()), data.size()});
    data.resize(n);
    return data;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool File::open(std::u16string_view path, Mode mode) {
    close();
    const int flags = mode == Mode::read ? O_RDONLY : (O_RDWR | O_CREAT);
    m_fd = ::open(to_os_path(path).c_str(), flags | O_CLOEXEC, 0666);
    if (m_fd >= 0) {
        struct stat st {};
        if (::fstat(m_fd, &st) != 0 || S_ISDIR(st.st_mode)) {
            close();
            errno = EISDIR;
        }
    }
    return m_fd >= 0;
}

bool File::open_exclusive(std::u16string_view path, Mode mode) {
    if (!open(path, mode))
        return false;
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        close();
        return false;
    }
    return true;
}

void File::close() noexcept {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::size_t File::read(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (m_fd >= 0 && done < out.size()) {
        const ssize_t r = ::read(m_fd, out.data() + done, out.size() - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        done += static_cast<std::size_t>(r);
    }
    return done;
}

std::size_t File::write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (m_fd >= 0 && done < bytes.size()) {
        const ssize_t w = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += static_cast<std::size_t>(w);
    }
    return done;
}

bool File::seek(std::uint64_t offset) {
    return m_fd >= 0 && ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool File::seek_end() {
    return m_fd >= 0 && ::lseek(m_fd, 0, SEEK_END) >= 0;
}

bool File::truncate_here() {
    if (m_fd < 0)
        return false;
    const off_t here = ::lseek(m_fd, 0, SEEK_CUR);
    return here >= 0 && ::ftruncate(m_fd, here) == 0;
}

} // namespace vt::platform
