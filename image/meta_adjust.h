#pragma once
// The edits that transforms make to a layer's metadata: rotation and resize adjustments, the
// privacy clean-up and the merge of several frames' metadata into one block.
// Out of memory in a step skips that step (the chunk stays as it was); the adjustments still
// report success.
// Thread: the caller owns the layers.

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::image {

// The orientation text of an EXIF orientation value 1..8 ("top - left", ...); "" otherwise.
[[nodiscard]] const char* orientation_text(long value) noexcept;

// After turning the layer's pixels by `turn` (1 = 90° clockwise, 2 = 180°, 3 = 90° counter-
// clockwise), turns what its metadata says about geometry: the EXIF orientation, the text
// rotation, path points, animation offsets, resolution, hot spot and sprite grid. The layer's
// bitmap already has the size after the turn. Returns 1; 0 for a turn outside 1..3.
int adjust_meta_for_rotation(Layer& layer, int turn) noexcept;

// After scaling the layer by sx, sy: brush spacing, text size, path points, animation offsets,
// the hot spot and (when `retain_print_size`) the resolution. Returns 1.
int adjust_meta_for_resize(Layer& layer, double sx, double sy, bool retain_print_size) noexcept;

// Deletes the GPS keys (`gps`) and the date keys (`dates`) from every layer's markup, every
// occurrence of each. Returns 0 when neither flag is set, else 1.
int remove_private_data(Layer* layers, std::uint32_t count, bool gps, bool dates) noexcept;

// Makes the EXIF pixel dimensions in the layer's markup ("exif.photo.pixel_x_dimension",
// "exif.photo.pixel_y_dimension"), where present, those of its bitmap, so that a resized or
// turned picture does not claim its old size. A "(short) " type mark stays while the size fits
// it. Returns 1 when the markup changed.
int sync_exif_dimensions(Layer& layer) noexcept;

// A new block for the first layer: a copy of its block whose markup also holds the "brush." and
// "exif." entries of the other layers that the first lacks (first come, first kept). The caller
// owns the block (malloc heap); `block_size` receives its size. Null when out of memory or
// `count` is 0.
[[nodiscard]] void* merge_frame_metadata(const Layer* layers, std::uint32_t count,
                                         std::uint32_t* block_size) noexcept;

} // namespace vt::image
