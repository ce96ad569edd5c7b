// XMP import over arbitrary text, into a markup buffer that the input's first bytes fill.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "image/markup_buffer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 1 << 20)
        return 0;
    const std::size_t seed = data[0] % 64 < size ? data[0] % 64 : 0;
    MarkupBuffer mb{};
    if (vt::image::markup_buffer_create_from(&mb, data + 1, static_cast<std::uint32_t>(seed)) == 0)
        return 0;
    const std::string_view xmp(reinterpret_cast<const char*>(data), size);
    (void)vt::image::import_xmp(&mb, xmp);
    // The record must stay consistent: text is the buffer, size its length + 1.
    if (mb.text != mb.buffer || (mb.size != 0 && mb.size != std::strlen(mb.text) + 1))
        std::abort();
    (void)vt::image::markup_buffer_append(&mb, "image.bpp=8;");
    std::uint32_t depth = 0;
    (void)vt::image::markup_buffer_get_bit_depth(&mb, &depth);
    vt::image::markup_buffer_free(&mb);
    return 0;
}
