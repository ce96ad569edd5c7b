#include "base/utf.h"

#include <cstdint>

namespace vt::base {
namespace {

constexpr char32_t kEscapeBase = 0xDC00; // lone low surrogates carry undecodable bytes

bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Decodes one well-formed UTF-8 sequence at s[i]; returns its length, or 0 if ill-formed.
std::size_t decode_one(std::string_view s, std::size_t i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len;
    char32_t min;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if (!is_continuation(b))
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

// UTF-8 bytes of the code point starting at utf16[i]; `units` gets 1 or 2.
std::size_t encoded_size(std::u16string_view utf16, std::size_t i, std::size_t& units) noexcept {
    const char32_t u = utf16[i];
    units = 1;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
        units = 2;
        return 4;
    }
    if (u < 0x80 || (u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xFF))
        return 1;
    return u < 0x800 ? 2 : 3;
}

} // namespace

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::u16string utf8_to_utf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp = 0;
        const std::size_t len = decode_one(utf8, i, cp);
        if (len == 0) {
            out.push_back(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(utf8[i])));
            ++i;
            continue;
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string utf16_to_utf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        const char32_t u = utf16[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (utf16[i + 1] - 0xDC00u));
            ++i;
        } else if (u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xFF) {
            out.push_back(static_cast<char>(u - kEscapeBase)); // an escaped raw byte
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            append_utf8(out, 0xFFFD);
        } else {
            append_utf8(out, u);
        }
    }
    return out;
}

std::size_t utf8_fitting_units(std::u16string_view utf16, std::size_t max_bytes) noexcept {
    std::size_t i = 0, bytes = 0;
    while (i < utf16.size()) {
        std::size_t units = 1;
        const std::size_t n = encoded_size(utf16, i, units);
        if (bytes + n > max_bytes)
            break;
        bytes += n;
        i += units;
    }
    return i;
}

std::size_t utf8_size(std::u16string_view utf16) noexcept {
    std::size_t bytes = 0;
    for (std::size_t i = 0, units = 1; i < utf16.size(); i += units)
        bytes += encoded_size(utf16, i, units);
    return bytes;
}

std::u16string ascii_to_utf16(std::string_view ascii) {
    std::u16string out(ascii.size(), u'\0');
    for (std::size_t i = 0; i < ascii.size(); ++i)
        out[i] = static_cast<unsigned char>(ascii[i]);
    return out;
}

} // namespace vt::base
