#include "engine/target_naming.h"

#include "base/fixed_text.h"
#include "base/text.h"
#include "platform/paths.h"

namespace vt::engine {
namespace {

constexpr std::size_t kNameLimit = platform::kMaxPath - 1;

std::u16string replace(std::u16string_view text, std::u16string_view from, std::u16string_view to) {
    return base::replace_all(text, from, to, kNameLimit);
}

// The folder's last component, the way "%f" shows it.
std::u16string_view folder_label(std::u16string_view target_path) {
    const std::u16string_view folder = base::trim(platform::folder_of(target_path), u"/ \t\r\n");
    return platform::file_name_of(folder);
}

} // namespace

std::u16string plain_target_path(std::u16string_view target_folder, std::u16string_view file_name,
                                 std::u16string_view target_extension) {
    std::u16string name(platform::stem_of(file_name));
    name.append(target_extension);
    return platform::join_path(target_folder, name);
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

    std::u16string extension(platform::extension_of(target_name));
    if (job.lowercase)
        base::lower_in_place(extension);
    name.append(extension);
    name.resize(base::cut_length(name, kNameLimit));
    return name;
}

std::u16string renamed_target_path(const ConversionJob& job, const NamingInput& in) {
    return platform::join_path(platform::folder_of(in.target_path), renamed_file_name(job, in));
}

} // namespace vt::engine
