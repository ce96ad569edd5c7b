#pragma once
// The VT5 reader and writer: the suite's own lossless layered format (".vt5"). The file layout
// is drawn in vt5/format.h, the data blocks in vt5/codec/block_stream.h.
//
// Results follow the system's rule: the number of layers read or written, 0 on failure with
// LoadStatus::error_text set. Message boxes go through platform::message_box, only when the
// status is not `silent`. Nothing here throws.
// Thread: any; every buffer, file and counter belongs to the call. The writer shares only the
// suite configuration cache, which is locked.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/load_status.h"
#include "sdk/vt_plugin.h"
#include "vt5/format.h"

namespace vt::vt5 {

// Options of a read from memory. The limits bound what a read may allocate: a hostile file
// cannot ask for more than its bytes could restore (about 65,536 stream bytes per 41 file
// bytes), and these bound what an honest-looking file gets.
struct ReadOptions {
    // Pixels of all layers' bitmaps together.
    std::uint64_t max_total_pixels = 1'000'000'000;
    // Bytes of one layer's data stream (pixels, palette and metadata).
    std::uint64_t max_stream_bytes = std::uint64_t{6} << 30;
    // When not empty, receives the header of each layer read, in slot order (for inspection).
    std::span<Vt5LayerHeader> layer_headers;
    // The passwords a silent read tries on a protected file, in order; null: those of
    // Vt5SetPasswords.
    const std::vector<std::u16string>* passwords = nullptr;
};

// Reads a VT5 file into `layers` (`capacity` zeroed slots; the load front passes 1024). Returns
// the number of slots filled, each with a created Bitmap, position, name, mode words,
// transparency and, when the file has one, a MetaBlock (malloc heap) the slot owns. Sets
// status.is_native as soon as the magic is recognised, doc_kind, kind_param and version_text
// ("%i rev. %02i"), and meta_upgraded / layer_limit_hit when they apply. On failure (0) the
// caller frees whatever the slots hold. Files of major versions 3, 2, 1 and 0 go to the readers
// of those layouts; other versions answer "Unsupported VT5 version". When every slot is used
// the last layer is still decoded and layer_limit_hit is set.
[[nodiscard]] std::uint32_t Vt5Read(Layer* layers, std::uint32_t capacity,
                                    image::LoadStatus& status, std::u16string_view path) noexcept;

// The readers of the earlier layouts, each opening the file itself and refusing other major
// versions: 3 (layered, smaller headers and blocks), 2 (one image, planes) and 1 or 0 (one
// image in tiles of 16 x 16). Versions 2 and 1 may be password-protected: a file that is not
// opened (a silent read without a fitting password, a cancelled prompt) reads as up to four
// noise frames with password_protected set and "The file is password-protected".
[[nodiscard]] std::uint32_t Vt5ReadV3(Layer* layers, std::uint32_t capacity,
                                      image::LoadStatus& status, std::u16string_view path) noexcept;
[[nodiscard]] std::uint32_t Vt5ReadV2(Layer* layers, std::uint32_t capacity,
                                      image::LoadStatus& status, std::u16string_view path) noexcept;
[[nodiscard]] std::uint32_t Vt5ReadV1(Layer* layers, std::uint32_t capacity,
                                      image::LoadStatus& status, std::u16string_view path) noexcept;

// The passwords that silent reads try on protected files, in order (the command line's
// --password). Thread: set before reads start.
void Vt5SetPasswords(std::vector<std::u16string> passwords);

// The same over a file's bytes in memory; `name` stands for the file name (its extension decides
// the "Wrong File Extension" box).
[[nodiscard]] std::uint32_t Vt5Read(Layer* layers, std::uint32_t capacity,
                                    image::LoadStatus& status, std::span<const std::uint8_t> bytes,
                                    std::u16string_view name,
                                    const ReadOptions& options = {}) noexcept;

// Converts the layer's MetaBlock from the form of an older file `version` (major << 16 |
// revision): major 3 and below move legacy markup keys into "PHYS", "HOTS" and "SPRT" chunks;
// 4.1 corrects a "PHYS" unit; up to 4.2 "ANIM" and "ADJU" chunks are rebuilt to their current
// versions. Returns the number of changes.
int Vt5UpgradeMeta(Layer& layer, std::uint32_t version) noexcept;

// The moment a writer names in its stamp element (UTC).
struct StampTime {
    std::uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
[[nodiscard]] StampTime stamp_time_now() noexcept;

struct WriteOptions {
    // More codec candidates per block, compression of blocks below 16 bytes, and a reference
    // search among all earlier layers (at most 256 back) instead of the previous one only.
    bool thorough = false;
    StampTime stamp;
};

// Writes `count` layers as a VT5 file of version 4.3, replacing `path`. status.doc_kind and
// kind_param are stored; status.error_text is reset to "Unknown error" and receives the
// failure. Thorough compression comes from the suite configuration (the byte at offset 16 of
// "suite_config.bin"). Layers wider or taller than 65535 pixels are refused before the file is
// created. Returns `count`, 0 on failure (a partly written file stays) and for 0 layers (the
// file then holds header, stamp and end element). The layers' bitmaps are locked, not changed.
[[nodiscard]] std::uint32_t Vt5Write(Layer* layers, std::uint32_t count, image::LoadStatus& status,
                                     std::u16string_view path) noexcept;

// The same appending the file's bytes to `out`, with the options given.
[[nodiscard]] std::uint32_t Vt5Write(Layer* layers, std::uint32_t count, image::LoadStatus& status,
                                     std::vector<std::uint8_t>& out,
                                     const WriteOptions& options) noexcept;

} // namespace vt::vt5
