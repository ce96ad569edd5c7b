#include "image/markup.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace vt::image {

namespace {

constexpr std::size_t kMergeValueCapacity = 1024;
constexpr std::size_t kRationalCopy = 1024;

char fold(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool starts_with_folded(const char* text, std::string_view key) noexcept {
    for (std::size_t i = 0; i < key.size(); ++i)
        if (text[i] == '\0' || fold(text[i]) != fold(key[i]))
            return false;
    return true;
}

bool ends_value(char c) noexcept {
    return c == ';' || c == '\r' || c == '\n' || c == '\0';
}

bool is_line_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool key_usable(std::string_view key) noexcept {
    return !key.empty() && key.size() <= kMaxMarkupKey && key.find('\0') == std::string_view::npos;
}

// Length of a text that must end inside its capacity, or npos.
std::size_t bounded_length(const char* text, std::size_t capacity) noexcept {
    const void* nul = std::memchr(text, '\0', capacity);
    return nul == nullptr ? std::string_view::npos
                          : static_cast<std::size_t>(static_cast<const char*>(nul) - text);
}

// Writes the pieces at text[at], cut at the capacity, and terminates.
void write_at(char* text, std::size_t capacity, std::size_t at,
              std::initializer_list<std::string_view> pieces) noexcept {
    if (at >= capacity)
        return;
    for (std::string_view piece : pieces) {
        const std::size_t n = std::min(piece.size(), capacity - 1 - at);
        std::memmove(text + at, piece.data(), n);
        at += n;
    }
    text[at] = '\0';
}

// The first position at or after `from` holding '=', within the text.
const char* next_equals(const char* from) noexcept {
    return std::strchr(from, '=');
}

// Parses the longest decimal number at `p` (after blanks and a '+'), as strtod would in the
// "C" locale. Returns 0 when there is none.
double leading_number(const char* p) noexcept {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\f' || *p == '\v')
        ++p;
    if (*p == '+' && p[1] != '-')
        ++p;
    const char* end = p + std::strlen(p);
    double value = 0;
    const auto result = std::from_chars(p, end, value);
    return result.ec == std::errc()
               ? value
               : (result.ec == std::errc::result_out_of_range ? (*p == '-' ? -HUGE_VAL : HUGE_VAL)
                                                              : 0.0);
}

const char* skip_to_number(const char* p) noexcept {
    return p + std::strcspn(p, "-+1234567890");
}

} // namespace

const char* locate_markup_key(const char* text, std::string_view key) noexcept {
    if (text == nullptr || !key_usable(key))
        return nullptr;
    for (char separator : {'=', ' ', '\t'}) {
        for (const char* p = text; *p != '\0'; ++p)
            if (starts_with_folded(p, key) && p[key.size()] == separator)
                return p;
    }
    return nullptr;
}

const char* find_markup_value(const char* text, std::string_view key, char* value,
                              std::size_t value_capacity, const char** value_end) noexcept {
    if (value == nullptr || value_capacity == 0)
        return nullptr;
    const char* found = locate_markup_key(text, key);
    if (found == nullptr)
        return nullptr;
    const char* equals = next_equals(found + key.size());
    if (equals == nullptr)
        return nullptr;
    const char* p = equals + 1;
    std::size_t n = 0;
    while (!ends_value(*p) && n < value_capacity - 1)
        value[n++] = *p++;
    value[n] = '\0';
    if (value_end != nullptr)
        *value_end = p;
    return found;
}

int set_markup_value(char* text, std::size_t capacity, std::string_view key,
                     std::string_view value) noexcept {
    if (text == nullptr || capacity == 0 || !key_usable(key) || value.data() == nullptr)
        return 0;
    std::size_t length = bounded_length(text, capacity);
    if (length == std::string_view::npos)
        return 0;
    const char* found = locate_markup_key(text, key);
    if (found == nullptr) {
        while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n'))
            --length;
        write_at(text, capacity, length, {"\r\n", key, "=", value, ";"});
        return kMarkupAppended;
    }
    const char* stored_equals = next_equals(found + key.size());
    if (stored_equals == nullptr)
        return 0;
    char* equals = text + (stored_equals - text);
    const char* old_end = equals + 1;
    while (!ends_value(*old_end))
        ++old_end;
    if (*old_end == ';')
        ++old_end;
    try {
        const std::string rest(old_end);
        write_at(text, capacity, static_cast<std::size_t>(equals + 1 - text), {value, ";", rest});
    } catch (...) {
        return 0;
    }
    return kMarkupReplaced;
}

int delete_markup_entry(char* text, std::string_view key) noexcept {
    if (text == nullptr)
        return 0;
    key = key.substr(0, key.find('='));
    char* found = const_cast<char*>(locate_markup_key(text, key));
    if (found == nullptr)
        return 0;
    char* end = found + key.size();
    while (!ends_value(*end))
        ++end;
    while (*end == ';' || is_line_space(*end))
        ++end;
    std::memmove(found, end, std::strlen(end) + 1);
    return 1;
}

int merge_markup_entries(char* dest, std::size_t dest_capacity, const char* source,
                         std::string_view prefix) noexcept {
    if (dest == nullptr || dest_capacity == 0 || source == nullptr ||
        bounded_length(dest, dest_capacity) == std::string_view::npos)
        return 0;
    char value[kMergeValueCapacity];
    char probe[2];
    const char* p = source;
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (std::strlen(p) < 3)
            break;
        const std::size_t entry_length = std::strcspn(p, ";\r\n");
        const char* equals = static_cast<const char*>(std::memchr(p, '=', entry_length));
        if (equals != nullptr) {
            std::string_view key(p, std::min(static_cast<std::size_t>(equals - p), kMaxMarkupKey));
            while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
                key.remove_suffix(1);
            const bool wanted = !key.empty() && key.size() >= prefix.size() &&
                                std::equal(prefix.begin(), prefix.end(), key.begin(),
                                           [](char a, char b) { return fold(a) == fold(b); });
            if (wanted && find_markup_value(source, key, value, sizeof(value)) != nullptr &&
                find_markup_value(dest, key, probe, sizeof(probe)) == nullptr)
                set_markup_value(dest, dest_capacity, key, value);
        }
        p += entry_length;
        while (*p == ';' || *p == '\r' || *p == '\n')
            ++p;
    }
    return 1;
}

int trim_markup(char* text) noexcept {
    if (text == nullptr)
        return 0;
    std::size_t length = std::strlen(text);
    while (length > 0 && is_line_space(text[length - 1]))
        --length;
    text[length] = '\0';
    std::size_t start = 0;
    while (start < length && is_line_space(text[start]))
        ++start;
    if (start > 0)
        std::memmove(text, text + start, length - start + 1);
    return 1;
}

std::uint32_t markup_bit_depth(const char* text) noexcept {
    char value[64];
    if (find_markup_value(text, kKeyBitDepth, value, sizeof(value)) == nullptr)
        return 0;
    const char* p = value + std::strcspn(value, "0123456789");
    std::uint32_t depth = 0;
    const auto result = std::from_chars(p, value + std::strlen(value), depth);
    return result.ec == std::errc() ? depth : 0;
}

int parse_rational(const char* text, double* out) noexcept {
    if (text == nullptr || out == nullptr)
        return 0;
    *out = leading_number(text);
    const char* start = skip_to_number(text);
    if (*start == '\0')
        return 0;
    char copy[kRationalCopy + 1];
    const std::size_t n = std::min(std::strlen(start), kRationalCopy);
    std::memcpy(copy, start, n);
    copy[n] = '\0';
    char* slash = std::strchr(copy, '/');
    if (slash == nullptr)
        return 0;
    *slash = '\0';
    const double numerator = leading_number(copy);
    const char* after = skip_to_number(slash + 1);
    const double denominator = leading_number(after);
    *out = numerator / denominator;
    return 1;
}

} // namespace vt::image
