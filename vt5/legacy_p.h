#pragma once
// The readers of the single-image layouts (major versions 2 and 1 or 0), for the reader chain.

#include <cstdint>

#include "image/load_status.h"
#include "sdk/vt_plugin.h"
#include "vt5/codec/block_stream.h"
#include "vt5/vt5.h"

namespace vt::vt5 {

// Reads the file at the source (its start) as `version` 2 or 1 (which also takes 0).
std::uint32_t read_single_image(Layer* layers, std::uint32_t capacity, image::LoadStatus& status,
                                codec::ByteSource& source, std::uint64_t size,
                                const ReadOptions& options, int version) noexcept;

} // namespace vt::vt5
