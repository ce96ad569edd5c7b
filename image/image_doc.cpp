#include "image/image_doc.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "image/bitmap.h"

namespace vt::image {

void release_layer(Layer& layer) noexcept {
    if (layer.bitmap.signature != 0)
        FreeBitmap(&layer.bitmap);
    std::free(layer.meta);
    std::memset(static_cast<void*>(&layer), 0, sizeof(Layer));
}

void release_image(ImageDoc& doc) noexcept {
    for (Layer& layer : doc.layers)
        release_layer(layer);
    doc.layer_count = 0;
}

std::u16string layer_name(const Layer& layer) {
    std::u16string name;
    for (std::size_t i = 0; i < kLayerNameLength && layer.name[i] != 0; ++i)
        name.push_back(static_cast<char16_t>(layer.name[i]));
    return name;
}

void set_layer_name(Layer& layer, std::u16string_view name) noexcept {
    const std::size_t n = std::min(name.size(), kLayerNameLength);
    std::fill(std::begin(layer.name), std::end(layer.name), std::uint16_t{0});
    for (std::size_t i = 0; i < n; ++i)
        layer.name[i] = name[i];
}

void set_layer_meta(Layer& layer, void* block, std::uint32_t size) noexcept {
    if (layer.meta != block)
        std::free(layer.meta);
    layer.meta = block;
    layer.meta_size = block == nullptr ? 0 : size;
}

} // namespace vt::image
