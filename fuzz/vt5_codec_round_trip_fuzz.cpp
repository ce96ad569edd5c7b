// Every encoder, and the block stream writer, on arbitrary bytes: measuring and writing agree,
// and the decoder (or the block stream reader) gives the input back exactly. The last byte
// chooses the coder.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vt5/codec/block_stream.h"
#include "vt5/codec/codecs.h"

namespace {

using namespace vt::vt5::codec;

std::size_t run_encoder(int which, std::span<std::uint8_t> out, std::span<const std::uint8_t> in) {
    switch (which) {
    case 0:
        return RunLength::encode(out, in);
    case 1:
        return DeltaNibble::encode(out, in);
    case 2:
        return ModeMask::encode(out, in);
    default:
        return RankPack::encode(out, in, which - 2);
    }
}

std::uint8_t id_of(int which) {
    return which == 0   ? kCodecRunLength
           : which == 1 ? kCodecDeltaNibble
           : which == 2 ? kCodecModeMask
                        : kCodecRankPack;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 3 * kMaxBlockLength)
        return 0;
    const std::uint8_t choice = data[size - 1];
    --size;
    const std::vector<std::uint8_t> in(data, data + size);

    if (choice >= 0xF0) {
        // The whole block stream, normal or thorough.
        std::vector<std::uint8_t> file;
        VectorSink sink(file);
        if (!write_block_stream(in, sink, (choice & 1) != 0).ok())
            std::abort();
        std::vector<std::uint8_t> back(size);
        SpanSource source(file);
        const BlockStreamRead r = read_block_stream(back, size, source);
        if (!r.complete || r.fault != BlockFault::none || back != in)
            std::abort();
        return 0;
    }
    if (size > kMaxBlockLength)
        return 0;
    const int which = choice % 19; // RunLength, DeltaNibble, ModeMask, RankPack 1-16
    std::vector<std::uint8_t> packed(kEncodeCapacity);
    const std::size_t measured = run_encoder(which, {}, in);
    const std::size_t n = run_encoder(which, packed, in);
    if (n != measured)
        std::abort();
    if (n == 0)
        return 0;
    packed.resize(n);
    std::vector<std::uint8_t> out(size + kMaxBlockLength);
    const std::size_t got = decode_step(id_of(which), out, packed);
    if (got < size || !std::equal(in.begin(), in.end(), out.begin()))
        std::abort();
    return 0;
}
