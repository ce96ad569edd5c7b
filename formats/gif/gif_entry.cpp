// fmx_GIF: the plug-in's exports, its answers to the host's checks and the call records.
// Reading and composing frames is in gif_decode.cpp, writing in gif_encode.cpp, colour
// reduction in gif_palette.cpp.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/gif/gif_decode.h"
#include "formats/gif/gif_encode.h"
#include "sdk/kit/frame_changes.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;
namespace gif = vt::formats::gif;

constexpr std::uint8_t kSignature87[6] = {'G', 'I', 'F', '8', '7', 'a'};
constexpr std::uint8_t kSignature89[6] = {'G', 'I', 'F', '8', '9', 'a'};
constexpr std::uint32_t kBitsPerPixel = 8;

std::uint16_t delay_ms(std::uint32_t centiseconds) {
    return static_cast<std::uint16_t>(std::min<std::uint32_t>(centiseconds * 10u, 0xFFFFu));
}

// The host's frames, made one by one as the decoder composes them.
class HostFrames final : public gif::FrameSink {
public:
    explicit HostFrames(FilterCall* call) : m_call(call) {}

    // The host judges what all the frames will take before anything is decoded.
    std::int32_t plan(std::uint64_t frame_pixels) noexcept override {
        return announce_frame_bytes(m_call, frame_pixels * 4);
    }

    // The first frame is made before the screen is composed, so the host judges its size
    // before the plug-in takes memory for it.
    std::int32_t begin(std::uint32_t width, std::uint32_t height,
                       std::uint32_t first_delay_cs) noexcept override {
        m_call->mode2 = delay_ms(first_delay_cs);
        return request_frame(m_call, width, height);
    }

    std::int32_t frame(const gif::ComposedFrame& frame) noexcept override {
        if (frame.index > 0) {
            if (static_cast<std::int64_t>(frame.index) > m_call->max_frame) {
                m_call->warnings |= VT_WARN_LAYERS_DROPPED;
                return gif::kStopLoading;
            }
            m_call->mode2 = delay_ms(frame.delay_cs);
            if (m_changes.ready())
                return m_changes.deliver(frame.pixels, frame.width);
            if (const std::int32_t r = request_frame(m_call, frame.width, frame.height); r != VT_OK)
                return r;
            m_call->doc_kind = 2;
        } else if (frame.plays >= 0) {
            m_changes.keep_first(frame.pixels, frame.width, frame.height, frame.width);
        }
        for (std::uint32_t y = 0; y < frame.height; ++y)
            std::memcpy(m_call->pixels + static_cast<std::size_t>(y) * m_call->stride,
                        frame.pixels + static_cast<std::size_t>(y) * frame.width,
                        frame.width * sizeof(std::uint32_t));
        if (frame.index == 0) {
            const std::string plays = frame.plays >= 0 ? std::to_string(frame.plays) : "";
            deliver_markup(m_call, {kBitsPerPixel, nullptr, 0, frame.xmp, nullptr,
                                    plays.empty() ? nullptr : plays.c_str()});
            add_frame_chunk(m_call, kTagIcc, frame.icc.data(),
                            static_cast<std::uint32_t>(frame.icc.size()));
        }
        return VT_OK;
    }

private:
    FilterCall* m_call;
    // Later frames of an animation go over as what changed; stills keep no copy.
    ChangedFrames m_changes{m_call};
};

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    MappedFile file;
    if (const std::int32_t r = file.open(call->path); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> bytes = file.bytes();
    HostFrames frames(call);
    gif::DecodeReport report;
    const std::int32_t result = gif::decode_gif(bytes, frames, report);
    if (result == VT_OK && report.data_lost)
        call->warnings |= VT_WARN_DATA_LOST;
    return result;
}

// The pictures to save: the host's frames of an animation, or the one picture already
// selected.
class HostPictures final : public gif::PictureSource {
public:
    HostPictures(FilterCall* call, bool animation) : m_call(call), m_animation(animation) {}

    [[nodiscard]] std::uint32_t count() const noexcept override {
        return m_animation ? m_call->frame_count : 1;
    }

    std::int32_t select(std::uint32_t index, gif::SourcePicture& picture) noexcept override {
        if (m_animation &&
            m_call->frame_cb.select_frame(m_call, static_cast<std::int32_t>(index)) == 0)
            return m_call->status < 0 ? m_call->status : VT_ERR_BITMAP_REQUEST;
        picture.pixels = m_call->pixels;
        picture.width = m_call->width;
        picture.height = m_call->height;
        picture.stride = m_call->stride;
        picture.delay_ms = m_call->mode2;
        return VT_OK;
    }

private:
    FilterCall* m_call;
    bool m_animation;
};

// The target file is opened at the first byte giflib writes: a save that fails before it
// leaves nothing behind.
int write_lazily(void* user_data, const std::uint8_t* data, int size) {
    return static_cast<int>(static_cast<TargetStream*>(user_data)->write(
        data, size > 0 ? static_cast<std::size_t>(size) : 0));
}

std::int32_t save_image(FilterCall* call) {
    if (call->frame_cb.select_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    gif::WriteOptions options;
    options.palette.dither = state_option(call, u"fmx_GIF.dither", 1, 0, 1) != 0;
    options.palette.colors = state_option(call, u"fmx_GIF.colors", 256, 2, 256);
    options.animation = call->doc_kind == 2 && call->frame_count > 1;
    if (options.animation) {
        if (call->frame_cb.select_frame(call, 0) == 0)
            return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
        options.plays = markup_plays(call);
    } else if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    // Frame 0 is selected: its profile stands for the file. The view belongs to the selected
    // frame and the writer selects the others, so the profile is copied first.
    const ChunkView icc = frame_chunk(call, kTagIcc);
    const std::vector<std::uint8_t> profile(icc.data, icc.data + icc.size);
    options.icc = profile;
    HostPictures source(call, options.animation);
    return write_target_lazily(call->path, [&source, &options](TargetStream& out) {
        return gif::write_gif(write_lazily, &out, source, options);
    });
}

bool gif_extension(const FilterCheck& check) {
    return extension_is(check, u".gif");
}

bool gif_signature(const FilterCheck& check) {
    return head_starts_with(check, kSignature87, 6) || head_starts_with(check, kSignature89, 6);
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, gif_signature, gif_extension, gif_extension, load_image,
                                 save_image, 0, VT_KEEPS_PROFILE | VT_KEEPS_ANIMATION)

VT_FORMAT_PLUGIN_STATE_ENTRIES({"fmx_GIF.colors", "256",
                                "2 to 256: the most colours a frame keeps"},
                               {"fmx_GIF.dither", "1",
                                "1: dither when colours must be reduced, 0: nearest colour"})
