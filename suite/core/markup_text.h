#pragma once
// Reading and writing markup text: entries "key=value;" separated by any mix of ";", blanks,
// tabs, "\r" and "\n"; keys compared without regard to ASCII case.
// Thread: any (no state).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vt::core {

struct MarkupEntry {
    std::string key; // lower-case
    std::string_view value;
};

// Every entry of the text in order; a key written twice keeps its first value.
std::vector<MarkupEntry> parse_markup(std::string_view text);

std::string lower_ascii(std::string_view text);

// Appends "\r\nkey=value;" entries to a caller's buffer, always NUL-terminated, never past its
// capacity; once an entry does not fit, later ones are refused too (the text is cut at an entry
// boundary).
class MarkupWriter {
public:
    MarkupWriter(char* out, std::uint32_t capacity) noexcept;
    bool add(std::string_view key, std::string_view value) noexcept;
    std::uint32_t entries() const noexcept { return m_entries; }

private:
    char* m_out;
    std::size_t m_capacity;
    std::size_t m_used = 0;
    std::uint32_t m_entries = 0;
    bool m_full = false;
};

} // namespace vt::core
