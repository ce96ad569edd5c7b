// Every block decoder over arbitrary bytes. The last two bytes choose the decoder, the literal
// rule and the output capacity; the output is an exact-size heap block, so a byte written past
// the capacity is caught.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "vt5/codec/codecs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > (1u << 18))
        return 0;
    using namespace vt::vt5::codec;
    static constexpr std::uint8_t kIds[] = {1, 2, 3, 4, 5, 6, 7, 19, 35};
    const std::uint8_t choice = data[size - 2];
    const std::uint8_t id = kIds[choice % std::size(kIds)];
    const Literals literals = (choice & 0x80) != 0 ? Literals::legacy : Literals::current;
    // Capacities from tiny to a block and its slack.
    const std::size_t capacity =
        (choice & 0x40) != 0 ? data[size - 1] : static_cast<std::size_t>(data[size - 1]) * 512;
    size -= 2;

    const std::vector<std::uint8_t> in(data, data + size);
    std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[capacity + 1]);
    const std::size_t n = decode_step(id, {out.get(), capacity}, in, literals);
    if (id != kCodecModeMask && id != kCodecRankPack && n > capacity)
        std::abort();
    return 0;
}
