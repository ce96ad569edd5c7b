#pragma once
// The libavif side of fmx_HEIF: AVIF image sequences ('avis'), which Debian 12's libheif neither
// reads nor writes. Decoding a file held in memory into frames the entry file asks the host for,
// encoding frames into a sequence in memory, and the loop count, which libavif 0.11 leaves to
// the caller: it lives in the tracks' edit lists (ISO/IEC 14496-12 'edts'/'elst').
// Stills never come here: they go through libheif (but for the size check of a grid).
// Thread: any; every call uses only its own objects.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vt::formats::heif {

// What SequenceSink::begin_frame answers to end a load with the frames it already has.
inline constexpr std::int32_t kEnoughFrames = 2;
// What read_avif_sequence answers for a file of one picture, which libheif reads.
inline constexpr std::int32_t kNotASequence = 3;

// The output size a grid item declares in its descriptor (ISO/IEC 23008-12 'grid'), read from
// the boxes before libheif allocates it: libheif takes the item's 'ispe' for its size, and a
// grid may declare a far larger one. nullopt when the item is not a grid or cannot be read.
[[nodiscard]] std::optional<std::pair<std::uint32_t, std::uint32_t>>
grid_output_size(std::span<const std::uint8_t> file, std::uint32_t item) noexcept;

// Whether the file is an ISO base media file with a movie ('moov'): an image sequence.
[[nodiscard]] bool has_movie(std::span<const std::uint8_t> file) noexcept;

// How often the sequence runs, from its first visual track's edit list: 0 endlessly (also a
// file without an edit list, which viewers loop), else 1-65535.
[[nodiscard]] std::uint32_t sequence_plays(std::span<const std::uint8_t> file) noexcept;

// Makes a sequence written by libavif run `plays` times (1-65535) by giving every track an edit
// list that repeats its media and the matching track and movie durations; the sample and item
// offsets behind the movie move with it. false, the file unchanged, when its layout is not one
// this knows or `plays` is 0 (a file without an edit list already runs endlessly).
[[nodiscard]] bool set_sequence_plays(std::vector<std::uint8_t>& file, std::uint32_t plays);

struct SequenceInfo {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bits = 8; // per channel, of the file
    bool alpha = false;
    std::uint32_t plays = 0; // 0 endlessly
    std::span<const std::uint8_t> icc;
    std::span<const std::uint8_t> exif; // from the TIFF byte order on
};

class SequenceSink {
public:
    // Frame `index` of info.width x info.height comes next, shown for `delay_ms`: set `pixels`
    // and `stride` (B, G, R, transparency) and answer 1, kEnoughFrames to end the load with the
    // frames so far, or the result code that ends it.
    virtual std::int32_t begin_frame(const SequenceInfo& info, std::uint32_t index,
                                     std::uint32_t delay_ms, std::uint32_t*& pixels,
                                     std::uint32_t& stride) noexcept = 0;
    // Frame `index` is in the pixels begin_frame gave: 1, or the result code that ends the load.
    virtual std::int32_t end_frame(const SequenceInfo& info, std::uint32_t index) noexcept = 0;

protected:
    ~SequenceSink() = default;
};

// Decodes every frame of an AVIF sequence at 8 bits. kNotASequence for a file of fewer than two
// frames; -13 sizes beyond the limits, -44 invalid data, -42 data that ends early, -20 out of
// memory; 1 done, with VT_WARN_DATA_LOST in `warnings` when a later frame fails; or what the
// sink answered.
[[nodiscard]] std::int32_t read_avif_sequence(std::span<const std::uint8_t> file,
                                              SequenceSink& sink, std::uint16_t& warnings);

struct SequenceOptions {
    int quality = 80;        // 0-100
    bool lossless = false;   // every pixel exactly (identity matrix, 4:4:4, quantizer 0)
    std::uint32_t plays = 0; // 0 endlessly
    std::span<const std::uint8_t> icc;
    std::span<const std::uint8_t> exif; // from the TIFF byte order on
};

// A frame to encode: B, G, R, transparency pixels as in a Bitmap, and how long it shows.
struct SequenceFrame {
    const std::uint32_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    std::uint32_t delay_ms = 0;
};
using SequenceSource = std::function<std::int32_t(std::uint32_t index, SequenceFrame& frame)>;

// `count` frames, each centred on a clear canvas of width x height, in ticks of 1 ms; alpha is
// written with `alpha`. 1 done, -20 out of memory, -5 an encoder failure, or what `source`
// answered.
[[nodiscard]] std::int32_t encode_avif_sequence(std::uint32_t width, std::uint32_t height,
                                                std::uint32_t count, bool alpha,
                                                const SequenceSource& source,
                                                const SequenceOptions& options,
                                                std::vector<std::uint8_t>& out);

} // namespace vt::formats::heif
