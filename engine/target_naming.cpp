#include "engine/target_naming.h"

#include <algorithm>

#include "base/fixed_text.h"
#include "base/text.h"
#include "base/utf.h"
#include "platform/paths.h"

namespace vt::engine {
namespace {

constexpr std::size_t kNameLimit = platform::kMaxPath - 1;
constexpr std::size_t kNameBytes = 255; // NAME_MAX

std::u16string replace(std::u16string_view text, std::u16string_view from, std::u16string_view to) {
    return base::replace_all(text, from, to, kNameLimit);
}

// The folder's last component, the way "%f" shows it.
std::u16string_view folder_label(std::u16string_view target_path) {
    const std::u16string_view folder = base::trim(platform::folder_of(target_path), u"/ \t\r\n");
    return platform::file_name_of(folder);
}

// A built name is one file inside its folder: a "/" (or a NUL, which would end the name early)
// becomes "_". The job's own pattern, replacement and extension are refused before this
// (job_checks.h); a job record from elsewhere still reaches here.
std::u16string one_component(std::u16string_view text) {
    std::u16string out(text);
    std::replace_if(
        out.begin(), out.end(), [](char16_t c) { return c == u'/' || c == u'\0'; }, u'_');
    return out;
}

// A renamed file stays visible: a leading "." (from a source name, "%f" or a replacement) or an
// empty name, which would leave only the hidden ".ext", becomes "_".
void keep_visible(std::u16string& stem) {
    if (stem.empty())
        stem.push_back(u'_');
    else if (stem.front() == u'.')
        stem.front() = u'_';
}

} // namespace

std::u16string fit_file_name(std::u16string_view stem, std::u16string_view extension) {
    // File names end at NAME_MAX bytes (their UTF-8 form), not characters; the extension keeps
    // the type, so the stem is cut, on a character boundary.
    const std::size_t ext_bytes = base::utf8_size(extension);
    const std::size_t budget = ext_bytes < kNameBytes ? kNameBytes - ext_bytes : 0;
    std::u16string name = one_component(stem.substr(0, base::utf8_fitting_units(stem, budget)));
    name.append(
        one_component(extension.substr(0, base::utf8_fitting_units(extension, kNameBytes))));
    return name;
}

std::u16string plain_target_path(std::u16string_view target_folder, std::u16string_view file_name,
                                 std::u16string_view target_extension) {
    return platform::join_path(target_folder,
                               fit_file_name(platform::stem_of(file_name), target_extension));
}

int sequence_width(std::uint32_t folder_count) noexcept {
    return folder_count <= 1 ? 1 : base::decimal_digits(folder_count - 1u);
}

std::u16string renamed_file_name(const ConversionJob& job, const NamingInput& in) {
    const std::u16string_view target_name = platform::file_name_of(in.target_path);
    const std::u16string_view base_name = platform::stem_of(target_name);

    std::u16string name(job.renamePattern.view());
    name = replace(name, u"%s", base_name);
    name = replace(name, u"%f", folder_label(in.target_path));
    name = replace(name, u"%w", base::decimal(in.width));
    name = replace(name, u"%h", base::decimal(in.height));
    name = replace(name, u"%nn", base::decimal(in.sequence, sequence_width(in.folder_count)));
    name = replace(name, u"%n", base::decimal(in.sequence));
    if (job.replaceText)
        name = replace(name, job.replaceFrom.view(), job.replaceTo.view());
    if (job.lowercase)
        base::lower_in_place(name);
    keep_visible(name);

    std::u16string extension(platform::extension_of(target_name));
    if (job.lowercase)
        base::lower_in_place(extension);
    return fit_file_name(name, extension);
}

std::u16string renamed_target_path(const ConversionJob& job, const NamingInput& in) {
    return platform::join_path(platform::folder_of(in.target_path), renamed_file_name(job, in));
}

} // namespace vt::engine
