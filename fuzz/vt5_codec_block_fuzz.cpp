// The block stream readers, current and version 3 form, over arbitrary element bytes. The last
// byte chooses the form and the stream length; the destination is an exact-size heap block.

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "vt5/codec/block_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > (1u << 20))
        return 0;
    using namespace vt::vt5::codec;
    const std::uint8_t choice = data[size - 1];
    --size;
    // Lengths up to four blocks, some of them not a multiple of anything.
    const std::size_t length = (choice & 0x7Fu) * 2053u;
    std::unique_ptr<std::uint8_t[]> destination(new std::uint8_t[length + 1]);
    SpanSource source({data, size});
    const std::span<std::uint8_t> dest(destination.get(), length);
    const BlockStreamRead r = (choice & 0x80) != 0 ? read_block_stream_v3(dest, length, source)
                                                   : read_block_stream(dest, length, source);
    if (r.restored > length || (r.complete && r.restored != length))
        std::abort();
    return 0;
}
