#include "platform/folders.h"

#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

#include "base/text.h"
#include "base/utf.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace vt::platform {
namespace {

std::u16string with_slash(std::u16string folder) {
    if (!folder.empty() && folder.back() != kSeparator)
        folder.push_back(kSeparator);
    return folder;
}

std::u16string created(std::u16string folder) {
    return create_folder_chain(folder) ? folder : std::u16string{};
}

// <prefix>/`sub` for a program in <prefix>/bin when that folder exists; else the module folder.
// A relative "bin" has no prefix we could know without the current folder.
std::u16string beside_prefix(std::u16string_view module, std::u16string_view sub) {
    std::u16string_view trimmed = module;
    while (trimmed.size() > 1 && trimmed.back() == kSeparator)
        trimmed.remove_suffix(1);
    if (file_name_of(trimmed) == u"bin") {
        const std::u16string_view prefix = folder_of(trimmed);
        std::u16string folder = prefix.empty() ? std::u16string{} : join_path(prefix, sub);
        if (!folder.empty() && is_directory(folder))
            return folder;
    }
    return std::u16string(module);
}

// $var, else $HOME joined with `home_sub`; empty when neither is set.
std::u16string env_or_home(const char* var, std::u16string_view home_sub) {
    std::u16string value = environment(var);
    if (!value.empty())
        return value;
    const std::u16string home = environment("HOME");
    return home.empty() ? std::u16string{} : join_path(home, home_sub);
}

} // namespace

std::u16string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? base::utf8_to_utf16(value) : std::u16string{};
}

std::u16string module_folder() {
    std::string buffer(kMaxPath, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return {};
    buffer.resize(static_cast<std::size_t>(n));
    return std::u16string(folder_of(base::utf8_to_utf16(buffer)));
}

std::u16string installed_folder_of(std::u16string_view module) {
    return module.empty() ? std::u16string{} : beside_prefix(module, u"lib/vantrel");
}

std::u16string data_folder_of(std::u16string_view module) {
    return module.empty() ? std::u16string{} : beside_prefix(module, u"share/vantrel");
}

std::u16string plugins_folder() {
    const std::u16string folder = installed_folder_of(module_folder());
    return folder.empty() ? std::u16string{} : with_slash(join_path(folder, u"Plugins"));
}

std::u16string data_folder() {
    return data_folder_of(module_folder());
}

std::u16string suite_program_folder() {
    std::u16string configured(base::trim(environment("VANTREL_PATH")));
    while (configured.size() > 1 && configured.back() == kSeparator)
        configured.pop_back();
    return configured.empty() ? installed_folder_of(module_folder()) : configured;
}

bool is_portable() {
    const std::u16string suite = suite_program_folder();
    return !suite.empty() && is_directory(join_path(suite, u"Portable"));
}

std::u16string suite_data_root() {
    const std::u16string configured = environment("VANTREL_DATA_ROOT");
    if (!configured.empty())
        return created(configured);
    if (is_portable())
        return created(join_path(suite_program_folder(), u"Portable/Sys/AppData"));
    const std::u16string xdg = env_or_home("XDG_DATA_HOME", u".local/share");
    return xdg.empty() ? std::u16string{} : created(join_path(xdg, u"Vantrel"));
}

std::u16string program_data_folder() {
    const std::u16string root = suite_data_root();
    if (root.empty())
        return {};
    std::u16string folder = created(join_path(root, u"Converter"));
    if (folder.empty())
        return {};
    keep_private(root);
    keep_private(folder);
    return with_slash(folder);
}

std::u16string user_dir_from(std::string_view text, std::string_view key,
                             std::u16string_view home) {
    std::u16string found;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (!line.starts_with(key) || line.substr(key.size()).size() < 3 ||
            line.substr(key.size(), 2) != "=\"")
            continue;
        line.remove_prefix(key.size() + 2);
        const std::size_t quote = line.find('"');
        if (quote == std::string_view::npos)
            continue;
        const std::string_view value = line.substr(0, quote);
        if (value.starts_with("$HOME") && (value.size() == 5 || value[5] == '/')) {
            if (!home.empty())
                found = std::u16string(home) + base::utf8_to_utf16(value.substr(5));
        } else if (value.starts_with('/')) {
            found = base::utf8_to_utf16(value);
        }
    }
    while (found.size() > 1 && found.back() == kSeparator)
        found.pop_back();
    return found;
}

std::u16string documents_folder() {
    std::u16string documents = environment("XDG_DOCUMENTS_DIR");
    if (!documents.empty())
        return documents;
    const std::u16string config = env_or_home("XDG_CONFIG_HOME", u".config");
    constexpr std::size_t kMostBytes = 64 * 1024;
    if (!config.empty())
        if (const auto text = read_file_prefix(join_path(config, u"user-dirs.dirs"), kMostBytes))
            documents = user_dir_from(*text, "XDG_DOCUMENTS_DIR", environment("HOME"));
    if (!documents.empty())
        return documents;
    const std::u16string home = environment("HOME");
    return home.empty() ? std::u16string{} : join_path(home, u"Documents");
}

std::u16string shared_content_folder() {
    if (is_portable())
        return created(join_path(suite_program_folder(), u"Portable/Extras/Content"));
    const std::u16string documents = documents_folder();
    return documents.empty() ? std::u16string{} : created(join_path(documents, u"Vantrel"));
}

std::u16string temp_folder(std::u16string_view override_folder) {
    const std::u16string_view trimmed = base::trim(override_folder);
    if (!trimmed.empty())
        return std::u16string(trimmed);
    std::u16string tmp = environment("TMPDIR");
    return tmp.empty() ? std::u16string(u"/tmp") : tmp;
}

void keep_private(std::u16string_view path) noexcept {
    const std::string os = to_os_path(path);
    struct stat st {};
    if (::lstat(os.c_str(), &st) == 0 && !S_ISLNK(st.st_mode) && st.st_uid == ::geteuid())
        (void)::chmod(os.c_str(), S_ISDIR(st.st_mode) ? 0700 : 0600);
}

} // namespace vt::platform
