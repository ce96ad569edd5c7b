#include "image/markup_buffer.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/markup.h"

namespace vt::image {

namespace {

constexpr std::uint32_t kFreeMargin = 16;
constexpr std::uint32_t kAppendScratch = 144;

// Points `text` at the buffer and recomputes `size`; repairs a buffer whose text lost its NUL.
void sync(MarkupBuffer* mb) noexcept {
    mb->text = mb->buffer;
    if (mb->buffer == nullptr || mb->capacity == 0) {
        mb->size = 0;
        return;
    }
    const void* nul = std::memchr(mb->buffer, '\0', mb->capacity);
    if (nul == nullptr)
        mb->buffer[mb->capacity - 1] = '\0';
    const std::size_t length = std::strlen(mb->buffer);
    mb->size = length == 0 ? 0 : static_cast<std::uint32_t>(length + 1);
}

} // namespace

int markup_buffer_reserve(MarkupBuffer* mb, std::uint32_t extra) noexcept {
    if (mb == nullptr)
        return 0;
    sync(mb);
    const std::uint64_t need = std::uint64_t{mb->size} + extra;
    if (mb->buffer != nullptr && mb->capacity > need + kFreeMargin)
        return 1;
    const std::uint64_t capacity = (need + 511) & ~std::uint64_t{255};
    if (capacity > kMaxMarkupBuffer)
        return 0;
    auto* fresh = static_cast<char*>(std::calloc(static_cast<std::size_t>(capacity), 1));
    if (fresh == nullptr)
        return 0;
    if (mb->buffer != nullptr)
        std::memcpy(fresh, mb->buffer, std::min<std::uint64_t>(mb->capacity, capacity));
    std::free(mb->buffer);
    mb->buffer = fresh;
    mb->capacity = static_cast<std::uint32_t>(capacity);
    sync(mb);
    return 1;
}

int markup_buffer_create(MarkupBuffer* mb) noexcept {
    if (mb == nullptr)
        return 0;
    auto* block = static_cast<char*>(std::calloc(kMarkupBufferInitial, 1));
    if (block == nullptr)
        return 0;
    *mb = MarkupBuffer{};
    mb->buffer = block;
    mb->capacity = kMarkupBufferInitial;
    sync(mb);
    return 1;
}

int markup_buffer_create_from(MarkupBuffer* mb, const void* data, std::uint32_t count) noexcept {
    if (mb == nullptr || (data == nullptr && count != 0) || markup_buffer_create(mb) == 0)
        return 0;
    if (count > UINT32_MAX - 4 || markup_buffer_reserve(mb, count + 4) == 0) {
        markup_buffer_free(mb);
        return 0;
    }
    const std::uint32_t n = std::min(count, mb->capacity - 1);
    if (n != 0)
        std::memcpy(mb->buffer, data, n);
    mb->buffer[n] = '\0';
    sync(mb);
    return 1;
}

void markup_buffer_free(MarkupBuffer* mb) noexcept {
    if (mb == nullptr)
        return;
    std::free(mb->buffer);
    *mb = MarkupBuffer{};
}

int markup_buffer_append(MarkupBuffer* mb, const char* text) noexcept {
    if (mb == nullptr || text == nullptr)
        return 0;
    const std::size_t length = std::strlen(text);
    if (length > kMaxMarkupBuffer ||
        markup_buffer_reserve(mb, static_cast<std::uint32_t>(length)) == 0)
        return 0;
    trim_markup(mb->buffer);
    const std::size_t current = std::strlen(mb->buffer);
    if (current == 0) {
        const std::size_t n = std::min<std::size_t>(length, mb->capacity - 1);
        std::memcpy(mb->buffer, text, n);
        mb->buffer[n] = '\0';
    } else {
        std::vector<char> scratch;
        try {
            scratch.assign(length + kAppendScratch, '\0');
        } catch (...) {
            sync(mb);
            return 0;
        }
        std::memcpy(scratch.data(), text, length);
        trim_markup(scratch.data());
        const std::string_view line(scratch.data());
        std::size_t at = current;
        for (std::string_view piece : {std::string_view("\r\n"), line}) {
            const std::size_t n = std::min(piece.size(), mb->capacity - 1 - at);
            std::memcpy(mb->buffer + at, piece.data(), n);
            at += n;
        }
        mb->buffer[at] = '\0';
    }
    trim_markup(mb->buffer);
    sync(mb);
    return 1;
}

int markup_buffer_get_value(const MarkupBuffer* mb, std::string_view key, char* value,
                            std::uint32_t capacity) noexcept {
    if (mb == nullptr || mb->buffer == nullptr || mb->capacity == 0 ||
        std::memchr(mb->buffer, '\0', mb->capacity) == nullptr)
        return 0;
    return find_markup_value(mb->buffer, key, value, capacity) != nullptr ? 1 : 0;
}

int markup_buffer_set_value(MarkupBuffer* mb, std::string_view key,
                            std::string_view value) noexcept {
    if (mb == nullptr || key.size() > kMaxMarkupKey || value.size() > kMaxMarkupBuffer)
        return 0;
    const auto extra = static_cast<std::uint32_t>(key.size() + value.size() + 16);
    if (markup_buffer_reserve(mb, extra) == 0)
        return 0;
    const int result = set_markup_value(mb->buffer, mb->capacity, key, value);
    sync(mb);
    return result != 0 ? 1 : 0;
}

int markup_buffer_get_bit_depth(const MarkupBuffer* mb, std::uint32_t* depth) noexcept {
    if (mb == nullptr || depth == nullptr || mb->buffer == nullptr || mb->capacity == 0 ||
        std::memchr(mb->buffer, '\0', mb->capacity) == nullptr)
        return 0;
    const std::uint32_t value = markup_bit_depth(mb->buffer);
    if (value == 0)
        return 0;
    *depth = value;
    return 1;
}

int markup_buffer_set_bit_depth(MarkupBuffer* mb, int depth) noexcept {
    char text[16];
    const auto r = std::to_chars(text, text + sizeof(text), depth);
    return markup_buffer_set_value(mb, kKeyBitDepth,
                                   std::string_view(text, static_cast<std::size_t>(r.ptr - text)));
}

} // namespace vt::image
