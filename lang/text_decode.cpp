#include "lang/text_decode.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace vt::lang {
namespace {

bool starts_with(std::span<const std::uint8_t> bytes, std::initializer_list<std::uint8_t> mark) {
    return bytes.size() >= mark.size() && std::equal(mark.begin(), mark.end(), bytes.begin());
}

std::u16string decode_units(std::span<const std::uint8_t> bytes, std::size_t width, bool little) {
    std::u16string text;
    text.reserve(bytes.size() / width);
    for (std::size_t i = 0; i + width <= bytes.size(); i += width) {
        // Only the low 16 bits of a 32-bit unit are kept: characters beyond U+FFFF are lost.
        const std::size_t low = little ? i : i + width - 2;
        const auto a = bytes[low], b = bytes[low + 1];
        text.push_back(little ? static_cast<char16_t>(a | b << 8)
                              : static_cast<char16_t>(a << 8 | b));
    }
    return text;
}

// The UTF-8 sequence at bytes[i]: its code point and length, or length 0 when it is not valid
// (overlong, a surrogate, beyond U+10FFFF, or cut).
std::pair<std::uint32_t, std::size_t> utf8_at(std::span<const std::uint8_t> bytes, std::size_t i) {
    const std::uint32_t lead = bytes[i];
    std::size_t more = 0;
    std::uint32_t code = 0, least = 0;
    if (lead < 0x80)
        return {lead, 1};
    if ((lead & 0xE0) == 0xC0)
        more = 1, code = lead & 0x1F, least = 0x80;
    else if ((lead & 0xF0) == 0xE0)
        more = 2, code = lead & 0x0F, least = 0x800;
    else if ((lead & 0xF8) == 0xF0)
        more = 3, code = lead & 0x07, least = 0x10000;
    else
        return {0, 0};
    if (bytes.size() - i <= more)
        return {0, 0};
    for (std::size_t k = 1; k <= more; ++k) {
        const std::uint32_t c = bytes[i + k];
        if ((c & 0xC0) != 0x80)
            return {0, 0};
        code = code << 6 | (c & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return {0, 0};
    return {code, more + 1};
}

// Strict, or with `lenient` every invalid byte becomes U+FFFD.
std::optional<std::u16string> decode_utf8(std::span<const std::uint8_t> bytes, bool lenient) {
    std::u16string text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        auto [code, length] = utf8_at(bytes, i);
        if (length == 0) {
            if (!lenient)
                return std::nullopt;
            code = 0xFFFD, length = 1;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            text.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return text;
}

std::u16string decode_8bit(std::span<const std::uint8_t> bytes) {
    if (auto text = decode_utf8(bytes, false))
        return std::move(*text);
    // Not UTF-8, so a UTF-8 locale could not decode it either: one character per byte.
    return std::u16string(bytes.begin(), bytes.end());
}

std::u16string normalise_lines(std::u16string text) {
    if (const auto nul = text.find(u'\0'); nul != std::u16string::npos)
        text.resize(nul);
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r') {
            text[out++] = u'\n';
            if (i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
        } else {
            text[out++] = text[i];
        }
    }
    text.resize(out);
    return text;
}

} // namespace

TextEncoding detect_encoding(std::span<const std::uint8_t> bytes) noexcept {
    if (starts_with(bytes, {0xFF, 0xFE, 0x00, 0x00}))
        return TextEncoding::utf32le;
    if (starts_with(bytes, {0xFF, 0xFE}))
        return TextEncoding::utf16le;
    if (starts_with(bytes, {0xFE, 0xFF, 0x00, 0x00}))
        return TextEncoding::utf32be;
    if (starts_with(bytes, {0xFE, 0xFF}))
        return TextEncoding::utf16be;
    if (starts_with(bytes, {0xEF, 0xBB, 0xBF}))
        return TextEncoding::utf8;
    std::size_t nonzero = 0, zero_even = 0, zero_odd = 0;
    const std::size_t n = std::min<std::size_t>(bytes.size(), 256);
    for (std::size_t i = 0; i < n; ++i) {
        if (bytes[i] != 0)
            ++nonzero;
        else if (i % 2 == 0)
            ++zero_even;
        else
            ++zero_odd;
    }
    const std::size_t zeros = zero_even + zero_odd;
    const bool eight_bit = nonzero < 8 ? zeros < nonzero : zeros * 8 < nonzero;
    if (eight_bit)
        return TextEncoding::utf8_or_latin1;
    return zero_even <= zero_odd ? TextEncoding::utf16le : TextEncoding::utf16be;
}

std::u16string decode_text_file(std::span<const std::uint8_t> bytes) {
    const TextEncoding encoding = detect_encoding(bytes);
    switch (encoding) {
    case TextEncoding::utf32le:
        return normalise_lines(decode_units(bytes.subspan(4), 4, true));
    case TextEncoding::utf32be:
        return normalise_lines(decode_units(bytes.subspan(4), 4, false));
    case TextEncoding::utf16le:
    case TextEncoding::utf16be: {
        const bool has_mark = starts_with(bytes, {0xFF, 0xFE}) || starts_with(bytes, {0xFE, 0xFF});
        return normalise_lines(
            decode_units(bytes.subspan(has_mark ? 2 : 0), 2, encoding == TextEncoding::utf16le));
    }
    case TextEncoding::utf8:
        return normalise_lines(*decode_utf8(bytes.subspan(3), true));
    case TextEncoding::utf8_or_latin1:
        break;
    }
    return normalise_lines(decode_8bit(bytes));
}

} // namespace vt::lang
