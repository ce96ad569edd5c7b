// fmx_AVI: videos as animations. Reading goes through the host's pi_BasicVideo (the suite's
// video helper decodes whatever FFmpeg knows); writing makes a Motion-JPEG AVI, every frame a
// baseline JPEG, laid out after Microsoft's public "AVI RIFF File Reference" (RIFF 'AVI ' with
// the 'hdrl' list: 'avih' main header, one 'strl' of 'strh' and a BITMAPINFOHEADER 'strf'; the
// 'movi' list of '00dc' chunks; the 'idx1' index with offsets from the 'movi' word).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "formats/avi/avi_jpeg.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

constexpr std::uint16_t kDefaultDelayMs = 100;
constexpr std::int32_t kDefaultTimeoutMs = 30000;
// The largest picture a bitmap holds.
constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
// Offsets of the fields patched once every frame is written.
constexpr long kRiffSize = 4, kMaxBytesPerSec = 36, kTotalFrames = 48, kAvihBuffer = 60;
constexpr long kStrhLength = 140, kStrhBuffer = 144, kMoviSize = 216, kMoviWord = 220;
// AVI 1.0 keeps 32-bit sizes; we stop well before they wrap.
constexpr std::uint64_t kMaxFileBytes = 0x7FFFFFFFu;

struct Closer {
    const pi_BasicVideo* video;
    void* session;
    ~Closer() { (void)video->close(session); }
};

std::uint16_t delay_from_rate(double rate) {
    if (!(rate > 0))
        return kDefaultDelayMs;
    return static_cast<std::uint16_t>(std::clamp(std::lround(1000.0 / rate), 1L, 65535L));
}

// An AVI main header that states a picture no bitmap can hold is refused before the helper
// starts; other containers are judged by the helper. A file shorter than its RIFF size says is
// `cut`.
std::int32_t check_avi_head(const std::uint16_t* path, bool& cut) {
    std::uint8_t head[72] = {};
    std::FILE* file = std::fopen(to_utf8(path).c_str(), "rb");
    if (file == nullptr)
        return VT_ERR_OPEN_READ;
    const std::size_t n = std::fread(head, 1, sizeof(head), file);
    const long size = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    std::fclose(file);
    const std::uint32_t riff =
        head[4] | head[5] << 8 | head[6] << 16 | std::uint32_t{head[7]} << 24;
    cut = size >= 0 && static_cast<std::uint64_t>(size) < std::uint64_t{riff} + 8;
    if (n < sizeof(head) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "AVI ", 4) != 0 || std::memcmp(head + 24, "avih", 4) != 0)
        return VT_OK;
    std::uint32_t width = 0, height = 0;
    for (int i = 3; i >= 0; --i) {
        width = width << 8 | head[64 + i];
        height = height << 8 | head[68 + i];
    }
    if (width == 0 || height == 0)
        return VT_ERR_INVALID_DATA;
    return width > kMaxSide || height > kMaxSide || std::uint64_t{width} * height > kMaxPixels
               ? VT_ERR_DIMENSIONS
               : VT_OK;
}

std::int32_t load_image(FilterCall* call) {
    bool cut = false;
    if (const std::int32_t r = check_avi_head(call->path, cut); r != VT_OK)
        return r;
    if (call->frame_cb.add_frame == nullptr || call->basic_query == nullptr ||
        call->basic_query->get_interface == nullptr)
        return VT_ERR_HOST_SERVICES;
    const auto* video = static_cast<const pi_BasicVideo*>(
        call->basic_query->get_interface(reinterpret_cast<const std::uint16_t*>(u"pi_BasicVideo")));
    if (video == nullptr || video->version != VT_BASIC_VIDEO_VERSION)
        return VT_ERR_HOST_SERVICES;
    const std::int32_t timeout =
        call->time_limit_ms > 0
            ? static_cast<std::int32_t>(std::min(call->time_limit_ms, 0x7FFFFFFFu))
            : kDefaultTimeoutMs;
    std::int32_t result = VT_ERR_COMPONENT_MISSING;
    void* session = video->open(call->path, timeout, &result);
    if (session == nullptr)
        return result < 0 || result == VT_ERR_UNKNOWN ? result : VT_ERR_COMPONENT_MISSING;
    const Closer closer{video, session};
    double rate = 0;
    std::int64_t count = -1;
    (void)video->query_value4(session, &rate);
    if (video->query_count(session, &count) != VT_OK || count < 1)
        count = -1;
    const std::uint16_t delay = delay_from_rate(rate);
    for (std::int64_t i = 0; count < 0 || i < count; ++i) {
        if (i > call->max_frame) {
            call->warnings |= VT_WARN_LAYERS_DROPPED;
            break;
        }
        const VtVideoFrame* frame = video->read_frame(session, i);
        if (frame == nullptr) {
            if (i == 0)
                return VT_ERR_NO_IMAGE_DATA;
            if (count >= 0)
                call->warnings |= VT_WARN_DATA_LOST;
            break;
        }
        call->mode2 = delay;
        if (const std::int32_t r = request_frame(call, frame->width, frame->height); r != VT_OK)
            return r;
        if (i > 0)
            call->doc_kind = 2;
        for (std::uint32_t y = 0; y < frame->height; ++y)
            std::memcpy(call->pixels + std::size_t{y} * call->stride,
                        frame->pixels + std::size_t{y} * frame->width, frame->width * 4u);
    }
    if (cut)
        call->warnings |= VT_WARN_DATA_LOST;
    return VT_OK;
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_word(std::vector<std::uint8_t>& out, const char* four) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(four[i]));
}

std::vector<std::uint8_t> headers(std::uint32_t width, std::uint32_t height,
                                  std::uint16_t delay_ms) {
    std::vector<std::uint8_t> h;
    put_word(h, "RIFF"), put32(h, 0), put_word(h, "AVI ");
    put_word(h, "LIST"), put32(h, 192), put_word(h, "hdrl");
    put_word(h, "avih"), put32(h, 56);
    put32(h, delay_ms * 1000u), put32(h, 0), put32(h, 0), put32(h, 0x10); // has an index
    put32(h, 0), put32(h, 0), put32(h, 1), put32(h, 0), put32(h, width), put32(h, height);
    for (int i = 0; i < 4; ++i)
        put32(h, 0);
    put_word(h, "LIST"), put32(h, 116), put_word(h, "strl");
    put_word(h, "strh"), put32(h, 56), put_word(h, "vids"), put_word(h, "MJPG");
    put32(h, 0), put32(h, 0), put32(h, 0);
    put32(h, delay_ms), put32(h, 1000), put32(h, 0), put32(h, 0); // scale, rate, start, length
    put32(h, 0), put32(h, 0xFFFFFFFFu), put32(h, 0);              // buffer, quality, sample
    put32(h, 0), put32(h, (height & 0xFFFFu) << 16 | (width & 0xFFFFu));
    put_word(h, "strf"), put32(h, 40), put32(h, 40), put32(h, width), put32(h, height);
    put32(h, 1 | 24u << 16), put_word(h, "MJPG"), put32(h, width * height * 3);
    for (int i = 0; i < 4; ++i)
        put32(h, 0);
    put_word(h, "LIST"), put32(h, 0), put_word(h, "movi");
    return h;
}

bool patch(std::FILE* file, long offset, std::uint32_t value) {
    std::vector<std::uint8_t> bytes;
    put32(bytes, value);
    return std::fseek(file, offset, SEEK_SET) == 0 && std::fwrite(bytes.data(), 1, 4, file) == 4;
}

// The frame the document shows at `index`, on a canvas the size of the first frame.
std::int32_t select_canvas(FilterCall* call, std::int32_t index, std::uint32_t width,
                           std::uint32_t height, std::vector<std::uint32_t>& canvas) {
    if (call->frame_cb.select_frame(call, index) == 0)
        return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    if (call->pixels == nullptr || call->stride < call->width)
        return VT_ERR_BITMAP_REQUEST;
    std::fill(canvas.begin(), canvas.end(), 0u);
    const std::int64_t left = index > 0 ? call->x : 0, top = index > 0 ? call->y : 0;
    for (std::uint32_t y = 0; y < call->height; ++y) {
        const std::int64_t ty = top + y;
        if (ty < 0 || ty >= height)
            continue;
        for (std::uint32_t x = 0; x < call->width; ++x)
            if (const std::int64_t tx = left + x; tx >= 0 && tx < width)
                canvas[static_cast<std::size_t>(ty) * width + static_cast<std::size_t>(tx)] =
                    call->pixels[std::size_t{y} * call->stride + x];
    }
    return VT_OK;
}

std::int32_t write_avi(std::FILE* file, FilterCall* call, std::uint32_t frames, int quality) {
    const std::uint32_t width = call->width, height = call->height;
    const std::uint16_t delay = call->mode2 > 0 ? call->mode2 : kDefaultDelayMs;
    std::vector<std::uint32_t> canvas(std::size_t{width} * height);
    std::vector<std::uint8_t> bytes = headers(width, height, delay);
    std::vector<std::uint8_t> index;
    put_word(index, "idx1"), put32(index, frames * 16u);
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
        return VT_ERR_WRITE;
    std::uint64_t position = bytes.size();
    std::uint32_t largest = 0;
    for (std::uint32_t i = 0; i < frames; ++i) {
        if (const std::int32_t r =
                select_canvas(call, static_cast<std::int32_t>(i), width, height, canvas);
            r != VT_OK)
            return r;
        std::uint8_t* jpeg = nullptr;
        std::size_t size = 0;
        if (const std::int32_t r =
                vt_avi_jpeg_encode(canvas.data(), width, height, width, quality, &jpeg, &size);
            r != VT_OK)
            return r;
        const std::unique_ptr<std::uint8_t, decltype(&std::free)> owned(jpeg, &std::free);
        const std::uint64_t padded = size + (size & 1u);
        if (position + 8 + padded + index.size() + 16 > kMaxFileBytes)
            return VT_ERR_IMAGE_REQUIREMENTS;
        put_word(index, "00dc"), put32(index, 0x10); // every frame is a key frame
        put32(index, static_cast<std::uint32_t>(position - kMoviWord));
        put32(index, static_cast<std::uint32_t>(size));
        bytes.clear();
        put_word(bytes, "00dc"), put32(bytes, static_cast<std::uint32_t>(size));
        const std::uint8_t pad = 0;
        if (std::fwrite(bytes.data(), 1, 8, file) != 8 ||
            std::fwrite(jpeg, 1, size, file) != size ||
            ((size & 1u) != 0 && std::fwrite(&pad, 1, 1, file) != 1))
            return VT_ERR_WRITE;
        position += 8 + padded;
        largest = std::max(largest, static_cast<std::uint32_t>(size));
    }
    if (std::fwrite(index.data(), 1, index.size(), file) != index.size())
        return VT_ERR_WRITE;
    const auto end = static_cast<std::uint32_t>(position + index.size());
    const std::uint32_t per_second = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{largest} * 1000u / delay, 0xFFFFFFFFu));
    const bool ok = patch(file, kRiffSize, end - 8) && patch(file, kMaxBytesPerSec, per_second) &&
                    patch(file, kTotalFrames, frames) && patch(file, kAvihBuffer, largest) &&
                    patch(file, kStrhLength, frames) && patch(file, kStrhBuffer, largest) &&
                    patch(file, kMoviSize, static_cast<std::uint32_t>(position - kMoviWord));
    return ok ? VT_OK : VT_ERR_WRITE;
}

std::int32_t save_image(FilterCall* call) {
    if (call->frame_cb.select_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    const bool animation = call->doc_kind == 2 && call->frame_count > 1;
    if (animation) {
        if (call->frame_cb.select_frame(call, 0) == 0)
            return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    } else if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    if (call->width < 1 || call->height < 1)
        return VT_ERR_BITMAP_SIZE_ZERO;
    if (call->width > 65500 || call->height > 65500)
        return VT_ERR_DIMENSIONS;
    const int quality = state_option(call, u"fmx_AVI.quality", 90, 1, 100);
    const std::uint32_t frames = animation ? call->frame_count : 1;
    return write_target(call->path, [call, frames, quality](std::FILE* file) {
        return write_avi(file, call, frames, quality);
    });
}

bool video_extension(const FilterCheck& check) {
    for (const char16_t* ext : {u".avi", u".mp4", u".mov", u".mkv", u".webm", u".m4v", u".mpg",
                                u".mpeg", u".wmv", u".flv", u".ogv"})
        if (extension_is(check, ext))
            return true;
    return false;
}

bool avi_extension(const FilterCheck& check) {
    return extension_is(check, u".avi");
}

bool avi_signature(const FilterCheck& check) {
    return check.head_size >= 12 && std::memcmp(check.head, "RIFF", 4) == 0 &&
           std::memcmp(check.head + 8, "AVI ", 4) == 0;
}

} // namespace

// Videos of other containers are read too (by extension); only AVI is written.
VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, avi_signature, video_extension, avi_extension, load_image,
                                 save_image, 0, VT_KEEPS_ANIMATION)

VT_FORMAT_PLUGIN_STATE_ENTRIES({"fmx_AVI.quality", "90",
                                "1 to 100: the JPEG quality of every frame"})
