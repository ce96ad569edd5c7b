#pragma once
// Fixed-capacity UTF-16 text: the buffers of the job record, the hand-off slot and the plug-in
// records. Text longer than the capacity is cut, never rejected; the buffer always ends in NUL.
// Thread: a FixedText is a plain value; guard it like any other field.

#include <cstddef>
#include <string>
#include <string_view>

namespace vt::base {

// Length of cut text: at most `limit` units, never ending in the first half of a surrogate pair
// (a cut pair would become an invalid file name at the UTF-8 boundary).
[[nodiscard]] std::size_t cut_length(std::u16string_view text, std::size_t limit) noexcept;

template <std::size_t N>
class FixedText {
    static_assert(N >= 1, "room for the terminator");

public:
    FixedText() noexcept { m_chars[0] = 0; }
    FixedText(std::u16string_view text) noexcept { assign(text); } // NOLINT: implicit on purpose

    // Capacity in characters, terminator included.
    static constexpr std::size_t capacity() noexcept { return N; }

    void assign(std::u16string_view text) noexcept {
        const std::size_t n = cut_length(text, N - 1);
        text.copy(m_chars, n);
        m_chars[n] = 0;
    }
    void append(std::u16string_view text) noexcept {
        const std::size_t have = size();
        const std::size_t n = cut_length(text, N - 1 - have);
        text.copy(m_chars + have, n);
        m_chars[have + n] = 0;
    }
    void clear() noexcept { m_chars[0] = 0; }

    [[nodiscard]] std::size_t size() const noexcept {
        std::size_t n = 0;
        while (n < N - 1 && m_chars[n] != 0)
            ++n;
        return n;
    }
    [[nodiscard]] bool empty() const noexcept { return m_chars[0] == 0; }
    [[nodiscard]] std::u16string_view view() const noexcept { return {m_chars, size()}; }
    [[nodiscard]] std::u16string str() const { return std::u16string(view()); }
    [[nodiscard]] const char16_t* c_str() const noexcept { return m_chars; }

    friend bool operator==(const FixedText& a, std::u16string_view b) noexcept {
        return a.view() == b;
    }
    friend bool operator==(const FixedText& a, const FixedText& b) noexcept {
        return a.view() == b.view();
    }

private:
    char16_t m_chars[N];
};

} // namespace vt::base
