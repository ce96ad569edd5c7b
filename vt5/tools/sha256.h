#pragma once
// SHA-256 (FIPS 180-4), for the pixel hashes the dump prints.
// Thread: one object per thread.

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace vt::vt5 {

class Sha256 {
public:
    Sha256() noexcept;
    void update(std::span<const std::uint8_t> bytes) noexcept;
    // The digest; the object must not be updated afterwards.
    [[nodiscard]] std::array<std::uint8_t, 32> finish() noexcept;

private:
    void block(const std::uint8_t* p) noexcept;

    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_buffer{};
    std::size_t m_buffered = 0;
    std::uint64_t m_length = 0;
};

// Lower-case hexadecimal digest of `bytes`.
[[nodiscard]] std::string sha256_hex(std::span<const std::uint8_t> bytes);
[[nodiscard]] std::string hex(std::span<const std::uint8_t> bytes);

} // namespace vt::vt5
