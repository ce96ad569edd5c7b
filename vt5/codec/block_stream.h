#pragma once
// The block stream: a layer's data stream stored as data block elements of at most 65,536
// stream bytes each, every block compressed by a chain of up to 16 codecs (codecs.h).
//
// Vt5ElementHeader (current layout), 8 bytes:
//
//   offset  size  field
//        0     1  element type (kElementBlock for a data block)
//        1     3  reserved, 0
//        4     4  body size in bytes
//
// Data block body (Vt5BlockHeader, then the payload); body size = 32 + C as written:
//
//   offset  size  field
//        0     4  reserved, 0
//        4     4  compressed length C: bytes of payload
//        8     4  uncompressed length U: stream bytes this block restores
//       12     4  reserved, 0
//       16    16  codec chain: the identifier applied k-th when writing at 16 + k; 0 = no step
//       32     C  payload
//
// The header is the first (body size - C) bytes of the body: a reader uses at most 32 of them
// (missing ones read as 0) and skips the rest. Reading undoes the chain from position 15 down
// to 0.
//
// Version 3 data block element, at least 28 bytes of header, then the payload:
//
//   offset  size  field
//        0     1  type (kElementBlock)
//        1     1  reserved
//        2     2  header size h (at least 28); other elements: element size, header included
//        4     4  C
//        8     4  U
//       12    16  codec chain
//        h     C  payload (after max(h, 4) bytes)
//
// The functions here know no files or message boxes: they read from a ByteSource, write to a
// ByteSink and report a BlockFault; the VT5 reader and writer put its text into the load
// status and show it as the file format requires.
// Thread: any; sources, sinks and the buffers of a call belong to that call.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vt::platform {
class File;
}

namespace vt::vt5::codec {

inline constexpr std::uint8_t kElementLayer = 1;
inline constexpr std::uint8_t kElementBlock = 2;
inline constexpr std::uint8_t kElementStamp = 254;
inline constexpr std::uint8_t kElementEnd = 255;

inline constexpr std::size_t kElementHeaderSize = 8;
inline constexpr std::size_t kBlockHeaderSize = 32;
inline constexpr std::size_t kBlockHeaderSizeV3 = 28;
inline constexpr std::size_t kChainLength = 16;
// The writer applies at most this many codecs to one block.
inline constexpr std::size_t kMaxWrittenSteps = 12;

using CodecChain = std::array<std::uint8_t, kChainLength>;

struct Vt5ElementHeader {
    std::uint8_t type = 0;
    std::uint32_t body_size = 0;
};

struct Vt5BlockHeader {
    std::uint32_t compressed_length = 0;   // C
    std::uint32_t uncompressed_length = 0; // U
    CodecChain chain{};
};

// Where a block stream is read from. Positions are absolute; seeking past the end is allowed
// and later reads then return 0 bytes.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to out.size() bytes; fewer only at the end of the data (or on an error).
    virtual std::size_t read(std::span<std::uint8_t> out) noexcept = 0;
    [[nodiscard]] virtual std::uint64_t position() const noexcept = 0;
    virtual bool seek(std::uint64_t position) noexcept = 0;
};

// Where a block stream is written.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Writes all bytes or reports fewer (a full disk).
    virtual std::size_t write(std::span<const std::uint8_t> bytes) noexcept = 0;
};

class SpanSource final : public ByteSource {
public:
    explicit SpanSource(std::span<const std::uint8_t> bytes) noexcept : m_bytes(bytes) {}
    std::size_t read(std::span<std::uint8_t> out) noexcept override;
    [[nodiscard]] std::uint64_t position() const noexcept override { return m_pos; }
    bool seek(std::uint64_t position) noexcept override;

private:
    std::span<const std::uint8_t> m_bytes;
    std::uint64_t m_pos = 0;
};

// An open file; the source moves the file to `position` first and keeps track of it.
class FileSource final : public ByteSource {
public:
    FileSource(platform::File& file, std::uint64_t position) noexcept;
    std::size_t read(std::span<std::uint8_t> out) noexcept override;
    [[nodiscard]] std::uint64_t position() const noexcept override { return m_pos; }
    bool seek(std::uint64_t position) noexcept override;

private:
    platform::File& m_file;
    std::uint64_t m_pos;
    bool m_ok;
};

// Appends to a vector; reports a short write when the vector cannot grow.
class VectorSink final : public ByteSink {
public:
    explicit VectorSink(std::vector<std::uint8_t>& out) noexcept : m_out(out) {}
    std::size_t write(std::span<const std::uint8_t> bytes) noexcept override;

private:
    std::vector<std::uint8_t>& m_out;
};

// Writes at an open file's current position.
class FileSink final : public ByteSink {
public:
    explicit FileSink(platform::File& file) noexcept : m_file(file) {}
    std::size_t write(std::span<const std::uint8_t> bytes) noexcept override;

private:
    platform::File& m_file;
};

enum class BlockFault : std::uint8_t {
    none,
    invalid_input,  // a step met an empty buffer or no data
    unknown_codec,  // a chain names a codec this reader does not know
    corrupt_block,  // a decoder failed, or the block's sizes contradict each other
    no_read_memory, // the reader's work buffers could not be allocated
    no_write_memory,
    invalid_chain, // the writer's chain holds a step that is no codec
    short_write,
};

// The message of a fault as the format's programs word it ("" for none).
[[nodiscard]] std::u16string_view block_fault_text(BlockFault fault) noexcept;
// The title of the warning box a non-silent reader shows for a fault; "" when no box is shown.
[[nodiscard]] std::u16string_view block_fault_title(BlockFault fault) noexcept;

struct BlockStreamRead {
    BlockFault fault = BlockFault::none;
    std::uint64_t restored = 0; // stream bytes accounted for: the sum of U, at most the length
    std::uint32_t blocks = 0;   // data blocks decoded
    // All `length` bytes were accounted for. False with no fault: the data ended first.
    bool complete = false;
};

// Reads data block elements (current layout) from the source's position until `length` stream
// bytes are restored, and writes them to `destination` (bytes past its end are dropped).
// Elements of other types are skipped by their body size. A fault stops the stream at the block
// that failed, leaving the source after that block; what was restored stays. The end of the
// data ends the stream without a fault. A block that claims more than kMaxBlockLength stream
// bytes is corrupt.
[[nodiscard]] BlockStreamRead read_block_stream(std::span<std::uint8_t> destination,
                                                std::uint64_t length, ByteSource& source) noexcept;

// The version 3 form: fewer than 12 bytes left end the stream; a non-block element ends it once
// a block was read (the source is left at that element) and is skipped by max(its size, 4)
// before that.
[[nodiscard]] BlockStreamRead read_block_stream_v3(std::span<std::uint8_t> destination,
                                                   std::uint64_t length,
                                                   ByteSource& source) noexcept;

struct BlockStreamWrite {
    BlockFault fault = BlockFault::none;
    std::uint32_t blocks = 0;
    [[nodiscard]] bool ok() const noexcept { return fault == BlockFault::none; }
};

// Writes the stream as data block elements, each chunk of up to kMaxBlockLength bytes passed
// through the codec choice loop: per step the candidates are measured (RunLength, DeltaNibble,
// ModeMask, RankPack with group 4; `thorough` adds RankPack with groups 2, 3, 5, 6, 8 and 16),
// the smallest wins (the earlier candidate on a tie) and steps go on while they make the block
// smaller, at most kMaxWrittenSteps. Without `thorough` blocks below 16 bytes are left as they
// are. An empty stream writes nothing.
[[nodiscard]] BlockStreamWrite write_block_stream(std::span<const std::uint8_t> stream,
                                                  ByteSink& sink, bool thorough) noexcept;

// One chunk through the codec choice loop, for callers that frame blocks themselves. `work` is
// 2 x kEncodeCapacity bytes; the result points into it.
struct CompressedBlock {
    std::span<const std::uint8_t> data;
    CodecChain chain{};
};
[[nodiscard]] CompressedBlock compress_block(std::span<const std::uint8_t> chunk,
                                             std::span<std::uint8_t> work, bool thorough) noexcept;

} // namespace vt::vt5::codec
