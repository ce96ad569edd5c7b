#include "suite/core/exif_value_text.h"

#include <charconv>
#include <cstring>
#include <limits>

namespace vt::core {

namespace {

struct TypeRow {
    std::uint16_t type;
    std::size_t size;
    const char* name;
};

constexpr TypeRow kTypes[] = {
    {kTypeByte, 1, "byte"},           {kTypeAscii, 1, "ascii"},       {kTypeShort, 2, "short"},
    {kTypeLong, 4, "long"},           {kTypeRational, 8, "rational"}, {kTypeSByte, 1, "sbyte"},
    {kTypeUndefined, 1, "undefined"}, {kTypeSShort, 2, "sshort"},     {kTypeSLong, 4, "slong"},
    {kTypeSRational, 8, "srational"}, {kTypeFloat, 4, "float"},       {kTypeDouble, 8, "double"},
};

const TypeRow* find_type(std::uint16_t type) noexcept {
    for (const TypeRow& row : kTypes)
        if (row.type == type)
            return &row;
    return nullptr;
}

char fold(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::uint64_t read_le(const std::uint8_t* p, std::size_t n) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = n; i-- > 0;)
        v = (v << 8) | p[i];
    return v;
}

void write_le(std::vector<std::uint8_t>& out, std::uint64_t v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// The value of a component of `size` bytes read as signed.
std::int64_t as_signed(std::uint64_t v, std::size_t size) noexcept {
    const std::uint64_t sign = std::uint64_t{1} << (8 * size - 1);
    return static_cast<std::int64_t>(v ^ sign) - static_cast<std::int64_t>(sign);
}

bool is_signed(std::uint16_t type) noexcept {
    return type == kTypeSByte || type == kTypeSShort || type == kTypeSLong ||
           type == kTypeSRational;
}

void append_integer(std::string& text, std::uint64_t raw, std::size_t size, bool sign) {
    char buffer[32];
    const auto r = sign ? std::to_chars(buffer, buffer + sizeof(buffer), as_signed(raw, size))
                        : std::to_chars(buffer, buffer + sizeof(buffer), raw);
    text.append(buffer, r.ptr);
}

template <class T>
void append_float(std::string& text, T value) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof(buffer), value);
    text.append(buffer, r.ptr);
}

// One integer of `size` bytes from a token; false when it is no number or out of range.
bool parse_integer(std::string_view token, std::size_t size, bool sign, std::uint64_t& raw) {
    const char* first = token.data();
    const char* last = token.data() + token.size();
    const unsigned bits = static_cast<unsigned>(8 * size);
    if (sign) {
        std::int64_t v = 0;
        const auto r = std::from_chars(first, last, v);
        const std::int64_t lo = -(std::int64_t{1} << (bits - 1));
        const std::int64_t hi = (std::int64_t{1} << (bits - 1)) - 1;
        if (r.ec != std::errc() || r.ptr != last || v < lo || v > hi)
            return false;
        raw = static_cast<std::uint64_t>(v) & ((std::uint64_t{1} << bits) - 1);
        return true;
    }
    std::uint64_t v = 0;
    const auto r = std::from_chars(first, last, v);
    if (r.ec != std::errc() || r.ptr != last || v > ((std::uint64_t{1} << bits) - 1))
        return false;
    raw = v;
    return true;
}

bool parse_component(std::uint16_t type, std::string_view token, std::vector<std::uint8_t>& out) {
    const bool sign = is_signed(type);
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    switch (type) {
    case kTypeRational:
    case kTypeSRational: {
        const std::size_t slash = token.find('/');
        if (slash == std::string_view::npos || !parse_integer(token.substr(0, slash), 4, sign, a) ||
            !parse_integer(token.substr(slash + 1), 4, sign, b))
            return false;
        write_le(out, a, 4);
        write_le(out, b, 4);
        return true;
    }
    case kTypeFloat: {
        float f = 0;
        const auto r = std::from_chars(token.data(), token.data() + token.size(), f);
        if (r.ec != std::errc() || r.ptr != token.data() + token.size())
            return false;
        std::uint32_t bits = 0;
        std::memcpy(&bits, &f, 4);
        write_le(out, bits, 4);
        return true;
    }
    case kTypeDouble: {
        double d = 0;
        const auto r = std::from_chars(token.data(), token.data() + token.size(), d);
        if (r.ec != std::errc() || r.ptr != token.data() + token.size())
            return false;
        std::uint64_t bits = 0;
        std::memcpy(&bits, &d, 8);
        write_le(out, bits, 8);
        return true;
    }
    default: {
        const std::size_t size = exif_type_size(type);
        if (!parse_integer(token, size, sign, a))
            return false;
        write_le(out, a, size);
        return true;
    }
    }
}

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

} // namespace

std::size_t exif_type_size(std::uint16_t type) noexcept {
    const TypeRow* row = find_type(type);
    return row != nullptr ? row->size : 0;
}

const char* exif_type_name(std::uint16_t type) noexcept {
    const TypeRow* row = find_type(type);
    return row != nullptr ? row->name : nullptr;
}

std::uint16_t exif_type_from_name(std::string_view name) noexcept {
    for (const TypeRow& row : kTypes) {
        const std::string_view candidate(row.name);
        if (candidate.size() != name.size())
            continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i)
            same = fold(name[i]) == candidate[i];
        if (same)
            return row.type;
    }
    return 0;
}

std::string escape_text(std::span<const std::uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t b = bytes[i];
        if (b < 0x20 || b == 0x7F || b == '%' || b == ';' || (i == 0 && b == '(')) {
            text += '%';
            text += kHex[b >> 4];
            text += kHex[b & 15];
        } else {
            text += static_cast<char>(b);
        }
    }
    return text;
}

bool unescape_text(std::string_view text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            bytes.push_back(static_cast<std::uint8_t>(text[i]));
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int hi = hex_digit(text[i + 1]);
        const int lo = hex_digit(text[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

bool value_to_text(std::uint16_t type, std::span<const std::uint8_t> bytes, std::string& text) {
    text.clear();
    const std::size_t size = exif_type_size(type);
    if (size == 0 || bytes.size() % size != 0)
        return false;
    if (type == kTypeAscii) {
        const auto* nul =
            static_cast<const std::uint8_t*>(std::memchr(bytes.data(), 0, bytes.size()));
        text = escape_text(bytes.first(nul != nullptr ? static_cast<std::size_t>(nul - bytes.data())
                                                      : bytes.size()));
        return true;
    }
    if (type == kTypeUndefined) {
        text = escape_text(bytes);
        return true;
    }
    const bool sign = is_signed(type);
    for (std::size_t at = 0; at < bytes.size(); at += size) {
        if (at != 0)
            text += ' ';
        const std::uint8_t* p = bytes.data() + at;
        switch (type) {
        case kTypeRational:
        case kTypeSRational:
            append_integer(text, read_le(p, 4), 4, sign);
            text += '/';
            append_integer(text, read_le(p + 4, 4), 4, sign);
            break;
        case kTypeFloat: {
            const auto bits = static_cast<std::uint32_t>(read_le(p, 4));
            float f = 0;
            std::memcpy(&f, &bits, 4);
            append_float(text, f);
            break;
        }
        case kTypeDouble: {
            const std::uint64_t bits = read_le(p, 8);
            double d = 0;
            std::memcpy(&d, &bits, 8);
            append_float(text, d);
            break;
        }
        default:
            append_integer(text, read_le(p, size), size, sign);
            break;
        }
    }
    return true;
}

bool text_to_value(std::uint16_t type, std::string_view text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    if (exif_type_size(type) == 0)
        return false;
    if (type == kTypeAscii || type == kTypeUndefined) {
        if (!unescape_text(text, bytes))
            return false;
        if (type == kTypeAscii)
            bytes.push_back(0);
        return true;
    }
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
            ++at;
        if (at == text.size())
            break;
        std::size_t end = at;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t')
            ++end;
        if (!parse_component(type, text.substr(at, end - at), bytes))
            return false;
        at = end;
    }
    return true;
}

std::string rational_text(URational r) {
    std::uint32_t scale = 1;
    int digits = 0;
    while (scale < r.den && digits < 9) {
        scale *= 10;
        ++digits;
    }
    std::string text = std::to_string(r.num / (r.den == 0 ? 1 : r.den));
    if (r.den == 0 || scale != r.den)
        return std::to_string(r.num) + "/" + std::to_string(r.den);
    if (digits > 0) {
        std::string fraction = std::to_string(r.num % r.den);
        text += '.';
        text.append(static_cast<std::size_t>(digits) - fraction.size(), '0');
        text += fraction;
    }
    return text;
}

bool parse_rational_at(std::string_view text, std::size_t from, URational& r, std::size_t& end,
                       bool* negative) {
    std::size_t at = from;
    while (at < text.size() && !is_digit(text[at]))
        ++at;
    if (at == text.size())
        return false;
    if (negative != nullptr)
        *negative = at > from && text[at - 1] == '-';
    std::uint64_t whole = 0;
    std::size_t p = at;
    for (; p < text.size() && is_digit(text[p]); ++p) {
        whole = whole * 10 + static_cast<std::uint64_t>(text[p] - '0');
        if (whole > std::numeric_limits<std::uint32_t>::max())
            return false;
    }
    if (p + 1 < text.size() && text[p] == '/' && is_digit(text[p + 1])) {
        std::uint64_t den = 0;
        for (++p; p < text.size() && is_digit(text[p]); ++p) {
            den = den * 10 + static_cast<std::uint64_t>(text[p] - '0');
            if (den > std::numeric_limits<std::uint32_t>::max())
                return false;
        }
        r = {static_cast<std::uint32_t>(whole), static_cast<std::uint32_t>(den)};
        end = p;
        return true;
    }
    std::uint64_t den = 1;
    if (p + 1 < text.size() && text[p] == '.' && is_digit(text[p + 1])) {
        for (++p; p < text.size() && is_digit(text[p]); ++p) {
            if (den >= 1000000000u)
                continue; // digits beyond nine places cannot be kept
            whole = whole * 10 + static_cast<std::uint64_t>(text[p] - '0');
            den *= 10;
            if (whole > std::numeric_limits<std::uint32_t>::max())
                return false;
        }
    }
    r = {static_cast<std::uint32_t>(whole), static_cast<std::uint32_t>(den)};
    end = p;
    return true;
}

} // namespace vt::core
