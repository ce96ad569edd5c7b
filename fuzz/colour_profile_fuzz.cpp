// A colour profile from a file, as the conversion to sRGB reads it for a deep picture: its
// colorants and curves in double precision, or Little CMS's own transform. The input's last byte
// chooses the picture's channels and the intent.

#include <cstdint>
#include <cstring>

#include "image/deep_image.h"
#include "image/image_doc.h"
#include "image/meta_block.h"
#include "pipeline/colour_step.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 1 << 20)
        return 0;
    const std::uint8_t options = data[size - 1];
    --size;
    Layer layer{};
    if (vt::image::replace_layer_chunk(layer, vt::image::meta_tag("ICCP"),
                                       static_cast<std::uint32_t>(size), data) == 0)
        return 0;
    vt::image::DeepImage deep;
    const std::uint32_t channels = (options & 1) != 0 ? VT_DEEP_RGBA : VT_DEEP_GREY_ALPHA;
    if (deep.create(7, 3, channels)) {
        for (std::uint32_t i = 0; i < 7 * 3 * channels; ++i)
            deep.record().samples[i] = static_cast<std::uint16_t>(i * 3121u);
        (void)vt::pipeline::ConvertDeepToSrgb(layer, deep, (options >> 1) & 1);
    }
    vt::image::release_layer(layer);
    return 0;
}
