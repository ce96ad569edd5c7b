// RunLength, DeltaNibble and ModeMask: the token and mask coders.

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "base/le.h"
#include "vt5/codec/codecs.h"

namespace vt::vt5::codec {
namespace {

using Bytes = std::span<const std::uint8_t>;

// Output of the token encoders: counts when `out` is empty, and applies the give-up rule that
// both coders share.
class TokenSink {
public:
    TokenSink(std::span<std::uint8_t> out, std::size_t input_length) noexcept
        : m_out(out), m_limit(input_length + 16) {}

    // Before each token: false when the encoder must give up.
    [[nodiscard]] bool room_for(std::size_t token_size) const noexcept {
        if (m_pos >= m_limit || m_pos + token_size >= kEncodeCapacity)
            return false;
        return m_out.empty() || token_size <= m_out.size() - m_pos;
    }
    void byte(std::uint8_t v) noexcept {
        if (!m_out.empty())
            m_out[m_pos] = v;
        ++m_pos;
    }
    void u32(std::size_t v) noexcept {
        if (!m_out.empty())
            base::store_le32(m_out.data() + m_pos, static_cast<std::uint32_t>(v));
        m_pos += 4;
    }
    // Input bytes [from, from + n); the bytes past the input end (at most two, carried by a
    // three-byte literal) are written as 0.
    void copy(Bytes in, std::size_t from, std::size_t n) noexcept {
        if (!m_out.empty()) {
            const std::size_t have = from < in.size() ? std::min(n, in.size() - from) : 0;
            if (have > 0)
                std::memcpy(m_out.data() + m_pos, in.data() + from, have);
            std::memset(m_out.data() + m_pos + have, 0, n - have);
        }
        m_pos += n;
    }
    // The end byte is appended without the give-up test.
    [[nodiscard]] std::size_t finish() noexcept {
        if (!m_out.empty() && m_pos >= m_out.size())
            return 0;
        byte(0);
        return m_pos;
    }

private:
    std::span<std::uint8_t> m_out;
    std::size_t m_limit;
    std::size_t m_pos = 0;
};

// A literal token of m bytes at i; returns the input bytes it covers (0: give up).
std::size_t put_literal(TokenSink& sink, Bytes in, std::size_t i, std::size_t m) noexcept {
    if (m < 129) {
        const std::size_t n = std::max<std::size_t>(m, 3);
        if (!sink.room_for(1 + n))
            return 0;
        sink.byte(static_cast<std::uint8_t>(n - 1));
        sink.copy(in, i, n);
        return n;
    }
    if (!sink.room_for(5 + m))
        return 0;
    sink.byte(1);
    sink.u32(m);
    sink.copy(in, i, m);
    return m;
}

enum class Decoded { token, end, corrupt };

// Literal tokens (first byte 1-0x7F) of both RunLength and DeltaNibble.
Decoded take_literal(std::span<std::uint8_t> out, std::size_t& o, Bytes in, std::size_t& p,
                     Literals literals) noexcept {
    const std::uint8_t t = in[p];
    std::size_t header = 1;
    std::size_t n = static_cast<std::size_t>(t) + 1;
    if (t == 1 && literals == Literals::current) {
        if (in.size() - p < 5)
            return Decoded::end;
        const std::uint32_t count = base::load_le32(in.data() + p + 1);
        if (count < 0x1000000) {
            header = 5;
            n = count;
        }
    }
    if (n >= out.size() - o)
        return Decoded::corrupt;
    if (in.size() - p - header < n)
        return Decoded::end;
    std::memcpy(out.data() + o, in.data() + p + header, n);
    o += n;
    p += header + n;
    return Decoded::token;
}

std::uint8_t abs_diff(std::uint8_t a, std::uint8_t b) noexcept {
    return static_cast<std::uint8_t>(a > b ? a - b : b - a);
}

// Seven bytes from p with all six neighbour differences below 8; p + 6 lies inside the input.
bool smooth_seven(Bytes in, std::size_t p) noexcept {
    for (std::size_t k = 1; k < 7; ++k)
        if (abs_diff(in[p + k], in[p + k - 1]) >= 8)
            return false;
    return true;
}

} // namespace

std::size_t RunLength::encode(std::span<std::uint8_t> out, Bytes in) noexcept {
    const std::size_t n = in.size();
    TokenSink sink(out, n);
    std::size_t i = 0;
    while (i < n) {
        const std::size_t look = std::min(n - i, kLookLimit);
        std::size_t r = 1;
        while (r < look && in[i + r] == in[i])
            ++r;
        if (r >= 3 && r <= 256) {
            r = std::min<std::size_t>(r, 128);
            if (!sink.room_for(2))
                return 0;
            sink.byte(static_cast<std::uint8_t>(0x80 | (r - 1)));
            sink.byte(in[i]);
            i += r;
            continue;
        }
        if (r > 256) {
            if (!sink.room_for(6))
                return 0;
            sink.byte(0x80);
            sink.u32(r);
            sink.byte(in[i]);
            i += r;
            continue;
        }
        // A literal runs up to the next three equal bytes; close by, it waits for four, so that
        // a three-byte minimum literal cannot eat into a run worth coding.
        std::size_t m = n - i;
        if (m >= 6) {
            std::size_t j = 1;
            for (; j < kLookLimit && i + j + 4 < n; ++j) {
                const std::uint8_t v = in[i + j];
                if (in[i + j + 1] == v && in[i + j + 2] == v && (j > 3 || in[i + j + 3] == v))
                    break;
            }
            m = j;
        }
        const std::size_t used = put_literal(sink, in, i, m);
        if (used == 0)
            return 0;
        i += used;
    }
    return sink.finish();
}

std::size_t RunLength::decode(std::span<std::uint8_t> out, Bytes in, Literals literals) noexcept {
    std::size_t o = 0, p = 0;
    while (o < out.size() && p < in.size()) {
        const std::uint8_t t = in[p];
        if (t == 0)
            break;
        if (t < 0x80) {
            const Decoded d = take_literal(out, o, in, p, literals);
            if (d == Decoded::corrupt)
                return 0;
            if (d == Decoded::end)
                break;
            continue;
        }
        std::size_t n = (t & 0x7Fu) + 1;
        std::size_t header = 1;
        if (t == 0x80) {
            if (in.size() - p < 5)
                break;
            n = base::load_le32(in.data() + p + 1);
            header = 5;
        }
        if (n >= out.size() - o)
            return 0;
        if (in.size() - p <= header)
            break;
        std::memset(out.data() + o, in[p + header], n);
        o += n;
        p += header + 1;
    }
    return o;
}

std::size_t DeltaNibble::encode(std::span<std::uint8_t> out, Bytes in) noexcept {
    const std::size_t n = in.size();
    TokenSink sink(out, n);
    std::size_t i = 0;
    while (i < n) {
        const std::size_t look = std::min(n - i, kLookLimit);
        std::size_t r = 1;
        while (r < look && abs_diff(in[i + r], in[i + r - 1]) < 8)
            ++r;
        std::size_t e = r & ~std::size_t{1};
        if (e > 128 && e <= 256)
            e = 128;
        if (e < 6) {
            std::size_t m = n - i;
            if (m >= 16) {
                std::size_t j = 0;
                while (j < kLookLimit && i + j + 12 < n && !smooth_seven(in, i + j))
                    ++j;
                m = j + 1;
            }
            const std::size_t used = put_literal(sink, in, i, m);
            if (used == 0)
                return 0;
            i += used;
            continue;
        }
        const std::size_t header = e > 128 ? 5 : 1;
        if (!sink.room_for(header + 1 + e / 2))
            return 0;
        if (e > 128) {
            sink.byte(0x80);
            sink.u32(e);
        } else {
            sink.byte(static_cast<std::uint8_t>((e - 1) | 0x80));
        }
        sink.byte(in[i]);
        // The high nibble of the last byte is never read back; it is formed from the byte after
        // the run (0 past the input end).
        auto at = [&](std::size_t k) -> unsigned { return k < n ? in[k] : 0u; };
        for (std::size_t k = 0; k < e / 2; ++k) {
            const std::size_t b = i + 2 * k;
            const unsigned lo = (at(b + 1) - at(b) + 7) & 15u;
            const unsigned hi = (at(b + 2) - at(b + 1) + 7) & 15u;
            sink.byte(static_cast<std::uint8_t>(lo | (hi << 4)));
        }
        i += e;
    }
    return sink.finish();
}

std::size_t DeltaNibble::decode(std::span<std::uint8_t> out, Bytes in, Literals literals) noexcept {
    std::size_t o = 0, p = 0;
    while (o < out.size() && p < in.size()) {
        const std::uint8_t t = in[p];
        if (t == 0)
            break;
        if (t < 0x80) {
            const Decoded d = take_literal(out, o, in, p, literals);
            if (d == Decoded::corrupt)
                return 0;
            if (d == Decoded::end)
                break;
            continue;
        }
        std::size_t n = (t & 0x7Fu) + 1;
        std::size_t header = 1;
        if (t == 0x80) {
            if (in.size() - p < 5)
                break;
            n = base::load_le32(in.data() + p + 1);
            header = 5;
        }
        if (n > out.size() - o)
            return 0;
        const std::size_t body = 1 + n / 2;
        if (in.size() - p - header < body)
            break;
        const std::uint8_t* d = in.data() + p + header;
        if (n > 0) {
            std::uint8_t v = d[0];
            out[o++] = v;
            for (std::size_t k = 0; k + 1 < n; ++k) {
                const unsigned b = d[1 + k / 2];
                const unsigned nibble = (k & 1) != 0 ? b >> 4 : b & 15u;
                v = static_cast<std::uint8_t>(v + nibble - 7);
                out[o++] = v;
            }
        }
        p += header + body;
    }
    return o;
}

std::size_t ModeMask::encode(std::span<std::uint8_t> out, Bytes in) noexcept {
    const std::size_t n = in.size();
    if (n > std::numeric_limits<std::uint32_t>::max())
        return 0;
    std::array<std::size_t, 256> count{};
    for (const std::uint8_t b : in)
        ++count[b];
    std::uint8_t mode = 0;
    for (unsigned v = 1; v < 256; ++v)
        if (count[v] > count[mode])
            mode = static_cast<std::uint8_t>(v);

    const bool write = !out.empty();
    if (write && out.size() < 5)
        return 0;
    if (write) {
        out[0] = mode;
        base::store_le32(out.data() + 1, static_cast<std::uint32_t>(n));
    }
    const std::size_t limit = std::min(n + 16, kEncodeCapacity);
    std::size_t pos = 5;
    for (std::size_t g = 0; g < n; g += 8) {
        if (pos >= limit)
            return 0;
        const std::size_t group = std::min<std::size_t>(8, n - g);
        std::size_t differing = 0;
        unsigned mask = 0;
        for (std::size_t b = 0; b < group; ++b)
            if (in[g + b] != mode) {
                mask |= 1u << b;
                ++differing;
            }
        if (write) {
            if (out.size() - pos < 1 + differing)
                return 0;
            out[pos] = static_cast<std::uint8_t>(mask);
            std::size_t q = pos + 1;
            for (std::size_t b = 0; b < group; ++b)
                if (in[g + b] != mode)
                    out[q++] = in[g + b];
        }
        pos += 1 + differing;
    }
    return pos;
}

std::size_t ModeMask::decode(std::span<std::uint8_t> out, Bytes in) noexcept {
    if (in.size() < 5)
        return 0;
    const std::uint8_t mode = in[0];
    const std::size_t length = base::load_le32(in.data() + 1);
    if (in.size() < 6)
        return length;
    const std::size_t limit = std::min(length, out.size());
    std::size_t o = 0, p = 5;
    while (o < limit && p < in.size()) {
        const unsigned mask = in[p++];
        for (unsigned b = 0; b < 8; ++b) {
            std::uint8_t v = mode;
            if (((mask >> b) & 1u) != 0)
                v = p < in.size() ? in[p++] : 0;
            if (o + b < out.size())
                out[o + b] = v;
        }
        o += 8;
    }
    return length;
}

} // namespace vt::vt5::codec
