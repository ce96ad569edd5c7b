// fmx_HEIF: HEIF, HEIC and AVIF files through libheif. Every top-level image is a frame, the
// primary one first; libheif applies the file's rotation and mirroring, so the markup's EXIF
// orientation is set upright. The primary image of more than 8 bits (10, 12) also gives frame 0
// at 16 bits when the host asks, decoded a second time so the 8-bit frames stay as they were.
// Saves write one picture as AVIF (AV1) or HEIC (HEVC): at 8 bits, or at the depth option's 10
// or 12 (the top bits of each 16-bit sample) when the host offers a deep picture.
// AVIF sequences, which Debian 12's libheif cannot read or write, go through libavif
// (avif_sequence.cpp): every frame with its delay and the loop count, later frames handed to the
// host as what changed. An animation saved as HEIC, and a HEVC image sequence read, keep only
// their first picture, with the warning that frames were dropped.

#include <libheif/heif.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "formats/heif/avif_sequence.h"
#include "sdk/kit/frame_changes.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;
namespace seq = vt::formats::heif;

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
constexpr int kDefaultQuality = 80;
constexpr std::uint8_t kDocPages = 1;
constexpr std::uint8_t kDocFrameAnimation = 2;
constexpr std::uint32_t kMaxHeifExifBytes = 65536;
constexpr int kDefaultDeepBits = 12;
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

struct ContextFree {
    void operator()(heif_context* c) const noexcept { heif_context_free(c); }
};
struct HandleFree {
    void operator()(heif_image_handle* h) const noexcept { heif_image_handle_release(h); }
};
struct ImageFree {
    void operator()(heif_image* i) const noexcept { heif_image_release(i); }
};
struct EncoderFree {
    void operator()(heif_encoder* e) const noexcept { heif_encoder_release(e); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleFree>;
using Image = std::unique_ptr<heif_image, ImageFree>;
using Encoder = std::unique_ptr<heif_encoder, EncoderFree>;

std::int32_t result_of(const heif_error& error) {
    switch (error.code) {
    case heif_error_Ok:
        return VT_OK;
    case heif_error_Unsupported_filetype:
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    case heif_error_Unsupported_feature:
        return VT_ERR_NOT_IMPLEMENTED;
    case heif_error_Memory_allocation_error:
        return error.subcode == heif_suberror_Security_limit_exceeded ? VT_ERR_DIMENSIONS
                                                                      : VT_ERR_OUT_OF_MEMORY;
    case heif_error_Decoder_plugin_error:
    case heif_error_Encoder_plugin_error:
    case heif_error_Encoding_error:
        return VT_ERR_COMPONENT_FAILED;
    case heif_error_Invalid_input:
        return error.subcode == heif_suberror_End_of_data ? VT_ERR_READ : VT_ERR_INVALID_DATA;
    default:
        return VT_ERR_INVALID_DATA;
    }
}

// The image's EXIF block from its TIFF byte order on (a HEIF Exif item starts with the offset
// of that header); empty when there is none.
std::vector<std::uint8_t> exif_of(const heif_image_handle* handle) {
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) < 1)
        return {};
    const std::size_t size = heif_image_handle_get_metadata_size(handle, id);
    if (size < 8 || size > (1u << 24))
        return {};
    std::vector<std::uint8_t> block(size);
    if (heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok)
        return {};
    const std::uint32_t skip = (std::uint32_t{block[0]} << 24) | (std::uint32_t{block[1]} << 16) |
                               (std::uint32_t{block[2]} << 8) | block[3];
    if (skip > size - 4 - 8)
        return {};
    return {block.begin() + 4 + skip, block.end()};
}

std::vector<std::uint8_t> icc_of(const heif_image_handle* handle) {
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
    if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC)
        return {};
    const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle);
    if (size == 0 || size > (1u << 24))
        return {};
    std::vector<std::uint8_t> icc(size);
    if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code != heif_error_Ok)
        return {};
    return icc;
}

// Frame 0 again at 16 bits for an image of more than 8: libheif's 10 or 12-bit samples scaled to
// 0-65535 with rounding. Every failure leaves the 8-bit frame alone.
void load_deep(FilterCall* call, heif_image_handle* handle, bool alpha) {
    if (heif_image_handle_get_luma_bits_per_pixel(handle) <= 8)
        return;
    heif_image* raw_image = nullptr;
    const heif_chroma chroma = alpha ? (kLittleEndian ? heif_chroma_interleaved_RRGGBBAA_LE
                                                      : heif_chroma_interleaved_RRGGBBAA_BE)
                                     : (kLittleEndian ? heif_chroma_interleaved_RRGGBB_LE
                                                      : heif_chroma_interleaved_RRGGBB_BE);
    const heif_error e =
        heif_decode_image(handle, &raw_image, heif_colorspace_RGB, chroma, nullptr);
    const Image image(raw_image);
    if (e.code != heif_error_Ok)
        return;
    const int bits = heif_image_get_bits_per_pixel_range(raw_image, heif_channel_interleaved);
    const int width = heif_image_get_width(raw_image, heif_channel_interleaved);
    const int height = heif_image_get_height(raw_image, heif_channel_interleaved);
    const int in_channels = alpha ? 4 : 3;
    int stride = 0;
    const std::uint8_t* plane =
        heif_image_get_plane_readonly(raw_image, heif_channel_interleaved, &stride);
    if (plane == nullptr || bits <= 8 || bits > 16 || width < 1 || height < 1 ||
        stride < 2 * in_channels * width)
        return;
    const std::uint32_t w = static_cast<std::uint32_t>(width);
    const std::uint32_t h = static_cast<std::uint32_t>(height);
    auto* samples = static_cast<std::uint16_t*>(std::malloc(std::size_t{w} * h * 4 * 2));
    if (samples == nullptr)
        return;
    const std::uint32_t top = (1u << bits) - 1;
    std::uint16_t* out = samples;
    for (std::uint32_t y = 0; y < h; ++y) {
        const std::uint8_t* row =
            plane + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride);
        for (std::uint32_t x = 0; x < w; ++x) {
            std::uint16_t in[4] = {0, 0, 0, static_cast<std::uint16_t>(top)};
            std::memcpy(in, row + std::size_t{x} * 2 * static_cast<std::size_t>(in_channels),
                        2 * static_cast<std::size_t>(in_channels));
            for (const std::uint16_t v : in)
                *out++ = static_cast<std::uint16_t>(
                    (std::min<std::uint32_t>(v, top) * 65535u + top / 2) / top);
        }
    }
    deliver_deep(call, {w, h, VT_DEEP_RGBA, w * 4, samples, static_cast<std::uint32_t>(bits), 0});
}

std::int32_t load_one(FilterCall* call, std::span<const std::uint8_t> file, heif_context* context,
                      heif_item_id id, bool first) {
    heif_image_handle* raw_handle = nullptr;
    if (const heif_error e = heif_context_get_image_handle(context, id, &raw_handle); e.code)
        return result_of(e);
    const Handle handle(raw_handle);
    const int w = heif_image_handle_get_width(raw_handle);
    const int h = heif_image_handle_get_height(raw_handle);
    if (w < 1 || h < 1)
        return VT_ERR_INVALID_DATA;
    if (static_cast<std::uint32_t>(w) > kMaxSide || static_cast<std::uint32_t>(h) > kMaxSide ||
        std::uint64_t(w) * std::uint64_t(h) > kMaxPixels)
        return VT_ERR_DIMENSIONS;
    // A grid is allocated at the size its descriptor declares, whatever its 'ispe' says.
    if (const auto grid = seq::grid_output_size(file, id);
        grid && (grid->first > kMaxSide || grid->second > kMaxSide ||
                 std::uint64_t(grid->first) * grid->second > kMaxPixels))
        return VT_ERR_DIMENSIONS;
    const bool alpha = heif_image_handle_has_alpha_channel(raw_handle) != 0;
    heif_image* raw_image = nullptr;
    const heif_error e = heif_decode_image(raw_handle, &raw_image, heif_colorspace_RGB,
                                           heif_chroma_interleaved_RGBA, nullptr);
    const Image image(raw_image);
    if (e.code != heif_error_Ok)
        return result_of(e);
    const int width = heif_image_get_width(raw_image, heif_channel_interleaved);
    const int height = heif_image_get_height(raw_image, heif_channel_interleaved);
    int stride = 0;
    const std::uint8_t* plane =
        heif_image_get_plane_readonly(raw_image, heif_channel_interleaved, &stride);
    if (plane == nullptr || width < 1 || height < 1 || stride < 4 * width)
        return VT_ERR_COMPONENT_FAILED;
    if (const std::int32_t r = request_frame(call, static_cast<std::uint32_t>(width),
                                             static_cast<std::uint32_t>(height));
        r != VT_OK)
        return r;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = plane + static_cast<std::size_t>(y) * stride;
        std::uint32_t* out = call->pixels + static_cast<std::size_t>(y) * call->stride;
        for (int x = 0; x < width; ++x, in += 4)
            out[x] = in[2] | (std::uint32_t{in[1]} << 8) | (std::uint32_t{in[0]} << 16) |
                     (std::uint32_t(255 - in[3]) << 24);
    }
    const int bits = std::max(heif_image_handle_get_luma_bits_per_pixel(raw_handle), 8);
    // libheif has turned the pixels as the EXIF says.
    const std::vector<std::uint8_t> exif = exif_of(raw_handle);
    deliver_markup(call, {.bits_per_pixel = static_cast<std::uint32_t>(bits * (alpha ? 4 : 3)),
                          .exif = exif.data(),
                          .exif_size = static_cast<std::uint32_t>(exif.size()),
                          .upright = true});
    const std::vector<std::uint8_t> icc = icc_of(raw_handle);
    add_frame_chunk(call, kTagIcc, icc.data(), static_cast<std::uint32_t>(icc.size()));
    if (first && deep_wanted(call))
        load_deep(call, raw_handle, alpha);
    return VT_OK;
}

// An EXIF block from its TIFF byte order on, whether or not it still starts with the offset of
// that header.
std::span<const std::uint8_t> tiff_of(std::span<const std::uint8_t> exif) {
    if (exif.size() >= 8 &&
        (std::memcmp(exif.data(), "II*", 4) == 0 || std::memcmp(exif.data(), "MM\0*", 4) == 0))
        return exif;
    if (exif.size() < 12)
        return {};
    const std::uint32_t skip = (std::uint32_t{exif[0]} << 24) | (std::uint32_t{exif[1]} << 16) |
                               (std::uint32_t{exif[2]} << 8) | exif[3];
    return skip <= exif.size() - 12 ? exif.subspan(4 + skip) : std::span<const std::uint8_t>{};
}

// An AVIF sequence's frames into the host: the first whole, the later ones as what changed.
class SequenceLoad final : public seq::SequenceSink {
public:
    explicit SequenceLoad(FilterCall* call) : m_call(call) {}

    std::int32_t begin_frame(const seq::SequenceInfo& info, std::uint32_t index,
                             std::uint32_t delay_ms, std::uint32_t*& pixels,
                             std::uint32_t& stride) noexcept override {
        if (index > 0 && static_cast<std::int64_t>(index) > m_call->max_frame) {
            m_call->warnings |= VT_WARN_LAYERS_DROPPED;
            return seq::kEnoughFrames;
        }
        m_asked = true;
        m_call->mode2 = static_cast<std::uint16_t>(std::min<std::uint32_t>(delay_ms, 65535));
        if (index > 0 && m_changes.ready() && composed(info)) {
            pixels = m_composed.data();
            stride = info.width;
            return VT_OK;
        }
        m_composed.clear();
        if (const std::int32_t r = request_frame(m_call, info.width, info.height); r != VT_OK)
            return r;
        m_call->doc_kind = kDocFrameAnimation;
        pixels = m_call->pixels;
        stride = m_call->stride;
        return VT_OK;
    }

    std::int32_t end_frame(const seq::SequenceInfo& info, std::uint32_t index) noexcept override {
        if (index > 0)
            return m_composed.empty() ? VT_OK : m_changes.deliver(m_composed.data(), info.width);
        const std::span<const std::uint8_t> exif = tiff_of(info.exif);
        const std::string plays = std::to_string(info.plays);
        deliver_markup(m_call, {.bits_per_pixel = info.bits * (info.alpha ? 4 : 3),
                                .exif = exif.data(),
                                .exif_size = static_cast<std::uint32_t>(exif.size()),
                                .plays = plays.c_str()});
        add_frame_chunk(m_call, kTagIcc, info.icc.data(),
                        static_cast<std::uint32_t>(info.icc.size()));
        m_changes.keep_first(m_call->pixels, info.width, info.height, m_call->stride);
        return VT_OK;
    }

    // Whether the host was asked for anything: a load that fails before may still be libheif's.
    bool asked() const { return m_asked; }

private:
    bool composed(const seq::SequenceInfo& info) noexcept {
        try {
            m_composed.resize(std::size_t{info.width} * info.height);
        } catch (const std::bad_alloc&) {
            m_composed.clear();
            return false;
        }
        return true;
    }

    FilterCall* m_call;
    bool m_asked = false;
    ChangedFrames m_changes{m_call};
    std::vector<std::uint32_t> m_composed; // frames after the first, whole, before the change
};

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    if (bytes.size() < 12)
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    // A movie is an image sequence: libavif reads AV1 ones; libheif the still pictures beside.
    bool sequence_left = false;
    if (seq::has_movie(bytes)) {
        SequenceLoad sink(call);
        const std::int32_t r = seq::read_avif_sequence(bytes, sink, call->warnings);
        if (r == VT_OK || sink.asked())
            return r;
        sequence_left = r != seq::kNotASequence;
    }
    const Context context(heif_context_alloc());
    if (!context)
        return VT_ERR_OUT_OF_MEMORY;
    heif_context_set_maximum_image_size_limit(context.get(), static_cast<int>(kMaxSide));
    if (const heif_error e = heif_context_read_from_memory_without_copy(context.get(), bytes.data(),
                                                                        bytes.size(), nullptr);
        e.code != heif_error_Ok)
        return e.code == heif_error_Invalid_input ? VT_ERR_CORRUPT_OR_UNSUPPORTED : result_of(e);
    const int count = heif_context_get_number_of_top_level_images(context.get());
    if (count < 1)
        return VT_ERR_NO_IMAGE_DATA;
    std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
    heif_context_get_list_of_top_level_image_IDs(context.get(), ids.data(), count);
    heif_item_id primary = 0;
    if (heif_context_get_primary_image_ID(context.get(), &primary).code == heif_error_Ok)
        std::stable_partition(ids.begin(), ids.end(),
                              [primary](heif_item_id id) { return id == primary; });
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i > 0 && static_cast<std::int64_t>(i) > call->max_frame) {
            call->warnings |= VT_WARN_LAYERS_DROPPED;
            break;
        }
        const std::int32_t r = load_one(call, bytes, context.get(), ids[i], i == 0);
        if (r != VT_OK) {
            // A later image that fails keeps the ones before it.
            if (i == 0 || r == VT_ERR_TIMEOUT)
                return r;
            call->warnings |= VT_WARN_DATA_LOST;
            break;
        }
        if (i > 0)
            call->doc_kind = kDocPages;
    }
    // A HEVC image sequence (or an AV1 one libavif cannot read): its pictures stay behind.
    if (sequence_left)
        call->warnings |= VT_WARN_LAYERS_DROPPED;
    return VT_OK;
}

heif_error append_bytes(heif_context*, const void* data, size_t size, void* userdata) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(userdata);
    try {
        out->insert(out->end(), static_cast<const std::uint8_t*>(data),
                    static_cast<const std::uint8_t*>(data) + size);
    } catch (const std::bad_alloc&) {
        return {heif_error_Memory_allocation_error, heif_suberror_Unspecified, "out of memory"};
    }
    return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

// An RGB(A) image for the encoder of `bits` per channel (8, or 9-16 in 16-bit containers) with
// its plane: VT_OK or the result code.
std::int32_t create_image(const FilterCall* call, bool alpha, int bits, Image& image,
                          std::uint8_t*& plane, int& stride) {
    heif_image* raw = nullptr;
    const heif_chroma chroma =
        bits == 8 ? (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB)
        : alpha   ? (kLittleEndian ? heif_chroma_interleaved_RRGGBBAA_LE
                                   : heif_chroma_interleaved_RRGGBBAA_BE)
                  : (kLittleEndian ? heif_chroma_interleaved_RRGGBB_LE
                                   : heif_chroma_interleaved_RRGGBB_BE);
    const int w = static_cast<int>(call->width);
    const int h = static_cast<int>(call->height);
    if (const heif_error e = heif_image_create(w, h, heif_colorspace_RGB, chroma, &raw); e.code)
        return result_of(e);
    image.reset(raw);
    if (const heif_error e = heif_image_add_plane(raw, heif_channel_interleaved, w, h, bits);
        e.code)
        return result_of(e);
    plane = heif_image_get_plane(raw, heif_channel_interleaved, &stride);
    return plane == nullptr ? VT_ERR_OUT_OF_MEMORY : VT_OK;
}

// The selected picture as an 8-bit RGB(A) image for the encoder.
std::int32_t make_image(const FilterCall* call, bool alpha, Image& image) {
    std::uint8_t* plane = nullptr;
    int stride = 0;
    if (const std::int32_t r = create_image(call, alpha, 8, image, plane, stride); r != VT_OK)
        return r;
    const int w = static_cast<int>(call->width);
    const int h = static_cast<int>(call->height);
    for (int y = 0; y < h; ++y) {
        const std::uint32_t* in = call->pixels + static_cast<std::size_t>(y) * call->stride;
        std::uint8_t* out = plane + static_cast<std::size_t>(y) * stride;
        for (int x = 0; x < w; ++x) {
            *out++ = static_cast<std::uint8_t>(in[x] >> 16);
            *out++ = static_cast<std::uint8_t>(in[x] >> 8);
            *out++ = static_cast<std::uint8_t>(in[x]);
            if (alpha)
                *out++ = static_cast<std::uint8_t>(255 - (in[x] >> 24));
        }
    }
    return VT_OK;
}

// A deep picture as an RGB(A) image of `bits` per channel: the top bits of each sample, so a
// picture read from a file of that depth goes back unchanged.
std::int32_t make_deep_image(const FilterCall* call, const VtDeepImage& deep, bool alpha, int bits,
                             Image& image) {
    std::uint8_t* plane = nullptr;
    int stride = 0;
    if (const std::int32_t r = create_image(call, alpha, bits, image, plane, stride); r != VT_OK)
        return r;
    const std::uint32_t out_channels = alpha ? 4 : 3;
    const int shift = 16 - bits;
    std::vector<std::uint16_t> row(std::size_t{deep.width} * out_channels);
    for (std::uint32_t y = 0; y < deep.height; ++y) {
        const std::uint16_t* in = deep.samples + static_cast<std::size_t>(y) * deep.stride;
        std::uint16_t* out = row.data();
        for (std::uint32_t x = 0; x < deep.width; ++x, in += deep.channels) {
            // A grey deep picture repeats its grey.
            for (std::uint32_t c = 0; c < 3; ++c)
                *out++ =
                    static_cast<std::uint16_t>(in[deep.channels == VT_DEEP_RGBA ? c : 0] >> shift);
            if (alpha)
                *out++ = static_cast<std::uint16_t>(in[deep.channels - 1] >> shift);
        }
        std::memcpy(plane + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride),
                    row.data(), row.size() * sizeof(std::uint16_t));
    }
    return VT_OK;
}

// The depth a deep picture is written at: the option's 8, 10 or 12 (odd values round down).
// libheif before 1.16 hands libaom the wrong depth for 10-bit pictures, which fails or, with
// libaom's assertions on, ends the process: AVIF then takes 12.
int deep_depth(const FilterCall* call, bool heic) {
    const int depth = state_option(call, u"fmx_HEIF.depth", kDefaultDeepBits, 8, 12) & ~1;
    return depth == 10 && !heic && heif_get_version_number() < 0x01100000 ? 12 : depth;
}

// Every frame of an animation as an AVIF sequence, centred on a canvas of the largest width and
// height as the host flattens a frame animation, with the markup's loop count.
std::int32_t save_sequence(FilterCall* call) {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool alpha = false;
    std::vector<std::uint8_t> icc;
    std::vector<std::uint8_t> exif;
    seq::SequenceOptions options;
    options.quality = state_option(call, u"fmx_HEIF.quality", kDefaultQuality, 0, 100);
    options.lossless = state_option(call, u"fmx_HEIF.lossless", 0, 0, 1) != 0;
    for (std::uint32_t i = 0; i < call->frame_count; ++i) {
        if (const std::int32_t r = select_frame_at(call, static_cast<std::int32_t>(i)); r != VT_OK)
            return r;
        if (i == 0) {
            if (const ChunkView view = frame_chunk(call, kTagIcc); view.data != nullptr)
                icc.assign(view.data, view.data + view.size);
            exif = exif_from_markup(call, kMaxHeifExifBytes);
            options.plays = markup_plays(call);
        } else if (call->width != width || call->height != height) {
            alpha = true; // the canvas around a smaller frame is clear
        }
        width = std::max(width, call->width);
        height = std::max(height, call->height);
        alpha = alpha || any_transparent(call);
    }
    options.icc = icc;
    options.exif = exif;
    const seq::SequenceSource source = [call](std::uint32_t index, seq::SequenceFrame& frame) {
        if (const std::int32_t r = select_frame_at(call, static_cast<std::int32_t>(index));
            r != VT_OK)
            return r;
        frame = {call->pixels, call->width, call->height, call->stride, call->mode2};
        return static_cast<std::int32_t>(VT_OK);
    };
    std::vector<std::uint8_t> file;
    if (const std::int32_t r = seq::encode_avif_sequence(width, height, call->frame_count, alpha,
                                                         source, options, file);
        r != VT_OK)
        return r;
    return write_target_bytes(call->path, file);
}

std::int32_t save_image(FilterCall* call) {
    // The target's extension picks the codec.
    const bool heic = [call] {
        std::size_t n = 0;
        while (call->path[n] != 0)
            ++n;
        if (n < 5)
            return false;
        const std::uint16_t* e = call->path + n - 5;
        auto lower = [](std::uint16_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
        return lower(e[0]) == '.' && lower(e[1]) == 'h' && lower(e[2]) == 'e' &&
               lower(e[3]) == 'i' && (lower(e[4]) == 'c' || lower(e[4]) == 'f');
    }();
    if (call->doc_kind == kDocFrameAnimation && call->frame_count > 1) {
        if (!heic)
            return save_sequence(call);
        // Debian 12's libheif writes no HEVC image sequence: the animation's first picture.
        call->warnings |= VT_WARN_LAYERS_DROPPED;
    }
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    const int quality = state_option(call, u"fmx_HEIF.quality", kDefaultQuality, 0, 100);
    const bool lossless = state_option(call, u"fmx_HEIF.lossless", 0, 0, 1) != 0;
    const int depth = deep_depth(call, heic);
    const VtDeepImage* deep = depth > 8 ? deep_offered(call) : nullptr;
    const bool alpha = deep != nullptr ? deep_transparent(*deep) : any_transparent(call);
    Image image;
    if (const std::int32_t r = deep != nullptr ? make_deep_image(call, *deep, alpha, depth, image)
                                               : make_image(call, alpha, image);
        r != VT_OK)
        return r;
    std::vector<std::uint8_t> icc;
    if (const ChunkView view = frame_chunk(call, kTagIcc); view.data != nullptr) {
        icc.assign(view.data, view.data + view.size);
        heif_image_set_raw_color_profile(image.get(), "prof", icc.data(), icc.size());
    }
    const std::vector<std::uint8_t> exif = exif_from_markup(call, kMaxHeifExifBytes);

    const Context context(heif_context_alloc());
    if (!context)
        return VT_ERR_OUT_OF_MEMORY;
    heif_encoder* raw_encoder = nullptr;
    if (heif_context_get_encoder_for_format(
            context.get(), heic ? heif_compression_HEVC : heif_compression_AV1, &raw_encoder)
            .code != heif_error_Ok)
        return VT_ERR_COMPONENT_MISSING;
    const Encoder encoder(raw_encoder);
    heif_encoder_set_lossy_quality(raw_encoder, quality);
    heif_encoder_set_lossless(raw_encoder, lossless ? 1 : 0);
    heif_encoding_options* options = heif_encoding_options_alloc();
    if (options == nullptr)
        return VT_ERR_OUT_OF_MEMORY;
    // Lossless keeps RGB as it is (identity matrix, full range, no chroma subsampling).
    heif_color_profile_nclx nclx{};
    nclx.version = 1;
    nclx.color_primaries = heif_color_primaries_ITU_R_BT_709_5;
    nclx.transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1;
    nclx.matrix_coefficients =
        lossless ? heif_matrix_coefficients_RGB_GBR : heif_matrix_coefficients_ITU_R_BT_601_6;
    nclx.full_range_flag = 1;
    options->output_nclx_profile = &nclx;
    // libheif 1.15 converts by the image's own profile only: without it a deep lossless picture
    // would go through YCbCr and come back within one step rather than exactly.
    if (lossless && deep != nullptr)
        heif_image_set_nclx_color_profile(image.get(), &nclx);
    if (lossless)
        heif_encoder_set_parameter_string(raw_encoder, "chroma", "444");
    // libheif gives libaom 4 threads of its own, while the job's other workers use those
    // processors: it gets this one and those of workers without pictures, but never fewer than 2,
    // since libaom codes a file differently on one thread than on several.
    if (!heic)
        heif_encoder_set_parameter_integer(
            raw_encoder, "threads",
            static_cast<int>(std::max<std::uint32_t>(spare_threads(call) + 1, 2)));
    heif_image_handle* raw_handle = nullptr;
    const heif_error e =
        heif_context_encode_image(context.get(), image.get(), raw_encoder, options, &raw_handle);
    heif_encoding_options_free(options);
    const Handle handle(raw_handle);
    if (e.code != heif_error_Ok)
        return result_of(e) == VT_ERR_INVALID_DATA ? VT_ERR_COMPONENT_FAILED : result_of(e);
    if (!exif.empty())
        heif_context_add_exif_metadata(context.get(), raw_handle, exif.data(),
                                       static_cast<int>(exif.size()));
    std::vector<std::uint8_t> file;
    heif_writer writer{1, append_bytes};
    if (const heif_error w = heif_context_write(context.get(), &writer, &file); w.code)
        return result_of(w);
    const std::int32_t written = write_target_bytes(call->path, file);
    if (written == VT_OK && deep != nullptr)
        deep_written(call, static_cast<std::uint32_t>(depth));
    return written;
}

// An ISO base media file whose brand is one of HEIF's.
bool heif_signature(const FilterCheck& check) {
    if (check.head_size < 12 || std::memcmp(check.head + 4, "ftyp", 4) != 0)
        return false;
    static const char* const kBrands[] = {"heic", "heix", "heim", "heis", "hevc",
                                          "hevx", "mif1", "msf1", "avif", "avis"};
    for (const char* brand : kBrands)
        if (std::memcmp(check.head + 8, brand, 4) == 0)
            return true;
    return false;
}

bool heif_load_extension(const FilterCheck& check) {
    return extension_is(check, u".heic") || extension_is(check, u".heif") ||
           extension_is(check, u".avif");
}

bool heif_save_extension(const FilterCheck& c) {
    return extension_is(c, u".avif") || extension_is(c, u".heic");
}

} // namespace

// Animations go to AVIF sequences; HEIF's image sequences are beyond this libheif.
constexpr ::vt::kit::Keeps kHeifKeeps[] = {
    {u".avif", VT_KEEPS_PROFILE | VT_KEEPS_ALPHA | VT_KEEPS_EXIF | VT_KEEPS_ANIMATION},
    {nullptr, VT_KEEPS_PROFILE | VT_KEEPS_ALPHA | VT_KEEPS_EXIF},
};
// At most 12 bits per channel: libheif's encoders take 8, 10 or 12.
VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, heif_signature, heif_load_extension, heif_save_extension,
                                 load_image, save_image, 12, kHeifKeeps)

VT_FORMAT_PLUGIN_STATE_ENTRIES(
    {"fmx_HEIF.quality", "80", "0 to 100: higher keeps more detail in larger files"},
    {"fmx_HEIF.lossless", "0", "1: lossless, every pixel exactly as it is"},
    {"fmx_HEIF.depth", "12", "8, 10 or 12: bits per channel of a picture that has more than 8"})
