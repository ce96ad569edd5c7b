#pragma once
// The VT5 block codecs: byte-oriented coders applied in a chain to each data block of at most
// 65,536 bytes (see block_stream.h). Multi-byte numbers are little-endian; bit streams are least
// significant bit first (bit p is bit p mod 8 of byte p div 8).
//
// Decoders take (out, in) and return the bytes produced, 0 for corrupt data. They never write
// past out.size() and never read past in.size(). The group decoders (ModeMask, RankPack) return
// the length recorded in their data, which may exceed out.size() or what they could fill: the
// caller clips the result to its buffer and to the length it expects.
//
// Encoders take (out, in): an empty `out` only measures. They return the bytes produced, or 0
// when they give up (the result would not beat the input by their margin) or when the result
// does not fit in a non-empty `out`. An out of kEncodeCapacity bytes always suffices for inputs
// of up to kMaxBlockLength bytes. A few encoders carry bytes from just past the input end (a
// literal of at least three bytes, an unused high nibble); those read as 0.
//
// Thread: any; nothing here keeps state.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vt::vt5::codec {

inline constexpr std::size_t kMaxBlockLength = 65536; // stream bytes per data block
inline constexpr std::size_t kEncodeCapacity = 0x11000;
// How far ahead RunLength and DeltaNibble look for one token.
inline constexpr std::size_t kLookLimit = 0x20000;

// Codec identifiers as they appear in a chain.
inline constexpr std::uint8_t kCodecNone = 0;
inline constexpr std::uint8_t kCodecRunLength = 1;
inline constexpr std::uint8_t kCodecDeltaNibble = 2;
inline constexpr std::uint8_t kCodecRankCode = 3;
inline constexpr std::uint8_t kCodecFlagBits = 4;
inline constexpr std::uint8_t kCodecDeltaBits = 5;
inline constexpr std::uint8_t kCodecRankPack = 6;
inline constexpr std::uint8_t kCodecModeMask = 7;
inline constexpr std::uint8_t kCodecRankPack4 = 19;
inline constexpr std::uint8_t kCodecRankPack2 = 35;
inline constexpr std::uint8_t kCodecPassword = 255; // the password step of the old layouts

// Literal tokens of RunLength and DeltaNibble under the legacy rule: byte 1 is always a literal
// of two bytes, never a long literal. Files of major version 1 use it; version 2 retries with it
// when a first decode without it fails.
enum class Literals : std::uint8_t { current, legacy };

// RunLength (1). Tokens until a 0 byte or the end of the input:
//
//   first byte t   token
//   0              end of data
//   0x80           long run: u32 count n, value byte; n copies
//   0x81-0xFF      short run: n = (t & 0x7F) + 1 (2-128), value byte
//   1              long literal: u32 count n, n bytes (a count of 0x1000000 or more, or the
//                  legacy rule, makes it a literal of 2 bytes whose bytes follow at once)
//   2-0x7F         short literal: n = t + 1 (3-128) bytes
//
// Decoding: a token that would bring the output to out.size() or beyond is corrupt (0); a token
// whose bytes are not all present ends decoding with the bytes produced so far.
// Encoding gives up when, before a token, the output has reached input length + 16 or would
// reach kEncodeCapacity.
struct RunLength {
    static constexpr std::uint8_t kId = kCodecRunLength;
    [[nodiscard]] static std::size_t encode(std::span<std::uint8_t> out,
                                            std::span<const std::uint8_t> in) noexcept;
    [[nodiscard]] static std::size_t decode(std::span<std::uint8_t> out,
                                            std::span<const std::uint8_t> in,
                                            Literals literals = Literals::current) noexcept;
};

// DeltaNibble (2). Literal tokens (1-0x7F) and the end byte as RunLength. A first byte t of 0x80
// or more starts a delta run of n values (n = (t & 0x7F) + 1, or a u32 after 0x80): the first
// value v, then n div 2 bytes of 4-bit deltas, low nibble first; delta k (k = 0 .. n - 2) is
// nibble k and each next value is (v + nibble - 7) mod 256. A run that would write past
// out.size() is corrupt (0). Encoding gives up as RunLength does.
struct DeltaNibble {
    static constexpr std::uint8_t kId = kCodecDeltaNibble;
    [[nodiscard]] static std::size_t encode(std::span<std::uint8_t> out,
                                            std::span<const std::uint8_t> in) noexcept;
    [[nodiscard]] static std::size_t decode(std::span<std::uint8_t> out,
                                            std::span<const std::uint8_t> in,
                                            Literals literals = Literals::current) noexcept;
};

// ModeMask (7).
//
//   offset  size  field
//        0     1  mode m: the most frequent byte value (on equal counts the lowest)
//        1     4  uncoded length L
//        5     …  per 8 input bytes: a mask byte (bit b set: byte b of the group differs from m),
//                 then the differing bytes in order
//
// The encoder gives up when, at the start of a group, the output has reached
// min(L + 16, kEncodeCapacity). The decoder returns L; with fewer than 6 input bytes it writes
// nothing. It decodes whole groups (clipped at out.size()) while the output is below L and
// input remains; a differing byte missing at the end of the input reads as 0.
struct ModeMask {
    static constexpr std::uint8_t kId = kCodecModeMask;
    [[nodiscard]] static std::size_t encode(std::span<std::uint8_t> out,
                                            std::span<const std::uint8_t> in) noexcept;
    [[nodiscard]] static std::size_t decode(std::span<std::uint8_t> out,
                                            std::span<const std::uint8_t> in) noexcept;
};

// RankPack (6).
//
//   offset  size  field
//        0   256  rank table: table[r] is the byte value of rank r (most frequent first, equal
//                 counts and absent values in ascending value order)
//      256     4  uncoded length L
//      260     1  group size g minus 1
//      261     …  bit stream: per group of g input bytes a 3-bit field w - 1, then g ranks of
//                 w bits, w the bit length of the group's largest rank (1-8); the last group is
//                 padded with the input's last byte
//
// The encoder clamps the group size to 1-16. Before each group it returns a length of
// kEncodeCapacity or more as it is (the caller rejects it) and gives up (0) once the length has
// reached L + 16. The decoder needs 261 bytes (else 0) and returns L; it decodes whole groups
// (clipped at out.size()) while the output is below L; bits past the input read as 0.
struct RankPack {
    static constexpr std::uint8_t kId = kCodecRankPack;
    static constexpr std::size_t kHeaderSize = 261;
    [[nodiscard]] static std::size_t
    encode(std::span<std::uint8_t> out, std::span<const std::uint8_t> in, int group_size) noexcept;
    [[nodiscard]] static std::size_t decode(std::span<std::uint8_t> out,
                                            std::span<const std::uint8_t> in) noexcept;
};

// RankCode (3), read only. Bytes 0-255 the rank table; from byte 256 one code per output byte:
// a 2-bit class c, then an index of 2c + 2 bits; the output is table[index]. Needs more than 256
// input bytes (else 0); stops at out.size() or when the next code is not complete.
struct RankCode {
    static constexpr std::uint8_t kId = kCodecRankCode;
    [[nodiscard]] static std::size_t decode(std::span<std::uint8_t> out,
                                            std::span<const std::uint8_t> in) noexcept;
};

// RankPack4 (19) and RankPack2 (35), read only. Bytes 0-255 the rank table; from byte 256 groups
// of 4 (2) output bytes: a 3-bit field w - 1, then 4 (2) indices of w bits. Limits and result
// as RankCode; decoding stops at the first index that is not complete.
struct RankPack4 {
    static constexpr std::uint8_t kId = kCodecRankPack4;
    [[nodiscard]] static std::size_t decode(std::span<std::uint8_t> out,
                                            std::span<const std::uint8_t> in) noexcept;
};
struct RankPack2 {
    static constexpr std::uint8_t kId = kCodecRankPack2;
    [[nodiscard]] static std::size_t decode(std::span<std::uint8_t> out,
                                            std::span<const std::uint8_t> in) noexcept;
};

// FlagBits (4), read only. Byte 0 a value m; from byte 1 per output byte a flag bit: 1 gives m,
// 0 is followed by an 8-bit literal. Needs 2 input bytes (else 0); stops at out.size() or when
// the next code is not complete.
struct FlagBits {
    static constexpr std::uint8_t kId = kCodecFlagBits;
    [[nodiscard]] static std::size_t decode(std::span<std::uint8_t> out,
                                            std::span<const std::uint8_t> in) noexcept;
};

// DeltaBits (5), read only. Tokens by first byte t:
//
//   0                  end of data
//   (t & 0xC0) = 0     literal of (t & 0x3F) + 1 bytes
//   (t & 0xC0) = 0x40  a value byte v (output), then (t & 0x3F) deltas in a bit stream from the
//                      next byte: a 3-bit head h (w = (h & 3) + 1; bit 2 set subtracts), then w
//                      bits of magnitude; v = v -/+ magnitude mod 256 is output. The token ends
//                      at the byte after the last bit used.
//   0x80-0xFF          ignored (one byte)
//
// Stops at out.size() or at the end of the input (a cut literal or delta stops where the input
// ends).
struct DeltaBits {
    static constexpr std::uint8_t kId = kCodecDeltaBits;
    [[nodiscard]] static std::size_t decode(std::span<std::uint8_t> out,
                                            std::span<const std::uint8_t> in) noexcept;
};

// Whether the decoder of `id` exists in the blocks of the current layout (and of version 3):
// 1-7, 19 and 35.
[[nodiscard]] bool is_block_codec(std::uint8_t id) noexcept;

// Runs the decoder of `id` (not kCodecNone or kCodecPassword). An unknown id gives 0; ask
// is_block_codec() first to tell it from corrupt data. `literals` applies to RunLength and
// DeltaNibble only.
[[nodiscard]] std::size_t decode_step(std::uint8_t id, std::span<std::uint8_t> out,
                                      std::span<const std::uint8_t> in,
                                      Literals literals = Literals::current) noexcept;

} // namespace vt::vt5::codec
