#pragma once
// Little-endian readers and writers for the binary records on disk and at the plug-in edge.
// Thread: any.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vt::base {

[[nodiscard]] constexpr std::uint16_t load_le16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
[[nodiscard]] constexpr std::uint32_t load_le32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
[[nodiscard]] constexpr std::uint64_t load_le64(const std::uint8_t* p) noexcept {
    return static_cast<std::uint64_t>(load_le32(p)) |
           (static_cast<std::uint64_t>(load_le32(p + 4)) << 32);
}
constexpr void store_le16(std::uint8_t* p, std::uint16_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
constexpr void store_le32(std::uint8_t* p, std::uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
constexpr void store_le64(std::uint8_t* p, std::uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Reads fields in order from a byte span. The first read past the end makes the reader fail for
// good: it then returns zeros and ok() stays false.
class LeReader {
public:
    explicit LeReader(std::span<const std::uint8_t> bytes) noexcept : m_bytes(bytes) {}

    [[nodiscard]] std::uint8_t u8() noexcept { return take(1) ? m_bytes[m_pos - 1] : 0; }
    [[nodiscard]] std::uint16_t u16() noexcept { return take(2) ? load_le16(at(2)) : 0; }
    [[nodiscard]] std::uint32_t u32() noexcept { return take(4) ? load_le32(at(4)) : 0; }
    [[nodiscard]] std::uint64_t u64() noexcept { return take(8) ? load_le64(at(8)) : 0; }
    void skip(std::size_t n) noexcept { (void)take(n); }

    [[nodiscard]] bool ok() const noexcept { return m_ok; }
    [[nodiscard]] std::size_t position() const noexcept { return m_pos; }
    [[nodiscard]] std::size_t remaining() const noexcept { return m_bytes.size() - m_pos; }

private:
    bool take(std::size_t n) noexcept {
        if (!m_ok || n > remaining()) {
            m_ok = false;
            return false;
        }
        m_pos += n;
        return true;
    }
    const std::uint8_t* at(std::size_t n) const noexcept { return m_bytes.data() + m_pos - n; }

    std::span<const std::uint8_t> m_bytes;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

// Appends fields in order to a byte vector.
class LeWriter {
public:
    explicit LeWriter(std::vector<std::uint8_t>& out) noexcept : m_out(out) {}

    void u8(std::uint8_t v) { m_out.push_back(v); }
    void u16(std::uint16_t v) { store_le16(grow(2), v); }
    void u32(std::uint32_t v) { store_le32(grow(4), v); }
    void u64(std::uint64_t v) { store_le64(grow(8), v); }
    void zeros(std::size_t n) { m_out.insert(m_out.end(), n, 0); }

private:
    std::uint8_t* grow(std::size_t n) {
        m_out.resize(m_out.size() + n);
        return m_out.data() + m_out.size() - n;
    }
    std::vector<std::uint8_t>& m_out;
};

} // namespace vt::base
