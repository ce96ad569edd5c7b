// fmx_WebP: the plug-in's exports, its answers to the host's checks and the call records.
// The codec work is in webp_glue.cpp.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "formats/webp/webp_glue.h"
#include "sdk/kit/frame_changes.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;
namespace webp = vt::formats::webp;

constexpr int kDefaultQuality = 80;
constexpr int kDefaultMethod = 4;
// EXIF exported from the markup is small; this bounds the export buffer.
constexpr std::uint32_t kMaxWebpExifBytes = 65536;
constexpr std::uint8_t kDocFrameAnimation = 2;

class LoadSink final : public webp::ReadSink {
public:
    explicit LoadSink(FilterCall* call) : m_call(call) {}

    std::int32_t begin_frame(const webp::Header& header, std::uint32_t index,
                             std::uint32_t delay_ms, webp::Target& target) noexcept override {
        // Frames beyond the host's capacity are dropped; the first one is always asked for, so
        // the host's own answer ends a load it cannot hold.
        if (index > 0 && static_cast<std::int64_t>(index) > m_call->max_frame) {
            m_call->warnings |= VT_WARN_LAYERS_DROPPED;
            return webp::kEnoughFrames;
        }
        m_bits_per_pixel = header.alpha ? 32 : 24;
        m_call->mode2 = static_cast<std::uint16_t>(std::min<std::uint32_t>(delay_ms, 65535));
        if (!header.animated)
            draft_size(header, target);
        const std::uint32_t width = target.scaled_width != 0 ? target.scaled_width : header.width;
        const std::uint32_t height =
            target.scaled_height != 0 ? target.scaled_height : header.height;
        if (index > 0 && m_changes.ready() && composed(width, height, target))
            return VT_OK;
        if (const std::int32_t r = request_frame(m_call, width, height); r != VT_OK)
            return r;
        if (index > 0)
            m_call->doc_kind = kDocFrameAnimation;
        target.pixels = m_call->pixels;
        target.stride = m_call->stride;
        return VT_OK;
    }

    // libwebp composes every frame on the whole canvas; the host gets what changed.
    std::int32_t end_frame(std::uint32_t index) noexcept override {
        if (index == 0)
            m_changes.keep_first(m_call->pixels, m_call->width, m_call->height, m_call->stride);
        else if (!m_composed.empty())
            return m_changes.deliver(m_composed.data(), m_composed_width);
        return VT_OK;
    }

    // A still picture may be decoded straight to a smaller size, with the picture's proportions
    // kept. libwebp decodes every pixel whatever the size and only its rescaler gets cheaper,
    // so the draft is twice the size the host says it can use: the resampler then makes the
    // rest, better than the rescaler's box would.
    void draft_size(const webp::Header& header, webp::Target& target) noexcept {
        const pi_BasicQuery* query = m_call->basic_query;
        std::uint32_t size[2] = {header.width, header.height};
        if (query == nullptr || query->query == nullptr ||
            query->query("load.draft_size", size, sizeof size) != sizeof size)
            return;
        size[0] = std::min(header.width, 2 * size[0]);
        size[1] = std::min(header.height, 2 * size[1]);
        const double scale = std::max(static_cast<double>(size[0]) / header.width,
                                      static_cast<double>(size[1]) / header.height);
        if (scale >= 1.0)
            return;
        target.scaled_width = std::clamp(static_cast<std::uint32_t>(header.width * scale + 0.999),
                                         size[0], header.width);
        target.scaled_height = std::clamp(static_cast<std::uint32_t>(header.height * scale + 0.999),
                                          size[1], header.height);
    }

    void metadata(const webp::Metadata& meta) noexcept override {
        std::string xmp;
        try {
            xmp.assign(meta.xmp.begin(), meta.xmp.end());
        } catch (const std::bad_alloc&) {
            xmp.clear(); // metadata never fails a load
        }
        const std::string plays = meta.plays >= 0 ? std::to_string(meta.plays) : "";
        deliver_markup(m_call, {m_bits_per_pixel, meta.exif.empty() ? nullptr : meta.exif.data(),
                                static_cast<std::uint32_t>(meta.exif.size()),
                                xmp.empty() ? nullptr : xmp.c_str(), nullptr,
                                plays.empty() ? nullptr : plays.c_str()});
        add_frame_chunk(m_call, kTagIcc, meta.icc.data(),
                        static_cast<std::uint32_t>(meta.icc.size()));
    }

private:
    // Points `target` at a canvas of our own for the frame the decoder composes next.
    bool composed(std::uint32_t width, std::uint32_t height, webp::Target& target) noexcept {
        try {
            m_composed.resize(static_cast<std::size_t>(width) * height);
        } catch (const std::bad_alloc&) {
            m_composed.clear();
            return false;
        }
        target.pixels = m_composed.data();
        target.stride = m_composed_width = width;
        return true;
    }

    FilterCall* m_call;
    std::uint32_t m_bits_per_pixel = 24;
    ChangedFrames m_changes{m_call};
    std::vector<std::uint32_t> m_composed; // frames after the first, whole, before the change
    std::uint32_t m_composed_width = 0;
};

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    MappedFile file;
    if (const std::int32_t r = file.open(call->path); r != VT_OK)
        return r;
    LoadSink sink(call);
    return webp::read_webp(file.bytes(), sink);
}

// What a save writes besides the pixels, copied: selecting another frame may move it.
struct SaveMetadata {
    std::vector<std::uint8_t> icc;
    std::vector<std::uint8_t> exif;
};

SaveMetadata take_metadata(FilterCall* call) {
    SaveMetadata meta;
    if (const ChunkView icc = frame_chunk(call, kTagIcc); icc.data != nullptr)
        meta.icc.assign(icc.data, icc.data + icc.size);
    // The markup is the one source of EXIF, so keys the privacy options removed stay removed.
    meta.exif = exif_from_markup(call, kMaxWebpExifBytes);
    return meta;
}

webp::EncodeOptions encode_options(const FilterCall* call) {
    webp::EncodeOptions options;
    options.threads = spare_threads(call) > 0;
    options.quality = state_option(call, u"fmx_WebP.quality", kDefaultQuality, 0, 100);
    options.lossless = state_option(call, u"fmx_WebP.lossless", 0, 0, 1) != 0;
    options.method = state_option(call, u"fmx_WebP.method", kDefaultMethod, 0, 6);
    return options;
}

webp::Picture selected_picture(const FilterCall* call) {
    return {call->pixels, call->width, call->height, call->stride};
}

std::int32_t encode_still(FilterCall* call, std::vector<std::uint8_t>& file, SaveMetadata& meta) {
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    if (call->width > webp::kMaxSaveSide || call->height > webp::kMaxSaveSide)
        return VT_ERR_DIMENSIONS;
    meta = take_metadata(call);
    return webp::encode_picture(selected_picture(call), encode_options(call), any_transparent(call),
                                file);
}

// Every frame centred on a canvas of the largest width and height, as the host flattens a
// frame animation.
std::int32_t encode_frames(FilterCall* call, std::vector<std::uint8_t>& file, SaveMetadata& meta) {
    if (call->frame_cb.select_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    webp::EncodeOptions options = encode_options(call);
    for (std::uint32_t i = 0; i < call->frame_count; ++i) {
        if (const std::int32_t r = select_frame_at(call, static_cast<std::int32_t>(i)); r != VT_OK)
            return r;
        width = std::max(width, call->width);
        height = std::max(height, call->height);
        if (i == 0) {
            meta = take_metadata(call);
            options.plays = markup_plays(call);
        }
    }
    if (width > webp::kMaxSaveSide || height > webp::kMaxSaveSide)
        return VT_ERR_DIMENSIONS;
    const webp::FrameSource source = [call](std::uint32_t index, webp::Picture& picture,
                                            std::uint32_t& delay_ms) {
        if (const std::int32_t r = select_frame_at(call, static_cast<std::int32_t>(index));
            r != VT_OK)
            return r;
        picture = selected_picture(call);
        delay_ms = call->mode2 != 0 ? call->mode2 : webp::kDefaultDelayMs;
        return static_cast<std::int32_t>(VT_OK);
    };
    return webp::encode_animation(width, height, call->frame_count, source, options, file);
}

std::int32_t save_image(FilterCall* call) {
    std::vector<std::uint8_t> file;
    SaveMetadata meta;
    const bool animation = call->doc_kind == kDocFrameAnimation && call->frame_count > 1;
    std::int32_t result =
        animation ? encode_frames(call, file, meta) : encode_still(call, file, meta);
    if (result == VT_OK)
        result = webp::add_metadata(file, meta.icc, meta.exif);
    // The file is only opened once the whole picture is encoded.
    return result == VT_OK ? write_target_bytes(call->path, file) : result;
}

bool webp_signature(const FilterCheck& check) {
    return check.head_size >= 12 && std::memcmp(check.head, "RIFF", 4) == 0 &&
           std::memcmp(check.head + 8, "WEBP", 4) == 0;
}

bool webp_extension(const FilterCheck& check) {
    return extension_is(check, u".webp");
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, webp_signature, webp_extension, webp_extension, load_image,
                                 save_image, 0,
                                 VT_KEEPS_PROFILE | VT_KEEPS_ALPHA | VT_KEEPS_EXIF |
                                     VT_KEEPS_ANIMATION)

VT_FORMAT_PLUGIN_STATE_ENTRIES(
    {"fmx_WebP.quality", "80", "0 to 100: higher keeps more detail in larger files"},
    {"fmx_WebP.lossless", "0", "1: lossless, every pixel exactly as it is"},
    {"fmx_WebP.method", "4", "0 to 6: encoding effort, 6 is slowest and smallest"})
