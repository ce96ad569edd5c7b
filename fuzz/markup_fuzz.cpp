// Markup text operations over arbitrary text and keys. The input is text, key, value and prefix
// separated by NUL bytes; its last byte chooses the buffer capacity.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/markup.h"

namespace {

std::string take_field(const std::uint8_t*& p, const std::uint8_t* end) {
    const std::uint8_t* nul =
        static_cast<const std::uint8_t*>(std::memchr(p, 0, static_cast<std::size_t>(end - p)));
    const std::uint8_t* stop = nul == nullptr ? end : nul;
    std::string field(reinterpret_cast<const char*>(p), static_cast<std::size_t>(stop - p));
    p = nul == nullptr ? end : nul + 1;
    return field;
}

void check_terminated(const std::vector<char>& buffer) {
    if (std::memchr(buffer.data(), 0, buffer.size()) == nullptr)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 65536)
        return 0;
    const std::uint8_t options = data[size - 1];
    const std::uint8_t* p = data;
    const std::uint8_t* end = data + size - 1;
    const std::string text = take_field(p, end);
    const std::string key = take_field(p, end);
    const std::string value = take_field(p, end);
    const std::string prefix = take_field(p, end);

    const std::size_t capacity = text.size() + 1 + (options & 0x3F) * 4;
    std::vector<char> buffer(text.begin(), text.end());
    buffer.resize(capacity, '\0');

    char found[64];
    const char* value_end = nullptr;
    if (const char* at =
            vt::image::find_markup_value(buffer.data(), key, found, sizeof(found), &value_end)) {
        if (at < buffer.data() || value_end < at || value_end > buffer.data() + capacity)
            std::abort();
    }
    (void)vt::image::set_markup_value(buffer.data(), capacity, key, value);
    check_terminated(buffer);
    if ((options & 0x40) != 0)
        (void)vt::image::delete_markup_entry(buffer.data(), key);
    (void)vt::image::merge_markup_entries(buffer.data(), capacity, prefix.c_str(),
                                          (options & 0x80) != 0 ? std::string_view(key) : "");
    check_terminated(buffer);
    (void)vt::image::trim_markup(buffer.data());
    (void)vt::image::markup_bit_depth(buffer.data());
    double rational = 0;
    (void)vt::image::parse_rational(value.c_str(), &rational);
    return 0;
}
