#pragma once
// A language file's translation table: English texts (keys) and their translations (values),
// in file order, read from the decoded text of the file (lang/text_decode.h).
//
//   #CODE = fr            anywhere: the language code (2 to 7 characters), kept, not used
//   ...
//   #XLAT_BEGIN           anywhere: the entries start on the next line
//   Open file=Ouvrir le fichier
//   Open = Ouvrir         key and value trimmed of blanks, CR, LF and tabs, cut at 4095
//   =Save=Enregistrer=x   leading "=" skipped; a value ends at the next "=" ("x" is dropped)
//   a line without "="    ignored, as is an entry whose key or value is empty
//   #XLAT_END             a line that contains it ends the entries
//
// Reading also stops at a line that begins fewer than 4 characters before the end of the text
// (so a last "a=b" without a line feed is not read) and after 32,768 entries. A text without
// "#XLAT_BEGIN" is no language file. Duplicate keys are kept; the first one wins.
// Thread: a table is immutable once parsed; any thread may look up.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt::lang {

inline constexpr std::size_t kMaxEntries = 32768;
inline constexpr std::size_t kMaxEntryChars = 4095;

class LanguageTable {
public:
    // The table of a decoded file; nothing when it has no "#XLAT_BEGIN".
    [[nodiscard]] static std::optional<LanguageTable> parse(std::u16string text);

    // The value of `key`, matched exactly, or with `ignore_case` ignoring case, in file order.
    // A value found ignoring case that holds no capital letter follows the key's capitals:
    // "Open" gives its first letter upper case, "OPEN" all of it.
    [[nodiscard]] std::optional<std::u16string> lookup(std::u16string_view key,
                                                       bool ignore_case) const;

    [[nodiscard]] std::size_t size() const noexcept { return m_entries.size(); }
    [[nodiscard]] std::u16string_view key(std::size_t i) const noexcept;
    [[nodiscard]] std::u16string_view value(std::size_t i) const noexcept;
    [[nodiscard]] const std::u16string& code() const noexcept { return m_code; }

private:
    struct Entry {
        std::uint32_t key_at, key_length, value_at, value_length;
    };

    std::u16string m_text; // the decoded file; entries point into it
    std::vector<Entry> m_entries;
    std::u16string m_code;
};

// Letters, digits and case as translation sees them: ASCII, Latin-1 and the Latin extensions,
// Greek, Cyrillic, Armenian, Hebrew, Arabic, Thai, kana, CJK and Hangul count as letters.
[[nodiscard]] bool is_letter(char16_t c) noexcept;
[[nodiscard]] bool is_digit(char16_t c) noexcept;
[[nodiscard]] bool is_upper(char16_t c) noexcept;
[[nodiscard]] bool is_lower(char16_t c) noexcept;

} // namespace vt::lang
