// Block stream reading (current and version 3 forms) and writing with the codec choice loop.

#include "vt5/codec/block_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "base/le.h"
#include "platform/files.h"
#include "vt5/codec/codecs.h"

namespace vt::vt5::codec {
namespace {

// Decoders may fill this much past a block's U: room for whole groups and stray tokens.
constexpr std::size_t kDecodeSlack = 65536;

bool skip(ByteSource& source, std::uint64_t n) noexcept {
    const std::uint64_t here = source.position();
    if (n > std::numeric_limits<std::uint64_t>::max() - here)
        return false;
    return source.seek(here + n);
}

// The two work buffers of a reading stream, kept across its blocks and grown when a block needs
// larger halves.
class ReadBuffers {
public:
    // Each half holds ((U + 65,539) rounded down to a multiple of 4) + 4096 bytes.
    [[nodiscard]] bool reserve(std::uint32_t u) noexcept {
        const std::size_t half = ((static_cast<std::size_t>(u) + 65539) & ~std::size_t{3}) + 4096;
        if (half <= m_half)
            return true;
        m_region.reset(new (std::nothrow) std::uint8_t[2 * half]());
        m_half = m_region ? half : 0;
        return m_region != nullptr;
    }
    [[nodiscard]] std::size_t half() const noexcept { return m_half; }
    [[nodiscard]] std::span<std::uint8_t> a() noexcept { return {m_region.get(), m_half}; }
    [[nodiscard]] std::span<std::uint8_t> b() noexcept { return {m_region.get() + m_half, m_half}; }

private:
    std::unique_ptr<std::uint8_t[]> m_region;
    std::size_t m_half = 0;
};

// Reads the payload of a block whose header is known and undoes its chain. `ended` is set when
// the payload is cut short (the stream ends without a fault).
BlockFault decode_block(const Vt5BlockHeader& header, ByteSource& source, ReadBuffers& buffers,
                        std::span<const std::uint8_t>& result, bool& ended) noexcept {
    const std::uint32_t u = header.uncompressed_length;
    if (u > kMaxBlockLength)
        return BlockFault::corrupt_block;
    if (!buffers.reserve(u))
        return BlockFault::no_read_memory;
    if (header.compressed_length > buffers.half())
        return BlockFault::corrupt_block;
    std::span<std::uint8_t> current = buffers.a();
    std::span<std::uint8_t> other = buffers.b();
    std::size_t length = header.compressed_length;
    if (source.read(current.first(length)) < length) {
        ended = true;
        return BlockFault::none;
    }
    const std::size_t capacity = static_cast<std::size_t>(u) + kDecodeSlack;
    for (std::size_t k = kChainLength; k-- > 0;) {
        if (length == 0)
            return BlockFault::invalid_input;
        const std::uint8_t id = header.chain[k];
        if (id == kCodecNone)
            continue;
        if (!is_block_codec(id))
            return BlockFault::unknown_codec;
        const std::size_t n = decode_step(id, other.first(capacity), current.first(length));
        if (n == 0)
            return BlockFault::corrupt_block;
        // The group decoders report their recorded length; never let a later step read beyond
        // what this buffer holds.
        length = std::min(n, capacity);
        std::swap(current, other);
    }
    result = current.first(length);
    return BlockFault::none;
}

// Puts a decoded block into the destination and accounts for its U.
void place_block(std::span<const std::uint8_t> data, std::uint32_t u,
                 std::span<std::uint8_t> destination, BlockStreamRead& report,
                 std::uint64_t length) noexcept {
    const std::uint64_t at = report.restored;
    const std::uint64_t room = at < destination.size() ? destination.size() - at : 0;
    const std::size_t n = static_cast<std::size_t>(
        std::min<std::uint64_t>({data.size(), static_cast<std::uint64_t>(u), room}));
    if (n > 0)
        std::memcpy(destination.data() + at, data.data(), n);
    report.restored += std::min<std::uint64_t>(u, length - at);
    ++report.blocks;
    report.complete = report.restored == length;
}

Vt5BlockHeader parse_block_header(std::span<const std::uint8_t, kBlockHeaderSize> h) noexcept {
    Vt5BlockHeader header;
    header.compressed_length = base::load_le32(h.data() + 4);
    header.uncompressed_length = base::load_le32(h.data() + 8);
    std::copy_n(h.begin() + 16, kChainLength, header.chain.begin());
    return header;
}

} // namespace

std::size_t SpanSource::read(std::span<std::uint8_t> out) noexcept {
    if (m_pos >= m_bytes.size())
        return 0;
    const std::size_t at = static_cast<std::size_t>(m_pos);
    const std::size_t n = std::min(out.size(), m_bytes.size() - at);
    if (n > 0)
        std::memcpy(out.data(), m_bytes.data() + at, n);
    m_pos += n;
    return n;
}

bool SpanSource::seek(std::uint64_t position) noexcept {
    m_pos = position;
    return true;
}

FileSource::FileSource(platform::File& file, std::uint64_t position) noexcept
    : m_file(file), m_pos(position), m_ok(file.seek(position)) {}

std::size_t FileSource::read(std::span<std::uint8_t> out) noexcept {
    if (!m_ok)
        return 0;
    const std::size_t n = m_file.read(out);
    m_pos += n;
    return n;
}

bool FileSource::seek(std::uint64_t position) noexcept {
    m_ok = m_file.seek(position);
    m_pos = position;
    return m_ok;
}

std::size_t VectorSink::write(std::span<const std::uint8_t> bytes) noexcept {
    try {
        m_out.insert(m_out.end(), bytes.begin(), bytes.end());
    } catch (...) {
        return 0;
    }
    return bytes.size();
}

std::size_t FileSink::write(std::span<const std::uint8_t> bytes) noexcept {
    return m_file.write(bytes);
}

std::u16string_view block_fault_text(BlockFault fault) noexcept {
    switch (fault) {
    case BlockFault::none:
        return u"";
    case BlockFault::invalid_input:
        return u"Block Error: Invalid input data for block";
    case BlockFault::unknown_codec:
        return u"Block Error: Unknown/unsupported compressor";
    case BlockFault::corrupt_block:
        return u"Block Error: Invalid/corrupt data in block";
    case BlockFault::no_read_memory:
        return u"Error creating memory buffers for decompression";
    case BlockFault::no_write_memory:
        return u"Out of memory for VT5 compression buffer";
    case BlockFault::invalid_chain:
        return u"Internal error in compressor - invalid codec ID";
    case BlockFault::short_write:
        return u"Error writing data to file, disk may be full";
    }
    return u"";
}

std::u16string_view block_fault_title(BlockFault fault) noexcept {
    switch (fault) {
    case BlockFault::unknown_codec:
        return u"VT5 Decoder - Unknown Element";
    case BlockFault::invalid_input:
    case BlockFault::corrupt_block:
        return u"VT5 Decoder - Corrupt Block";
    default:
        return u"";
    }
}

BlockStreamRead read_block_stream(std::span<std::uint8_t> destination, std::uint64_t length,
                                  ByteSource& source) noexcept {
    BlockStreamRead report;
    report.complete = length == 0;
    ReadBuffers buffers;
    while (!report.complete) {
        std::array<std::uint8_t, kElementHeaderSize> element{};
        if (source.read(element) < element.size())
            break;
        const std::uint32_t body = base::load_le32(element.data() + 4);
        if (element[0] != kElementBlock) {
            if (!skip(source, body))
                break;
            continue;
        }
        std::array<std::uint8_t, kBlockHeaderSize> raw{};
        const std::size_t taken = std::min<std::size_t>(body, kBlockHeaderSize);
        if (source.read(std::span(raw).first(taken)) < taken)
            break;
        const Vt5BlockHeader header = parse_block_header(raw);
        if (body - taken < header.compressed_length) {
            report.fault = BlockFault::corrupt_block;
            break;
        }
        if (!skip(source, body - taken - header.compressed_length))
            break;
        std::span<const std::uint8_t> data;
        bool ended = false;
        report.fault = decode_block(header, source, buffers, data, ended);
        if (report.fault != BlockFault::none || ended)
            break;
        place_block(data, header.uncompressed_length, destination, report, length);
    }
    return report;
}

BlockStreamRead read_block_stream_v3(std::span<std::uint8_t> destination, std::uint64_t length,
                                     ByteSource& source) noexcept {
    BlockStreamRead report;
    report.complete = length == 0;
    ReadBuffers buffers;
    while (!report.complete) {
        const std::uint64_t start = source.position();
        std::array<std::uint8_t, kBlockHeaderSizeV3> raw{};
        const std::size_t peeked = source.read(std::span(raw).first(12));
        if (!source.seek(start) || peeked < 12)
            break;
        const std::uint16_t size = base::load_le16(raw.data() + 2);
        if (raw[0] != kElementBlock) {
            if (report.blocks > 0 || !source.seek(start + std::max<std::uint16_t>(size, 4)))
                break;
            continue;
        }
        // C and U come from the peek, so a header claiming fewer than 12 bytes still has them.
        const std::size_t taken = std::min<std::size_t>(size, kBlockHeaderSizeV3);
        std::array<std::uint8_t, kBlockHeaderSizeV3> head{};
        if (source.read(std::span(head).first(taken)) < taken)
            break;
        if (!source.seek(start + std::max<std::uint16_t>(size, 4)))
            break;
        Vt5BlockHeader header;
        header.compressed_length = base::load_le32(raw.data() + 4);
        header.uncompressed_length = base::load_le32(raw.data() + 8);
        std::copy_n(head.begin() + 12, kChainLength, header.chain.begin());

        std::span<const std::uint8_t> data;
        bool ended = false;
        report.fault = decode_block(header, source, buffers, data, ended);
        if (report.fault != BlockFault::none || ended)
            break;
        place_block(data, header.uncompressed_length, destination, report, length);
    }
    return report;
}

CompressedBlock compress_block(std::span<const std::uint8_t> chunk, std::span<std::uint8_t> work,
                               bool thorough) noexcept {
    CompressedBlock block;
    if (chunk.size() > kMaxBlockLength || work.size() < 2 * kEncodeCapacity)
        return block;
    std::span<std::uint8_t> current = work.first(kEncodeCapacity);
    std::span<std::uint8_t> other = work.subspan(kEncodeCapacity, kEncodeCapacity);
    if (!chunk.empty())
        std::memcpy(current.data(), chunk.data(), chunk.size());
    std::size_t length = chunk.size();

    struct Candidate {
        std::uint8_t id;
        int group;
    };
    static constexpr Candidate kCandidates[] = {
        {kCodecRunLength, 0}, {kCodecDeltaNibble, 0}, {kCodecModeMask, 0}, {kCodecRankPack, 4},
        {kCodecRankPack, 2},  {kCodecRankPack, 3},    {kCodecRankPack, 5}, {kCodecRankPack, 6},
        {kCodecRankPack, 8},  {kCodecRankPack, 16},
    };
    auto run = [](const Candidate& c, std::span<std::uint8_t> out,
                  std::span<const std::uint8_t> in) -> std::size_t {
        switch (c.id) {
        case kCodecRunLength:
            return RunLength::encode(out, in);
        case kCodecDeltaNibble:
            return DeltaNibble::encode(out, in);
        case kCodecModeMask:
            return ModeMask::encode(out, in);
        default:
            return RankPack::encode(out, in, c.group);
        }
    };

    for (std::size_t step = 0; step < kMaxWrittenSteps; ++step) {
        if (length < 16 && !thorough)
            break;
        const std::size_t count = thorough ? std::size(kCandidates) : 4;
        const std::span<const std::uint8_t> in = current.first(length);
        std::size_t best = count;
        std::size_t best_size = 0;
        for (std::size_t c = 0; c < count; ++c) {
            const std::size_t size = run(kCandidates[c], {}, in);
            if (size >= 1 && size < 2 * length && (best == count || size < best_size)) {
                best = c;
                best_size = size;
            }
        }
        if (best == count || best_size >= length)
            break;
        const std::size_t real = run(kCandidates[best], other, in);
        if (real < 1 || real >= length)
            break;
        block.chain[step] = kCandidates[best].id;
        std::swap(current, other);
        length = real;
    }
    block.data = current.first(length);
    return block;
}

BlockStreamWrite write_block_stream(std::span<const std::uint8_t> stream, ByteSink& sink,
                                    bool thorough) noexcept {
    BlockStreamWrite report;
    std::unique_ptr<std::uint8_t[]> work(new (std::nothrow) std::uint8_t[2 * kEncodeCapacity]());
    if (!work) {
        report.fault = BlockFault::no_write_memory;
        return report;
    }
    std::size_t done = 0;
    while (done < stream.size()) {
        const std::size_t n = std::min(stream.size() - done, kMaxBlockLength);
        const CompressedBlock block =
            compress_block(stream.subspan(done, n), {work.get(), 2 * kEncodeCapacity}, thorough);
        for (const std::uint8_t id : block.chain)
            if (id != kCodecNone && id != kCodecRunLength && id != kCodecDeltaNibble &&
                id != kCodecRankPack && id != kCodecModeMask) {
                report.fault = BlockFault::invalid_chain;
                return report;
            }
        std::array<std::uint8_t, kElementHeaderSize + kBlockHeaderSize> head{};
        const auto c = static_cast<std::uint32_t>(block.data.size());
        head[0] = kElementBlock;
        base::store_le32(head.data() + 4, static_cast<std::uint32_t>(kBlockHeaderSize) + c);
        base::store_le32(head.data() + kElementHeaderSize + 4, c);
        base::store_le32(head.data() + kElementHeaderSize + 8, static_cast<std::uint32_t>(n));
        std::copy(block.chain.begin(), block.chain.end(), head.begin() + kElementHeaderSize + 16);
        if (sink.write(head) < head.size() || sink.write(block.data) < block.data.size()) {
            report.fault = BlockFault::short_write;
            return report;
        }
        ++report.blocks;
        done += n;
    }
    return report;
}

} // namespace vt::vt5::codec
