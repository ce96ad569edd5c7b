#pragma once
// The block stream as the VT5 reader and writer use it: the codec library's stream functions
// (vt5/codec/block_stream.h) reporting through a LoadStatus, with the decoder's warning boxes.
// Thread: any; the status belongs to the caller.

#include <cstdint>
#include <span>

#include "image/load_status.h"
#include "vt5/codec/block_stream.h"

namespace vt::vt5 {

// Restores `length` stream bytes from the data block elements at the source's position into
// `destination` (bytes beyond its end are dropped). Sets error_text to "An unknown error
// occurred" first; a fault puts its text there and, unless silent, shows it in a warning box
// ("VT5 Decoder - Unknown Element" or "VT5 Decoder - Corrupt Block"). The stream stops at the
// fault and the result is still 1: the layer keeps what was restored. `restored`, when given,
// receives the stream bytes accounted for.
int Vt5ReadBlockStream(std::span<std::uint8_t> destination, std::uint64_t length,
                       codec::ByteSource& source, image::LoadStatus& status,
                       std::uint64_t* restored = nullptr) noexcept;

// The same over the version 3 block form; after a fault the source is put behind the failing
// block, so that the element loop goes on with the next element.
int Vt5ReadBlockStreamV3(std::span<std::uint8_t> destination, std::uint64_t length,
                         codec::ByteSource& source, image::LoadStatus& status,
                         std::uint64_t* restored = nullptr) noexcept;

// Writes the stream as data block elements (the codec choice loop; `thorough` as the writer's
// setting). 1 on success, 0 with the fault's text in error_text. No boxes.
[[nodiscard]] int Vt5WriteBlockStream(std::span<const std::uint8_t> stream, codec::ByteSink& sink,
                                      image::LoadStatus& status, bool thorough) noexcept;

} // namespace vt::vt5
