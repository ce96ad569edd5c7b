// fmx_JXL: JPEG XL files through libjxl. Every frame of an animation is composed by libjxl and
// handed to the host as what changed since the frame before, with its duration in `mode2` and
// the loop count in the markup; libjxl turns the pixels by the file's orientation.
// A lossy colour file with an ICC profile is taken from libjxl's linear sRGB to that profile by
// Little CMS, so its pixels are the numbers its "ICCP" label describes.
// A file of more than 8 integer bits per sample also gives frame 0 at 16 bits when the host
// asks (decoded a second time, so the 8-bit frames stay as they were). Saves write one picture,
// lossless or at a distance, with alpha, the ICC profile and EXIF: at 16 bits when the host
// offers a deep picture, else at 8. An animation of several frames is saved as one, at 8 bits,
// each frame centred on a canvas of the largest width and height, with its delay and the
// markup's loop count.

#include <jxl/decode.h>
#include <jxl/encode.h>
#include <jxl/thread_parallel_runner.h>
#include <lcms2.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "sdk/kit/frame_changes.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
constexpr std::uint8_t kDocFrameAnimation = 2;
constexpr std::size_t kMaxExifBox = 1u << 20;
constexpr std::uint32_t kMaxJxlExifBytes = 65536;
// A frame that states no delay shows this long, as in the other animation formats.
constexpr std::uint32_t kDefaultDelayMs = 100;
constexpr JxlPixelFormat kRgba{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
constexpr JxlPixelFormat kRgbaFloat{4, JXL_TYPE_FLOAT, JXL_NATIVE_ENDIAN, 0};

struct DecoderFree {
    void operator()(JxlDecoder* d) const noexcept { JxlDecoderDestroy(d); }
};
struct EncoderFree {
    void operator()(JxlEncoder* e) const noexcept { JxlEncoderDestroy(e); }
};

struct TransformFree {
    void operator()(void* t) const noexcept { cmsDeleteTransform(t); }
};
using Transform = std::unique_ptr<void, TransformFree>;

struct ProfileFree {
    void operator()(void* p) const noexcept { cmsCloseProfile(p); }
};
using Profile = std::unique_ptr<void, ProfileFree>;

std::vector<std::uint8_t> icc_profile(const JxlDecoder* d, JxlColorProfileTarget target) {
    size_t size = 0;
    std::vector<std::uint8_t> icc;
    if (JxlDecoderGetICCProfileSize(d, nullptr, target, &size) != JXL_DEC_SUCCESS || size == 0 ||
        size > kMaxExifBox)
        return icc;
    icc.resize(size);
    if (JxlDecoderGetColorAsICCProfile(d, nullptr, target, icc.data(), size) != JXL_DEC_SUCCESS)
        icc.clear();
    return icc;
}

// libjxl has no colour management: a lossy colour file whose profile is an ICC one comes out
// in linear sRGB. This takes its float red, green, blue, alpha to the file's own profile as
// `out_format` (TYPE_RGBA_8 or TYPE_RGBA_16); null when the pixels are already in the file's
// colour space or Little CMS cannot make the way, `data_icc` then says what they are.
Transform to_own_profile(const JxlDecoder* d, const JxlBasicInfo& info, cmsUInt32Number out_format,
                         std::vector<std::uint8_t>& data_icc) {
    JxlColorEncoding encoded{};
    if (info.uses_original_profile || info.num_color_channels != 3 ||
        JxlDecoderGetColorAsEncodedProfile(d, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                           &encoded) == JXL_DEC_SUCCESS)
        return nullptr;
    data_icc = icc_profile(d, JXL_COLOR_PROFILE_TARGET_DATA);
    const std::vector<std::uint8_t> own = icc_profile(d, JXL_COLOR_PROFILE_TARGET_ORIGINAL);
    if (data_icc.empty() || own.empty())
        return nullptr;
    const Profile from(
        cmsOpenProfileFromMem(data_icc.data(), static_cast<cmsUInt32Number>(data_icc.size())));
    const Profile to(cmsOpenProfileFromMem(own.data(), static_cast<cmsUInt32Number>(own.size())));
    if (!from || !to || cmsGetColorSpace(to.get()) != cmsSigRgbData)
        return nullptr;
    return Transform(cmsCreateTransform(from.get(), TYPE_RGBA_FLT, to.get(), out_format,
                                        INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_COPY_ALPHA));
}

// The host frame being decoded into, for libjxl's row callback; with a transform, the row
// buffer holds a converted run of pixels (sized for the widest before the decode starts).
struct FrameTarget {
    std::uint32_t* pixels = nullptr;
    std::uint32_t stride = 0;
    void* transform = nullptr;
    std::vector<std::uint8_t> row;
};

void put_rgba(const FrameTarget& target, size_t x, size_t y, size_t count, const std::uint8_t* in) {
    std::uint32_t* out = target.pixels + y * target.stride + x;
    for (size_t i = 0; i < count; ++i, in += 4)
        out[i] = in[2] | (std::uint32_t{in[1]} << 8) | (std::uint32_t{in[0]} << 16) |
                 (std::uint32_t(255 - in[3]) << 24);
}

void put_pixels(void* opaque, size_t x, size_t y, size_t count, const void* rgba) {
    put_rgba(*static_cast<const FrameTarget*>(opaque), x, y, count,
             static_cast<const std::uint8_t*>(rgba));
}

void put_converted(void* opaque, size_t x, size_t y, size_t count, const void* rgba) {
    auto* target = static_cast<FrameTarget*>(opaque);
    count = std::min(count, target->row.size() / 4);
    cmsDoTransform(target->transform, rgba, target->row.data(),
                   static_cast<cmsUInt32Number>(count));
    put_rgba(*target, x, y, count, target->row.data());
}

class Loader {
public:
    explicit Loader(FilterCall* call) : m_call(call) {}

    std::int32_t run(const std::vector<std::uint8_t>& bytes) {
        const std::unique_ptr<JxlDecoder, DecoderFree> decoder(JxlDecoderCreate(nullptr));
        JxlDecoder* d = decoder.get();
        if (d == nullptr)
            return VT_ERR_OUT_OF_MEMORY;
        if (JxlDecoderSubscribeEvents(d, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                             JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE | JXL_DEC_BOX) !=
                JXL_DEC_SUCCESS ||
            JxlDecoderSetDecompressBoxes(d, JXL_TRUE) != JXL_DEC_SUCCESS ||
            JxlDecoderSetInput(d, bytes.data(), bytes.size()) != JXL_DEC_SUCCESS)
            return VT_ERR_COMPONENT_FAILED;
        JxlDecoderCloseInput(d);
        for (;;) {
            const JxlDecoderStatus status = JxlDecoderProcessInput(d);
            if (status != JXL_DEC_BOX_NEED_MORE_OUTPUT)
                finish_box(d);
            switch (status) {
            case JXL_DEC_SUCCESS:
                return m_frames > 0 ? VT_OK : VT_ERR_NO_IMAGE_DATA;
            case JXL_DEC_ERROR:
                return ended_early(m_frames > 0 || m_seen_info ? VT_ERR_INVALID_DATA
                                                               : VT_ERR_CORRUPT_OR_UNSUPPORTED);
            case JXL_DEC_NEED_MORE_INPUT:
                return ended_early(VT_ERR_READ);
            case JXL_DEC_BASIC_INFO:
                if (const std::int32_t r = basic_info(d); r != VT_OK)
                    return r;
                break;
            case JXL_DEC_COLOR_ENCODING:
                color_profile(d);
                break;
            case JXL_DEC_FRAME:
                if (const std::int32_t r = begin_frame(d); r != VT_OK)
                    return r == kEnough ? VT_OK : r;
                break;
            case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
                if ((m_transform
                         ? JxlDecoderSetImageOutCallback(d, &kRgbaFloat, put_converted, &m_target)
                         : JxlDecoderSetImageOutCallback(d, &kRgba, put_pixels, &m_target)) !=
                    JXL_DEC_SUCCESS)
                    return VT_ERR_COMPONENT_FAILED;
                break;
            case JXL_DEC_FULL_IMAGE:
                if (const std::int32_t r = end_frame(); r != VT_OK)
                    return r;
                break;
            case JXL_DEC_BOX:
                begin_box(d);
                break;
            case JXL_DEC_BOX_NEED_MORE_OUTPUT:
                m_exif.clear(); // beyond what EXIF is worth: left out
                m_in_exif = false;
                JxlDecoderReleaseBoxBuffer(d);
                break;
            default:
                break;
            }
        }
    }

private:
    static constexpr std::int32_t kEnough = 2;

    // Data that ends or breaks after a whole frame keeps the frames before it.
    std::int32_t ended_early(std::int32_t result) {
        if (m_frames == 0)
            return result;
        m_call->warnings |= VT_WARN_DATA_LOST;
        return VT_OK;
    }

    std::int32_t basic_info(JxlDecoder* d) {
        if (JxlDecoderGetBasicInfo(d, &m_info) != JXL_DEC_SUCCESS)
            return VT_ERR_INVALID_DATA;
        m_seen_info = true;
        m_width = m_info.xsize;
        m_height = m_info.ysize;
        if (m_info.orientation >= JXL_ORIENT_TRANSPOSE)
            std::swap(m_width, m_height);
        if (m_width < 1 || m_height < 1)
            return VT_ERR_INVALID_DATA;
        if (m_width > kMaxSide || m_height > kMaxSide ||
            std::uint64_t{m_width} * m_height > kMaxPixels)
            return VT_ERR_DIMENSIONS;
        return VT_OK;
    }

    // The profile only when the file carries one; a described colour space is sRGB's kin.
    // Pixels that cannot be taken to the file's profile are labelled with what they are.
    void color_profile(JxlDecoder* d) {
        JxlColorEncoding encoded{};
        if (JxlDecoderGetColorAsEncodedProfile(d, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                               &encoded) == JXL_DEC_SUCCESS)
            return;
        std::vector<std::uint8_t> data_icc;
        m_transform = to_own_profile(d, m_info, TYPE_RGBA_8, data_icc);
        m_icc = m_transform || data_icc.empty() ? icc_profile(d, JXL_COLOR_PROFILE_TARGET_ORIGINAL)
                                                : data_icc;
        m_target.transform = m_transform.get();
        if (m_transform)
            m_target.row.resize(std::size_t{std::max(m_width, m_height)} * 4);
    }

    std::int32_t begin_frame(JxlDecoder* d) {
        if (m_frames > 0 && static_cast<std::int64_t>(m_frames) > m_call->max_frame) {
            m_call->warnings |= VT_WARN_LAYERS_DROPPED;
            return kEnough;
        }
        JxlFrameHeader header{};
        std::uint32_t delay = 0;
        if (m_info.have_animation && JxlDecoderGetFrameHeader(d, &header) == JXL_DEC_SUCCESS &&
            m_info.animation.tps_numerator > 0) {
            const std::uint64_t ms = std::uint64_t{header.duration} * 1000u *
                                     m_info.animation.tps_denominator /
                                     m_info.animation.tps_numerator;
            delay = static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, 65535));
        }
        m_call->mode2 = static_cast<std::uint16_t>(delay);
        if (m_frames > 0 && m_changes.ready() && composed()) {
            m_target.pixels = m_composed.data();
            m_target.stride = m_width;
            return VT_OK;
        }
        m_composed.clear();
        if (const std::int32_t r = request_frame(m_call, m_width, m_height); r != VT_OK)
            return r;
        if (m_frames > 0)
            m_call->doc_kind = kDocFrameAnimation;
        m_target.pixels = m_call->pixels;
        m_target.stride = m_call->stride;
        return VT_OK;
    }

    // libjxl composes every frame on the whole canvas; after the first the host gets what
    // changed, so a small change on a large canvas costs only its own memory.
    std::int32_t end_frame() {
        if (++m_frames > 1)
            return m_composed.empty() ? VT_OK : m_changes.deliver(m_composed.data(), m_width);
        deliver_metadata();
        if (m_info.have_animation)
            m_changes.keep_first(m_call->pixels, m_width, m_height, m_call->stride);
        return VT_OK;
    }

    bool composed() noexcept {
        try {
            m_composed.resize(std::size_t{m_width} * m_height);
        } catch (const std::bad_alloc&) {
            m_composed.clear();
            return false;
        }
        return true;
    }

    void begin_box(JxlDecoder* d) {
        JxlBoxType type{};
        if (JxlDecoderGetBoxType(d, type, JXL_TRUE) != JXL_DEC_SUCCESS ||
            std::memcmp(type, "Exif", 4) != 0 || !m_exif.empty())
            return;
        m_exif.resize(kMaxExifBox);
        m_in_exif = JxlDecoderSetBoxBuffer(d, m_exif.data(), m_exif.size()) == JXL_DEC_SUCCESS;
        if (!m_in_exif)
            m_exif.clear();
    }

    void finish_box(JxlDecoder* d) {
        if (!m_in_exif)
            return;
        m_in_exif = false;
        const size_t left = JxlDecoderReleaseBoxBuffer(d);
        m_exif.resize(m_exif.size() - std::min(left, m_exif.size()));
    }

    void deliver_metadata() {
        // The Exif box starts with the offset of the TIFF header.
        const std::uint8_t* exif = nullptr;
        std::uint32_t exif_size = 0;
        if (m_exif.size() >= 12) {
            const std::uint32_t skip = (std::uint32_t{m_exif[0]} << 24) |
                                       (std::uint32_t{m_exif[1]} << 16) |
                                       (std::uint32_t{m_exif[2]} << 8) | m_exif[3];
            if (skip <= m_exif.size() - 12) {
                exif = m_exif.data() + 4 + skip;
                exif_size = static_cast<std::uint32_t>(m_exif.size() - 4 - skip);
            }
        }
        const std::uint32_t channels = m_info.num_color_channels + (m_info.alpha_bits ? 1 : 0);
        const std::string plays =
            m_info.have_animation ? std::to_string(m_info.animation.num_loops) : "";
        deliver_markup(m_call, {m_info.bits_per_sample * channels, exif, exif_size, nullptr,
                                nullptr, plays.empty() ? nullptr : plays.c_str()});
        add_frame_chunk(m_call, kTagIcc, m_icc.data(), static_cast<std::uint32_t>(m_icc.size()));
    }

    FilterCall* m_call;
    JxlBasicInfo m_info{};
    bool m_seen_info = false;
    std::uint32_t m_width = 0;
    std::uint32_t m_height = 0;
    std::uint32_t m_frames = 0;
    Transform m_transform;
    FrameTarget m_target;
    std::vector<std::uint8_t> m_icc;
    std::vector<std::uint8_t> m_exif;
    bool m_in_exif = false;
    ChangedFrames m_changes{m_call};
    std::vector<std::uint32_t> m_composed; // frames after the first, whole, before the change
};

struct SamplesFree {
    void operator()(void* samples) const noexcept { std::free(samples); }
};

// Frame 0 again at 16 bits (grey, alpha or red, green, blue, alpha) for a file of more than 8
// integer bits, in the colour space of the 8-bit frames; float files and every failure leave
// the 8-bit frame alone.
void load_deep(FilterCall* call, const std::vector<std::uint8_t>& bytes) {
    const std::unique_ptr<JxlDecoder, DecoderFree> decoder(JxlDecoderCreate(nullptr));
    JxlDecoder* d = decoder.get();
    if (d == nullptr ||
        JxlDecoderSubscribeEvents(d, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                         JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(d, bytes.data(), bytes.size()) != JXL_DEC_SUCCESS)
        return;
    JxlDecoderCloseInput(d);
    JxlBasicInfo info{};
    JxlPixelFormat format{4, JXL_TYPE_UINT16, JXL_NATIVE_ENDIAN, 0};
    Transform transform;
    std::unique_ptr<std::uint16_t, SamplesFree> samples;
    std::unique_ptr<float, SamplesFree> floats; // libjxl's linear sRGB, before the transform
    VtDeepImage deep{};
    for (;;) {
        switch (JxlDecoderProcessInput(d)) {
        case JXL_DEC_BASIC_INFO:
            if (JxlDecoderGetBasicInfo(d, &info) != JXL_DEC_SUCCESS || info.bits_per_sample <= 8 ||
                info.bits_per_sample > 16 || info.exponent_bits_per_sample != 0)
                return;
            format.num_channels = info.num_color_channels == 1 ? 2 : 4;
            deep = {info.xsize,           info.ysize, format.num_channels, 0, nullptr,
                    info.bits_per_sample, 0};
            if (info.orientation >= JXL_ORIENT_TRANSPOSE)
                std::swap(deep.width, deep.height);
            deep.stride = deep.width * deep.channels;
            break;
        case JXL_DEC_COLOR_ENCODING: {
            std::vector<std::uint8_t> data_icc;
            transform = to_own_profile(d, info, TYPE_RGBA_16, data_icc);
            if (transform)
                format = kRgbaFloat;
            break;
        }
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            const std::size_t count = std::size_t{deep.stride} * deep.height;
            size_t size = 0;
            if (samples || JxlDecoderImageOutBufferSize(d, &format, &size) != JXL_DEC_SUCCESS ||
                size != count * (transform ? sizeof(float) : sizeof(std::uint16_t)))
                return;
            samples.reset(static_cast<std::uint16_t*>(std::malloc(count * sizeof(std::uint16_t))));
            if (transform)
                floats.reset(static_cast<float*>(std::malloc(size)));
            if (!samples || (transform && !floats) ||
                JxlDecoderSetImageOutBuffer(d, &format,
                                            transform ? static_cast<void*>(floats.get())
                                                      : static_cast<void*>(samples.get()),
                                            size) != JXL_DEC_SUCCESS)
                return;
            break;
        }
        case JXL_DEC_FULL_IMAGE:
            if (!samples)
                return;
            if (transform)
                cmsDoTransform(transform.get(), floats.get(), samples.get(),
                               static_cast<cmsUInt32Number>(deep.width) * deep.height);
            deep.samples = samples.release();
            deliver_deep(call, deep);
            return;
        default:
            return;
        }
    }
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    if (JxlSignatureCheck(bytes.data(), bytes.size()) < JXL_SIG_CODESTREAM)
        return bytes.size() < 12 && !bytes.empty() ? VT_ERR_READ : VT_ERR_CORRUPT_OR_UNSUPPORTED;
    Loader loader(call);
    const std::int32_t result = loader.run(bytes);
    if (result == VT_OK && deep_wanted(call))
        load_deep(call, bytes);
    return result;
}

// The picture as the encoder takes it: 8-bit red, green, blue (alpha) from the frame, or 16-bit
// grey or colour (alpha) from a deep picture. Grey stays grey only without a profile, which
// would be a colour one.
struct EncoderPixels {
    std::vector<std::uint8_t> bytes;
    JxlPixelFormat format{};
    std::uint32_t bits = 8;
    bool alpha = false;
    bool grey = false;
};

EncoderPixels pixels_of(const FilterCall* call, const VtDeepImage* deep, bool has_profile) {
    EncoderPixels p;
    if (deep == nullptr) {
        p.alpha = any_transparent(call);
        p.format = {p.alpha ? 4u : 3u, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
        p.bytes.resize(std::size_t{call->width} * call->height * p.format.num_channels);
        std::uint8_t* out = p.bytes.data();
        for (std::uint32_t y = 0; y < call->height; ++y) {
            const std::uint32_t* in = call->pixels + static_cast<std::size_t>(y) * call->stride;
            for (std::uint32_t x = 0; x < call->width; ++x) {
                *out++ = static_cast<std::uint8_t>(in[x] >> 16);
                *out++ = static_cast<std::uint8_t>(in[x] >> 8);
                *out++ = static_cast<std::uint8_t>(in[x]);
                if (p.alpha)
                    *out++ = static_cast<std::uint8_t>(255 - (in[x] >> 24));
            }
        }
        return p;
    }
    p.bits = 16;
    p.alpha = deep_transparent(*deep);
    p.grey = deep->channels == VT_DEEP_GREY_ALPHA && !has_profile;
    const std::uint32_t colours = p.grey ? 1 : 3;
    p.format = {colours + (p.alpha ? 1 : 0), JXL_TYPE_UINT16, JXL_NATIVE_ENDIAN, 0};
    std::vector<std::uint16_t> samples;
    samples.reserve(std::size_t{deep->width} * deep->height * p.format.num_channels);
    for (std::uint32_t y = 0; y < deep->height; ++y) {
        const std::uint16_t* in = deep->samples + static_cast<std::size_t>(y) * deep->stride;
        for (std::uint32_t x = 0; x < deep->width; ++x, in += deep->channels) {
            // A grey deep picture written as colour repeats its grey.
            for (std::uint32_t c = 0; c < colours; ++c)
                samples.push_back(in[deep->channels == VT_DEEP_RGBA ? c : 0]);
            if (p.alpha)
                samples.push_back(in[deep->channels - 1]);
        }
    }
    p.bytes.resize(samples.size() * sizeof(std::uint16_t));
    std::memcpy(p.bytes.data(), samples.data(), p.bytes.size());
    return p;
}

// What every save takes from the state store and from the picture it starts with.
struct SaveSettings {
    bool lossless = false;
    int distance = 10;
    int effort = 7;
    std::vector<std::uint8_t> icc;
    std::vector<std::uint8_t> exif;
};

SaveSettings save_settings(FilterCall* call) {
    SaveSettings s;
    s.lossless = state_option(call, u"fmx_JXL.lossless", 0, 0, 1) != 0;
    s.distance = state_option(call, u"fmx_JXL.distance", 10, 0, 150);
    s.effort = state_option(call, u"fmx_JXL.effort", 7, 1, 9);
    if (const ChunkView view = frame_chunk(call, kTagIcc); view.data != nullptr)
        s.icc.assign(view.data, view.data + view.size);
    s.exif = exif_from_markup(call, kMaxJxlExifBytes);
    return s;
}

// The basic information, colour and EXIF box set on a new encoder; its frame settings, or null
// (`result` says why).
JxlEncoderFrameSettings* start_file(JxlEncoder* e, const JxlBasicInfo& info, const SaveSettings& s,
                                    bool grey, std::int32_t& result) {
    result = VT_ERR_COMPONENT_FAILED;
    if (!s.exif.empty() && JxlEncoderUseBoxes(e) != JXL_ENC_SUCCESS)
        return nullptr;
    if (JxlEncoderSetBasicInfo(e, &info) != JXL_ENC_SUCCESS)
        return nullptr;
    bool colour_set =
        !s.icc.empty() && JxlEncoderSetICCProfile(e, s.icc.data(), s.icc.size()) == JXL_ENC_SUCCESS;
    if (!colour_set) {
        JxlColorEncoding srgb{};
        JxlColorEncodingSetToSRGB(&srgb, grey ? JXL_TRUE : JXL_FALSE);
        colour_set = JxlEncoderSetColorEncoding(e, &srgb) == JXL_ENC_SUCCESS;
    }
    if (!colour_set)
        return nullptr;
    if (!s.exif.empty()) {
        std::vector<std::uint8_t> box(4, 0); // the TIFF header follows at once
        box.insert(box.end(), s.exif.begin(), s.exif.end());
        JxlEncoderAddBox(e, "Exif", box.data(), box.size(), JXL_FALSE);
    }
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(e, nullptr);
    if (settings == nullptr) {
        result = VT_ERR_OUT_OF_MEMORY;
        return nullptr;
    }
    JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, s.effort);
    if (s.lossless)
        JxlEncoderSetFrameLossless(settings, JXL_TRUE);
    else
        JxlEncoderSetFrameDistance(settings, static_cast<float>(std::max(s.distance, 1)) / 10.0f);
    result = VT_OK;
    return settings;
}

// Takes what the encoder has made so far into `file` (whose first `used` bytes are written).
std::int32_t take_output(JxlEncoder* e, std::vector<std::uint8_t>& file, std::size_t& used) {
    for (;;) {
        if (file.size() - used < 65536)
            file.resize(std::max<std::size_t>(file.size() * 2, 65536));
        std::uint8_t* next = file.data() + used;
        size_t avail = file.size() - used;
        const JxlEncoderStatus status = JxlEncoderProcessOutput(e, &next, &avail);
        used = static_cast<std::size_t>(next - file.data());
        if (status == JXL_ENC_SUCCESS)
            return VT_OK;
        if (status != JXL_ENC_NEED_MORE_OUTPUT)
            return VT_ERR_COMPONENT_FAILED;
    }
}

std::int32_t finish_file(JxlEncoder* e, std::vector<std::uint8_t>& file, std::size_t used) {
    JxlEncoderCloseInput(e);
    if (const std::int32_t r = take_output(e, file, used); r != VT_OK)
        return r;
    file.resize(used);
    return VT_OK;
}

// libjxl's threads for an encoder while the job has workers without pictures: that many
// beside this one. Outlives the encoder it is given to.
class SpareRunner {
public:
    SpareRunner() = default;
    ~SpareRunner() {
        if (m_runner != nullptr)
            JxlThreadParallelRunnerDestroy(m_runner);
    }
    SpareRunner(const SpareRunner&) = delete;
    SpareRunner& operator=(const SpareRunner&) = delete;

    // Without threads to spare, or without memory for them, the encoder runs on this thread.
    void attach(const FilterCall* call, JxlEncoder* e) {
        const std::uint32_t spare = spare_threads(call);
        if (spare == 0)
            return;
        m_runner = JxlThreadParallelRunnerCreate(nullptr, spare + 1);
        if (m_runner != nullptr)
            JxlEncoderSetParallelRunner(e, JxlThreadParallelRunner, m_runner);
    }

private:
    void* m_runner = nullptr;
};

JxlBasicInfo basic_info_for(std::uint32_t width, std::uint32_t height, std::uint32_t bits,
                            bool grey, bool alpha, bool lossless) {
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = width;
    info.ysize = height;
    info.bits_per_sample = bits;
    info.num_color_channels = grey ? 1 : 3;
    info.alpha_bits = alpha ? bits : 0;
    info.num_extra_channels = alpha ? 1 : 0;
    info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
    return info;
}

std::int32_t encode(FilterCall* call, const VtDeepImage* deep, std::vector<std::uint8_t>& file) {
    const SaveSettings s = save_settings(call);
    const EncoderPixels pixels = pixels_of(call, deep, !s.icc.empty());
    SpareRunner runner;
    const std::unique_ptr<JxlEncoder, EncoderFree> encoder(JxlEncoderCreate(nullptr));
    JxlEncoder* e = encoder.get();
    if (e == nullptr)
        return VT_ERR_OUT_OF_MEMORY;
    runner.attach(call, e);
    const JxlBasicInfo info = basic_info_for(call->width, call->height, pixels.bits, pixels.grey,
                                             pixels.alpha, s.lossless);
    std::int32_t result = VT_OK;
    JxlEncoderFrameSettings* settings = start_file(e, info, s, pixels.grey, result);
    if (settings == nullptr)
        return result;
    if (JxlEncoderAddImageFrame(settings, &pixels.format, pixels.bytes.data(),
                                pixels.bytes.size()) != JXL_ENC_SUCCESS)
        return VT_ERR_COMPONENT_FAILED;
    return finish_file(e, file, 0);
}

// The selected frame centred on a clear canvas of width x height, as 8-bit RGB(A).
void place_frame(const FilterCall* call, std::uint32_t width, std::uint32_t height, bool alpha,
                 std::vector<std::uint8_t>& canvas) {
    const std::uint32_t channels = alpha ? 4 : 3;
    canvas.assign(std::size_t{width} * height * channels, 0);
    const std::uint32_t left = (width - call->width) / 2;
    const std::uint32_t top = (height - call->height) / 2;
    for (std::uint32_t y = 0; y < call->height; ++y) {
        const std::uint32_t* in = call->pixels + static_cast<std::size_t>(y) * call->stride;
        std::uint8_t* out = canvas.data() + (std::size_t{top + y} * width + left) * channels;
        for (std::uint32_t x = 0; x < call->width; ++x) {
            *out++ = static_cast<std::uint8_t>(in[x] >> 16);
            *out++ = static_cast<std::uint8_t>(in[x] >> 8);
            *out++ = static_cast<std::uint8_t>(in[x]);
            if (alpha)
                *out++ = static_cast<std::uint8_t>(255 - (in[x] >> 24));
        }
    }
}

// Every frame of an animation, each with its delay in milliseconds (ticks of 1 ms) and the
// markup's loop count; the encoder's output is taken after each frame, so it holds at most two
// frames' pixels.
std::int32_t encode_animation(FilterCall* call, std::vector<std::uint8_t>& file) {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool alpha = false;
    bool same_size = true;
    SaveSettings s;
    std::uint32_t plays = 0;
    for (std::uint32_t i = 0; i < call->frame_count; ++i) {
        if (const std::int32_t r = select_frame_at(call, static_cast<std::int32_t>(i)); r != VT_OK)
            return r;
        if (i == 0) {
            s = save_settings(call);
            plays = markup_plays(call);
        } else if (call->width != width || call->height != height) {
            same_size = false;
        }
        width = std::max(width, call->width);
        height = std::max(height, call->height);
        alpha = alpha || any_transparent(call);
    }
    if (width > kMaxSide || height > kMaxSide || std::uint64_t{width} * height > kMaxPixels)
        return VT_ERR_DIMENSIONS;
    alpha = alpha || !same_size; // the canvas around a smaller frame is clear
    SpareRunner runner;
    const std::unique_ptr<JxlEncoder, EncoderFree> encoder(JxlEncoderCreate(nullptr));
    JxlEncoder* e = encoder.get();
    if (e == nullptr)
        return VT_ERR_OUT_OF_MEMORY;
    runner.attach(call, e);
    JxlBasicInfo info = basic_info_for(width, height, 8, false, alpha, s.lossless);
    info.have_animation = JXL_TRUE;
    info.animation.tps_numerator = 1000;
    info.animation.tps_denominator = 1;
    info.animation.num_loops = plays;
    std::int32_t result = VT_OK;
    JxlEncoderFrameSettings* settings = start_file(e, info, s, false, result);
    if (settings == nullptr)
        return result;
    const JxlPixelFormat format{alpha ? 4u : 3u, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    std::vector<std::uint8_t> canvas;
    std::size_t used = 0;
    for (std::uint32_t i = 0; i < call->frame_count; ++i) {
        if (const std::int32_t r = select_frame_at(call, static_cast<std::int32_t>(i)); r != VT_OK)
            return r;
        place_frame(call, width, height, alpha, canvas);
        JxlFrameHeader header;
        JxlEncoderInitFrameHeader(&header);
        header.duration = call->mode2 != 0 ? call->mode2 : kDefaultDelayMs;
        if (JxlEncoderSetFrameHeader(settings, &header) != JXL_ENC_SUCCESS ||
            JxlEncoderAddImageFrame(settings, &format, canvas.data(), canvas.size()) !=
                JXL_ENC_SUCCESS)
            return VT_ERR_COMPONENT_FAILED;
        // The last frame stays queued until the input is closed: libjxl marks only a frame
        // it codes after that as the last one.
        if (i + 1 < call->frame_count)
            if (const std::int32_t r = take_output(e, file, used); r != VT_OK)
                return r;
    }
    return finish_file(e, file, used);
}

std::int32_t save_image(FilterCall* call) {
    std::vector<std::uint8_t> file;
    if (call->doc_kind == kDocFrameAnimation && call->frame_count > 1) {
        if (const std::int32_t r = encode_animation(call, file); r != VT_OK)
            return r;
        return write_target_bytes(call->path, file);
    }
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    const VtDeepImage* deep = deep_offered(call);
    if (const std::int32_t r = encode(call, deep, file); r != VT_OK)
        return r;
    const std::int32_t written = write_target_bytes(call->path, file);
    if (written == VT_OK && deep != nullptr)
        deep_written(call);
    return written;
}

bool jxl_signature(const FilterCheck& check) {
    const std::uint32_t have = check.head_size < 32 ? check.head_size : 32;
    const JxlSignature s = JxlSignatureCheck(check.head, have);
    return s == JXL_SIG_CODESTREAM || s == JXL_SIG_CONTAINER;
}

bool jxl_extension(const FilterCheck& check) {
    return extension_is(check, u".jxl");
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, jxl_signature, jxl_extension, jxl_extension, load_image,
                                 save_image, 16,
                                 VT_KEEPS_PROFILE | VT_KEEPS_ALPHA | VT_KEEPS_EXIF |
                                     VT_KEEPS_ANIMATION)

VT_FORMAT_PLUGIN_STATE_ENTRIES(
    {"fmx_JXL.lossless", "0", "1: lossless, every pixel exactly as it is"},
    {"fmx_JXL.distance", "10", "tenths of the visual distance, 1 to 150: 10 is visually lossless"},
    {"fmx_JXL.effort", "7", "1 to 9: encoding effort, 9 is slowest and smallest"})
