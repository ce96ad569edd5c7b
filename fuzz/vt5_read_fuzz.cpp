// The VT5 reader over whole files, every layout. The last byte chooses the options: slot count,
// silent, the file name's extension, passwords for a protected file (bit 7), and whether what
// was read is written again (normal or thorough) and must read back to the same pixels. Limits are
// lowered below the fuzzer's memory budget.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "image/bitmap.h"
#include "image/image_doc.h"
#include "image/load_status.h"
#include "vt5/vt5.h"

namespace {

bool same_pixels(Layer& a, Layer& b) {
    if (a.bitmap.width != b.bitmap.width || a.bitmap.height != b.bitmap.height)
        return false;
    vt::image::ScopedBitmapLock la(&a.bitmap, 0);
    vt::image::ScopedBitmapLock lb(&b.bitmap, 0);
    for (std::uint32_t y = 0; y < a.bitmap.height; ++y)
        for (std::uint32_t x = 0; x < a.bitmap.width; ++x)
            if (a.bitmap.pixels[std::size_t{y} * a.bitmap.stride + x] !=
                b.bitmap.pixels[std::size_t{y} * b.bitmap.stride + x])
                return false;
    return true;
}

void release(std::vector<Layer>& layers) {
    for (Layer& l : layers)
        vt::image::release_layer(l);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > (1u << 20))
        return 0;
    const std::uint8_t choice = data[size - 1];
    --size;
    static constexpr std::uint32_t kCapacities[] = {1, 2, 3, 8, 64, 1024, 4, 16};
    const std::uint32_t capacity = kCapacities[choice & 7];

    vt::vt5::ReadOptions options;
    options.max_total_pixels = std::uint64_t{1} << 20;
    options.max_stream_bytes = std::uint64_t{16} << 20;
    static const std::vector<std::u16string> kPasswords = {u"", u"wrong", u"secret"};
    if ((choice & 128) != 0)
        options.passwords = &kPasswords;
    std::vector<Layer> layers(capacity);
    vt::image::LoadStatus status{};
    status.silent = (choice & 8) != 0 ? 1 : 0;
    const std::u16string_view name = (choice & 16) != 0 ? u"f.vt5" : u"f.bin";
    const std::uint32_t count =
        vt::vt5::Vt5Read(layers.data(), capacity, status, {data, size}, name, options);
    if (count > capacity)
        std::abort();

    if (count > 0 && (choice & 32) != 0) {
        std::vector<std::uint8_t> file;
        vt::vt5::WriteOptions write;
        write.thorough = (choice & 64) != 0;
        vt::image::LoadStatus wstatus{};
        wstatus.doc_kind = status.doc_kind;
        if (vt::vt5::Vt5Write(layers.data(), count, wstatus, file, write) == count) {
            std::vector<Layer> back(capacity);
            vt::image::LoadStatus rstatus{};
            rstatus.silent = 1;
            if (vt::vt5::Vt5Read(back.data(), capacity, rstatus, file, u"f.vt5", options) != count)
                std::abort();
            for (std::uint32_t i = 0; i < count; ++i)
                if (!same_pixels(layers[i], back[i]))
                    std::abort();
            release(back);
        }
    }
    release(layers);
    return 0;
}
