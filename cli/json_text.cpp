#include "cli/json_text.h"

#include <cstdio>

#include "base/utf.h"

namespace vt::cli {
namespace {

bool is_high(char16_t c) noexcept {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool is_low(char16_t c) noexcept {
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

std::string json_escape(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (is_high(c) && i + 1 < text.size() && is_low(text[i + 1])) {
            base::append_utf8(out,
                              0x10000 + ((char32_t{c} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
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
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            base::append_utf8(out, c);
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
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const char byte : base::utf16_to_utf8(text)) {
        const auto b = static_cast<unsigned char>(byte);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

} // namespace vt::cli
