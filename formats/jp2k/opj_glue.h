#pragma once
// OpenJPEG for fmx_JP2K's still pictures and Motion JPEG 2000 frames alike: streams over bytes
// held in memory, the library's handles as RAII, one codestream or JP2 file decoded into a new
// host frame, and one picture made into an image with the encoder's settings for it.
// Thread: any; every call uses only its own handles.

#include <openjpeg.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sdk/vt_plugin.h"

namespace vt::formats::jp2k {

using Bytes = std::span<const std::uint8_t>;

// What a stream reads from (`in`) or writes to (`out`).
struct Memory {
    std::vector<std::uint8_t>* out = nullptr;
    Bytes in;
    std::size_t at = 0;
    [[nodiscard]] std::size_t size() const { return out != nullptr ? out->size() : in.size(); }
};

struct CodecClose {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamClose {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageClose {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};
using Codec = std::unique_ptr<opj_codec_t, CodecClose>;
using Stream = std::unique_ptr<opj_stream_t, StreamClose>;
using Image = std::unique_ptr<opj_image_t, ImageClose>;

[[nodiscard]] Stream memory_stream(Memory& memory, bool input);
// The codec with its messages silenced: they would go to the standard streams.
[[nodiscard]] Codec quiet_codec(opj_codec_t* raw);

struct Decoded {
    bool want_deep = false;        // in: make `deep` too when a component has 9-16 bits
    bool may_draft = false;        // in: ask the host for "load.draft_size" (still pictures)
    std::uint32_t bits = 0;        // per pixel, as stored
    std::vector<std::uint8_t> icc; // a JP2 file's colour profile
    // The picture at 16 bits (samples from malloc, the caller's), or empty.
    VtDeepImage deep{};
};

// Decodes a codestream, or a JP2 file when `jp2`, into a new frame of the call: 1-4 components
// (grey, grey + alpha, RGB, RGBA; subsampled ones spread), any precision scaled to 8 bits, and
// when asked to 16 bits as well (`bits` the highest precision). With `may_draft` and a host that
// answers a draft size, the frame (and the 16-bit picture) is the smallest resolution level that
// still covers that size; a level OpenJPEG cannot give is read whole.
// VT_OK, -42 the data ends early, -44 invalid data, -13 sizes beyond the limits, -2 a layout
// not read, -20 out of memory, or the host's answer to the frame request.
[[nodiscard]] std::int32_t decode_into_frame(FilterCall* call, Bytes data, bool jp2,
                                             Decoded& decoded);

// The picture (host pixels) as 8-bit R, G, B and, with `alpha`, opacity components.
[[nodiscard]] Image image_of(const std::uint32_t* pixels, std::uint32_t stride, std::uint32_t width,
                             std::uint32_t height, bool alpha);
// A deep picture as 16-bit components: R, G, B or grey, and with `alpha` opacity.
[[nodiscard]] Image image_of_deep(const VtDeepImage& deep, bool alpha);
// The encoder's settings for a picture of that size: one layer at the ratio "fmx_JP2K.rate"
// (0 or 1 lossless), as many resolution levels as halvings fit.
[[nodiscard]] opj_cparameters_t encoder_parameters(const FilterCall* call, std::uint32_t width,
                                                   std::uint32_t height);

} // namespace vt::formats::jp2k
