#pragma once
// Bit streams of the rank and flag codecs: least significant bit first, so bit position p is
// bit (p mod 8) of byte (p div 8), and a field of w bits keeps its lowest bit at p.
// Thread: any; the objects belong to one call.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vt::vt5::codec::detail {

class BitReader {
public:
    BitReader(std::span<const std::uint8_t> bytes, std::uint64_t start_bit) noexcept
        : m_bytes(bytes), m_pos(start_bit) {}

    [[nodiscard]] std::uint64_t position() const noexcept { return m_pos; }
    [[nodiscard]] bool has(unsigned width) const noexcept {
        return m_pos + width <= static_cast<std::uint64_t>(m_bytes.size()) * 8;
    }
    // A field of up to 16 bits; bits past the end of the input read as 0.
    [[nodiscard]] unsigned take(unsigned width) noexcept {
        unsigned value = 0;
        unsigned got = 0;
        while (got < width) {
            const std::uint64_t index = m_pos >> 3;
            const unsigned offset = static_cast<unsigned>(m_pos & 7);
            unsigned n = 8 - offset;
            if (n > width - got)
                n = width - got;
            if (index < m_bytes.size()) {
                const unsigned byte = m_bytes[static_cast<std::size_t>(index)];
                value |= ((byte >> offset) & ((1u << n) - 1)) << got;
            }
            got += n;
            m_pos += n;
        }
        return value;
    }

private:
    std::span<const std::uint8_t> m_bytes;
    std::uint64_t m_pos;
};

// Appends fields from a whole byte position on. Writes into `out` when it is not empty, else
// only counts. A byte that would pass the end of a non-empty `out` sets overflowed() and is
// dropped. finish() writes the last partial byte, its unused high bits 0.
class BitWriter {
public:
    BitWriter(std::span<std::uint8_t> out, std::size_t start_byte) noexcept
        : m_out(out), m_byte(start_byte) {}

    void put(unsigned value, unsigned width) noexcept {
        m_acc |= static_cast<std::uint64_t>(value & ((1u << width) - 1)) << m_pending;
        m_pending += width;
        while (m_pending >= 8) {
            emit(static_cast<std::uint8_t>(m_acc));
            m_acc >>= 8;
            m_pending -= 8;
        }
    }
    void finish() noexcept {
        if (m_pending > 0) {
            emit(static_cast<std::uint8_t>(m_acc));
            m_acc = 0;
            m_pending = 0;
        }
    }
    // Bytes used so far, a partial byte counted whole.
    [[nodiscard]] std::size_t byte_length() const noexcept {
        return m_byte + (m_pending > 0 ? 1 : 0);
    }
    [[nodiscard]] bool overflowed() const noexcept { return m_overflowed; }

private:
    void emit(std::uint8_t byte) noexcept {
        if (!m_out.empty()) {
            if (m_byte >= m_out.size())
                m_overflowed = true;
            else
                m_out[m_byte] = byte;
        }
        ++m_byte;
    }

    std::span<std::uint8_t> m_out;
    std::size_t m_byte;
    std::uint64_t m_acc = 0;
    unsigned m_pending = 0;
    bool m_overflowed = false;
};

} // namespace vt::vt5::codec::detail
