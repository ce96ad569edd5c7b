#include "base/escape.h"

#include <cstdio>

#include "base/utf.h"

namespace vt::base {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

bool is_high(char16_t c) noexcept {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool is_low(char16_t c) noexcept {
    return c >= 0xDC00 && c <= 0xDFFF;
}
bool is_raw_byte(char16_t c) noexcept {
    return c >= 0xDC80 && c <= 0xDCFF;
}

char32_t pair_value(char16_t high, char16_t low) noexcept {
    return 0x10000 + ((char32_t{high} - 0xD800) << 10) + (char32_t{low} - 0xDC00);
}

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void append_escape(std::string& out, const char* form, unsigned value) {
    char esc[8];
    std::snprintf(esc, sizeof esc, form, value);
    out += esc;
}

} // namespace

std::string json_escape(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (is_high(c) && i + 1 < text.size() && is_low(text[i + 1])) {
            append_utf8(out, pair_value(c, text[i + 1]));
            ++i;
        } else if (is_high(c) || is_low(c)) {
            out += "\\ufffd"; // an undecodable byte, or a lone surrogate
        } else if (c == u'"' || c == u'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == u'\n') {
            out += "\\n";
        } else if (c == u'\r') {
            out += "\\r";
        } else if (c == u'\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            append_escape(out, "\\u%04x", c);
        } else {
            append_utf8(out, c);
        }
    }
    return out;
}

bool has_undecodable_bytes(std::u16string_view text) noexcept {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_high(text[i]) && i + 1 < text.size() && is_low(text[i + 1]))
            ++i;
        else if (is_high(text[i]) || is_low(text[i]))
            return true;
    }
    return false;
}

std::string hex_bytes(std::u16string_view text) {
    std::string out;
    for (const char byte : utf16_to_utf8(text)) {
        const auto b = static_cast<unsigned char>(byte);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

std::optional<std::u16string> from_hex_bytes(std::string_view hex) {
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes += static_cast<char>(hi * 16 + lo);
    }
    return utf8_to_utf16(bytes);
}

std::string one_line_text(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (is_high(c) && i + 1 < text.size() && is_low(text[i + 1])) {
            append_utf8(out, pair_value(c, text[i + 1]));
            ++i;
        } else if (is_raw_byte(c)) {
            append_escape(out, "\\x%02x", static_cast<unsigned>(c - 0xDC00));
        } else if (is_high(c) || is_low(c)) {
            append_utf8(out, 0xFFFD);
        } else if (c == u'\\') {
            out += "\\\\";
        } else if (c == u'\n') {
            out += "\\n";
        } else if (c == u'\r') {
            out += "\\r";
        } else if (c == u'\t') {
            out += "\\t";
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            append_escape(out, "\\x%02x", c);
        } else {
            append_utf8(out, c);
        }
    }
    return out;
}

} // namespace vt::base
