#pragma once
// ImageDoc: the picture a worker holds while it converts one file, an array of layers filled by
// the loader. Layer 0 defines the canvas: its bitmap's size is the image's size.
//
// Ownership: every layer owns its Bitmap's pixels and its metadata block (malloc heap).
// Thread: one worker at a time. The record is large (about 170 KB): allocate it on the heap.

#include <cstdint>
#include <string>
#include <string_view>

#include "sdk/vt_plugin.h"

namespace vt::image {

inline constexpr std::uint32_t kMaxLayers = 1024;
inline constexpr std::size_t kLayerNameLength = 31;

// Layer mode bits.
inline constexpr std::uint16_t kModeBlendMask = 0x00FF;
inline constexpr std::uint16_t kModeHidden = 0x0100;
inline constexpr std::uint16_t kModeOnRequest = 0x0400;
inline constexpr std::uint16_t kModeSecondPass = 0x2000;

struct ImageDoc {
    Layer layers[kMaxLayers];
    std::uint32_t layer_count;
};

// Frees the layer's bitmap and metadata block and zeroes the whole layer.
void release_layer(Layer& layer) noexcept;

// Releases every layer (not only the first `layer_count`: a loader that failed half way may
// have filled more) and zeroes the document for the next image.
void release_image(ImageDoc& doc) noexcept;

// The layer's name; stored names are cut at 31 characters and always NUL-terminated.
[[nodiscard]] std::u16string layer_name(const Layer& layer);
void set_layer_name(Layer& layer, std::u16string_view name) noexcept;

// Replaces the layer's metadata block (freeing the old one unless it is the same block).
void set_layer_meta(Layer& layer, void* block, std::uint32_t size) noexcept;

} // namespace vt::image
