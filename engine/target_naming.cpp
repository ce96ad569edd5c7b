#include "engine/target_naming.h"

#include <algorithm>

#include "base/fixed_text.h"
#include "base/text.h"
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

// UTF-8 length of one UTF-16 unit as the file name gets it: an escaped raw byte is one byte, a
// lone surrogate becomes U+FFFD (a pair, 4 bytes, is counted by the caller).
std::size_t utf8_bytes(char16_t c) noexcept {
    if (c < 0x80 || (c >= 0xDC80 && c <= 0xDCFF))
        return 1;
    return c < 0x800 ? 2 : 3;
}

std::size_t utf8_length(std::u16string_view text) noexcept {
    std::size_t n = 0;
    for (const char16_t c : text)
        n += utf8_bytes(c);
    return n;
}

} // namespace

std::u16string fit_file_name(std::u16string_view stem, std::u16string_view extension) {
    // File names end at NAME_MAX bytes (their UTF-8 form), not characters; the extension keeps
    // the type, so the stem is cut, on a character boundary.
    std::size_t budget =
        utf8_length(extension) < kNameBytes ? kNameBytes - utf8_length(extension) : 0;
    std::size_t keep = 0;
    while (keep < stem.size()) {
        const bool pair = stem[keep] >= 0xD800 && stem[keep] <= 0xDBFF && keep + 1 < stem.size() &&
                          stem[keep + 1] >= 0xDC00 && stem[keep + 1] <= 0xDFFF;
        const std::size_t units = pair ? 2 : 1;
        const std::size_t bytes = pair ? 4 : utf8_bytes(stem[keep]);
        if (bytes > budget)
            break;
        budget -= bytes;
        keep += units;
    }
    std::u16string name(stem.substr(0, keep));
    name.append(extension.substr(0, std::min(extension.size(), kNameBytes)));
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

    std::u16string extension(platform::extension_of(target_name));
    if (job.lowercase)
        base::lower_in_place(extension);
    return fit_file_name(name, extension);
}

std::u16string renamed_target_path(const ConversionJob& job, const NamingInput& in) {
    return platform::join_path(platform::folder_of(in.target_path), renamed_file_name(job, in));
}

} // namespace vt::engine
