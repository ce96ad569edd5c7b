#include "platform/paths.h"

#include "base/fixed_text.h"

namespace vt::platform {

std::u16string join_path(std::u16string_view folder, std::u16string_view name) {
    std::u16string out(folder);
    if (!out.empty() && out.back() != kSeparator && !name.empty() && name.front() != kSeparator)
        out.push_back(kSeparator);
    else if (!out.empty() && out.back() == kSeparator && !name.empty() &&
             name.front() == kSeparator)
        name.remove_prefix(1);
    out.append(name);
    out.resize(base::cut_length(out, kMaxPath - 1));
    return out;
}

std::u16string_view file_name_of(std::u16string_view path) noexcept {
    const std::size_t slash = path.rfind(kSeparator);
    return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

std::u16string_view folder_of(std::u16string_view path) noexcept {
    const std::size_t slash = path.rfind(kSeparator);
    if (slash == std::u16string_view::npos)
        return {};
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::u16string_view extension_of(std::u16string_view path) noexcept {
    const std::u16string_view name = file_name_of(path);
    const std::size_t dot = name.rfind(u'.');
    return dot == std::u16string_view::npos ? std::u16string_view{} : name.substr(dot);
}

std::u16string_view stem_of(std::u16string_view path) noexcept {
    const std::u16string_view name = file_name_of(path);
    return name.substr(0, name.size() - extension_of(name).size());
}

} // namespace vt::platform
