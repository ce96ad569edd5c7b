// fmx_WebP's codec glue: libwebp's decoder, demuxer, animation decoder and encoder, muxer.

#include "formats/webp/webp_glue.h"

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <memory>

#include "sdk/vt_plugin.h"

namespace vt::formats::webp {
namespace {

// libwebp's BGRA bytes read as one little-endian word are the engine's pixel layout, with
// alpha where the engine keeps transparency.
static_assert(std::endian::native == std::endian::little);

constexpr std::uint32_t kAlphaBits = 0xFF000000u;
// The kind-2 canvas: white, fully transparent (as ARGB).
constexpr std::uint32_t kClearCanvas = 0x00FFFFFFu;

struct DemuxDeleter {
    void operator()(WebPDemuxer* demux) const noexcept { WebPDemuxDelete(demux); }
};
struct AnimDecoderDeleter {
    void operator()(WebPAnimDecoder* decoder) const noexcept { WebPAnimDecoderDelete(decoder); }
};
struct AnimEncoderDeleter {
    void operator()(WebPAnimEncoder* encoder) const noexcept { WebPAnimEncoderDelete(encoder); }
};
struct MuxDeleter {
    void operator()(WebPMux* mux) const noexcept { WebPMuxDelete(mux); }
};
using DemuxPtr = std::unique_ptr<WebPDemuxer, DemuxDeleter>;
using AnimDecoderPtr = std::unique_ptr<WebPAnimDecoder, AnimDecoderDeleter>;
using AnimEncoderPtr = std::unique_ptr<WebPAnimEncoder, AnimEncoderDeleter>;
using MuxPtr = std::unique_ptr<WebPMux, MuxDeleter>;

// A picture of libwebp's that frees its pixels.
struct OwnedPicture {
    WebPPicture picture{};
    OwnedPicture() { WebPPictureInit(&picture); }
    ~OwnedPicture() { WebPPictureFree(&picture); }
    OwnedPicture(const OwnedPicture&) = delete;
    OwnedPicture& operator=(const OwnedPicture&) = delete;
};

struct OwnedWriter {
    WebPMemoryWriter writer{};
    OwnedWriter() { WebPMemoryWriterInit(&writer); }
    ~OwnedWriter() { WebPMemoryWriterClear(&writer); }
    OwnedWriter(const OwnedWriter&) = delete;
    OwnedWriter& operator=(const OwnedWriter&) = delete;
};

struct OwnedData {
    WebPData data{};
    OwnedData() { WebPDataInit(&data); }
    ~OwnedData() { WebPDataClear(&data); }
    OwnedData(const OwnedData&) = delete;
    OwnedData& operator=(const OwnedData&) = delete;
};

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int32_t result_of(VP8StatusCode status) {
    switch (status) {
    case VP8_STATUS_OK:
        return VT_OK;
    case VP8_STATUS_OUT_OF_MEMORY:
        return VT_ERR_OUT_OF_MEMORY;
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        return VT_ERR_NOT_IMPLEMENTED;
    case VP8_STATUS_NOT_ENOUGH_DATA:
        return VT_ERR_READ;
    case VP8_STATUS_BITSTREAM_ERROR:
        return VT_ERR_INVALID_DATA;
    default:
        return VT_ERR_INTERNAL;
    }
}

std::int32_t result_of(WebPEncodingError error) {
    switch (error) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
        return VT_ERR_OUT_OF_MEMORY;
    case VP8_ENC_ERROR_BAD_DIMENSION:
        return VT_ERR_DIMENSIONS;
    default:
        return VT_ERR_COMPONENT_FAILED;
    }
}

std::int32_t result_of(WebPMuxError error) {
    return error == WEBP_MUX_OK             ? VT_OK
           : error == WEBP_MUX_MEMORY_ERROR ? VT_ERR_OUT_OF_MEMORY
                                            : VT_ERR_COMPONENT_FAILED;
}

bool within_limits(std::uint32_t width, std::uint32_t height) {
    return width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide &&
           static_cast<std::uint64_t>(width) * height <= kMaxPixels;
}

// The RIFF container: the file, cut to the size its header states, or the result code.
std::int32_t riff_body(std::span<const std::uint8_t>& file) {
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
        std::memcmp(file.data() + 8, "WEBP", 4) != 0)
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    const std::uint64_t end = static_cast<std::uint64_t>(le32(file.data() + 4)) + 8;
    if (end > file.size())
        return VT_ERR_READ;
    file = file.first(static_cast<std::size_t>(end));
    return VT_OK;
}

void alpha_to_transparency(const Target& target, std::uint32_t width, std::uint32_t height) {
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint32_t* row = target.pixels + static_cast<std::size_t>(y) * target.stride;
        for (std::uint32_t x = 0; x < width; ++x)
            row[x] ^= kAlphaBits;
    }
}

std::span<const std::uint8_t> chunk_of(WebPDemuxer* demux, const char* fourcc) {
    WebPChunkIterator it{};
    if (WebPDemuxGetChunk(demux, fourcc, 1, &it) == 0)
        return {};
    const std::span<const std::uint8_t> bytes(it.chunk.bytes, it.chunk.size);
    // The iterator only points into the demuxer's data.
    WebPDemuxReleaseChunkIterator(&it);
    return bytes;
}

// Metadata chunks exist only in the extended format; a demuxer that refuses the file leaves
// the picture without them.
void deliver_metadata(WebPDemuxer* demux, ReadSink& sink) {
    Metadata metadata;
    if (demux != nullptr) {
        metadata.exif = chunk_of(demux, "EXIF");
        metadata.xmp = chunk_of(demux, "XMP ");
        metadata.icc = chunk_of(demux, "ICCP");
        if ((WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS) & ANIMATION_FLAG) != 0 &&
            WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT) > 1)
            metadata.plays = static_cast<std::int32_t>(
                std::min<std::uint32_t>(WebPDemuxGetI(demux, WEBP_FF_LOOP_COUNT), 65535));
    }
    sink.metadata(metadata);
}

// Whether a file that is tiny for the size it claims really holds that picture: decoded scaled
// down, which costs memory in proportion to a row, not to the picture. Most files never need it.
VP8StatusCode probe_claimed_size(std::span<const std::uint8_t> file, std::uint32_t width,
                                 std::uint32_t height) {
    const std::uint64_t pixels = std::uint64_t{width} * height;
    if (pixels < (1u << 22) || pixels / std::max<std::size_t>(file.size(), 1) < 1024)
        return VP8_STATUS_OK;
    WebPDecoderConfig config;
    if (WebPInitDecoderConfig(&config) == 0)
        return VP8_STATUS_OUT_OF_MEMORY;
    config.options.use_scaling = 1;
    config.options.scaled_width = static_cast<int>(std::max<std::uint32_t>(1, width / 256));
    config.options.scaled_height = static_cast<int>(std::max<std::uint32_t>(1, height / 256));
    config.output.colorspace = MODE_BGRA;
    const VP8StatusCode status = WebPDecode(file.data(), file.size(), &config);
    WebPFreeDecBuffer(&config.output);
    return status;
}

// A reduced decode the sink asked for: libwebp scales while it decodes, and the header then
// describes the picture as it is delivered.
void apply_draft_size(const Target& target, WebPDecoderConfig& config, Header& header) {
    if (target.scaled_width == 0 || target.scaled_height == 0 ||
        target.scaled_width > header.width || target.scaled_height > header.height)
        return;
    config.options.use_scaling = 1;
    config.options.scaled_width = static_cast<int>(target.scaled_width);
    config.options.scaled_height = static_cast<int>(target.scaled_height);
    header.width = target.scaled_width;
    header.height = target.scaled_height;
}

std::int32_t read_still(std::span<const std::uint8_t> file, const WebPBitstreamFeatures& features,
                        ReadSink& sink) {
    Header header;
    header.width = static_cast<std::uint32_t>(features.width);
    header.height = static_cast<std::uint32_t>(features.height);
    header.frame_count = 1;
    header.alpha = features.has_alpha != 0;
    if (!within_limits(header.width, header.height))
        return VT_ERR_DIMENSIONS;
    if (const VP8StatusCode probe = probe_claimed_size(file, header.width, header.height);
        probe != VP8_STATUS_OK)
        return result_of(probe);
    Target target;
    if (const std::int32_t r = sink.begin_frame(header, 0, 0, target); r != VT_OK)
        return r == kEnoughFrames ? VT_OK : r;

    WebPDecoderConfig config;
    if (WebPInitDecoderConfig(&config) == 0)
        return VT_ERR_COMPONENT_MISSING;
    apply_draft_size(target, config, header);
    config.output.colorspace = MODE_BGRA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = reinterpret_cast<std::uint8_t*>(target.pixels);
    config.output.u.RGBA.stride = static_cast<int>(target.stride * 4);
    config.output.u.RGBA.size = static_cast<std::size_t>(target.stride) * 4 * (header.height - 1) +
                                static_cast<std::size_t>(header.width) * 4;
    const VP8StatusCode status = WebPDecode(file.data(), file.size(), &config);
    WebPFreeDecBuffer(&config.output);
    // Rows decoded before an error stay, as the host shows them.
    alpha_to_transparency(target, header.width, header.height);
    if (status != VP8_STATUS_OK)
        return result_of(status);

    const WebPData data{file.data(), file.size()};
    const bool extended = file.size() >= 16 && std::memcmp(file.data() + 12, "VP8X", 4) == 0;
    const DemuxPtr demux(extended ? WebPDemux(&data) : nullptr);
    deliver_metadata(demux.get(), sink);
    return VT_OK;
}

// Copies the animation decoder's BGRA canvas into the frame, alpha turned into transparency.
void copy_canvas(const std::uint8_t* canvas, const Header& header, const Target& target) {
    for (std::uint32_t y = 0; y < header.height; ++y) {
        std::uint32_t* row = target.pixels + static_cast<std::size_t>(y) * target.stride;
        std::memcpy(row, canvas + static_cast<std::size_t>(y) * header.width * 4,
                    static_cast<std::size_t>(header.width) * 4);
        for (std::uint32_t x = 0; x < header.width; ++x)
            row[x] ^= kAlphaBits;
    }
}

std::uint32_t clamp_delay(int delay) {
    return static_cast<std::uint32_t>(std::clamp(delay, 0, 65535));
}

std::int32_t read_animation(std::span<const std::uint8_t> file, ReadSink& sink) {
    const WebPData data{file.data(), file.size()};
    const DemuxPtr demux(WebPDemux(&data));
    if (demux == nullptr)
        return VT_ERR_INVALID_DATA;
    Header header;
    header.width = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
    header.height = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
    header.frame_count = WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT);
    header.alpha = (WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & ALPHA_FLAG) != 0;
    header.animated = true;
    if (header.frame_count == 0)
        return VT_ERR_NO_IMAGE_DATA;
    if (!within_limits(header.width, header.height))
        return VT_ERR_DIMENSIONS;

    // The animation decoder allocates its canvases at once, so the host gets to refuse the size
    // first. The first frame's delay is its duration, as the decoder's first timestamp.
    WebPIterator first{};
    if (WebPDemuxGetFrame(demux.get(), 1, &first) == 0)
        return VT_ERR_INVALID_DATA;
    const std::uint32_t first_delay = clamp_delay(first.duration);
    WebPDemuxReleaseIterator(&first);
    Target target;
    if (const std::int32_t r = sink.begin_frame(header, 0, first_delay, target); r != VT_OK)
        return r == kEnoughFrames ? VT_OK : r;

    WebPAnimDecoderOptions options;
    if (WebPAnimDecoderOptionsInit(&options) == 0)
        return VT_ERR_COMPONENT_MISSING;
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    const AnimDecoderPtr decoder(WebPAnimDecoderNew(&data, &options));
    if (decoder == nullptr)
        return VT_ERR_INVALID_DATA;
    int previous = 0;
    for (std::uint32_t index = 0;; ++index) {
        std::uint8_t* canvas = nullptr;
        int timestamp = 0;
        if (WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp) == 0)
            return VT_ERR_INVALID_DATA;
        if (index > 0) {
            const std::int32_t r =
                sink.begin_frame(header, index, clamp_delay(timestamp - previous), target);
            if (r != VT_OK)
                return r == kEnoughFrames ? VT_OK : r;
        }
        previous = timestamp;
        copy_canvas(canvas, header, target);
        if (const std::int32_t r = sink.end_frame(index); r != VT_OK)
            return r;
        if (index == 0)
            deliver_metadata(demux.get(), sink);
        if (WebPAnimDecoderHasMoreFrames(decoder.get()) == 0)
            return VT_OK;
    }
}

bool make_config(const EncodeOptions& options, WebPConfig& config) {
    if (WebPConfigInit(&config) == 0)
        return false;
    config.quality = static_cast<float>(std::clamp(options.quality, 0, 100));
    config.method = std::clamp(options.method, 0, 6);
    config.lossless = options.lossless ? 1 : 0;
    // Lossless means every pixel, the colour under full transparency too.
    config.exact = options.lossless ? 1 : 0;
    config.thread_level = options.threads ? 1 : 0;
    return WebPValidateConfig(&config) != 0;
}

bool allocate(WebPPicture& picture, std::uint32_t width, std::uint32_t height) {
    picture.use_argb = 1;
    picture.width = static_cast<int>(width);
    picture.height = static_cast<int>(height);
    return WebPPictureAlloc(&picture) != 0;
}

// Copies `source` into the ARGB picture at (left, top), transparency turned into alpha, or
// every pixel made opaque without `keep_alpha`.
void place(WebPPicture& picture, const Picture& source, std::uint32_t left, std::uint32_t top,
           bool keep_alpha) {
    for (std::uint32_t y = 0; y < source.height; ++y) {
        const std::uint32_t* from = source.pixels + static_cast<std::size_t>(y) * source.stride;
        std::uint32_t* to =
            picture.argb +
            static_cast<std::size_t>(top + y) * static_cast<std::size_t>(picture.argb_stride) +
            left;
        for (std::uint32_t x = 0; x < source.width; ++x)
            to[x] = keep_alpha ? from[x] ^ kAlphaBits : from[x] | kAlphaBits;
    }
}

} // namespace

std::int32_t read_webp(std::span<const std::uint8_t> file, ReadSink& sink) {
    if (const std::int32_t r = riff_body(file); r != VT_OK)
        return r;
    WebPBitstreamFeatures features{};
    if (const VP8StatusCode status = WebPGetFeatures(file.data(), file.size(), &features);
        status != VP8_STATUS_OK)
        return result_of(status);
    return features.has_animation != 0 ? read_animation(file, sink)
                                       : read_still(file, features, sink);
}

std::int32_t encode_picture(const Picture& picture, const EncodeOptions& options, bool keep_alpha,
                            std::vector<std::uint8_t>& out) {
    if (picture.width > kMaxSaveSide || picture.height > kMaxSaveSide)
        return VT_ERR_DIMENSIONS;
    WebPConfig config;
    if (!make_config(options, config))
        return VT_ERR_PARAMETER_RANGE;
    OwnedPicture owned;
    if (!allocate(owned.picture, picture.width, picture.height))
        return VT_ERR_OUT_OF_MEMORY;
    place(owned.picture, picture, 0, 0, keep_alpha);
    OwnedWriter writer;
    owned.picture.writer = WebPMemoryWrite;
    owned.picture.custom_ptr = &writer.writer;
    if (WebPEncode(&config, &owned.picture) == 0)
        return result_of(owned.picture.error_code);
    out.assign(writer.writer.mem, writer.writer.mem + writer.writer.size);
    return VT_OK;
}

std::int32_t encode_animation(std::uint32_t width, std::uint32_t height, std::uint32_t count,
                              const FrameSource& source, const EncodeOptions& options,
                              std::vector<std::uint8_t>& out) {
    if (width < 1 || height < 1)
        return VT_ERR_BITMAP_SIZE_ZERO;
    if (width > kMaxSaveSide || height > kMaxSaveSide)
        return VT_ERR_DIMENSIONS;
    WebPConfig config;
    if (!make_config(options, config))
        return VT_ERR_PARAMETER_RANGE;
    WebPAnimEncoderOptions animation;
    if (WebPAnimEncoderOptionsInit(&animation) == 0)
        return VT_ERR_COMPONENT_MISSING;
    animation.anim_params.loop_count =
        static_cast<int>(std::min<std::uint32_t>(options.plays, 65535));
    animation.anim_params.bgcolor = kClearCanvas;
    const AnimEncoderPtr encoder(
        WebPAnimEncoderNew(static_cast<int>(width), static_cast<int>(height), &animation));
    if (encoder == nullptr)
        return VT_ERR_OUT_OF_MEMORY;
    OwnedPicture canvas;
    if (!allocate(canvas.picture, width, height))
        return VT_ERR_OUT_OF_MEMORY;
    std::int64_t timestamp = 0;
    for (std::uint32_t index = 0; index < count; ++index) {
        Picture frame;
        std::uint32_t delay = 0;
        if (const std::int32_t r = source(index, frame, delay); r != VT_OK)
            return r;
        if (frame.width > width || frame.height > height)
            return VT_ERR_DIMENSIONS;
        std::fill_n(canvas.picture.argb,
                    static_cast<std::size_t>(canvas.picture.argb_stride) * height, kClearCanvas);
        place(canvas.picture, frame, (width - frame.width) / 2, (height - frame.height) / 2, true);
        if (WebPAnimEncoderAdd(encoder.get(), &canvas.picture, static_cast<int>(timestamp),
                               &config) == 0)
            return canvas.picture.error_code != VP8_ENC_OK ? result_of(canvas.picture.error_code)
                                                           : VT_ERR_COMPONENT_FAILED;
        timestamp += delay;
        // libwebp counts time in an int of milliseconds.
        if (timestamp > INT_MAX)
            return VT_ERR_PARAMETER_RANGE;
    }
    if (WebPAnimEncoderAdd(encoder.get(), nullptr, static_cast<int>(timestamp), nullptr) == 0)
        return VT_ERR_COMPONENT_FAILED;
    OwnedData assembled;
    if (WebPAnimEncoderAssemble(encoder.get(), &assembled.data) == 0)
        return VT_ERR_COMPONENT_FAILED;
    out.assign(assembled.data.bytes, assembled.data.bytes + assembled.data.size);
    return VT_OK;
}

std::int32_t add_metadata(std::vector<std::uint8_t>& file, std::span<const std::uint8_t> icc,
                          std::span<const std::uint8_t> exif) {
    if (icc.empty() && exif.empty())
        return VT_OK;
    const WebPData image{file.data(), file.size()};
    const MuxPtr mux(WebPMuxCreate(&image, 0));
    if (mux == nullptr)
        return VT_ERR_COMPONENT_FAILED;
    for (const auto& [fourcc, bytes] : {std::pair{"ICCP", icc}, std::pair{"EXIF", exif}}) {
        const WebPData chunk{bytes.data(), bytes.size()};
        if (!bytes.empty())
            if (const WebPMuxError e = WebPMuxSetChunk(mux.get(), fourcc, &chunk, 1);
                e != WEBP_MUX_OK)
                return result_of(e);
    }
    OwnedData assembled;
    if (const WebPMuxError e = WebPMuxAssemble(mux.get(), &assembled.data); e != WEBP_MUX_OK)
        return result_of(e);
    file.assign(assembled.data.bytes, assembled.data.bytes + assembled.data.size);
    return VT_OK;
}

} // namespace vt::formats::webp
