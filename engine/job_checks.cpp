#include "engine/job_checks.h"

#include "base/text.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace vt::engine {
namespace {

constexpr Refusal kSourceTooShort{u"Source path invalid or too short", u"Source Folder Error"};
constexpr Refusal kSourceMissing{u"Source path does not exist", u"Source Folder Error"};
constexpr Refusal kSourceEmpty{u"Source path is an empty folder", u"Source Folder Error"};
constexpr Refusal kSourceUnreadable{u"Source path cannot be read", u"Source Folder Error"};
constexpr Refusal kTargetTooShort{u"Target path invalid or too short", u"Target Folder Error"};
constexpr Refusal kTargetNotEmpty{u"Target path is not empty", u"Target Folder Error"};
constexpr Refusal kTargetIsFile{u"Target path is a file, not a folder", u"Target Folder Error"};
constexpr Refusal kTargetDenied{u"Access to target folder denied",
                                u"The destination is READ-ONLY."};

// Whether a folder holds any entry besides "." and "..".
bool holds_entries(std::u16string_view folder) {
    platform::DirListing listing(folder);
    for (platform::DirEntry e; listing.next(e);)
        if (e.name != u"." && e.name != u"..")
            return true;
    return false;
}

// A folder text the pages accept: absolute and not the root itself.
bool usable_path(std::u16string_view folder) {
    return folder.size() >= 2 && folder.front() == platform::kSeparator;
}

bool can_create_file_in(std::u16string_view folder) {
    const std::u16string probe = platform::join_path(folder, u"_tst$54321.tmp");
    platform::File file;
    if (!file.open(probe, platform::File::Mode::read_write_create))
        return false;
    file.close();
    return platform::delete_file(probe, true);
}

// "(0001)": a "(", four digits and ")".
bool is_number_suffix(std::u16string_view tail) {
    if (tail.size() != 6 || tail.front() != u'(' || tail.back() != u')')
        return false;
    for (std::size_t i = 1; i < 5; ++i)
        if (tail[i] < u'0' || tail[i] > u'9')
            return false;
    return true;
}

} // namespace

std::u16string tidy_folder(std::u16string_view text) {
    std::u16string folder(base::trim(text, u" \t\r\n"));
    while (!folder.empty() &&
           (folder.back() == u' ' || folder.back() == u'/' || folder.back() == u'\\'))
        folder.pop_back();
    return folder;
}

std::optional<Refusal> check_source_folder(std::u16string& folder) {
    folder = tidy_folder(folder);
    if (!usable_path(folder))
        return kSourceTooShort;
    if (!platform::is_directory(folder))
        return kSourceMissing;
    if (!platform::DirListing(folder).is_open())
        return kSourceUnreadable;
    if (!holds_entries(folder))
        return kSourceEmpty;
    return std::nullopt;
}

std::optional<Refusal> check_target_folder(std::u16string& folder, bool overwrite, bool create) {
    folder = tidy_folder(folder);
    if (!usable_path(folder))
        return kTargetTooShort;
    if (!overwrite && platform::is_directory(folder) && holds_entries(folder))
        return kTargetNotEmpty;
    if (platform::is_file(folder))
        return kTargetIsFile;
    if (!create)
        return std::nullopt;
    if (!platform::create_folder_chain(folder) || !can_create_file_in(folder))
        return kTargetDenied;
    return std::nullopt;
}

std::optional<Refusal> check_distinct_folders(std::u16string_view source,
                                              std::u16string_view target) {
    if (source == target || platform::same_file(source, target))
        return Refusal{u"Source and target must be different folders", u"Target Folder Error"};
    return std::nullopt;
}

std::u16string propose_target_folder(std::u16string_view source, std::u16string_view target,
                                     bool overwrite) {
    std::u16string name(target);
    if (name.size() < 3)
        name = std::u16string(source) + u" (Converted)";
    name = std::u16string(base::trim(name, u" \t\r\n"));
    if (overwrite)
        return name;
    const std::size_t paren = name.rfind(u'(');
    if (paren != std::u16string::npos && is_number_suffix(std::u16string_view(name).substr(paren)))
        name = std::u16string(base::trim(std::u16string_view(name).substr(0, paren), u" \t\r\n"));
    if (!(platform::is_directory(name) && holds_entries(name)))
        return name;
    for (int i = 1; i <= 999; ++i) {
        std::u16string candidate = name + u" (" + base::decimal(static_cast<unsigned>(i), 4) + u")";
        if (!(platform::is_directory(candidate) && holds_entries(candidate)))
            return candidate;
    }
    return name;
}

std::optional<Refusal> check_renaming(const ConversionJob& job) {
    if (!job.rename)
        return std::nullopt;
    const std::u16string_view pattern = job.renamePattern.view();
    if (pattern.find(u"%s") == std::u16string_view::npos &&
        pattern.find(u"%n") == std::u16string_view::npos)
        return Refusal{u"Pattern must include either %s, %n or %nn", u"Rename Pattern Error"};
    // Every name stays a visible file directly in its target folder.
    if (pattern.find(u'/') != std::u16string_view::npos)
        return Refusal{u"Pattern can't include a folder separator (/)", u"Rename Pattern Error"};
    if (pattern.front() == u'.')
        return Refusal{u"Pattern can't begin with a dot: the files would be hidden",
                       u"Rename Pattern Error"};
    if (!job.replaceText)
        return std::nullopt;
    if (job.replaceFrom.empty())
        return Refusal{u"The first replacement verb can't be empty", u"Rename Replacement Error"};
    if (job.replaceTo.view().find(u'/') != std::u16string_view::npos)
        return Refusal{u"The replacement can't include a folder separator (/)",
                       u"Rename Replacement Error"};
    // The pattern's literal start is the same for every file: if the replacement turns it into
    // a dot, every name would be hidden.
    const std::u16string_view literal = pattern.substr(0, pattern.find(u'%'));
    if (!literal.empty() &&
        base::replace_all(literal, job.replaceFrom.view(), job.replaceTo.view(), platform::kMaxPath)
            .starts_with(u'.'))
        return Refusal{u"The replacement can't make names begin with a dot: the files would be "
                       u"hidden",
                       u"Rename Replacement Error"};
    return std::nullopt;
}

std::optional<Refusal> check_target_format(const ConversionJob& job) {
    if (job.targetExtension.size() < 2)
        return Refusal{u"You must specify an output file format", u"File Format Error"};
    if (job.targetExtension.view().find(u'/') != std::u16string_view::npos)
        return Refusal{u"The file format can't include a folder separator (/)",
                       u"File Format Error"};
    return std::nullopt;
}

std::optional<Refusal> check_resizing(const ConversionJob& job) {
    if (job.resizeMode > 0 && !resize_applies(job))
        return Refusal{u"Output dimensions are not valid", u"Output Size Error"};
    return std::nullopt;
}

std::u16string normalize_extension(std::u16string_view text) {
    const std::size_t dot = text.find(u'.');
    std::u16string ext = dot == std::u16string_view::npos ? u"." + std::u16string(text)
                                                          : std::u16string(text.substr(dot));
    ext.resize(std::min<std::size_t>(ext.size(), 31));
    base::lower_in_place(ext);
    return ext;
}

} // namespace vt::engine
