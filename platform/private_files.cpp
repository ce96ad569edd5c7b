#include "platform/private_files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/utf.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace vt::platform {
namespace {

bool private_mode(const struct stat& st) {
    return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool folder_private(const std::string& os) {
    struct stat st {};
    return ::stat(os.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && private_mode(st);
}

std::u16string_view without_trailing_slash(std::u16string_view path) {
    while (path.size() > 1 && path.back() == kSeparator)
        path.remove_suffix(1);
    return path;
}

// Whether `inner` is `outer` or lies below it, by text.
bool at_or_below(std::u16string_view inner, std::u16string_view outer) {
    return inner == outer || (inner.size() > outer.size() && inner.starts_with(outer) &&
                              (inner[outer.size()] == kSeparator || outer == u"/"));
}

} // namespace

bool folders_private(std::u16string_view folder, std::u16string_view root) {
    folder = without_trailing_slash(folder);
    root = without_trailing_slash(root);
    if (folder.empty())
        return false;
    if (root.empty() || !at_or_below(folder, root))
        return folder_private(to_os_path(folder));
    for (std::u16string_view at = folder;; at = folder_of(at)) {
        if (!folder_private(to_os_path(at)))
            return false;
        if (at.size() <= root.size())
            return true;
    }
}

bool file_private(int fd) noexcept {
    struct stat st {};
    return fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && private_mode(st);
}

std::u16string data_root_problem(std::u16string_view root) {
    struct stat st {};
    if (root.empty() || ::stat(to_os_path(root).c_str(), &st) != 0)
        return {};
    const std::u16string quoted = u"The data folder \"" + std::u16string(root) + u"\"";
    const std::u16string_view unused =
        u": plug-in registries, plug-in options and pending operations are neither read from it "
        u"nor written to it.";
    if (st.st_uid != ::geteuid())
        return quoted + u" belongs to another user" + std::u16string(unused);
    if (!S_ISDIR(st.st_mode) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return quoted + u" may be changed by other users" + std::u16string(unused);
    return {};
}

std::optional<std::u16string> real_path(std::u16string_view path) {
    if (path.empty())
        return std::nullopt;
    const std::unique_ptr<char, decltype(&std::free)> resolved(
        ::realpath(to_os_path(path).c_str(), nullptr), &std::free);
    if (!resolved)
        return std::nullopt;
    return base::utf8_to_utf16(resolved.get());
}

bool really_inside(std::u16string_view path, std::u16string_view folder) {
    const auto real = real_path(path);
    const auto real_folder = real_path(folder);
    return real && real_folder && *real != *real_folder && at_or_below(*real, *real_folder);
}

bool File::open_private(std::u16string_view path, Mode mode, std::u16string_view root) {
    close();
    if (!folders_private(folder_of(path), root)) {
        errno = EACCES;
        return false;
    }
    const int flags = mode == Mode::read ? O_RDONLY : (O_RDWR | O_CREAT);
    m_fd = ::open(to_os_path(path).c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (m_fd >= 0 && !file_private(m_fd)) {
        close();
        errno = EACCES;
    }
    return m_fd >= 0;
}

} // namespace vt::platform
