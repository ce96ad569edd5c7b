#include "lang/language_table.h"

#include <algorithm>

#include "base/text.h"

namespace vt::lang {
namespace {

constexpr std::u16string_view kBlanks = u" \r\n\t";

struct Range {
    char16_t first, last;
};

// Sorted, for the binary search below.
constexpr Range kLetterRanges[] = {
    {u'A', u'Z'},     {u'a', u'z'},     {0xAA, 0xAA},     {0xB5, 0xB5},     {0xBA, 0xBA},
    {0xC0, 0xD6},     {0xD8, 0xF6},     {0xF8, 0x2AF},    {0x386, 0x386},   {0x388, 0x3FF},
    {0x400, 0x481},   {0x48A, 0x52F},   {0x531, 0x556},   {0x561, 0x587},   {0x5D0, 0x5EA},
    {0x620, 0x64A},   {0x671, 0x6D3},   {0xE01, 0xE30},   {0xE32, 0xE33},   {0xE40, 0xE46},
    {0x1E00, 0x1EFF}, {0x3041, 0x3096}, {0x30A1, 0x30FA}, {0x30FC, 0x30FF}, {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF}, {0xAC00, 0xD7A3}, {0xF900, 0xFAFF},
};

std::u16string_view trimmed(std::u16string_view text) {
    return base::trim(text, kBlanks);
}

bool has_upper(std::u16string_view text) {
    return std::any_of(text.begin(), text.end(), is_upper);
}

bool has_lower(std::u16string_view text) {
    return std::any_of(text.begin(), text.end(), is_lower);
}

} // namespace

bool is_letter(char16_t c) noexcept {
    const auto* end = std::end(kLetterRanges);
    const auto* it = std::lower_bound(std::begin(kLetterRanges), end, c,
                                      [](const Range& r, char16_t v) { return r.last < v; });
    return it != end && it->first <= c;
}

bool is_digit(char16_t c) noexcept {
    return c >= u'0' && c <= u'9';
}

bool is_upper(char16_t c) noexcept {
    return base::to_lower(c) != c;
}

bool is_lower(char16_t c) noexcept {
    return base::to_upper(c) != c;
}

std::optional<LanguageTable> LanguageTable::parse(std::u16string text) {
    constexpr std::u16string_view kBegin = u"#XLAT_BEGIN", kEnd = u"#XLAT_END", kCode = u"#CODE";
    const std::u16string_view all(text);
    const std::size_t begin = all.find(kBegin);
    if (begin == std::u16string_view::npos)
        return std::nullopt;

    LanguageTable table;
    if (const std::size_t at = all.find(kCode); at != std::u16string_view::npos) {
        std::u16string_view rest = all.substr(at + kCode.size());
        rest = rest.substr(0, rest.find(u'\n'));
        if (const std::size_t eq = rest.find(u'='); eq != std::u16string_view::npos) {
            const std::u16string_view code = base::trim(rest.substr(eq + 1, 64), u"= \r\n\t");
            if (code.size() >= 2 && code.size() <= 7)
                table.m_code = code;
        }
    }

    const std::size_t first_line = all.find(u'\n', begin);
    std::size_t pos = first_line == std::u16string_view::npos ? all.size() : first_line + 1;
    while (all.size() - pos >= 4 && table.m_entries.size() < kMaxEntries) {
        std::size_t line_end = all.find(u'\n', pos);
        if (line_end == std::u16string_view::npos)
            line_end = all.size();
        std::u16string_view line = trimmed(all.substr(pos, line_end - pos));
        pos = std::min(line_end + 1, all.size());
        if (line.find(kEnd) != std::u16string_view::npos)
            break;
        line.remove_prefix(std::min(line.find_first_not_of(u'='), line.size()));
        const std::size_t eq = line.find(u'=');
        if (eq == std::u16string_view::npos)
            continue;
        const std::u16string_view raw_value = line.substr(eq + 1);
        const std::u16string_view key = trimmed(line.substr(0, eq)).substr(0, kMaxEntryChars);
        const std::u16string_view value =
            trimmed(raw_value.substr(0, raw_value.find(u'='))).substr(0, kMaxEntryChars);
        if (key.empty() || value.empty())
            continue;
        const auto offset = [&](std::u16string_view part) {
            return static_cast<std::uint32_t>(part.data() - all.data());
        };
        table.m_entries.push_back({offset(key), static_cast<std::uint32_t>(key.size()),
                                   offset(value), static_cast<std::uint32_t>(value.size())});
    }
    table.m_text = std::move(text);
    return table;
}

std::u16string_view LanguageTable::key(std::size_t i) const noexcept {
    const Entry& e = m_entries[i];
    return std::u16string_view(m_text).substr(e.key_at, e.key_length);
}

std::u16string_view LanguageTable::value(std::size_t i) const noexcept {
    const Entry& e = m_entries[i];
    return std::u16string_view(m_text).substr(e.value_at, e.value_length);
}

std::optional<std::u16string> LanguageTable::lookup(std::u16string_view k, bool ignore_case) const {
    if (k.empty())
        return std::nullopt;
    const char16_t first = k.front(), first_lower = base::to_lower(first);
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry& e = m_entries[i];
        if (e.key_length != k.size())
            continue;
        const char16_t key_first = m_text[e.key_at];
        const bool match = ignore_case
                               ? base::to_lower(key_first) == first_lower && base::iequal(key(i), k)
                               : key_first == first && key(i) == k;
        if (!match)
            continue;
        std::u16string result(value(i));
        if (ignore_case && !has_upper(result) && is_upper(first)) {
            if (has_lower(k))
                result.front() = base::to_upper(result.front());
            else
                std::transform(result.begin(), result.end(), result.begin(),
                               [](char16_t c) { return base::to_upper(c); });
        }
        return result;
    }
    return std::nullopt;
}

} // namespace vt::lang
