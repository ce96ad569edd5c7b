#include "suite/core/markup_text.h"

#include <cstring>
#include <unordered_set>

namespace vt::core {

namespace {

bool is_separator(char c) noexcept {
    return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool ends_value(char c) noexcept {
    return c == ';' || c == '\r' || c == '\n';
}

} // namespace

std::string lower_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::vector<MarkupEntry> parse_markup(std::string_view text) {
    std::vector<MarkupEntry> entries;
    std::unordered_set<std::string> seen;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && is_separator(text[at]))
            ++at;
        const std::size_t key_start = at;
        while (at < text.size() && text[at] != '=' && !is_separator(text[at]))
            ++at;
        const std::string_view key = text.substr(key_start, at - key_start);
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
            ++at;
        if (at >= text.size() || text[at] != '=') {
            // Not an entry: skip to the next end of value.
            while (at < text.size() && !ends_value(text[at]))
                ++at;
            continue;
        }
        const std::size_t value_start = ++at;
        while (at < text.size() && !ends_value(text[at]))
            ++at;
        if (key.empty())
            continue;
        std::string lower = lower_ascii(key);
        if (seen.insert(lower).second)
            entries.push_back({std::move(lower), text.substr(value_start, at - value_start)});
    }
    return entries;
}

MarkupWriter::MarkupWriter(char* out, std::uint32_t capacity) noexcept
    : m_out(out), m_capacity(capacity) {
    if (m_out != nullptr && m_capacity > 0)
        m_out[0] = '\0';
}

bool MarkupWriter::add(std::string_view key, std::string_view value) noexcept {
    const std::size_t length = 2 + key.size() + 1 + value.size() + 1;
    if (m_full || m_out == nullptr || m_used + length + 1 > m_capacity) {
        m_full = true;
        return false;
    }
    char* p = m_out + m_used;
    std::memcpy(p, "\r\n", 2);
    std::memcpy(p + 2, key.data(), key.size());
    p[2 + key.size()] = '=';
    std::memcpy(p + 3 + key.size(), value.data(), value.size());
    p[length - 1] = ';';
    p[length] = '\0';
    m_used += length;
    ++m_entries;
    return true;
}

} // namespace vt::core
