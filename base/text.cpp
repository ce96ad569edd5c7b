#include "base/text.h"

#include "base/fixed_text.h"

namespace vt::base {

std::size_t cut_length(std::u16string_view text, std::size_t limit) noexcept {
    if (text.size() <= limit)
        return text.size();
    std::size_t n = limit;
    if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF)
        --n;
    return n;
}

char16_t to_lower(char16_t c) noexcept {
    if (c < 0x80)
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return static_cast<char16_t>(c + 32);
    if (c >= 0x100 && c <= 0x17F) { // Latin Extended-A: mostly even upper, odd lower
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F)
            return c == 0x130 ? u'i' : c;
        const bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x178)
            return 0xFF;
        if (odd_upper)
            return (c & 1) ? static_cast<char16_t>(c + 1) : c;
        return (c & 1) ? c : static_cast<char16_t>(c + 1);
    }
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) // Greek capitals
        return static_cast<char16_t>(c + 32);
    if (c >= 0x410 && c <= 0x42F) // Cyrillic capitals
        return static_cast<char16_t>(c + 32);
    if (c >= 0x400 && c <= 0x40F)
        return static_cast<char16_t>(c + 80);
    return c;
}

char16_t to_upper(char16_t c) noexcept {
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<char16_t>(c - 32);
    if (c == 0xFF)
        return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F || c == 0x130)
            return c == 0x131 ? u'I' : c;
        const bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (odd_upper)
            return (c & 1) ? c : static_cast<char16_t>(c - 1);
        return (c & 1) ? static_cast<char16_t>(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2)
        return static_cast<char16_t>(c - 32);
    if (c >= 0x430 && c <= 0x44F)
        return static_cast<char16_t>(c - 32);
    if (c >= 0x450 && c <= 0x45F)
        return static_cast<char16_t>(c - 80);
    return c;
}

void lower_in_place(std::u16string& text) noexcept {
    for (auto& c : text)
        c = to_lower(c);
}

std::u16string to_lower(std::u16string_view text) {
    std::u16string out(text);
    lower_in_place(out);
    return out;
}

bool ascii_iequal(std::u16string_view a, std::u16string_view b) noexcept {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z')
            x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z')
            y = static_cast<char16_t>(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

bool iequal(std::u16string_view a, std::u16string_view b) noexcept {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (to_lower(a[i]) != to_lower(b[i]))
            return false;
    return true;
}

std::u16string_view trim(std::u16string_view text, std::u16string_view chars) noexcept {
    const std::size_t first = text.find_first_not_of(chars);
    if (first == std::u16string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of(chars);
    return text.substr(first, last - first + 1);
}

std::size_t find_bounded(std::u16string_view text, std::u16string_view needle,
                         std::size_t limit) noexcept {
    return text.substr(0, limit).find(needle);
}

std::u16string replace_all(std::u16string_view text, std::u16string_view from,
                           std::u16string_view to, std::size_t max_length) {
    std::u16string out;
    if (from.empty()) {
        out = text;
    } else {
        std::size_t pos = 0;
        for (;;) {
            const std::size_t hit = text.find(from, pos);
            if (hit == std::u16string_view::npos)
                break;
            out.append(text.substr(pos, hit - pos)).append(to);
            pos = hit + from.size();
            if (out.size() >= max_length)
                break;
        }
        if (out.size() < max_length)
            out.append(text.substr(pos));
    }
    out.resize(cut_length(out, max_length));
    return out;
}

int decimal_digits(std::uint64_t value) noexcept {
    int n = 1;
    while (value >= 10) {
        value /= 10;
        ++n;
    }
    return n;
}

std::u16string decimal(std::uint64_t value, int width) {
    std::u16string out;
    do {
        out.insert(out.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    if (static_cast<int>(out.size()) < width)
        out.insert(0, static_cast<std::size_t>(width) - out.size(), u'0');
    return out;
}

std::u16string format_s(std::u16string_view format, std::u16string_view value) {
    std::u16string out(format);
    const std::size_t at = out.find(u"%s");
    if (at != std::u16string::npos)
        out.replace(at, 2, value);
    return out;
}

} // namespace vt::base
