#pragma once
// The libwebp side of fmx_WebP: decoding a file held in memory into frames the entry file asks
// the host for, and encoding pictures and animations into a WebP file in memory. libwebp reports
// errors by return value, so this glue is C++; it sees no call record, only the SDK's result
// codes. Every libwebp object lives and dies inside one call.
// Thread: any; every call uses only its own objects.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace vt::formats::webp {

// The largest picture a frame may hold.
inline constexpr std::uint32_t kMaxSide = 65536;
inline constexpr std::uint64_t kMaxPixels = 250000000;
// The largest side a WebP bitstream can describe.
inline constexpr std::uint32_t kMaxSaveSide = 16383;
// A frame delay to use when a frame states none.
inline constexpr std::uint32_t kDefaultDelayMs = 100;
// What ReadSink::begin_frame answers to end a load with the frames it already has.
inline constexpr std::int32_t kEnoughFrames = 2;

struct Header {
    std::uint32_t width = 0; // the canvas: every frame is delivered at this size
    std::uint32_t height = 0;
    std::uint32_t frame_count = 0; // as the file announces them
    bool alpha = false;
    bool animated = false;
};

// Pixels the decoder writes: B, G, R, transparency (0 opaque), rows top-down.
struct Target {
    std::uint32_t* pixels = nullptr;
    std::uint32_t stride = 0; // pixels between rows, at least the width
    // A still picture only: decode scaled to this size with libwebp's scaler (0: full size).
    std::uint32_t scaled_width = 0;
    std::uint32_t scaled_height = 0;
};

// The file's metadata chunks, each empty when absent; valid only during ReadSink::metadata.
struct Metadata {
    std::span<const std::uint8_t> exif; // the EXIF chunk as stored
    std::span<const std::uint8_t> xmp;  // the XMP packet, not NUL-terminated
    std::span<const std::uint8_t> icc;  // the ICC profile
    std::int32_t plays = -1;            // an animation's loop count, 0 endlessly; -1 a still
};

class ReadSink {
public:
    // Frame `index` (its delay in milliseconds; 0 for a still picture) comes next: point
    // `target` at canvas-sized pixels and answer 1, kEnoughFrames to end the load successfully
    // with the frames so far, or the result code that ends it.
    virtual std::int32_t begin_frame(const Header& header, std::uint32_t index,
                                     std::uint32_t delay_ms, Target& target) noexcept = 0;
    // An animation's frame `index` is in the target begin_frame gave: VT_OK, or the result code
    // that ends the load.
    virtual std::int32_t end_frame(std::uint32_t index) noexcept = 0;
    // Once, right after frame 0 has been decoded, while it is the host's current frame.
    virtual void metadata(const Metadata& metadata) noexcept = 0;

protected:
    ~ReadSink() = default;
};

// Decodes a whole WebP file: a still picture (lossy, lossless, with alpha) as one frame, an
// animation as every frame fully composed on a transparent canvas. -1 not a WebP file, -13 a
// canvas beyond the limits, -42 the data ends early, -44 invalid data, -2 a feature libwebp does
// not decode, -20 out of memory, 1 done; or what the sink answered.
[[nodiscard]] std::int32_t read_webp(std::span<const std::uint8_t> file, ReadSink& sink);

struct EncodeOptions {
    int quality = 80;        // 0-100: lossy quality, or the lossless effort
    bool lossless = false;   // lossless keeps every pixel exactly, under full transparency too
    int method = 4;          // 0-6: speed against size
    std::uint32_t plays = 0; // how often an animation runs, 0 endlessly
    bool threads = false;    // the encoder may run a second thread (same bytes, less waiting)
};

// A picture to encode: B, G, R, transparency pixels as in a Bitmap.
struct Picture {
    const std::uint32_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
};

// One still picture; alpha is written only with `keep_alpha`. 1 done, -13 a side beyond
// kMaxSaveSide, -20 out of memory, -5 any other encoder failure.
[[nodiscard]] std::int32_t encode_picture(const Picture& picture, const EncodeOptions& options,
                                          bool keep_alpha, std::vector<std::uint8_t>& out);

// Gives frame `index` and its delay in milliseconds (1 or a result code); the picture needs to
// stay valid only until the next call.
using FrameSource =
    std::function<std::int32_t(std::uint32_t index, Picture& picture, std::uint32_t& delay_ms)>;

// An animation of `count` frames on a canvas of `width` x `height`, each frame centred on a
// transparent canvas, looping forever. Results as encode_picture, or what `source` answered.
[[nodiscard]] std::int32_t encode_animation(std::uint32_t width, std::uint32_t height,
                                            std::uint32_t count, const FrameSource& source,
                                            const EncodeOptions& options,
                                            std::vector<std::uint8_t>& out);

// Adds an ICC profile and an EXIF chunk (either may be empty) to an encoded file in place.
// 1 done, -20 out of memory, -5 a file libwebp's muxer refuses.
[[nodiscard]] std::int32_t add_metadata(std::vector<std::uint8_t>& file,
                                        std::span<const std::uint8_t> icc,
                                        std::span<const std::uint8_t> exif);

} // namespace vt::formats::webp
