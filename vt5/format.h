#pragma once
// The VT5 file layout of major version 4: file header, elements and layer headers. All integers
// are little-endian; text in the file is UTF-16LE unless stated.
//
// Vt5FileHeader, 32 bytes as written (a reader accepts any header size and starts the elements
// at that offset; of a shorter header the missing bytes read as 0):
//
//   offset  size  field
//        0     4  magic "_VT5" (5F 56 54 35)
//        4     4  header size, 32
//        8     4  version: major (4) in the high 16 bits, revision (3) in the low 16 bits
//       12     1  kind code: 1 -> doc_kind 0, 2 -> 2, 3 -> 1, 4 -> 3; anything else reads as
//                 doc_kind 0 with kind_param 0
//       13     1  kind parameter (kind_param)
//       14     2  reserved, 0
//       16     2  layer count as written (informative; the reader does not use it)
//       18    14  reserved, 0
//
// After the header: elements, each an 8-byte Vt5ElementHeader (codec/block_stream.h: type u8,
// 3 reserved bytes, body size u32) and its body. Types: 1 layer (a Vt5LayerHeader, the layer's
// data blocks follow as elements of type 2), 2 data block, 254 stamp (8-bit text with its NUL),
// 255 end (body 0). Other types are skipped by their body size.
//
// Vt5LayerHeader, 128 bytes as written (a reader takes at most 128 bytes of the body, skips the
// rest and reads the bytes a shorter body lacks as 0):
//
//   offset  size  field
//        0     4  reserved, 0
//        4     1  reserved, written as 1
//        5     3  reserved, 0
//        8     4  x, i32 (written clamped to -32767..32767)
//       12     4  y, i32 (likewise)
//       16     4  width, u32 (written from 16 bits)
//       20     4  height, u32
//       24     1  layout: 0 channel planes, 1 grey, 2 palette
//       25     1  channels: bytes per pixel in the data stream, 0-4
//       26     1  frame type: 0 complete, 1 repeat of a reference, 2 difference to a reference
//       27     1  reference distance d: the reference is layer (this index - 1 - d)
//       28     4  reserved, 0
//       32     4  metadata offset inside the layer's data stream
//       36     4  metadata length (0: none)
//       40     2  mode
//       42     2  mode2, the frame delay (only for kind code 2; 0 otherwise)
//       44     1  attr
//       45     1  transparency
//       46    18  reserved, 0
//       64    64  name, 32 UTF-16 units, NUL-terminated (at most 31 characters)
//
// A layer's data stream (the decoded blocks that follow it, concatenated) holds exactly
// channels x width x height + metadata length bytes, plus 1024 for a palette layout:
//   1. layout 2: the palette, 256 u32 entries (the pixel values, unused entries 0);
//   2. the pixels: layouts 0 and 1 one plane of width x height bytes per channel (layout 0:
//      B, G, R[, T]; layout 1: grey[, T]); layout 2 one plane of indices;
//   3. the MetaBlock bytes at the metadata offset (the writer puts them after the pixels).
// Thread: any; nothing here keeps state.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vt::vt5 {

inline constexpr std::array<std::uint8_t, 4> kMagic = {0x5F, 0x56, 0x54, 0x35}; // "_VT5"
inline constexpr std::uint32_t kFileHeaderSize = 32;
inline constexpr std::uint32_t kLayerHeaderSize = 128;
inline constexpr std::uint16_t kCurrentMajor = 4;
inline constexpr std::uint16_t kCurrentRevision = 3;
inline constexpr std::uint32_t kCurrentVersion = 0x00040003;
inline constexpr std::uint32_t kPaletteBytes = 1024;
inline constexpr std::uint32_t kPaletteEntries = 256;

inline constexpr std::uint8_t kLayoutPlanes = 0;
inline constexpr std::uint8_t kLayoutGrey = 1;
inline constexpr std::uint8_t kLayoutPalette = 2;

inline constexpr std::uint8_t kFrameComplete = 0;
inline constexpr std::uint8_t kFrameRepeat = 1;
inline constexpr std::uint8_t kFrameDifference = 2;

// Kind code 2 marks an animation whose layers carry frame delays in mode2.
inline constexpr std::uint8_t kKindCodeAnimation = 2;

struct Vt5FileHeader {
    std::array<std::uint8_t, 4> magic{};
    std::uint32_t header_size = 0;
    std::uint32_t version = 0;
    std::uint8_t kind_code = 0;
    std::uint8_t kind_param = 0;
    std::uint16_t layer_count = 0;

    [[nodiscard]] bool has_magic() const noexcept { return magic == kMagic; }
    [[nodiscard]] std::uint16_t major() const noexcept {
        return static_cast<std::uint16_t>(version >> 16);
    }
    [[nodiscard]] std::uint16_t revision() const noexcept {
        return static_cast<std::uint16_t>(version & 0xFFFF);
    }
};

struct Vt5LayerHeader {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint8_t layout = 0;
    std::uint8_t channels = 0;
    std::uint8_t frame_type = 0;
    std::uint8_t reference_distance = 0;
    std::uint32_t meta_offset = 0;
    std::uint32_t meta_length = 0;
    std::uint16_t mode = 0;
    std::uint16_t mode2 = 0;
    std::uint8_t attr = 0;
    std::uint8_t transparency = 0;
    std::array<char16_t, 32> name{};
};

// Reads a header from up to 32 bytes; missing bytes read as 0.
[[nodiscard]] Vt5FileHeader parse_file_header(std::span<const std::uint8_t> bytes) noexcept;
// The 32 bytes as the writer stores them (reserved bytes 0).
[[nodiscard]] std::array<std::uint8_t, kFileHeaderSize>
serialize_file_header(const Vt5FileHeader& header) noexcept;

// Reads a layer header from up to 128 bytes; missing bytes read as 0.
[[nodiscard]] Vt5LayerHeader parse_layer_header(std::span<const std::uint8_t> bytes) noexcept;
// The 128 bytes as the writer stores them: byte 4 is 1, reserved bytes 0, the name cut to 31
// characters and terminated.
[[nodiscard]] std::array<std::uint8_t, kLayerHeaderSize>
serialize_layer_header(const Vt5LayerHeader& header) noexcept;

// An 8-byte element header.
[[nodiscard]] std::array<std::uint8_t, 8> serialize_element_header(std::uint8_t type,
                                                                   std::uint32_t body) noexcept;

// doc_kind of a kind code, and back. `kind_param_kept` tells whether the code is known (an
// unknown code reads with kind_param 0).
[[nodiscard]] std::uint8_t doc_kind_of_code(std::uint8_t code, bool* kind_param_kept) noexcept;
[[nodiscard]] std::uint8_t kind_code_of_doc_kind(std::uint8_t doc_kind) noexcept;

// Bytes of the layer's data stream: channels x width x height + metadata length, plus 1024 for
// the palette layout. Saturates at UINT64_MAX instead of wrapping.
[[nodiscard]] std::uint64_t layer_stream_size(const Vt5LayerHeader& header) noexcept;
// Bytes of the stream before the metadata (palette and pixels), saturating likewise.
[[nodiscard]] std::uint64_t layer_pixel_bytes(const Vt5LayerHeader& header) noexcept;

} // namespace vt::vt5
